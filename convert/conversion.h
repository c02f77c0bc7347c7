#pragma once
// What decides what a file becomes, and what a conversion or a trial of it
// tells: the types every part of the conversion shares.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/codepage.h"

struct stat;
class FileClock;
class FileWriter;

// The line end every output line receives.
enum class LineEnding : std::uint8_t { Windows = 0, Unix = 1, Mac = 2 };

// One replacement rule: every match of Search, ignoring case, becomes Replacement.
struct ReplaceRule {
  bool Enabled = false;
  std::string Search;
  std::string Replacement;
};

// What a conversion did.
enum class ConvertOutcome {
  // The destination holds the converted content.
  kConverted,
  // The converted content equals the destination's, which was left alone.
  kUnchanged,
  // The source holds a NUL byte: nothing was written.
  kBinary,
  // Not a regular file, a link, absent, dated outside 1980-2107, or one of
  // the program's own work files: nothing was read or written.
  kLeftAlone,
};

// How a conversion goes about its work.
struct ConvertOptions {
  // Leaves a destination whose content would not change untouched, dates
  // included, and makes no temporary file for it; such a file then needs no
  // write permission.
  bool KeepUnchanged = false;
  // Keeps the blanks and control bytes that begin a line; those that end it
  // still go, so a line of blanks only becomes empty.
  bool KeepIndentation = false;
  // Changes only the line ends: no blank or control byte goes, at either end
  // (a tab-separated line keeps its empty last fields). Wins over
  // KeepIndentation.
  bool EndingsOnly = false;
  // A UTF-8 byte-order mark (EF BB BF) that begins the file goes, before the
  // first line is trimmed; one anywhere else stays, as does one at the start
  // without this, being no blank.
  bool RemoveByteOrderMark = false;
  // A file converted over itself keeps its modification and access times
  // (its change time cannot be kept). Only its owner, or root, may give them
  // back: another's file is then refused before anything is written.
  bool KeepDates = false;
  // Lines longer than this are converted as a stream, holding back only
  // what a rule or a run of blanks needs, so that memory does not grow with
  // a line; shorter ones are converted whole, which is faster.
  std::size_t WholeLinesUpTo = std::size_t{1} << 20;
  // Bytes read at a time (at most 256 KiB); tests make both small.
  std::size_t ReadChunk = std::size_t{256} * 1024;
  // What files are written through, and the clock their dates are told by;
  // the system's when null. Tests hand in their own.
  FileWriter* Writer = nullptr;
  const FileClock* Clock = nullptr;
};

// What files are read and written through, and the clock their dates are
// told by: the options' own, or the system's.
FileWriter& WriterOf(const ConvertOptions& options);
const FileClock& ClockOf(const ConvertOptions& options);

// Everything that decides what a file becomes.
struct Conversion {
  LineEnding Kind = LineEnding::Windows;
  // Applied first.
  ReplaceRule Rule1;
  // Applied to what rule 1 gives.
  ReplaceRule Rule2;
  // The character set letters are compared in; the system's when null.
  const CodePage* Cp = nullptr;
  ConvertOptions Options;
};

// What converting a file over itself would do, found without writing.
struct TrialOutcome {
  // kConverted when the content would change.
  ConvertOutcome Outcome = ConvertOutcome::kLeftAlone;
  // Lines whose converted text differs from the line with its own break.
  std::uint64_t ChangedLines = 0;
};

// How much of a line too long to hold a trial tells.
constexpr std::size_t kTrialLineHead = 256;

// One line as a trial sees it, told in the file's order.
struct TrialLine {
  // From 1.
  std::uint64_t Number = 0;
  // The line as it stands, without its break, and its break (empty for a
  // last line without one).
  std::string_view Text;
  std::string_view Break;
  // What it would become: its text, then its last line break (empty when
  // the rules took it away). Text may hold further breaks a rule put there.
  std::string_view Converted;
  std::string_view ConvertedBreak;
  // Whether Converted and its break differ from Text and its break.
  bool Changed = false;
  // Changed, and Converted is Text: only the break changes.
  bool OnlyEnding = false;
  // The line was too long to hold: Text and Converted are their first
  // kTrialLineHead bytes at most, TextSize and ConvertedSize their sizes.
  bool Cut = false;
  std::uint64_t TextSize = 0;
  std::uint64_t ConvertedSize = 0;
};

// Told every line of a trial; whatever it throws ends the trial.
class TrialListener {
 public:
  virtual ~TrialListener() = default;
  // The file's status as it was opened, before any of its lines.
  virtual void Opened(const struct stat& /*status*/) {}
  virtual void Line(const TrialLine& line) = 0;
};
