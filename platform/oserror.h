#pragma once
// Linux errors told in the Windows codes that the program's messages are
// keyed on (io_code in base/errors.h), and in French: one table says, for
// each errno, its code, its text and what a user whose file failed so can do.

#include <string>

// The code for errno value err; io_code::kGeneralFailure (a device does not
// work) for an errno without a code of its own.
int OsErrorCode(int err);
// As OsErrorCode, but ENOENT becomes io_code::kPathNotFound when a folder of
// path is missing.
int OsErrorCodeForPath(int err, const std::string& path);
// What err means, in French whatever the locale, beginning in lower case
// and without a full stop; the system's own text, in the locale's language,
// only for an errno no file operation of the program meets.
std::string SystemErrorText(int err);
// Why a file failed with err and what the user can do about it, in French
// ("plus de place sur le disque (ou quota atteint) : libérez de la place,
// puis relancez"); the text alone where there is nothing to do.
std::string FileErrorReason(int err);
