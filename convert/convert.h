#pragma once
// Rewriting one text file: lines split on CR, LF or CR LF, trimmed, given the
// chosen ending, then passed through the two replacement rules.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/errors.h"
#include "platform/codepage.h"
#include "platform/rewriterecord.h"

struct stat;
class FileClock;
class FileWriter;
class FolderEntry;
class Rewrite;

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

// A file converted up to the moment it would change: its new content waits
// in a temporary file, so that files converted on several threads can be
// committed in order, many with one barrier.
class PreparedConversion {
 public:
  ~PreparedConversion();
  PreparedConversion(const PreparedConversion&) = delete;
  PreparedConversion& operator=(const PreparedConversion&) = delete;
  // What the conversion does; kConverted once Pending() is committed.
  ConvertOutcome Outcome() const { return outcome_; }
  // The rewrite that puts the new content in place; null when there is
  // nothing to commit.
  Rewrite* Pending() const;
  // The size of the file as it was read.
  std::int64_t Bytes() const;

 private:
  struct State;
  explicit PreparedConversion(std::unique_ptr<State> state, ConvertOutcome outcome);
  friend std::unique_ptr<PreparedConversion> PrepareConversion(const FolderEntry& file,
                                                               const Conversion& conversion);
  std::unique_ptr<State> state_;
  ConvertOutcome outcome_;
};

// Converts the file at entry over itself up to the commit. Throws as
// ConvertFile does.
std::unique_ptr<PreparedConversion> PrepareConversion(const FolderEntry& file,
                                                      const Conversion& conversion);

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

// Converts the file at entry over itself. Throws EFOpenError, EOutOfMemory
// or EInOutError (32 when another program changed the file meanwhile); on
// any error the file keeps its previous content, or the other program's.
ConvertOutcome ConvertFile(const FolderEntry& file, const Conversion& conversion);

// What ConvertFile with KeepUnchanged would do to the file at entry; nothing
// is written. Throws as ConvertFile would, a file that would change but may
// not be written (read-only, or whose special bits could not be kept) included.
// listener, when given, is told every line.
TrialOutcome TryConvertFile(const FolderEntry& file, const Conversion& conversion,
                            TrialListener* listener = nullptr);

// Converts source into destination (the same path rewrites it in place),
// throwing as ConvertFile does.
void ConvertTextFile(const std::string& source, const std::string& destination, LineEnding kind,
                     const ReplaceRule& rule1, const ReplaceRule& rule2,
                     const CodePage& code_page = CodePage::System());

// As ConvertTextFile, telling what was done.
ConvertOutcome ConvertFile(const std::string& source, const std::string& destination,
                           LineEnding kind, const ReplaceRule& rule1, const ReplaceRule& rule2,
                           const CodePage& code_page, const ConvertOptions& options);

// TryConvertFile for the file at path.
TrialOutcome TryConvertFile(const std::string& source, LineEnding kind, const ReplaceRule& rule1,
                            const ReplaceRule& rule2, const CodePage& code_page);

// The program's error for a failure with errno err of the file at path
// (which tells a missing folder from a missing file; none when empty): the
// code table's message, and why in French with what the user can do.
EInOutError IoError(int err, const std::string& path = std::string());

// The error for the file at path, refused because this process could not
// give it back its setuid or setgid bit or its capability once rewritten.
EInOutError UnkeepableError(const std::string& path);

// The error for the file at path, refused because this process could not
// give it back its modification and access times once rewritten.
EInOutError UndatableError(const std::string& path);

// The error for the file at path, left alone because a rewrite in place was
// cut short and could not be settled here, its old content kept in copy
// when that lies beside it.
Exception CutShortError(const std::string& path, const MarkedCopy& copy);

// The error for the file at path, refused because it is to be rewritten in
// place and the program's state folder, which would keep its record, could
// not be used (errno err).
EInOutError StateFolderError(int err, const std::string& path);

// What is said of a folder whose flush failed with errno err once files
// were renamed in it: they are in place, but a power cut may undo it.
std::string UnflushedFolderMessage(int err);
// The error naming folder, as a window shows it, with why it failed.
Exception UnflushedFolderError(int err, const std::string& folder);
