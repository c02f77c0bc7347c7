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
  // The mark of a rewrite in place it bears (platform/rewriterecord.h), cut
  // short or under way in another instance: what it holds is none the user
  // wrote. Empty when it bears none.
  std::string Mark;
};

// Opens the file at entry into *s, its attributes and mark read through
// writer; false when it is to be left alone. Only regular files dated
// within what a DOS date can hold are converted; links, pipes and devices
// are never opened, nor the program's own files. Throws the program's error
// when the file cannot be looked at or opened. A marked file is opened as
// any other, and left as it is: Mark tells.
bool OpenSource(const FolderEntry& entry, Source* s, FileWriter& writer);

// Settles, through writer, the rewrite in place whose mark the source
// bears, when its record is this user's, as the next start would, and reads
// the source again as it is now; false when it is then to be left alone.
// Throws when it cannot be settled here (under way in another instance, cut
// short by another user's run). A source without a mark needs nothing.
// Never for a trial, which writes nothing.
bool SettleMarked(Source* s, FileWriter& writer);

// Throws, for a source that bears a mark, the error that says where its old
// content is kept; whatever reads a source's content asks it first.
void RefuseMarked(const Source& s);

// The file at path, as the user named it: the folders on the way may be
// links, the file itself is never followed. An entry that is not located
// (negative Folder()) when there is no such file.
FolderEntry Located(const std::string& path);

// Throws the refusal a rewrite of the source would meet before writing
// anything (read-only, special bits or dates it could not keep, immutable
// or append-only), as that rewrite tells it, asking through writer; a trial
// foresees it so.
void RefuseRewrite(const Source& src, FileWriter& writer, bool keep_dates);

// Begins, in rewrite, the rewrite of the source over itself through writer,
// keeping its dates when keep_dates; throws the program's error when the
// file may not be written, or its rewrite cannot begin.
void BeginRewrite(const Source& src, FileWriter& writer, bool keep_dates,
                  std::optional<Rewrite>& rewrite);
