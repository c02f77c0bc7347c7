#pragma once
// What terminelle-cli counts of the files it meets, and the French lines on
// stderr that end its run with them.

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/options.h"
#include "convert/schedule.h"
#include "convert/tally.h"

// "3 lignes": n, then its noun, plural from 2 on as French has it.
std::string Plural(std::size_t n, const char* one, const char* many);

struct RunCounts {
  // Counts a result that was carried out; inspecting for --info.
  void Add(const VisitResult& result, bool inspecting);

  Tally Files;
  // Files left alone for a NUL byte, among Files.LeftAlone.
  std::size_t Binary = 0;
  // Files with at least one warning.
  std::size_t Warned = 0;
  // What inspections found: the text files read, the files with line ends
  // of several kinds, with a byte-order mark, with a last line without an
  // end, with lines ending in blanks; and their lines by ending, and those
  // ending in blanks.
  std::size_t TextFiles = 0, Mixed = 0, Marked = 0, Unended = 0, BlankFiles = 0;
  std::uint64_t CrLf = 0, Lf = 0, Cr = 0, BlankLines = 0;
};

// Writes the run's last lines on stderr: why it stopped, if a signal (not 0)
// stopped it, and what it did.
void WriteSummary(const RunCounts& counts, const RunSettings& run, int signal);
