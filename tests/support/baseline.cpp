// TERMINELLE_BASELINE=1 runs every case of a test program on the
// instructions every processor of the family has.
#include <cstdlib>
#include <string>

#include "convert/bytescan.h"

namespace {

const bool kBaseline = [] {
  const char* v = std::getenv("TERMINELLE_BASELINE");
  const bool on = v != nullptr && std::string(v) == "1";
  SetPortableSearchOnly(on);
  return on;
}();

}  // namespace
