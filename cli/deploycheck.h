#pragma once
// What would stop a script from running once deployed on this host, found
// as a trial converts it: a UTF-8 byte-order mark that hides #! from the
// kernel, a #! line that would end in a CR, an interpreter that is not there
// or cannot be run, no execute permission, and a script or folder that its
// group or others may write, which a CGI wrapper (suEXEC) refuses to run.
//
// A script is a file whose converted first line begins with #!, after a
// UTF-8 mark or blanks if any: the kernel looks at that, not at the name.
// Other files get no warning, and nor do Perl modules (.pm), which Perl
// loads and the kernel never runs, even those that begin with #!perl.

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "convert/convert.h"
#include "convert/schedule.h"

class DeployCheck : public TrialListener {
 public:
  // folder: the open folder that holds the file, named name.
  DeployCheck(int folder, std::string_view name);

  void Opened(const struct stat& status) override;
  void Line(const TrialLine& line) override;

  // Every warning, once the trial told every line.
  std::vector<TrialWarning> Finish() const;

 private:
  void Interpreter(const std::string& line);
  void Warn(std::uint64_t line, std::string text);

  const int folder_;
  const bool module_;
  mode_t mode_ = 0;
  bool script_ = false;
  std::vector<TrialWarning> warnings_;
};
