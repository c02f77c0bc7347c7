#include "convert/tally.h"

#include "base/errors.h"

namespace {

std::string Count(std::size_t n, const char* one, const char* many) {
  return std::to_string(n) + " " + (n > 1 ? many : one);
}

bool Refusal(const std::exception_ptr& error) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const EInOutError& e) {
    return e.ErrorCode == io_code::kAccessDenied;
  } catch (...) {
  }
  return false;
}

}  // namespace

bool IsRefusal(const VisitResult& result) {
  return result.Failed && Refusal(result.Error);
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
