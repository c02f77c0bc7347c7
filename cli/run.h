#pragma once
// A run of terminelle-cli: the window's walk on this thread, the files
// converted on several, their reports in the walk's order.

#include "cli/options.h"

// Converts, or tries, every file run names; returns the exit status: 0, 1
// when a file failed or the folder is missing, 128 + the signal when stopped.
int RunConversion(const RunSettings& run);
