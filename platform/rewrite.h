#pragma once
// Replacing a file's content so that, whatever happens (a crash, a kill, a
// full disk, another program writing), the file holds its old content or its
// new one, with its owner, group, mode, names, extended attributes and inode
// flags.
//
// The new content is first written whole to a temporary file beside the
// file, without a name until one is needed. Normally that file then takes
// the old one's identity and is renamed over it. When that would lose
// something (several hard links, an owner or a setgid bit this user cannot
// give, attributes that cannot be copied, a folder that takes no new file)
// the file is rewritten in place instead: its old content is copied aside
// and a record of where it belongs, with its mode and capability, is flushed
// to the program's state folder before the file is touched
// (platform/rewriterecord.h), so that the next start puts it back if the
// rewrite was cut short, or gives back its mode and capability if only they
// were; the file bears a mark meanwhile, so that no other run takes what is
// cut short for its content. A file whose setuid, setgid bit, capability or
// immutable or append-only flag this user could not keep is refused before
// anything.
//
// Before the file is replaced or rewritten, it is checked to be the very file
// read and unchanged since (device, inode, size, modification and change
// times, through the open descriptor and through its name, and the content
// hash handed over). A small window remains: a program that writes between
// that check and the rename (a few system calls later), or through a
// descriptor it opened earlier and keeps writing to after the rename, still
// loses that write; in place, writes made during the rewrite mix with it.

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/durability.h"
#include "platform/fd.h"
#include "platform/fileio.h"
#include "platform/folderentry.h"
#include "platform/refusal.h"
#include "platform/workfile.h"

class RecordFile;
struct RewriteRecord;

// A folder whose flush failed: rewrites[First] is the first of those put in
// place in it.
struct FolderFlushFailure {
  std::size_t First = 0;
  int Error = 0;
};

// Whether every change of a file in the folder of entry moves its change
// time, as its file system's type tells (platform/durability.h); elsewhere
// a file read is hashed whatever its dates, and hashed again before it is
// replaced. Asked through writer once for each open folder.
bool ChangeTimeTrusted(const FolderEntry& entry, FileWriter& writer);

// One rewrite of one file: Begin, then the caller writes the new content to
// Output() and either calls Commit, or, to commit several files together,
// FinishOutput, MakeDurableTogether, PutInPlace in order and SyncFoldersOf.
// Dropped without a commit, it changes nothing.
class Rewrite {
 public:
  // A rewrite of the existing regular file at entry, open for reading as
  // original (kept open by the caller until the rewrite ends) with status st
  // as read when it was opened, written through writer (which must outlive
  // it).
  Rewrite(const FolderEntry& entry, int original, const struct stat& st, FileWriter& writer);
  // A new file at entry, which must not exist when committed.
  Rewrite(const FolderEntry& entry, FileWriter& writer);
  Rewrite(const Rewrite&) = delete;
  Rewrite& operator=(const Rewrite&) = delete;

  // The file keeps its modification and access times, as read when it was
  // opened; set before Begin.
  void KeepDates() { keep_dates_ = true; }
  // Makes the temporary file; 0, EPERM for a file whose special bits or
  // capability (RefuseUnkeepable), or dates when kept (RefuseUndatable),
  // could not be kept or whose flags forbid it (RefuseFlagged), or the
  // errno that left no temporary file anywhere.
  int Begin();
  // The errno that kept the program's state folder from being used when the
  // rewrite needed it (in place, or for a temporary file the file's folder
  // does not take); 0 otherwise.
  int StateFolderError() const { return state_error_; }
  // Where the new content is written, from its start.
  int Output() const { return temp_.fd(); }
  // The hash (platform/contenthash.h) of the whole content read, checked
  // again before the file changes.
  void SetContentHash(std::uint64_t hash) {
    hash_ = hash;
    hashed_ = true;
  }
  // The names of the file's extended attributes, as listed when it was
  // opened: the temporary file is given those, without listing them again.
  void SetAttributeNames(std::vector<std::string> names) {
    theirs_ = std::move(names);
    theirs_listed_ = true;
  }
  // Whether the new content written so far equals the file's old content
  // (never for a new file).
  bool SameAsOld() const;
  // The whole commit of this one file: the new content made durable, put in
  // place, its folder flushed. 0, EBUSY when the file was changed or
  // replaced by someone else since it was opened (it is then left as they
  // left it), or the errno of the failure (EXDEV for a file mounted over its
  // name, which cannot be renamed over), the file keeping its old content.
  // When folder_error is given, a folder flush that fails once the file is
  // in place goes there and 0 is returned; otherwise it is returned.
  int Commit(int* folder_error = nullptr);

  // The new content is complete: the temporary file takes the file's
  // attributes and mode, or, where it cannot, the file is to be rewritten in
  // place. Once, before the commit.
  void FinishOutput();
  // Whether, once FinishOutput is done, the temporary file is renamed over
  // the file (false for a file rewritten in place, and for a new file).
  bool Replaces() const { return original_ >= 0 && !in_place_; }
  // What the new content needs to outlive a power cut, as its file system
  // tells (asked when Begin made the temporary file).
  Durability NeedsToOutlive() const { return durability_; }
  // Puts the new content in place, answering as Commit does: renamed over
  // the file once MakeDurableTogether made it durable (flushed here if it
  // did not), written over it in place, or linked in as the new file.
  int PutInPlace();
  const FolderEntry& Entry() const { return entry_; }
  // The inode that holds the file once it is put in place: the temporary
  // file's, renamed over it, or its own, rewritten in place.
  ino_t PlacedInode() const { return Replaces() ? temp_ino_ : st_.st_ino; }

 private:
  int MakeTemp(bool elsewhere_allowed);
  // Gives the temporary file the file's owner, group and setgid bit; false
  // when this process may not, and the file is then rewritten in place.
  bool TempTakesOwner();
  // Gives the temporary file the file's inode flags (no atime, no dump,
  // synchronous...), which a new file does not inherit, and takes away those
  // it took from its folder (when from_folder); false when they cannot be
  // set, and the file is then rewritten in place.
  bool TempTakesFlags(bool from_folder);
  int UseStateFolder();
  int CommitNew();
  bool TakeIdentity();
  // Gives fd the file's modification and access times; 0 or errno.
  int GiveBackDates(int fd) const;
  // 0 when the file is still the one read, unchanged; EBUSY when another
  // program changed or replaced it, or the errno that kept it from being told.
  int CheckStillTheFileRead() const;
  int RewriteInPlace();
  // Copies the old content aside, with a record naming everything, all on
  // disk before the file is touched; *capability receives the file's.
  int KeepOldContent(WorkFile* backup, RecordFile* record, std::string* capability);
  // What the record of this rewrite in place says, its copy being backup.
  int Describe(const WorkFile& backup, const std::string& capability, RewriteRecord* r) const;
  int NameTempPrivately();
  // Makes the copy of the old content, named, beside the file when its
  // folder takes it, else in the state folder.
  int MakeBackup(WorkFile* backup);
  // Takes the change of the file's status its mark made as this rewrite's
  // own, once the file is shown unchanged otherwise; false when it was not.
  bool TakeMarkChange();
  int SyncWorkFolders(const WorkFile& backup) const;
  friend std::vector<int> MakeDurableTogether(const std::vector<Rewrite*>& rewrites);
  friend std::vector<FolderFlushFailure> SyncFoldersOf(const std::vector<Rewrite*>& rewrites);

  FolderEntry entry_;
  int original_ = -1;
  struct stat st_ {};
  FileWriter* writer_;
  // The state folder, once the temporary file or the record had to go there.
  Fd state_folder_;
  int state_error_ = 0;
  WorkFile temp_;
  Durability durability_ = Durability::kEachFile;
  // The file's inode flags, as Begin read them.
  int flags_ = 0;
  ino_t temp_ino_ = 0;
  // Whether the temporary file has mode 0600, as one rewritten in place needs.
  bool temp_private_ = false;
  bool in_place_ = false;
  bool keep_dates_ = false;
  bool output_finished_ = false;
  // Made durable by MakeDurableTogether.
  bool durable_ = false;
  bool hashed_ = false;
  std::uint64_t hash_ = 0;
  // The file's attributes' names, once listed.
  std::vector<std::string> theirs_;
  bool theirs_listed_ = false;
};

// Makes the new contents of replacements (Replaces() true) durable, as their
// file systems need: one barrier for each file system that honours it,
// rather than one flush each, then each file's own write-back errors read
// through its own descriptor; a flush of each file elsewhere. Where a
// barrier fails, each of its files is flushed alone to find which. Gives,
// for each, 0 or the errno of its failure (0 for those it does not flush).
std::vector<int> MakeDurableTogether(const std::vector<Rewrite*>& rewrites);

// Flushes, once each, the folders of rewrites put in place, so that their
// renames outlive a power cut; one failure for each folder that fails.
std::vector<FolderFlushFailure> SyncFoldersOf(const std::vector<Rewrite*>& rewrites);
