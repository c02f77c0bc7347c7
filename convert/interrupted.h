#pragma once
// What every program of the suite tells the user at start about files whose
// rewrite was cut short.

#include <string>
#include <string_view>
#include <vector>

#include "platform/rewriterecord.h"

// How a program writes a name in that text; null writes it as it is.
using NameWriter = std::string (*)(std::string_view name);

// The text telling what RestoreInterruptedRewrites found and did, each path
// written by name.
std::string InterruptedRewritesText(const std::vector<InterruptedRewrite>& found,
                                    NameWriter name = nullptr);
// The text telling that the state folder could not be read (errno err), so
// that files a killed run cut short may not have been put back.
std::string StateFolderUnreadText(int err);
