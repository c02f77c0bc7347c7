#pragma once
// What the benchmarks share: the users' kind of Perl scripts, trees of them,
// the window's first-start rules, and child processes timed side by side.

#include <sys/resource.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "convert/convert.h"

// The two rules of the window's first start.
extern const ReplaceRule kFirstStartRule1;
// See kFirstStartRule1.
extern const ReplaceRule kFirstStartRule2;

// Seconds on a steady clock.
double Now();
// The middle of some timings.
double Median(std::vector<double> v);
// The load average over one and five minutes, as "1.00 / 0.80".
std::string LoadAverage();
// Runs args to its end; returns its wall time in seconds, and its resource
// use when usage is given. Says so on stderr when it fails. Its standard
// output goes to the file stdout_to when given.
double Run(const std::vector<std::string>& args, struct rusage* usage = nullptr,
           const char* stdout_to = nullptr);
// The command of the run a user makes on a server with the command-line
// program: Unix endings, the two first-start rules, then extra, on folder.
std::vector<std::string> UserRun(const std::string& program, const std::filesystem::path& folder,
                                 const std::vector<std::string>& extra);
// A Perl script of about size bytes: CR LF, indents, trailing blanks and
// tabs, and a shebang and a library line in mixed case.
std::string PerlFile(std::mt19937& rng, std::size_t size);
// A script of short lines far larger than memory budgets, and its conversion
// to Unix with the first-start rules.
struct BigScript {
  // Writes about gigabytes GB of it to p.
  static BigScript Write(const std::filesystem::path& p, std::size_t gigabytes);
  // Whether p holds exactly its conversion.
  bool ConvertedIn(const std::filesystem::path& p) const;
  std::string block, expected;
  std::size_t blocks = 0;
};
// Prints the big file's line of figures.
void ReportBigFile(std::size_t gigabytes, double seconds, const struct rusage& usage, bool ok);
// files such scripts under root, 500 to a folder, the same for every call.
void MakeTree(const std::filesystem::path& root, int files, std::size_t size);
