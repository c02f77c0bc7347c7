#include "convert/tally.h"

#include "base/errors.h"

namespace {

std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n > 1 ? many : one);
}

}  // namespace

bool IsRefusal(const VisitResult& result) {
  return result.Failed && result.Code == io_code::kAccessDenied;
}

void Tally::Count(const VisitResult& result) {
  if (result.Dropped) return;
  if (result.Failed) {
    ++(IsRefusal(result) ? Refused : Failed);
    return;
  }
  switch (result.Outcome) {
    case ConvertOutcome::kConverted:
      ++Converted;
      break;
    case ConvertOutcome::kUnchanged:
      ++Unchanged;
      break;
    case ConvertOutcome::kBinary:
    case ConvertOutcome::kLeftAlone:
      ++LeftAlone;
      break;
  }
}

std::string Tally::Text() const {
  return ::Count(Converted, "converti", "convertis") + ", " +
         ::Count(Unchanged, "inchangé", "inchangés") + ", " +
         ::Count(LeftAlone, "laissé tel quel", "laissés tels quels") + ", " +
         ::Count(Refused, "refusé", "refusés") + ", " + std::to_string(Failed) + " en échec";
}
