#pragma once
// What every program of the suite tells the user at start about files whose
// rewrite was cut short.

#include <string>
#include <vector>

#include "platform/rewriterecord.h"

// The text telling what RestoreInterruptedRewrites found and did, each path
// quoted where it must be.
std::string InterruptedRewritesText(const std::vector<InterruptedRewrite>& found);
// The text telling that the state folder could not be read (errno err), so
// that files a killed run cut short may not have been put back.
std::string StateFolderUnreadText(int err);
