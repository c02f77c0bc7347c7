#include "convert/tally.h"

#include <gtest/gtest.h>

#include "base/errors.h"

TEST(Tally, CountsEachOutcomeAndNothingOfAStoppedRunsDroppedVisits) {
  Tally tally;
  for (ConvertOutcome o : {ConvertOutcome::kConverted, ConvertOutcome::kUnchanged,
                           ConvertOutcome::kBinary, ConvertOutcome::kLeftAlone}) {
    VisitResult r;
    r.Outcome = o;
    tally.Count(r);
  }
  // A refusal is told by its code; a visit its run's stop dropped is none.
  for (int code : {io_code::kAccessDenied, io_code::kDiskFull, 0}) {
    VisitResult r;
    r.Failed = code != 0;
    r.Dropped = code == 0;
    r.Code = code;
    tally.Count(r);
  }
  EXPECT_EQ(tally.Text(), "1 converti, 1 inchangé, 2 laissés tels quels, 1 refusé, 1 en échec");
}
