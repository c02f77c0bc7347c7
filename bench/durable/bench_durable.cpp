// Durable conversion of whole trees, side by side in one run, on a disk and
// on tmpfs: terminelle-cli (one task, and its default), the window, and their
// yardsticks: cp -r and dos2unix (which flush nothing), and the floor of a
// durable rewrite (floor.cpp: write + rename without flush, one flush per
// file, temporary files with one syncfs then renames, on one thread or as
// many as processors). Then a run over a tree already converted, by either
// program, against reading its files. Prints medians, ratios and the load
// average. A window's time is its run's, from the click to the end box, as
// it prints it; its whole process, the toolkit's start-up included, beside.
//
//   bench_durable [--dir BASE]... [--only a|b] [--rounds N]
//                 [--before-cli PATH] [--before-window PATH]
// The --before options add an earlier build of the two programs, timed in
// the same rounds.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/corpus.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Cli(const fs::path& folder, const std::vector<std::string>& extra,
                             const std::string& program = TERMINELLE_CLI) {
  return UserRun(program, folder, extra);
}

// A fresh copy of src at copy, on disk before anything is timed.
void FreshCopy(const fs::path& src, const fs::path& copy) {
  fs::remove_all(copy);
  Run({"cp", "-r", src.string(), copy.string()});
  ::sync();
}

struct Contender {
  std::string name;
  std::function<std::vector<std::string>(const fs::path& copy)> command;
};

std::vector<Contender> contenders = {
    {"cp -r",
     [](const fs::path& copy) {
       return std::vector<std::string>{"cp", "-r", (copy.parent_path() / "src").string(),
                                       (copy.string() + "-cp")};
     }},
    {"dos2unix",
     [](const fs::path& copy) {
       return std::vector<std::string>{"find",     copy.string(), "-type", "f", "-exec",
                                       "dos2unix", "-q",          "{}",    "+"};
     }},
    {"floor, no flush",
     [](const fs::path& copy) {
       return std::vector<std::string>{FLOOR, "nosync", copy.string()};
     }},
    {"floor, flush each",
     [](const fs::path& copy) {
       return std::vector<std::string>{FLOOR, "each", copy.string()};
     }},
    {"floor, batched",
     [](const fs::path& copy) {
       return std::vector<std::string>{FLOOR, "batched", copy.string()};
     }},
    {"floor, batched, parallel",
     [](const fs::path& copy) {
       return std::vector<std::string>{FLOOR, "parallel", copy.string()};
     }},
    {"terminelle-cli -j1", [](const fs::path& copy) { return Cli(copy, {"-j1"}); }},
    {"terminelle-cli", [](const fs::path& copy) { return Cli(copy, {}); }},
    {"window",
     [](const fs::path& copy) {
       return std::vector<std::string>{WINDOW_RUN, "unix", copy.string()};
     }},
};

// The seconds a window run printed to path: its run alone, from the click
// to the end box, without the toolkit's start-up; whole when it printed none.
double OwnTime(const std::string& path, double whole) {
  std::ifstream in(path);
  double t = 0;
  return in >> t ? t : whole;
}

void Measure(const fs::path& base, const char* what, int files, std::size_t size, int rounds) {
  const fs::path src = base / "src";
  const fs::path copy = base / "copy";
  fs::remove_all(src);
  MakeTree(src, files, size);
  ::sync();
  std::map<std::string, std::vector<double>> times;
  std::vector<double> rerun, rerun_window, reading;
  const std::string own_time = (base / "window-time.txt").string();
  for (int r = 0; r < rounds; ++r) {
    for (const Contender& c : contenders) {
      FreshCopy(src, copy);
      fs::remove_all(copy.string() + "-cp");
      ::sync();
      if (c.name.rfind("window", 0) == 0) {
        const double whole = Run(c.command(copy), nullptr, own_time.c_str());
        times[c.name + ", whole process"].push_back(whole);
        times[c.name].push_back(OwnTime(own_time, whole));
      } else {
        times[c.name].push_back(Run(c.command(copy)));
      }
    }
    // The last contender left a converted tree: run again, then read it.
    ::sync();
    rerun.push_back(Run(Cli(copy, {})));
    rerun_window.push_back(
        OwnTime(own_time, Run({WINDOW_RUN, "unix", copy.string()}, nullptr, own_time.c_str())));
    reading.push_back(
        Run({"sh", "-c", "find '" + copy.string() + "' -type f -exec cat {} + >/dev/null"}));
  }
  std::printf("  %s, medians of %d rounds (load %s):\n", what, rounds, LoadAverage().c_str());
  for (const Contender& c : contenders) {
    std::printf("    %-28s %7.3f s", c.name.c_str(), Median(times[c.name]));
    const std::string whole = c.name + ", whole process";
    if (times.count(whole) != 0) {
      std::printf(" (click to end box; the whole process %.3f s)", Median(times[whole]));
    }
    std::printf("\n");
  }
  const double batched = Median(times["floor, batched"]);
  const double parallel = Median(times["floor, batched, parallel"]);
  const double cp = Median(times["cp -r"]);
  std::printf("    cli/batched floor %.2fx (-j1 %.2fx), window/batched floor %.2fx\n",
              Median(times["terminelle-cli"]) / batched,
              Median(times["terminelle-cli -j1"]) / batched, Median(times["window"]) / batched);
  std::printf("    cli/parallel floor %.2fx, window/parallel floor %.2fx (target <= 1.10)\n",
              Median(times["terminelle-cli"]) / parallel, Median(times["window"]) / parallel);
  std::printf("    cli/cp %.2fx, window/cp %.2fx, dos2unix/cli %.2fx, dos2unix/window %.2fx\n",
              Median(times["terminelle-cli"]) / cp, Median(times["window"]) / cp,
              Median(times["dos2unix"]) / Median(times["terminelle-cli"]),
              Median(times["dos2unix"]) / Median(times["window"]));
  for (const char* program : {"terminelle-cli -j1", "terminelle-cli", "window"}) {
    const std::string before = std::string(program) + " (before)";
    if (times.count(before) != 0) {
      std::printf("    %s now/before %.2fx\n", program,
                  Median(times[program]) / Median(times[before]));
    }
  }
  std::printf(
      "    run over the converted tree %.3f s (window %.3f s), reading it %.3f s: %.2fx (window "
      "%.2fx; target <= 1)\n",
      Median(rerun), Median(rerun_window), Median(reading), Median(rerun) / Median(reading),
      Median(rerun_window) / Median(reading));
  std::fflush(stdout);
  fs::remove_all(copy);
  fs::remove_all(copy.string() + "-cp");
  fs::remove_all(src);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> bases;
  std::string only;
  int rounds = 3;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--dir") == 0) {
      bases.emplace_back(argv[++i]);
    } else if (std::strcmp(argv[i], "--only") == 0) {
      only = argv[++i];
    } else if (std::strcmp(argv[i], "--rounds") == 0) {
      rounds = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--before-cli") == 0) {
      const std::string program = argv[++i];
      contenders.push_back({"terminelle-cli -j1 (before)", [program](const fs::path& copy) {
                              return Cli(copy, {"-j1"}, program);
                            }});
      contenders.push_back({"terminelle-cli (before)",
                            [program](const fs::path& copy) { return Cli(copy, {}, program); }});
    } else if (std::strcmp(argv[i], "--before-window") == 0) {
      const std::string program = argv[++i];
      contenders.push_back({"window (before)", [program](const fs::path& copy) {
                              return std::vector<std::string>{program, "unix", copy.string()};
                            }});
    }
  }
  if (bases.empty()) bases = {"/var/tmp", "/dev/shm"};
  std::printf("durable conversion of whole trees (%ld processors online)\n",
              ::sysconf(_SC_NPROCESSORS_ONLN));
  for (const fs::path& b : bases) {
    const fs::path base = b / "terminelle-bench-durable";
    fs::create_directories(base);
    std::printf("== %s\n", base.c_str());
    if (only.empty() || only == "a") {
      Measure(base, "(a) 2,000 files of 100 kB", 2000, 100 * 1000, rounds);
    }
    if (only.empty() || only == "b") {
      Measure(base, "(b) 20,000 files of 2 kB", 20000, 2 * 1000, rounds);
    }
    fs::remove_all(base);
  }
  return 0;
}
