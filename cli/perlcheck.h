#pragma once
// Where a conversion would change what Perl reads in a script, found line by
// line as a trial tells them: a line that would end a pending here-document
// before its terminator, a terminator that would end it no more, and a line
// that would become a POD command or the =cut that ends one. A simple line
// scanner: what it cannot see is listed in the manual page.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

#include "convert/convert.h"

// Whether the file's name ends in .pl, .pm or .cgi, in any case.
bool IsPerlFileName(std::string_view name);
// Whether it ends in .pm, in any case: a module, which Perl loads.
bool IsPerlModuleName(std::string_view name);

class PerlCheck : public TrialListener {
 public:
  void Line(const TrialLine& line) override;

  // One warning: the line and what would happen there, in French.
  struct Warning {
    std::uint64_t Number;
    std::string Text;
  };
  const std::vector<Warning>& Warnings() const { return warnings_; }

 private:
  struct HereDoc {
    // The line that ends it, and how it was written (<<"EOT").
    std::string terminator;
    std::string written;
    // <<~: the terminator may be indented.
    bool indented;
    std::uint64_t opened;
  };
  enum class State { kCode, kPod, kHereDoc, kEnd };

  bool Ends(const HereDoc& doc, std::string_view line) const;
  void FindHereDocs(std::string_view line, std::uint64_t number);
  void Warn(std::uint64_t line, std::string text);

  State state_ = State::kCode;
  std::deque<HereDoc> pending_;
  std::vector<Warning> warnings_;
};
