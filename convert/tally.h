#pragma once
// What a run did, counted from its results as they are told.

#include <cstddef>
#include <string>

#include "convert/visit.h"

// Whether result is a refusal: a file the program may not write (read-only,
// or whose special bits or capability it could not give back), told by the
// access code of its error.
bool IsRefusal(const VisitResult& result);

struct Tally {
  std::size_t Converted = 0;
  std::size_t Unchanged = 0;
  // Binary files, links, files dated outside 1980-2107.
  std::size_t LeftAlone = 0;
  // Files the program may not write (read-only, or whose special bits or
  // capability it could not give back).
  std::size_t Refused = 0;
  std::size_t Failed = 0;

  // Counts result; one dropped (its run stopped first) counts for nothing.
  void Count(const VisitResult& result);
  // "12 convertis, 1 inchangé, 3 laissés tels quels, 0 refusé, 0 en échec".
  std::string Text() const;
};
