#pragma once
// The DOS date and time of a file: the range of dates outside which the
// program leaves a file alone.

#include <cstdint>
#include <ctime>

// Packs mtime, in local time, as a DOS date (high 16 bits) and time (low 16
// bits, seconds halved); false and 0 outside the years 1980 to 2107.
bool DosDateTime(time_t mtime, int32_t* out);
