#pragma once
// What the conversion's tests share: a character set of one byte per
// character, a rule that does nothing, a test that converts a text through a
// file of its folder, and options that write through the test's own writer.

#include <string>

#include "convert/convert.h"
#include "platform/codepage.h"
#include "platform/fileio.h"
#include "temp_folder.h"

// Windows-1252, whatever the locale.
inline const CodePage& Cp() {
  static const CodePage cp = CodePage::SingleByte("CP1252");
  return cp;
}

inline const ReplaceRule kNoRule{};

class ConvertTest : public FolderAndStateTest {
 protected:
  // What content becomes, converted over itself.
  std::string Convert(const std::string& content, LineEnding kind, const ReplaceRule& r1 = kNoRule,
                      const ReplaceRule& r2 = kNoRule) const {
    std::string p = Write("f.pl", content);
    ConvertTextFile(p, p, kind, r1, r2, Cp());
    return Read(p);
  }
};

// Options that write through writer.
inline ConvertOptions Through(FileWriter& writer) {
  ConvertOptions options;
  options.Writer = &writer;
  return options;
}
