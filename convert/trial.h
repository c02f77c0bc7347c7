#pragma once
// A trial: what converting a file over itself would do, found by converting
// it into a comparison with its own content and with each of its lines, so
// that nothing is written.

#include "convert/conversion.h"
#include "convert/source.h"

// What converting the open source with c would do; listener, when given, is
// told every line. Throws as the conversion would, a file that would change
// but may not be written included.
TrialOutcome TrySource(const Source& src, const Conversion& c, TrialListener* listener);
