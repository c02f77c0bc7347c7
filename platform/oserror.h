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
// What err means, in French whatever the locale, beginning in lower case
// and without a full stop; the system's own text, in the locale's language,
// only for an errno no file operation of the program meets.
std::string SystemErrorText(int err);
