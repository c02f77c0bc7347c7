#pragma once
// The file a conversion reads: opened from the folder that lists it, only
// when it is a regular file to convert and never through a link, and its
// rewrite begun once it is known to be a file this process may write.

#include <sys/stat.h>

#include <optional>
#include <string>
#include <vector>

#include "platform/fd.h"
#include "platform/fileio.h"
#include "platform/folderentry.h"
#include "platform/rewrite.h"

// A source file open for reading, with its status as opened.
struct Source {
  FolderEntry Entry;
  Fd File;
  struct stat Status {};
  // The names of its extended attributes, when they could be listed.
  std::vector<std::string> Attributes;
  bool AttributesListed = false;
};

// How a file met in the middle of its rewrite in place by another run is
// taken: left alone and told, or settled first, through the writer, when
// its record is this user's (never by a trial, which writes nothing).
enum class MarkedSources { kSettle, kRefuse };

// Opens the file at entry into *s; false when it is to be left alone. Only
// regular files dated within what a DOS date can hold are converted; links,
// pipes and devices are never opened, nor the program's own files. Throws
// the program's error when the file cannot be looked at or opened, and when
// a rewrite in place cut it short (platform/rewriterecord.h) that is not
// settled here.
bool OpenSource(const FolderEntry& entry, Source* s, FileWriter& writer, MarkedSources marked);

// The file at path, as the user named it: the folders on the way may be
// links, the file itself is never followed. An entry that is not located
// (negative Folder()) when there is no such file.
FolderEntry Located(const std::string& path);

// Throws the refusal a rewrite of the source would meet before writing
// anything (read-only, special bits or dates it could not keep, immutable
// or append-only), as that rewrite tells it; a trial foresees it so.
void RefuseRewrite(const Source& src, bool keep_dates);

// Begins, in rewrite, the rewrite of the source over itself through writer,
// keeping its dates when keep_dates; throws the program's error when the
// file may not be written, or its rewrite cannot begin.
void BeginRewrite(const Source& src, FileWriter& writer, bool keep_dates,
                  std::optional<Rewrite>& rewrite);
