#pragma once
// Linux errors told in the Windows codes that the program's messages are
// keyed on (io_code in base/errors.h).

#include <string>

// The code for errno value err; io_code::kGeneralFailure (a device does not
// work) for an errno without a code of its own.
int OsErrorCode(int err);
// As OsErrorCode, but ENOENT becomes io_code::kPathNotFound when a folder of
// path is missing.
int OsErrorCodeForPath(int err, const std::string& path);
// The system's text for err in the user's language, without trailing blanks
// and full stops.
std::string SystemErrorText(int err);
