#pragma once
// Rewriting one text file: lines split on CR, LF or CR LF, trimmed, given the
// chosen ending, then passed through the two replacement rules.

#include <cstdint>
#include <string>

#include "convert/codepage.h"

// The line end every output line receives.
enum class LineEnding : std::uint8_t { Windows = 0, Unix = 1, Mac = 2 };

// One replacement rule: every match of Search, ignoring case, becomes Replacement.
struct ReplaceRule {
  bool Enabled = false;
  std::string Search;
  std::string Replacement;
};

// Converts source into destination (the same path rewrites it in place).
// Throws EFOpenError, EOutOfMemory or EInOutError; on any error the
// destination keeps its previous content.
void ConvertTextFile(const std::string& source, const std::string& destination, LineEnding kind,
                     const ReplaceRule& rule1, const ReplaceRule& rule2,
                     const CodePage& codePage = CodePage::System());

// Every occurrence of search in text, found without regard to case, replaced
// by replacement; matches do not overlap and a replacement is never searched again.
std::string ReplaceAllIgnoringCase(const std::string& text, const std::string& search,
                                   const std::string& replacement,
                                   const CodePage& codePage = CodePage::System());
