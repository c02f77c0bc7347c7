#pragma once
// What every program of the suite tells the user at start about files whose
// rewrite was cut short, and about state and settings it does not trust.

#include <string>
#include <vector>

#include "platform/folders.h"
#include "platform/rewriterecord.h"

// The text telling what RestoreInterruptedRewrites found and did, each path
// quoted where it must be.
std::string InterruptedRewritesText(const std::vector<InterruptedRewrite>& found);
// The text telling that the state folder could not be read (errno err), so
// that files a killed run cut short may not have been put back.
std::string StateFolderUnreadText(int err);
// Why the state folder could not be used (errno err from OpenStateFolder):
// whose it is, or that others may write it, when it is not this user's own;
// that it would be made in another user's folder; the system's reason
// otherwise.
std::string StateFolderTrouble(int err);

// What is said of u, kept for the user and found not theirs alone: what, a
// noun such as "le dossier d'état", then its path and whose it is or that
// others may write it.
std::string UntrustedText(const std::string& what, const Untrusted& u);
// What the user can do about u, as a clause.
std::string UntrustedAdvice(const Untrusted& u);
// The text telling that the state folder, or a record in it, is not this
// user's own (RestoreInterruptedRewrites): nothing is read, swept or
// converted.
std::string UntrustedStateText(const Untrusted& u);
