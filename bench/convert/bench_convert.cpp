// Times the conversion of a corpus like the users' against cp -r (the floor),
// dos2unix (less work) and GNU sed -i (the same trimming and replacements),
// side by side in one run, and prints the ratios.
//
//   bench_convert [--dir BASE] [--only a|b|c]
// Without --dir, each corpus is measured on /dev/shm and on /var/tmp.

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench/corpus.h"
#include "convert/convert.h"

namespace fs = std::filesystem;

namespace {

const ReplaceRule& kRule1 = kFirstStartRule1;
const ReplaceRule& kRule2 = kFirstStartRule2;

std::vector<std::string> Files(const fs::path& root) {
  std::vector<std::string> out;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (e.is_regular_file()) out.push_back(e.path().string());
  }
  return out;
}

void DropCopy(const fs::path& p) {
  fs::remove_all(p);
}

void Sync() {
  ::sync();
}

struct Figures {
  double cp = 0, ours = 0, dos2unix = 0, sed = 0;
};

Figures Measure(const fs::path& base, const char* name, int files, std::size_t size) {
  fs::path src = base / (std::string("src-") + name);
  std::printf("  generating %d files of %zu bytes in %s ...\n", files, size, src.c_str());
  std::fflush(stdout);
  DropCopy(src);
  MakeTree(src, files, size);
  Sync();
  Figures f;
  fs::path copy = base / "copy";

  DropCopy(copy);
  Sync();
  f.cp = Run({"cp", "-r", src.string(), copy.string()});

  DropCopy(copy);
  Run({"cp", "-r", src.string(), copy.string()});
  Sync();
  {
    std::vector<std::string> list = Files(copy);
    double start = Now();
    for (const std::string& file : list) {
      ConvertTextFile(file, file, LineEnding::Unix, kRule1, kRule2, CodePage::System());
    }
    f.ours = Now() - start;
  }
  std::string ours_sample;
  {
    std::ifstream in(copy / "d0" / "script0.pl", std::ios::binary);
    std::getline(in, ours_sample, '\0');
  }

  DropCopy(copy);
  Run({"cp", "-r", src.string(), copy.string()});
  Sync();
  f.dos2unix = Run({"find", copy.string(), "-type", "f", "-exec", "dos2unix", "-q", "{}", "+"});

  DropCopy(copy);
  Run({"cp", "-r", src.string(), copy.string()});
  Sync();
  f.sed = Run({"env", "LC_ALL=C", "find", copy.string(), "-type", "f", "-exec", "sed", "-i", "-e",
               "s/^[\\x01-\\x20]*//;s/[\\x01-\\x20]*$//", "-e",
               "s#\\#!/perl/bin/perl#\\#!/usr/bin/perl#Ig", "-e",
               "s#use lib 'c:/perl/lib/' ;#use lib '/home/e-smith/files/ibays/Primary/cgi-bin/"
               "solvane/' ;#Ig",
               "{}", "+"});
  std::string sed_sample;
  {
    std::ifstream in(copy / "d0" / "script0.pl", std::ios::binary);
    std::getline(in, sed_sample, '\0');
  }
  if (ours_sample != sed_sample) std::printf("  NOTE: sed's output differs from ours\n");
  DropCopy(copy);
  DropCopy(src);
  return f;
}

void Report(const char* what, const Figures& f) {
  std::printf("  %-28s cp -r %.3fs | ours %.3fs | dos2unix %.3fs | sed -i %.3fs\n", what, f.cp,
              f.ours, f.dos2unix, f.sed);
  std::printf("  %-28s ours/cp %.2fx | dos2unix/ours %.2fx | sed/ours %.2fx\n", "", f.ours / f.cp,
              f.dos2unix / f.ours, f.sed / f.ours);
  std::fflush(stdout);
}

// One file far larger than memory budgets: converted in a child so that its
// peak resident memory can be read.
void BigFile(const fs::path& base, std::size_t gigabytes) {
  fs::path p = base / "big.pl";
  const BigScript script = BigScript::Write(p, gigabytes);
  std::printf("  %zu GB file written (%zu bytes)\n", gigabytes, fs::file_size(p));
  double start = Now();
  pid_t pid = fork();
  if (pid == 0) {
    try {
      ConvertTextFile(p.string(), p.string(), LineEnding::Unix, kRule1, kRule2, CodePage::System());
    } catch (...) {
      _exit(1);
    }
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  double t = Now() - start;
  struct rusage ru {};
  getrusage(RUSAGE_CHILDREN, &ru);
  bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  ReportBigFile(gigabytes, t, ru, ok && script.ConvertedIn(p));
  fs::remove(p);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> bases;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--dir") == 0 && i + 1 < argc) bases.emplace_back(argv[++i]);
    if (std::strcmp(argv[i], "--only") == 0 && i + 1 < argc) only = argv[++i];
  }
  if (bases.empty()) bases = {"/dev/shm", "/var/tmp"};
  for (const fs::path& b : bases) {
    fs::path base = b / "terminelle-bench";
    fs::create_directories(base);
    std::printf("== %s\n", base.c_str());
    if (only.empty() || only == "a") {
      Report("(a) 2,000 files of 100 kB", Measure(base, "a", 2000, 100 * 1000));
    }
    if (only.empty() || only == "b") {
      Report("(b) 20,000 files of 2 kB", Measure(base, "b", 20000, 2 * 1000));
    }
    if ((only.empty() && b == bases.front()) || only == "c") BigFile(base, 3);
    fs::remove_all(base);
  }
  return 0;
}
