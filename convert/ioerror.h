#pragma once
// The program's errors for a file that failed: its code's message, the
// file's path, and why in French with what the user can do.

#include <string>

#include "base/errors.h"
#include "platform/rewriterecord.h"

// The program's error for a failure with errno err of the file at path
// (which tells a missing folder from a missing file; none when empty): the
// code table's message, and why in French with what the user can do
// (platform/oserror.h).
EInOutError IoError(int err, const std::string& path = std::string());

// The error for the file at path, refused because this process could not
// give it back its setuid or setgid bit or its capability once rewritten.
EInOutError UnkeepableError(const std::string& path);

// The error for the file at path, refused because this process could not
// give it back its modification and access times once rewritten.
EInOutError UndatableError(const std::string& path);

// The error for the file at path, left alone because a rewrite in place was
// cut short and could not be settled here, its old content kept in copy
// when that lies beside it.
Exception CutShortError(const std::string& path, const MarkedCopy& copy);

// The error for the file at path, refused because it is to be rewritten in
// place and the program's state folder, which would keep its record, could
// not be used (errno err).
EInOutError StateFolderError(int err, const std::string& path);

// What is said of a folder whose flush failed with errno err once files
// were renamed in it: they are in place, but a power cut may undo it.
std::string UnflushedFolderMessage(int err);
// The error naming folder, as a window shows it, with why it failed.
Exception UnflushedFolderError(int err, const std::string& folder);

// Whether a failure with the program's error code is a shortage that fewer
// files in hand may cure: a full disk or quota, or no descriptor left.
bool IsShortage(int code);

// The error for the file at path that could not be opened for reading with
// errno err: told as any failure of the file where fewer files in hand may
// open it (no descriptor left), which the schedule knows; otherwise the
// open error naming its full path.
[[noreturn]] void ThrowOpenError(int err, const std::string& path);
