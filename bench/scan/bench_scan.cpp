// Times a walk of a tree of 100,000 entries whose filter matches 1 % of them,
// with a pump that does nothing, against `find DIR -iname PATTERN`, side by
// side in one run, and prints the ratio.
//
//   bench_scan [--dir BASE]
// Without --dir, the tree is measured on /dev/shm and on /var/tmp.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/corpus.h"
#include "scan/scrutedossier.h"

namespace fs = std::filesystem;

namespace {

constexpr int kTop = 10;
constexpr int kMiddle = 10;
constexpr int kFilesPerFolder = 999;  // 10 + 100 folders and 99,900 files
constexpr int kRounds = 7;
const char* const kPattern = "*.PL";

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Builds the tree; returns the number of entries and of files the pattern matches.
std::pair<long, long> MakeTree(const std::string& root) {
  long entries = 0, matching = 0;
  for (int a = 0; a < kTop; ++a) {
    for (int b = 0; b < kMiddle; ++b) {
      std::string folder = root + "/dossier" + std::to_string(a) + "/sous" + std::to_string(b);
      fs::create_directories(folder);
      entries += b == 0 ? 2 : 1;
      for (int f = 0; f < kFilesPerFolder; ++f) {
        // One name in a hundred ends in .pl, in mixed case as users write it.
        const bool perl = f % 100 == 42;
        std::string name = folder + "/fichier" + std::to_string(f) + (perl ? ".Pl" : ".txt");
        std::ofstream(name) << "x";
        ++entries;
        matching += perl ? 1 : 0;
      }
    }
  }
  return {entries, matching};
}

double TimeScanner(const std::string& root, long* reported) {
  TScruteDossier scanner;
  scanner.SetDossier(root);
  scanner.SetFiltre(kPattern);
  long count = 0;
  scanner.OnFichier = [&](TObject*, std::string) { ++count; };
  scanner.Pump = [] {};
  double start = Now();
  scanner.Execute();
  double t = Now() - start;
  *reported = count;
  return t;
}

double TimeFind(const std::string& root) {
  std::string command = "find '" + root + "' -iname '" + kPattern + "' > /dev/null";
  double start = Now();
  if (std::system(command.c_str()) != 0) std::fprintf(stderr, "find failed\n");
  return Now() - start;
}

void Measure(const std::string& base) {
  std::string templ = base + "/bench-scan-XXXXXX";
  if (mkdtemp(templ.data()) == nullptr) {
    std::printf("%s: cannot create a folder there, skipped\n", base.c_str());
    return;
  }
  const std::string root = templ;
  auto [entries, matching] = MakeTree(root);
  long reported = 0;
  TimeScanner(root, &reported);  // both start with a warm cache
  TimeFind(root);
  std::vector<double> scan, find;
  for (int i = 0; i < kRounds; ++i) {
    scan.push_back(TimeScanner(root, &reported));
    find.push_back(TimeFind(root));
  }
  fs::remove_all(root);
  const double s = Median(scan), f = Median(find);
  std::printf(
      "%-10s %ld entries, %ld matching (%ld reported): scanner %.1f ms, find %.1f ms, "
      "ratio %.2fx (target <= 1.5x)\n",
      base.c_str(), entries, matching, reported, s * 1e3, f * 1e3, s / f);
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::vector<std::string> bases;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--dir") == 0) bases.push_back(argv[++i]);
  }
  if (bases.empty()) bases = {"/dev/shm", "/var/tmp"};
  for (const std::string& base : bases) Measure(base);
  return 0;
}
