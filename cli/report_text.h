#pragma once
// The French lines terminelle-cli writes of each file met: on stdout the
// list of a trial (or its diff), --info's lines and -v's; on stderr a failure
// with why, and a trial's warnings. Names are quoted where they hold control
// bytes.

#include <string>

#include "cli/options.h"
#include "cli/progress.h"
#include "convert/schedule.h"

class TextReport {
 public:
  // Whatever it writes takes the bar off its line first.
  TextReport(const RunSettings& run, ProgressBar& bar);

  // What stdout lists of a file that did not fail, if anything.
  void List(const VisitResult& result);
  // What stderr says of a result: its failure, then its warnings.
  void Complain(const VisitResult& result);

 private:
  const std::string root_;
  const bool trial_;
  const bool diff_;
  const bool info_;
  const Verbosity talk_;
  ProgressBar& bar_;
};
