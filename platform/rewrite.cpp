#include "platform/rewrite.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <utility>

#include "platform/contenthash.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/refusal.h"
#include "platform/rewriterecord.h"
#include "platform/writeover.h"

namespace {

bool SameState(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Whether err, met looking the file up again by its name, tells that
// another program removed, moved or replaced it, or closed it to this user.
bool Vanished(int err) {
  return err == ENOENT || err == ENOTDIR || err == ELOOP || err == EACCES;
}

// The inode flags a file keeps through a rewrite: those its owner may set
// (no atime, no dump, synchronous, compressed...) and a few of the file
// systems' own that a new file would not get; never those the system keeps
// for itself (extents, inline data, encryption), which it sets alone.
constexpr int kKeptFlags =
    FS_FL_USER_MODIFIABLE | FS_NOCOW_FL | FS_JOURNAL_DATA_FL | FS_PROJINHERIT_FL | FS_DAX_FL;
// What a folder tells of the files in it: what its file system is, and
// whether a new file may take flags from it. Asked once for each open
// folder a thread reads or writes in, since a folder's files come one after
// the other; it holds while the folder is open.
struct FolderFacts {
  std::weak_ptr<const Fd> folder;
  const FileWriter* writer = nullptr;
  FileSystemTraits traits;
  // Whether a new file may take flags from the folder (it has some, or
  // cannot tell).
  bool passes_flags = true;
};

const FolderFacts& FactsOf(const FolderEntry& entry, FileWriter& writer) {
  thread_local FolderFacts last;
  const std::shared_ptr<const Fd>& open = entry.OpenFolder();
  const bool same = open != nullptr && !last.folder.expired() && !last.folder.owner_before(open) &&
                    !open.owner_before(last.folder) && last.writer == &writer;
  if (same) return last;
  last.folder = open;
  last.writer = &writer;
  last.traits = TraitsOf(writer, entry.Folder());
  int flags = 0;
  last.passes_flags = !InodeFlags(writer, entry.Folder(), &flags) || (flags & kKeptFlags) != 0;
  return last;
}

}  // namespace

bool ChangeTimeTrusted(const FolderEntry& entry, FileWriter& writer) {
  return FactsOf(entry, writer).traits.TrustedChangeTime;
}

Rewrite::Rewrite(const FolderEntry& entry, int original, const struct stat& st, FileWriter& writer)
    : entry_(entry), original_(original), st_(st), writer_(&writer), temp_(writer) {}

Rewrite::Rewrite(const FolderEntry& entry, FileWriter& writer)
    : entry_(entry), writer_(&writer), temp_(writer) {}

int Rewrite::Begin() {
  const FolderFacts& folder = FactsOf(entry_, *writer_);
  durability_ = folder.traits.Outlive;
  if (original_ < 0) return MakeTemp(false);
  // The gate before anything is made or changed.
  if (int err = RefuseUnkeepable(*writer_, original_, st_)) return err;
  if (keep_dates_) {
    if (int err = RefuseUndatable(st_)) return err;
  }
  if (int err = RefuseFlagged(*writer_, original_, &flags_)) return err;
  in_place_ = st_.st_nlink > 1;
  const bool passes_flags = folder.passes_flags;
  if (int err = MakeTemp(true)) return err;
  if (!in_place_ && (!TempTakesOwner() || !TempTakesFlags(passes_flags))) in_place_ = true;
  // Its record goes there: a state folder it cannot use refuses it now,
  // before anything is written.
  return in_place_ ? UseStateFolder() : 0;
}

int Rewrite::MakeTemp(bool elsewhere_allowed) {
  // The permissions the file will have, from the start: only setuid and
  // setgid wait until the content is written, which would clear them. A
  // file rewritten in place only lends its content.
  const mode_t mode = original_ < 0 ? WorkFile::kNewFileBits
                      : in_place_   ? 0600
                                    : st_.st_mode & 0777;
  temp_private_ = mode == 0600;
  const int err = temp_.Create(entry_.Folder(), kTempPrefix, mode);
  if (err == 0) return 0;
  // A folder that takes no new file: the file is rewritten in place, from
  // a temporary file in the program's own folder.
  if (!elsewhere_allowed || (err != EACCES && err != EPERM)) return err;
  if (int e = UseStateFolder()) return e;
  if (int e = temp_.Create(state_folder_.get(), kTempPrefix, 0600)) return e;
  temp_private_ = true;
  in_place_ = true;
  return 0;
}

bool Rewrite::TempTakesOwner() {
  const int fd = temp_.fd();
  // The owner first: giving a file away clears its setuid and setgid bits.
  // Most files are the user's own, and the new one has their owner already.
  struct stat mine {};
  const bool known = ::fstat(fd, &mine) == 0;
  temp_ino_ = known ? mine.st_ino : 0;
  if ((!known || mine.st_uid != st_.st_uid || mine.st_gid != st_.st_gid) &&
      ::fchown(fd, st_.st_uid, st_.st_gid) != 0) {
    return false;
  }
  // Without the right to set setgid for a group it is not in, the system
  // silently drops the bit: such a file is rewritten in place instead.
  if ((st_.st_mode & S_ISGID) == 0) return true;
  struct stat now {};
  return ::fchmod(fd, st_.st_mode & 07777) == 0 && ::fstat(fd, &now) == 0 &&
         (now.st_mode & S_ISGID) != 0;
}

bool Rewrite::TempTakesFlags(bool from_folder) {
  // Set before the content: some (no copy on write) take only on an empty file.
  const int theirs = flags_;
  // A new file in a folder without flags has none to lose.
  if (!from_folder && (theirs & kKeptFlags) == 0) return true;
  int mine = 0;
  if (!InodeFlags(*writer_, temp_.fd(), &mine)) return (theirs & kKeptFlags) == 0;
  // What the temporary file took from its folder goes too.
  if ((mine & kKeptFlags) == (theirs & kKeptFlags)) return true;
  int wanted = (mine & ~kKeptFlags) | (theirs & kKeptFlags);
  int now = 0;
  return writer_->SetInodeFlags(temp_.fd(), wanted) == 0 &&
         InodeFlags(*writer_, temp_.fd(), &now) && (now & kKeptFlags) == (theirs & kKeptFlags);
}

int Rewrite::UseStateFolder() {
  if (state_folder_.get() < 0) state_error_ = OpenStateFolder(&state_folder_);
  return state_error_;
}

bool Rewrite::SameAsOld() const {
  // Most new contents differ in length, which needs no reading.
  if (original_ < 0 || ::lseek(temp_.fd(), 0, SEEK_CUR) != st_.st_size) return false;
  // Small files, the most common, need no large buffers.
  const std::size_t chunk =
      std::min<std::size_t>(kCopyChunk, static_cast<std::size_t>(st_.st_size) + 1);
  return CompareContents(*writer_, temp_.fd(), original_, chunk) == Likeness::kEqual;
}

int Rewrite::Commit(int* folder_error) {
  FinishOutput();
  std::vector<Rewrite*> one{this};
  if (int err = MakeDurableTogether(one)[0]) return err;
  if (int err = PutInPlace()) return err;
  const std::vector<FolderFlushFailure> folder = SyncFoldersOf(one);
  if (folder.empty()) return 0;
  if (folder_error == nullptr) return folder[0].Error;
  *folder_error = folder[0].Error;
  return 0;
}

void Rewrite::FinishOutput() {
  if (output_finished_) return;
  output_finished_ = true;
  writer_->Reached(WriteStep::kOutputWritten);
  if (original_ >= 0 && !in_place_ && !TakeIdentity()) in_place_ = true;
  // Once nothing more is written to it, and before its flush: a power cut
  // after the rename finds the dates with the content.
  if (keep_dates_ && Replaces() && GiveBackDates(temp_.fd()) != 0) in_place_ = true;
}

int Rewrite::GiveBackDates(int fd) const {
  const struct timespec times[2] = {st_.st_atim, st_.st_mtim};
  return ::futimens(fd, times) == 0 ? 0 : errno;
}

int Rewrite::CommitNew() {
  if (!temp_.exact() && ::fchmod(temp_.fd(), NewFileMode()) != 0) return errno;
  if (int err = SyncFile(*writer_, temp_.fd())) return err;
  writer_->Reached(WriteStep::kBeforeReplace);
  // Whoever made the file meanwhile keeps it: a link is refused over any name.
  if (temp_.name().empty()) {
    const int err = temp_.LinkAs(entry_.Folder(), entry_.Name());
    return err == EEXIST ? EBUSY : err;
  }
  if (::renameat2(temp_.folder(), temp_.name().c_str(), entry_.Folder(), entry_.Name().c_str(),
                  RENAME_NOREPLACE) != 0) {
    const int err = errno;
    if (err == EEXIST) return EBUSY;
    if (err != EINVAL && err != ENOSYS) return err;
    struct stat st {};
    if (entry_.Status(&st) == 0) return EBUSY;
    if (::renameat(temp_.folder(), temp_.name().c_str(), entry_.Folder(), entry_.Name().c_str()) !=
        0) {
      return errno;
    }
  }
  temp_.Keep();
  return 0;
}

bool Rewrite::TakeIdentity() {
  const int fd = temp_.fd();
  std::vector<std::string> mine;
  if (!ListAttributes(*writer_, fd, &mine)) return false;
  if (!theirs_listed_ && !ListAttributes(*writer_, original_, &theirs_)) return false;
  theirs_listed_ = true;
  std::vector<std::string>& theirs = theirs_;
  // Changing attributes (an ACL) may move the permission bits: they are
  // checked again at the end.
  bool changed = false;
  // What the temporary file took from its folder (a default ACL) goes:
  // the file ends with exactly the attributes it had.
  for (const std::string& name : mine) {
    if (std::find(theirs.begin(), theirs.end(), name) == theirs.end()) {
      if (writer_->RemoveAttribute(fd, name.c_str()) != 0) return false;
      changed = true;
    }
  }
  // The mode once the folder's ACL is gone, and its setuid and setgid bits
  // after the content, which clears them when written by anyone but root.
  const bool special = (st_.st_mode & 07000) != 0;
  if ((changed || special || !temp_.exact()) && ::fchmod(fd, st_.st_mode & 07777) != 0) {
    return false;
  }
  // File capabilities last: changing the owner or the content clears them.
  std::stable_partition(theirs.begin(), theirs.end(),
                        [](const std::string& n) { return n != kCapabilityAttribute; });
  std::string value;
  for (const std::string& name : theirs) {
    if (!ReadAttribute(*writer_, original_, name.c_str(), &value) ||
        writer_->SetAttribute(fd, name.c_str(), value.data(), value.size()) != 0) {
      return false;
    }
    changed = true;
  }
  struct stat now {};
  return !(changed || special) ||
         (::fstat(fd, &now) == 0 && (now.st_mode & 07777) == (st_.st_mode & 07777) &&
          now.st_uid == st_.st_uid && now.st_gid == st_.st_gid);
}

int Rewrite::CheckStillTheFileRead() const {
  // The name still leads to the inode read, so its status is that of the
  // open descriptor too: one call checks both. A name gone (or closed to
  // this user) is another program's doing; a file system that stopped
  // answering is told as such.
  struct stat by_name {};
  if (int err = entry_.Status(&by_name)) return Vanished(err) ? EBUSY : err;
  if (!SameState(by_name, st_)) return EBUSY;
  // A hash handed over is checked whenever given: a caller that read the
  // file long before knew better than this moment whether it was racy.
  if (!hashed_) return 0;
  // Read through a descriptor of its own: FUSE and network file systems
  // read again only what a new one opens, and may otherwise give back what
  // they cached of the file when it was first read.
  Fd now;
  if (int err = entry_.OpenForReading(&now)) return Vanished(err) ? EBUSY : err;
  struct stat opened {};
  if (::fstat(now.get(), &opened) != 0) return errno;
  if (opened.st_dev != st_.st_dev || opened.st_ino != st_.st_ino) return EBUSY;
  std::unique_ptr<char[]> buf(new char[kCopyChunk]);
  ContentHash hash;
  for (off_t offset = 0;;) {
    ssize_t n = PreadSome(*writer_, now.get(), buf.get(), kCopyChunk, offset);
    if (n < 0) return errno;
    if (n == 0) return hash.Value() == hash_ ? 0 : EBUSY;
    hash.Add(buf.get(), static_cast<std::size_t>(n));
    offset += n;
  }
}

int Rewrite::PutInPlace() {
  FinishOutput();
  if (original_ < 0) return CommitNew();
  if (in_place_) return RewriteInPlace();
  if (!durable_ && durability_ != Durability::kInMemory) {
    if (int err = SyncFile(*writer_, temp_.fd())) return err;
  }
  durable_ = true;
  // Named only now, so that a kill before leaves nothing; named before the
  // check, so that nothing comes between the check and the rename.
  if (int err = temp_.Name()) return err;
  if (int err = CheckStillTheFileRead()) return err;
  writer_->Reached(WriteStep::kBeforeReplace);
  if (::renameat(temp_.folder(), temp_.name().c_str(), entry_.Folder(), entry_.Name().c_str()) !=
      0) {
    // Refused over a file mounted on its name (mount --bind): told as a
    // file kept by another file system than its folder's, not as a change.
    return errno == EBUSY ? EXDEV : errno;
  }
  temp_.Keep();
  return 0;
}

int Rewrite::RewriteInPlace() {
  WorkFile backup(*writer_);
  RecordFile record(*writer_);
  std::string capability;
  if (int err = KeepOldContent(&backup, &record, &capability)) return err;
  writer_->Reached(WriteStep::kBackupKept);
  // Until it is whole again, a run of any user that meets the file leaves
  // it alone. Where the file system takes no mark, the record still tells
  // its own user's next start.
  const std::string& mark = backup.name();
  bool marked = false;
  if (int err = MarkRewriting(*writer_, original_, mark, &marked)) return err;
  int err = marked && !TakeMarkChange() ? EBUSY : 0;
  if (err == 0) err = record.MarkOldContentKept(marked);
  if (err == 0) err = CheckStillTheFileRead();
  Fd out;
  if (err == 0) {
    writer_->Reached(WriteStep::kBeforeRewrite);
    err = ReopenForWriting(original_, entry_, &out);
  }
  if (err != 0) {
    ClearRewriteMark(*writer_, original_, mark);
    return err;
  }
  err = WriteOver(*writer_, temp_.fd(), out.get(), st_.st_mode, capability, true);
  // Writing moved them: given back once the content is whole.
  if (err == 0 && keep_dates_) err = GiveBackDates(out.get());
  if (err != 0) {
    // The old content goes back, as after any failed write. When even that
    // fails, the record, the copy and the mark stay, and the next start
    // tries again.
    if (WriteOver(*writer_, backup.fd(), out.get(), st_.st_mode, capability, false) != 0) {
      backup.Keep();
      record.Keep();
      temp_.Keep();
      return err;
    }
    if (keep_dates_) GiveBackDates(out.get());
    ClearRewriteMark(*writer_, out.get(), mark);
    return err;
  }
  ClearRewriteMark(*writer_, out.get(), mark);
  writer_->Reached(WriteStep::kRewritten);
  // The copy goes before its record: a record without its copy, found at
  // the next start, tells a rewrite that had completed.
  backup.Remove();
  return 0;
}

int Rewrite::KeepOldContent(WorkFile* backup, RecordFile* record, std::string* capability) {
  if (int err = UseStateFolder()) return err;
  if (int err = NameTempPrivately()) return err;
  if (int err = MakeBackup(backup)) return err;
  ReadAttribute(*writer_, original_, kCapabilityAttribute, capability);
  // The record, naming everything, is on disk before anything is copied.
  RewriteRecord r;
  if (int err = Describe(*backup, *capability, &r)) return err;
  if (int err = record->Write(state_folder_.get(), r)) return err;
  if (int err = CopyContent(*writer_, original_, backup->fd(), false)) return err;
  if (int err = SyncFile(*writer_, backup->fd())) return err;
  if (int err = SyncFile(*writer_, temp_.fd())) return err;
  return SyncWorkFolders(*backup);
}

bool Rewrite::TakeMarkChange() {
  struct stat now {};
  if (::fstat(original_, &now) != 0) return false;
  struct stat expected = st_;
  expected.st_ctim = now.st_ctim;
  if (!SameState(now, expected)) return false;
  st_.st_ctim = now.st_ctim;
  return true;
}

int Rewrite::Describe(const WorkFile& backup, const std::string& capability,
                      RewriteRecord* r) const {
  struct stat backup_st {
  }, temp_st{};
  if (::fstat(backup.fd(), &backup_st) != 0 || ::fstat(temp_.fd(), &temp_st) != 0) return errno;
  r->Target = FullPathName(entry_.Path());
  r->Device = st_.st_dev;
  r->Inode = st_.st_ino;
  r->Owned = true;
  r->Owner = st_.st_uid;
  r->Group = st_.st_gid;
  r->Mode = st_.st_mode;
  r->Capability = capability;
  r->Mark = backup.name();
  r->Backup = Recorded(backup.folder() != entry_.Folder(), backup.name(), backup_st);
  r->Temp = Recorded(temp_.folder() != entry_.Folder(), temp_.name(), temp_st);
  return 0;
}

int Rewrite::NameTempPrivately() {
  // The record names the temporary file, read back at the next start: its
  // owner must be able to read it, and nobody else needs to.
  if (!temp_private_ && ::fchmod(temp_.fd(), 0600) != 0) return errno;
  return temp_.Name();
}

int Rewrite::MakeBackup(WorkFile* backup) {
  // Beside the file when its folder takes it.
  int err = backup->Create(entry_.Folder(), kBackupPrefix, 0600);
  if (err == 0) err = backup->Name();
  if (err == 0) return 0;
  err = backup->Create(state_folder_.get(), kBackupPrefix, 0600);
  return err != 0 ? err : backup->Name();
}

int Rewrite::SyncWorkFolders(const WorkFile& backup) const {
  // The names of the copy and of the temporary file, where the state
  // folder's flush (with the record's name) did not cover them.
  if (backup.folder() != state_folder_.get()) {
    if (int err = SyncFolder(*writer_, backup.folder())) return err;
  }
  if (temp_.folder() != state_folder_.get() && temp_.folder() != backup.folder()) {
    return SyncFolder(*writer_, temp_.folder());
  }
  return 0;
}

std::vector<int> MakeDurableTogether(const std::vector<Rewrite*>& rewrites) {
  std::vector<int> errors(rewrites.size(), 0);
  std::vector<FileWriter*> told;
  for (const Rewrite* r : rewrites) {
    if (!r->Replaces() || std::find(told.begin(), told.end(), r->writer_) != told.end()) continue;
    told.push_back(r->writer_);
    r->writer_->Reached(WriteStep::kBeforeBarrier);
  }
  // One barrier for each file system that honours it; the temporary files
  // lie beside their originals.
  std::vector<std::pair<dev_t, int>> barriers;
  for (std::size_t i = 0; i < rewrites.size(); ++i) {
    Rewrite& r = *rewrites[i];
    // A file rewritten in place flushes what it writes as it goes.
    if (!r.Replaces()) continue;
    FileWriter& writer = *r.writer_;
    const int fd = r.temp_.fd();
    switch (r.durability_) {
      case Durability::kInMemory:
        break;
      case Durability::kEachFile:
        errors[i] = SyncFile(writer, fd);
        break;
      case Durability::kBarrier: {
        const dev_t device = r.st_.st_dev;
        auto it = std::find_if(barriers.begin(), barriers.end(),
                               [device](const auto& b) { return b.first == device; });
        if (it == barriers.end()) {
          const int err = RetryInterrupted([&] { return writer.SyncAll(fd); }) == 0 ? 0 : errno;
          barriers.emplace_back(device, err);
          it = barriers.end() - 1;
        }
        // The barrier does not say whose data failed, and tells only what
        // failed since its own descriptor was opened: each file tells for
        // itself, through its own, with nothing left to write.
        errors[i] = it->second != 0 ? SyncFile(writer, fd) : SyncWritten(writer, fd);
        break;
      }
    }
    r.durable_ = errors[i] == 0;
  }
  return errors;
}

std::vector<FolderFlushFailure> SyncFoldersOf(const std::vector<Rewrite*>& rewrites) {
  std::vector<int> done;
  std::vector<FolderFlushFailure> failures;
  for (std::size_t i = 0; i < rewrites.size(); ++i) {
    const Rewrite& r = *rewrites[i];
    // Only a rename or a new file changes the folder.
    if ((r.original_ >= 0 && r.in_place_) || r.durability_ == Durability::kInMemory) continue;
    const int folder = r.Entry().Folder();
    if (std::find(done.begin(), done.end(), folder) != done.end()) continue;
    done.push_back(folder);
    if (int err = SyncFolder(*r.writer_, folder)) failures.push_back({i, err});
  }
  return failures;
}
