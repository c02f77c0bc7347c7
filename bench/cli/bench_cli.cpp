// Times terminelle-cli on trees like the users' against cp -r (the floor)
// and dos2unix (less work: no trimming, no rules), each on its own copy of
// the same tree, side by side in one run, and prints the ratios.
//
//   bench_cli [--dir BASE]... [--only a|b|c] [--rounds N]
// Without --dir, the trees are measured on /dev/shm and on /var/tmp.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/corpus.h"

namespace fs = std::filesystem;

namespace {

// The run a user makes on a server: Unix endings, the two first-start rules.
std::vector<std::string> Cli(const fs::path& folder, const std::vector<std::string>& extra) {
  std::vector<std::string> args = {TERMINELLE_CLI, "-q", "-r", "-f", "unix"};
  for (const ReplaceRule* r : {&kFirstStartRule1, &kFirstStartRule2}) {
    args.push_back("--remplacer=" + r->Search);
    args.push_back("--par=" + r->Replacement);
  }
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(folder.string());
  return args;
}

// What a trial on folder lists: empty once everything is converted.
std::string TrialListing(const fs::path& folder) {
  fs::path out = folder.parent_path() / "trial.txt";
  std::vector<std::string> args = Cli(folder, {"-n"});
  std::string command;
  for (const std::string& a : args) command += "'" + a + "' ";
  command += "> '" + out.string() + "'";
  if (std::system(command.c_str()) != 0) return "trial failed";
  std::ifstream in(out);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  fs::remove(out);
  return text;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five;
  in >> one >> five;
  return one + " / " + five;
}

// Processor seconds, user and system, that usage tells.
double Cpu(const struct rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A fresh copy of src at copy, on disk before anything is timed.
void FreshCopy(const fs::path& src, const fs::path& copy) {
  fs::remove_all(copy);
  Run({"cp", "-r", src.string(), copy.string()});
  ::sync();
}

void Measure(const fs::path& base, const char* what, int files, std::size_t size, int rounds) {
  fs::path src = base / "src";
  fs::path copy = base / "copy";
  fs::remove_all(src);
  MakeTree(src, files, size);
  ::sync();
  std::vector<double> cp, ours, one, d2u, ratio_cp, ratio_d2u, cpu_cp, cpu_ours, cpu_d2u;
  bool correct = true;
  struct rusage usage {};
  for (int r = 0; r < rounds; ++r) {
    fs::remove_all(copy);
    ::sync();
    cp.push_back(Run({"cp", "-r", src.string(), copy.string()}, &usage));
    cpu_cp.push_back(Cpu(usage));
    FreshCopy(src, copy);
    ours.push_back(Run(Cli(copy, {}), &usage));
    cpu_ours.push_back(Cpu(usage));
    correct = correct && TrialListing(copy).empty();
    FreshCopy(src, copy);
    one.push_back(Run(Cli(copy, {"-j1"})));
    FreshCopy(src, copy);
    d2u.push_back(
        Run({"find", copy.string(), "-type", "f", "-exec", "dos2unix", "-q", "{}", "+"}, &usage));
    cpu_d2u.push_back(Cpu(usage));
    ratio_cp.push_back(ours.back() / cp.back());
    ratio_d2u.push_back(d2u.back() / ours.back());
  }
  std::printf("  %s, medians of %d rounds (load %s):\n", what, rounds, LoadAverage().c_str());
  std::printf("    cp -r %.3fs | terminelle-cli %.3fs (-j1 %.3fs) | dos2unix %.3fs%s\n", Median(cp),
              Median(ours), Median(one), Median(d2u), correct ? "" : "  NOT ALL CONVERTED");
  auto [lo_cp, hi_cp] = std::minmax_element(ratio_cp.begin(), ratio_cp.end());
  auto [lo_d, hi_d] = std::minmax_element(ratio_d2u.begin(), ratio_d2u.end());
  std::printf("    ours/cp %.2fx (%.2f-%.2f) | dos2unix/ours %.2fx (%.2f-%.2f) | -j1/ours %.2fx\n",
              Median(ratio_cp), *lo_cp, *hi_cp, Median(ratio_d2u), *lo_d, *hi_d,
              Median(one) / Median(ours));
  // What the machine's load cannot change: processor time, all threads counted.
  std::printf("    processor time: cp -r %.3fs | terminelle-cli %.3fs | dos2unix %.3fs\n",
              Median(cpu_cp), Median(cpu_ours), Median(cpu_d2u));
  std::fflush(stdout);
  fs::remove_all(copy);
  fs::remove_all(src);
}

// One file far larger than the memory allowed: the program's peak resident
// memory is read from its resource use.
void BigFile(const fs::path& base, std::size_t gigabytes) {
  fs::path folder = base / "big";
  fs::create_directories(folder);
  fs::path p = folder / "big.pl";
  const BigScript script = BigScript::Write(p, gigabytes);
  struct rusage ru {};
  double t = Run(Cli(folder, {}), &ru);
  ReportBigFile(gigabytes, t, ru, script.ConvertedIn(p));
  fs::remove_all(folder);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> bases;
  std::string only;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--dir") == 0)
      bases.emplace_back(argv[++i]);
    else if (std::strcmp(argv[i], "--only") == 0)
      only = argv[++i];
    else if (std::strcmp(argv[i], "--rounds") == 0)
      rounds = std::max(1, std::atoi(argv[++i]));
  }
  if (bases.empty()) bases = {"/dev/shm", "/var/tmp"};
  std::printf("terminelle-cli with its default tasks (%ld processors online)\n",
              ::sysconf(_SC_NPROCESSORS_ONLN));
  for (const fs::path& b : bases) {
    fs::path base = b / "terminelle-bench-cli";
    fs::create_directories(base);
    std::printf("== %s\n", base.c_str());
    if (only.empty() || only == "a") {
      Measure(base, "(a) 2,000 files of 100 kB (target ours/cp <= 1.2)", 2000, 100 * 1000, rounds);
    }
    if (only.empty() || only == "b") {
      Measure(base, "(b) 20,000 files of 2 kB (target dos2unix/ours >= 2.5)", 20000, 2 * 1000,
              rounds);
    }
    if ((only.empty() && b == bases.front()) || only == "c") BigFile(base, 3);
    fs::remove_all(base);
  }
  return 0;
}
