#pragma once
// Linux errors told in the Windows codes that the program's messages are keyed on.

#include <string>

// The Windows-style code for errno value err. The whole mapping lives here:
//   ENOENT 2, ENOTDIR 3, EMFILE/ENFILE 4, EACCES/EPERM/EISDIR 5, ENOMEM 8,
//   EXDEV 17, EROFS 19, ENXIO 21, EBUSY/ETXTBSY 32, EAGAIN 33, EEXIST 80,
//   EINVAL 87, ENOSPC/EDQUOT 112, ENAMETOOLONG 206, EFBIG 223, EIO 1117,
//   ELOOP 1921, anything else 31 (a device does not work).
int OsErrorCode(int err);
// As OsErrorCode, but ENOENT becomes 3 when a folder of path is missing.
int OsErrorCodeForPath(int err, const std::string& path);
// The system's text for err in the user's language, without trailing blanks
// and full stops.
std::string SystemErrorText(int err);
// path made absolute against the current folder, "." and ".." resolved by
// name (links are not followed).
std::string FullPathName(const std::string& path);
