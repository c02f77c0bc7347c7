#pragma once
// File-name patterns as the folder listings understand them: "*" for any run
// of characters, "?" for one character, letter case ignored.

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/codepage.h"

// One pattern, upper-cased once so that each name costs a single pass.
class WildcardPattern {
 public:
  // The pattern text as the user typed it; code_page decides letters and characters.
  WildcardPattern(const std::string& pattern, const CodePage& code_page);

  // Whether name[0, n) matches, without regard to case.
  bool Matches(const char* name, std::size_t n) const;
  // Whether no name can match (an empty pattern, or one naming a sub-folder).
  bool MatchesNothing() const { return nothing_; }

 private:
  const CodePage* code_page_;
  std::string upper_;
  bool everything_ = false;
  bool nothing_ = false;
};

// Whether name matches pattern, both already upper-cased; with utf8, "?" and
// the runs of "*" take whole characters rather than bytes.
bool WildcardMatchUpper(std::string_view pattern, std::string_view name, bool utf8);
