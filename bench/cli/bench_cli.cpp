// Times terminelle-cli on trees like the users' against cp -r (the floor)
// and dos2unix (less work: no trimming, no rules), each on its own copy of
// the same tree, side by side in one run, and prints the ratios; with them,
// what keeping indentation costs, and a trial's diff against a plain trial.
// Then converts a copy of Perl's own library to Windows and back, with and
// without kept indentation, and counts the modules perl -c still passes,
// against the files the Perl check names.
//
//   bench_cli [--dir BASE]... [--only a|b|c|p] [--rounds N] [--perl-lib DIR]
// Without --dir, the trees are measured on /dev/shm and on /var/tmp.

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/corpus.h"

namespace fs = std::filesystem;

namespace {

// The user's run with the program built beside this benchmark.
std::vector<std::string> Cli(const fs::path& folder, const std::vector<std::string>& extra) {
  return UserRun(TERMINELLE_CLI, folder, extra);
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

// Processor seconds, user and system, that usage tells.
double Cpu(const struct rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// A fresh copy of src at copy, on disk before anything is timed.
void FreshCopy(const fs::path& src, const fs::path& copy) {
  fs::remove_all(copy);
  Run({"cp", "-r", src.string(), copy.string()});
  ::sync();
}

// The converted tree at copy, with one file in ten of src put back as it
// was, so that a trial finds those to change; returns how many.
int OneInTenChanged(const fs::path& src, const fs::path& copy) {
  FreshCopy(src, copy);
  Run(Cli(copy, {}));
  std::vector<fs::path> files;
  for (const auto& e : fs::recursive_directory_iterator(src)) {
    if (e.is_regular_file()) files.push_back(fs::relative(e.path(), src));
  }
  std::sort(files.begin(), files.end());
  int changed = 0;
  for (std::size_t i = 0; i < files.size(); i += 10, ++changed) {
    fs::copy_file(src / files[i], copy / files[i], fs::copy_options::overwrite_existing);
  }
  ::sync();
  return changed;
}

// How many lines of the file at p begin with prefix.
int LinesStartingWith(const fs::path& p, const std::string& prefix) {
  std::ifstream in(p, std::ios::binary);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) n += line.rfind(prefix, 0) == 0;
  return n;
}

void Measure(const fs::path& base, const char* what, int files, std::size_t size, int rounds) {
  fs::path src = base / "src";
  fs::path copy = base / "copy";
  fs::remove_all(src);
  MakeTree(src, files, size);
  ::sync();
  std::vector<double> cp, ours, one, d2u, keep, ratio_cp, ratio_d2u, ratio_keep, cpu_cp, cpu_ours,
      cpu_d2u, cpu_keep;
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
    keep.push_back(Run(Cli(copy, {"-k"}), &usage));
    cpu_keep.push_back(Cpu(usage));
    ratio_keep.push_back(keep.back() / ours.back());
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
  auto [lo_k, hi_k] = std::minmax_element(ratio_keep.begin(), ratio_keep.end());
  std::printf(
      "    -k %.3fs: -k/ours %.3fx (%.3f-%.3f; target <= 1.05), processor time %.3fs (%.3fx)\n",
      Median(keep), Median(ratio_keep), *lo_k, *hi_k, Median(cpu_keep),
      Median(cpu_keep) / Median(cpu_ours));
  std::fflush(stdout);

  // A trial with and without its diff, over the same tree, one file in ten to change.
  const int changed = OneInTenChanged(src, copy);
  const fs::path out = base / "diff.txt";
  std::vector<double> trial, diff, ratio_diff, cpu_trial, cpu_diff;
  for (int r = 0; r < rounds; ++r) {
    trial.push_back(Run(Cli(copy, {"-n"}), &usage, "/dev/null"));
    cpu_trial.push_back(Cpu(usage));
    diff.push_back(Run(Cli(copy, {"-n", "--diff"}), &usage, out.c_str()));
    cpu_diff.push_back(Cpu(usage));
    ratio_diff.push_back(diff.back() / trial.back());
  }
  const int shown = LinesStartingWith(out, "--- a/");
  const auto diff_size = fs::file_size(out);
  fs::remove(out);
  auto [lo_t, hi_t] = std::minmax_element(ratio_diff.begin(), ratio_diff.end());
  std::printf(
      "    one file in ten to change: -n %.3fs | -n --diff %.3fs (%d of %d files, %.1f MB): "
      "diff/trial %.2fx (%.2f-%.2f; target <= 2), processor time %.2fx\n",
      Median(trial), Median(diff), shown, changed, static_cast<double>(diff_size) / 1e6,
      Median(ratio_diff), *lo_t, *hi_t, Median(cpu_diff) / Median(cpu_trial));
  std::fflush(stdout);
  fs::remove_all(copy);
  fs::remove_all(src);
}

// Runs every command, jobs at a time, without input or output; returns
// their exit statuses in order (128 + the signal for one killed).
std::vector<int> Statuses(const std::vector<std::vector<std::string>>& commands, int jobs) {
  std::vector<int> status(commands.size(), -1);
  std::map<pid_t, std::size_t> running;
  std::size_t next = 0;
  while (next < commands.size() || !running.empty()) {
    while (next < commands.size() && static_cast<int>(running.size()) < jobs) {
      std::vector<char*> argv;
      for (const std::string& a : commands[next]) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      const pid_t pid = ::fork();
      if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
      }
      running[pid] = next++;
    }
    int st = 0;
    const pid_t pid = ::wait(&st);
    if (pid < 0) break;
    auto it = running.find(pid);
    if (it == running.end()) continue;
    status[it->second] = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    running.erase(it);
  }
  return status;
}

// The modules (paths under lib, in order) that perl -c passes with inc
// first in @INC, each module read from its own file under from.
std::set<std::string> PerlPasses(const std::vector<std::string>& modules, const fs::path& inc,
                                 const fs::path& from) {
  std::vector<std::vector<std::string>> commands;
  for (const std::string& m : modules) {
    commands.push_back({"timeout", "120", "perl", "-I" + inc.string(), "-c", (from / m).string()});
  }
  const std::vector<int> status =
      Statuses(commands, static_cast<int>(std::max(1L, ::sysconf(_SC_NPROCESSORS_ONLN))));
  std::set<std::string> passed;
  for (std::size_t i = 0; i < modules.size(); ++i) {
    if (status[i] == 0) passed.insert(modules[i]);
  }
  return passed;
}

// The files (under folder) that a trial's Perl check warns about, the
// conversion to Windows in hand; *warnings counts its lines.
std::set<std::string> PerlWarned(const fs::path& folder, bool keep, int* warnings) {
  const fs::path err = folder.parent_path() / "warnings.txt";
  std::string command = std::string("'") + TERMINELLE_CLI + "' -q -n --verifier-perl -r -F '*' " +
                        (keep ? "-k " : "") + "-f windows '" + folder.string() +
                        "' > /dev/null 2> '" + err.string() + "'";
  const int status = std::system(command.c_str());
  std::set<std::string> files;
  *warnings = 0;
  std::ifstream in(err);
  std::string line;
  const std::string prefix = folder.string() + "/";
  while (std::getline(in, line)) {
    // PATH:LINE: what would happen.
    std::size_t colon = line.find(':', prefix.size());
    while (colon != std::string::npos &&
           (colon + 1 >= line.size() || !std::isdigit(static_cast<unsigned char>(line[colon + 1]))))
      colon = line.find(':', colon + 1);
    if (line.rfind(prefix, 0) != 0 || colon == std::string::npos) continue;
    files.insert(line.substr(prefix.size(), colon - prefix.size()));
    ++*warnings;
  }
  fs::remove(err);
  if ((status != 0) != (*warnings > 0))
    std::printf("    (the check's status does not match its warnings)\n");
  return files;
}

// Converts folder to Windows and back, every file, indentation kept or not.
void RoundTrip(const fs::path& folder, bool keep) {
  for (const char* format : {"windows", "unix"}) {
    std::vector<std::string> args = {TERMINELLE_CLI, "-q", "-r", "-F", "*", "-f", format};
    if (keep) args.push_back("-k");
    args.push_back(folder.string());
    Run(args);
  }
}

std::string Sample(const std::set<std::string>& names) {
  std::string s;
  for (const std::string& n : names) s += (s.empty() ? "" : ", ") + n;
  return s.empty() ? "none" : s;
}

// Perl's own library converted to Windows and back: the modules perl -c
// passed before and still passes, without -k and with it, and the Perl
// check's files against those that fail through their own text.
void PerlLibrary(const fs::path& base, const fs::path& library) {
  std::error_code ec;
  const fs::path lib = fs::canonical(library, ec);
  if (ec || std::system("perl -e 1 2>/dev/null") != 0) {
    std::printf("  Perl library: %s or perl missing, skipped\n", library.c_str());
    return;
  }
  std::vector<std::string> modules;
  int files = 0;
  for (const auto& e : fs::recursive_directory_iterator(lib)) {
    if (!e.is_regular_file()) continue;
    ++files;
    if (e.path().extension() == ".pm") modules.push_back(fs::relative(e.path(), lib).string());
  }
  std::sort(modules.begin(), modules.end());
  const fs::path orig = base / "perl-orig", plain = base / "perl-plain", kept = base / "perl-kept";
  for (const fs::path& p : {orig, plain, kept}) FreshCopy(lib, p);
  int warnings = 0, kept_warnings = 0;
  const std::set<std::string> warned = PerlWarned(orig, false, &warnings);
  const std::set<std::string> kept_warned = PerlWarned(orig, true, &kept_warnings);
  RoundTrip(plain, false);
  RoundTrip(kept, true);
  const std::set<std::string> before = PerlPasses(modules, orig, orig);
  const std::set<std::string> after_plain = PerlPasses(modules, plain, plain);
  const std::set<std::string> after_kept = PerlPasses(modules, kept, kept);
  std::vector<std::string> broken, kept_broken;
  for (const std::string& m : before) {
    if (after_plain.count(m) == 0) broken.push_back(m);
    if (after_kept.count(m) == 0) kept_broken.push_back(m);
  }
  // Those that fail with their own file converted and the others as they were.
  const std::set<std::string> alone = PerlPasses(broken, orig, plain);
  std::set<std::string> own, unnamed;
  for (const std::string& m : broken) {
    if (alone.count(m) != 0) continue;
    own.insert(m);
    if (warned.count(m) == 0) unnamed.insert(m);
  }
  std::printf("  Perl library %s: %d files, %zu modules; perl -c passes on %zu before\n",
              lib.c_str(), files, modules.size(), before.size());
  std::printf(
      "    to Windows and back without -k: %zu of %zu still pass, %zu fail (%zu through "
      "their own text: %s)\n",
      before.size() - broken.size(), before.size(), broken.size(), own.size(), Sample(own).c_str());
  std::printf("    to Windows and back with -k: %zu of %zu still pass%s\n",
              before.size() - kept_broken.size(), before.size(),
              kept_broken.empty() ? " (target: all)" : "  SOME FAIL");
  std::printf(
      "    --verifier-perl: %zu files named (%d warnings), %zu with -k (%d); of the %zu "
      "failing through their own text, %zu not named%s\n",
      warned.size(), warnings, kept_warned.size(), kept_warnings, own.size(), unnamed.size(),
      unnamed.empty() ? " (target: 0)" : (": " + Sample(unnamed)).c_str());
  std::printf("    files named: %s\n", Sample(warned).c_str());
  std::fflush(stdout);
  for (const fs::path& p : {orig, plain, kept}) fs::remove_all(p);
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
  fs::path perl_lib = "/usr/share/perl/5.36";
  int rounds = 3;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--dir") == 0)
      bases.emplace_back(argv[++i]);
    else if (std::strcmp(argv[i], "--only") == 0)
      only = argv[++i];
    else if (std::strcmp(argv[i], "--rounds") == 0)
      rounds = std::max(1, std::atoi(argv[++i]));
    else if (std::strcmp(argv[i], "--perl-lib") == 0)
      perl_lib = argv[++i];
  }
  if (bases.empty()) bases = {"/dev/shm", "/var/tmp"};
  std::printf("terminelle-cli with its default tasks (%ld processors online)\n",
              ::sysconf(_SC_NPROCESSORS_ONLN));
  for (const fs::path& b : bases) {
    // Of this run only: others may be measuring on the same machine.
    fs::path base = b / ("terminelle-bench-cli-" + std::to_string(::getpid()));
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
    if ((only.empty() && b == bases.front()) || only == "p") PerlLibrary(base, perl_lib);
    fs::remove_all(base);
  }
  return 0;
}
