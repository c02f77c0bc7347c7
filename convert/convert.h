#pragma once
// Rewriting one text file: lines split on CR, LF or CR LF, trimmed, given the
// chosen ending, then passed through the two replacement rules.

#include <cstdint>
#include <memory>
#include <string>

#include "convert/conversion.h"
#include "convert/ioerror.h"
#include "platform/codepage.h"

class FolderEntry;
class Rewrite;

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
