#pragma once
// What terminelle-cli --json writes on stdout for scripts: one object for
// each file met and each folder that failed, then the run's summary, one
// line each.

#include <string>

#include "cli/options.h"
#include "cli/summary.h"
#include "convert/schedule.h"

class JsonReport {
 public:
  explicit JsonReport(const RunSettings& run);

  // The object of one result, without its line end.
  std::string File(const VisitResult& result) const;
  // The summary's object, status the exit status, without its line end.
  std::string Summary(const RunCounts& counts, int status) const;

 private:
  // The outcome as it is named.
  const char* Outcome(const VisitResult& result) const;

  const bool trial_;
  const bool info_;
  const bool check_perl_;
};
