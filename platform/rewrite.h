#pragma once
// Replacing a file's content so that, whatever happens (a crash, a kill, a
// full disk, another program writing), the file holds its old content or its
// new one, with its owner, group, mode, names and extended attributes.
//
// The new content is first written whole to a temporary file beside the
// file, without a name until one is needed. Normally that file then takes
// the old one's identity and is renamed over it. When that would lose
// something (several hard links, an owner or a setgid bit this user cannot
// give, attributes that cannot be copied, a folder that takes no new file)
// the file is rewritten in place instead: its old content is copied aside
// and a record of where it belongs, with its mode and capability, is flushed
// to the program's state folder before the file is touched, so that the next
// start puts it back if the rewrite was cut short, or gives back its mode
// and capability if only they were. A file whose setuid, setgid bit or
// capability this user could not give back is refused before anything.
//
// Before the file is replaced or rewritten, it is checked to be the very file
// read and unchanged since (device, inode, size, modification and change
// times, through the open descriptor and through its name). A small window
// remains: a program that writes between that check and the rename (a few
// system calls later), or through a descriptor it opened earlier and keeps
// writing to after the rename, still loses that write; in place, writes made
// during the rewrite mix with it.

#include <sys/stat.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/fileio.h"

// A file named by an open folder and a name in it: no later step goes through
// the path again, and no path length limits where the file may be.
class FolderEntry {
 public:
  // Nothing located yet.
  FolderEntry() = default;
  // The entry name of an open folder, reached by whoever opened it (a walk,
  // from its own descriptors); path only names it in messages.
  FolderEntry(std::shared_ptr<const Fd> folder, std::string name, std::string path)
      : folder_(std::move(folder)), name_(std::move(name)), path_(std::move(path)) {}
  // Opens the folder of path (a long path a piece at a time), held until the
  // entry and its copies are dropped; false, with errno set, when it cannot
  // be opened.
  bool Locate(const std::string& path);
  // As Locate, then follows symbolic links at the end of path to the entry
  // they name, which need not exist yet.
  bool LocateThroughLinks(const std::string& path);
  // The open folder.
  int Folder() const { return folder_ ? folder_->get() : -1; }
  // The entry's name in the folder.
  const std::string& Name() const { return name_; }
  // The path the entry was located by (the link's target for a link).
  const std::string& Path() const { return path_; }
  // The entry's own status, not following a link; false with errno set.
  bool Status(struct stat* st) const;
  // The status the walk read when it listed the entry, which spares asking
  // again before the entry is opened; null when none was given. Whatever is
  // opened is looked at again through its descriptor.
  const struct stat* Listed() const { return listed_ ? &listed_status_ : nullptr; }
  // Gives the entry the status the walk read (not following a link).
  void SetListed(const struct stat& st) {
    listed_status_ = st;
    listed_ = true;
  }
  // The entry opened for reading, never through a link nor blocking on a
  // pipe; negative with errno set on failure.
  int OpenForReading() const;

 private:
  // Shared with the copies of this entry.
  std::shared_ptr<const Fd> folder_;
  std::string name_;
  std::string path_;
  struct stat listed_status_ {};
  bool listed_ = false;
};

// Throws EInOutError 5 unless the file may be written: a file without any
// write permission bit is refused even to root.
void RefuseUnwritable(const FolderEntry& entry, const struct stat& st);

// Throws EInOutError 5 when this process could not give the file, once
// rewritten, its setuid or setgid bit or its file capability back: writing
// clears them, and giving them back takes rights (being the owner, in the
// group, or privileges) this process may lack. Asks the system nothing for a
// file without those bits when the process may set capabilities.
void RefuseUnkeepable(int fd, const struct stat& st);

// A work file of the program (temporary, copy of an old content, record).
// It is made without a name where the file system allows it, so that a kill
// leaves nothing behind, and locked before it gets one, so that other
// instances tell it from one left behind. Removed when dropped, unless kept.
class WorkFile {
 public:
  // The mode asking Create for the permission bits any new file gets.
  static constexpr mode_t kNewFileBits = static_cast<mode_t>(-1);
  // No file yet.
  WorkFile() = default;
  // Removes the file (before closing it, so the lock covers its whole life).
  ~WorkFile();
  WorkFile(const WorkFile&) = delete;
  WorkFile& operator=(const WorkFile&) = delete;
  // Drops any file held, then creates one in folder with the permission bits
  // mode, locked; its name, when it needs one, is prefix followed by random
  // letters and digits. False with errno set.
  bool Create(int folder, const char* prefix, mode_t mode);
  // Gives the file its name in its folder, unless it has one; false with
  // errno set.
  bool Name();
  // Links the file in as name of folder, which must not exist; 0 or errno.
  // The file is then no work file any more.
  int LinkAs(int folder, const std::string& name);
  // The open file.
  int fd() const { return fd_.get(); }
  // Its folder (borrowed: it must outlive this object).
  int folder() const { return folder_; }
  // Its name in the folder; "" while it has none.
  const std::string& name() const { return name_; }
  // Whether it has the permission bits asked for: one that had to be made
  // with a name keeps 0600 rather than bits that would keep its owner out.
  bool exact() const { return exact_; }
  // Leaves the file on disk when dropped.
  void Keep() { name_.clear(); }
  // Removes the file now.
  void Remove();

 private:
  bool CreateNamed(mode_t mode);

  Fd fd_;
  int folder_ = -1;
  const char* prefix_ = "";
  std::string name_;
  bool exact_ = true;
};

// One rewrite of one file: the caller writes the new content to Output(),
// then calls Commit. Dropped without Commit, it changes nothing.
class Rewrite {
 public:
  // A rewrite of the existing regular file at entry, open for reading as
  // original (kept open by the caller until the rewrite ends) with status st
  // as read when it was opened. Throws EInOutError 5 for a file whose
  // special bits or capability could not be kept (RefuseUnkeepable), or
  // EInOutError when no temporary file can be made anywhere.
  Rewrite(const FolderEntry& entry, int original, const struct stat& st);
  // A new file at entry, which must not exist when committed.
  explicit Rewrite(const FolderEntry& entry);
  Rewrite(const Rewrite&) = delete;
  Rewrite& operator=(const Rewrite&) = delete;

  // Where the new content is written, from its start.
  int Output() const { return temp_.fd(); }
  // Whether the file changed so recently that another change within the same
  // tick of the system's clock would leave its dates as they are; the caller
  // then hashes what it reads (ContentHash) and hands that over.
  bool NeedsContentHash() const { return racy_; }
  // The ContentHash value of the whole content read, checked again before
  // the file changes.
  void SetContentHash(std::uint64_t hash) {
    hash_ = hash;
    hashed_ = true;
  }
  // Whether the new content written so far equals the file's old content
  // (never for a new file).
  bool SameAsOld() const;
  // Puts the new content in place. Throws EInOutError 32 when the file was
  // changed or replaced by someone else since it was opened (it is then left
  // as they left it), or EInOutError with the failure's code; the file keeps
  // its old content in both cases.
  void Commit();

  // Committing several files together, with one barrier for all their
  // contents, in three steps: Replaces tells, once the new content is
  // written, whether this rewrite may be one of them (a replacement by its
  // temporary file; a file rewritten in place or a new file is committed
  // alone); MakeDurableTogether passes the barrier; PutInPlace, in order,
  // then SyncFoldersOf.
  bool Replaces();
  // Puts the new content, made durable, in place; throws as Commit does.
  void PutInPlace();
  // Whether the file's content outlives a power cut only once flushed: not
  // on a file system kept in memory (tmpfs), where waiting for others to
  // share a barrier gains nothing.
  bool NeedsFlush() const;
  // The size of the new content, for a caller bounding what it holds.
  off_t NewSize() const;
  // The folder the file is in.
  const FolderEntry& Entry() const { return entry_; }

 private:
  void MakeTemp(bool elsewhere_allowed);
  std::string OpenStateFolder();
  [[noreturn]] void Fail(int err) const;
  void CommitNew();
  bool TakeIdentity();
  bool StillTheFileRead() const;
  // A replacement in two steps, which files committed together take one
  // after the other: the temporary file made durable, then checked
  // unchanged and renamed over the file.
  void MakeDurable();
  void RewriteInPlace();
  friend std::vector<int> MakeDurableTogether(const std::vector<Rewrite*>& rewrites);

  FolderEntry entry_;
  int original_ = -1;
  struct stat st_ {};
  // The state folder, when the temporary file had to go there.
  Fd state_folder_;
  WorkFile temp_;
  // Whether the temporary file has mode 0600, as one rewritten in place needs.
  bool temp_private_ = false;
  bool in_place_ = false;
  bool racy_ = false;
  bool identity_taken_ = false;
  bool hashed_ = false;
  std::uint64_t hash_ = 0;
};

// Makes the new contents of replacements (Replaces() true) durable with one
// barrier for each file system they are on, rather than one flush each;
// where a barrier fails, each of its files is flushed alone to find which.
// Gives, for each, 0 or the errno of its failure.
std::vector<int> MakeDurableTogether(const std::vector<Rewrite*>& rewrites);
// Flushes, once each, the folders of rewrites put in place, so that their
// renames outlive a power cut; 0 or the first failure's errno.
int SyncFoldersOf(const std::vector<Rewrite*>& rewrites);

// A hash of a file's content, fed piece by piece in order; how the content
// is cut into pieces does not change it. Eight bytes at a time, so that even
// a file of gigabytes costs little next to reading it.
class ContentHash {
 public:
  // Feeds the next n bytes.
  void Add(const char* p, std::size_t n);
  // The hash of everything fed so far.
  std::uint64_t Value() const;

 private:
  void Mix(std::uint64_t word);
  std::uint64_t hash_ = 0xcbf29ce484222325;
  std::uint64_t length_ = 0;
  unsigned char tail_[8] = {};
  std::size_t tail_size_ = 0;
};

// Whether a file of status st changed so recently that another change within
// the same tick of the system's clock would leave its dates as they are: its
// content read must then be hashed (ContentHash) and handed to its Rewrite.
bool ChangedInClockTick(const struct stat& st);

// Whether name is one of the program's own temporary or backup files, which
// are never converted: a marker and twenty random letters and digits, which
// no person would type.
bool IsWorkFileName(const char* name);
// Removes the work file name in folder when no running instance of the
// program holds it and it holds nothing worth keeping (a copy of an old
// content goes only when empty).
void SweepStaleWorkFile(int folder, const char* name);

// Removes the stale work files of folder, as SweepStaleWorkFile does.
void SweepStaleWorkFiles(const std::string& folder);

// The program's state folder ($XDG_STATE_HOME/Terminelle, by default
// ~/.local/state/Terminelle), created when missing; "" when it cannot be.
std::string StateFolder();

// A file whose rewrite was cut short, as found at start.
struct InterruptedRewrite {
  // The file's path.
  std::string Path;
  // True when its old content was put back.
  bool Restored = false;
  // Otherwise (it changed since, or could not be written), where its old
  // content is kept; "" when no copy is left.
  std::string KeptIn;
};

// Puts back the old content of files whose rewrite in place was cut short
// (by a kill, a crash or a power cut), gives back the mode and capability
// of those found with their new or old content, and cleans away what such
// rewrites left; returns what the user should be told. Rewrites still under way in
// another instance of the program are left alone.
std::vector<InterruptedRewrite> RestoreInterruptedRewrites();
