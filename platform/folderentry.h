#pragma once
// A file named by an open folder and a name in it: no later step goes through
// the path again, and no path length limits where the file may be.

#include <sys/stat.h>

#include <memory>
#include <string>
#include <utility>

#include "platform/fd.h"
#include "platform/pathchain.h"

class FolderEntry {
 public:
  // Nothing located yet.
  FolderEntry() = default;
  // The entry path.Name() of an open folder, reached by whoever opened it (a
  // walk, from its own descriptors); the rest of path only names it in
  // messages.
  FolderEntry(std::shared_ptr<const Fd> folder, PathChain path)
      : folder_(std::move(folder)), path_(std::move(path)) {}
  // Opens the folder of path (a long path a piece at a time), held until the
  // entry and its copies are dropped; 0 or errno (EISDIR when path names no
  // entry in a folder).
  int Locate(const std::string& path);
  // As Locate, then follows symbolic links at the end of path to the entry
  // they name, which need not exist yet; 0 or errno.
  int LocateThroughLinks(const std::string& path);
  // The open folder; negative before the entry is located.
  int Folder() const { return folder_ ? folder_->get() : -1; }
  // The open folder itself, shared by the entries of one listing: what is
  // learned of it holds as long as it is open, as it keeps its file system
  // mounted.
  const std::shared_ptr<const Fd>& OpenFolder() const { return folder_; }
  const std::string& Name() const { return path_.Name(); }
  // The path the entry was located by (the link's target for a link), put
  // together for a message.
  std::string Path() const { return path_.Text(); }
  // That path as its names, which copies of the entry share.
  const PathChain& Chain() const { return path_; }
  // A text that tells this entry from any other, whatever path reached it:
  // its folder's device and inode, and its name; as short as the name,
  // however deep the folder. The path when the folder's status cannot be read.
  std::string Identity() const;
  // The entry's own status, not following a link; 0 or errno.
  int Status(struct stat* st) const;
  // The status the walk read when it listed the entry, which spares asking
  // again before the entry is opened; null when none was given. Whatever is
  // opened is looked at again through its descriptor.
  const struct stat* Listed() const { return listed_ ? &listed_status_ : nullptr; }
  // Gives the entry the status the walk read (not following a link).
  void SetListed(const struct stat& st) {
    listed_status_ = st;
    listed_ = true;
  }
  // Opens the entry for reading into *file, never through a link nor
  // blocking on a pipe; 0 or errno. With keep_access_time, reading it
  // leaves its access time as it was, where this process may (the file's
  // owner, or with CAP_FOWNER); elsewhere it is opened as usual.
  int OpenForReading(Fd* file, bool keep_access_time = false) const;

 private:
  // Shared with the copies of this entry.
  std::shared_ptr<const Fd> folder_;
  PathChain path_;
  struct stat listed_status_ {};
  bool listed_ = false;
};
