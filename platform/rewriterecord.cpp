#include "platform/rewriterecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/dirlist.h"
#include "platform/paths.h"
#include "platform/recordtext.h"
#include "platform/writeover.h"

namespace {

// Whether st is that of the work file f: the very one made, when the record
// tells which; else, for the first version's, one only this user could have
// made.
bool Matches(const RecordedFile& f, const struct stat& st) {
  if (!S_ISREG(st.st_mode)) return false;
  if (!f.Known) return OwnershipOf(st) == Ownership::kOwn;
  return st.st_dev == f.Device && st.st_ino == f.Inode && st.st_uid == f.Owner;
}

// Where the open folders of a record's files are: the rewritten file's and
// the state folder (negative when unknown).
struct Folders {
  int beside = -1;
  int state = -1;
  int Of(const RecordedFile& f) const {
    return f.Name.empty() || !IsRecordedWorkFileName(f.Name.c_str()) ? -1
           : f.InStateFolder                                         ? state
                                                                     : beside;
  }
};

// Opens for reading, into *file, the work file a record names, when it is
// still the one made; 0 or errno (ESTALE for another file under its name).
int OpenRecorded(const RecordedFile& f, const Folders& folders, Fd* file) {
  const int folder = folders.Of(f);
  if (folder < 0) return ENOENT;
  Fd fd(RetryInterrupted([&] {
    return ::openat(folder, f.Name.c_str(),
                    O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  }));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return errno;
  if (!Matches(f, st)) return ESTALE;
  *file = std::move(fd);
  return 0;
}

// Removes the work file a record names, and nothing else.
void RemoveRecorded(const RecordedFile& f, const Folders& folders) {
  const int folder = folders.Of(f);
  struct stat st {};
  if (folder < 0 || ::fstatat(folder, f.Name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
      !Matches(f, st)) {
    return;
  }
  ::unlinkat(folder, f.Name.c_str(), 0);
}

// Where the user finds the copy a record names.
std::string KeptPath(const RecordedFile& f, const RewriteRecord& r) {
  return (f.InStateFolder ? StateFolderPath() : FolderOf(r.Target)) + "/" + f.Name;
}

// Opens the very file the record names, located at target: only that one
// is opened, and it is checked again once open, its status going to *st.
// 0 or errno (ESTALE for another file at its path).
int OpenTarget(const RewriteRecord& r, const FolderEntry& target, Fd* file, struct stat* st) {
  auto same = [&r](const struct stat& s) {
    return S_ISREG(s.st_mode) && s.st_dev == r.Device && s.st_ino == r.Inode;
  };
  if (target.Folder() < 0) return ENOENT;
  if (int err = target.Status(st)) return err;
  if (!same(*st)) return ESTALE;
  Fd fd;
  if (int err = target.OpenForReading(&fd)) return err;
  if (::fstat(fd.get(), st) != 0) return errno;
  if (!same(*st)) return ESTALE;
  *file = std::move(fd);
  return 0;
}

// Whether the file, whose status is st, still has the owner, group and
// permissions it had when the record was made: nobody gave it away or
// changed who may use it since, so its mode and capability may go back.
bool KeepsItsOwnership(const RewriteRecord& r, const struct stat& st) {
  return (!r.Owned || (st.st_uid == r.Owner && st.st_gid == r.Group)) &&
         (st.st_mode & 0777) == (r.Mode & 0777);
}

// Whether the file target holds what the rewrite, or the putting back after
// it, left when cut short, rather than anything its owner saved since: its
// mark still there when it got one, and its content what writing over it
// leaves (temp, the new content, may be missing: negative); all read through
// writer.
bool CutShortByRewrite(FileWriter& writer, const ReadRecord& read, int target, int temp,
                       int backup) {
  std::string mark;
  const bool marked =
      ReadAttribute(writer, target, kRewriteMarkAttribute, &mark) && mark == read.r.Mark;
  if (!read.current) {
    // Earlier versions wrote from the start: only their mark tells that a
    // beginning of either content is theirs.
    return marked && ((temp >= 0 && CompareContents(writer, target, temp) == Likeness::kPrefix) ||
                      CompareContents(writer, target, backup) == Likeness::kPrefix);
  }
  if (read.phase == kMarked && !marked) return false;
  return (temp >= 0 && LeftByWriteOver(writer, target, temp)) ||
         LeftByWriteOver(writer, target, backup);
}

// Puts back the old content of a file cut short while the new content, or
// the old one put back, was being written over it; true once done.
bool PutBack(FileWriter& writer, const RewriteRecord& r, const FolderEntry& target, int target_fd,
             int backup_fd) {
  Fd out;
  return ReopenForWriting(target_fd, target, &out) == 0 &&
         WriteOver(writer, backup_fd, out.get(), r.Mode, r.Capability, false) == 0;
}

// Resolves one record of the open state folder: puts back a file cut short,
// gives back the mode and capability of one found whole, and takes its mark
// away; true with *report filled when the user should hear of it.
bool Resolve(FileWriter& writer, int state_folder, const ReadRecord& read,
             InterruptedRewrite* report) {
  const RewriteRecord& r = read.r;
  report->Path = r.Target;
  FolderEntry target;
  target.Locate(r.Target);
  const Folders folders{target.Folder(), state_folder};
  Fd target_fd;
  struct stat st {};
  const bool found = OpenTarget(r, target, &target_fd, &st) == 0;
  // Whatever it holds now, nothing tracks it once the record goes.
  struct Unmark {
    FileWriter& writer;
    int fd;
    const std::string& mark;
    ~Unmark() {
      if (fd >= 0) ClearRewriteMark(writer, fd, mark);
    }
  } unmark{writer, found ? target_fd.get() : -1, r.Mark};
  if (read.phase == kUntouched) {
    RemoveRecorded(r.Backup, folders);
    RemoveRecorded(r.Temp, folders);
    return false;
  }
  Fd backup_fd, temp_fd;
  const bool kept = OpenRecorded(r.Backup, folders, &backup_fd) == 0;
  const bool written = OpenRecorded(r.Temp, folders, &temp_fd) == 0;
  if (found && KeepsItsOwnership(r, st)) {
    const Likeness to_new =
        written ? CompareContents(writer, target_fd.get(), temp_fd.get()) : Likeness::kOther;
    const Likeness to_old =
        kept ? CompareContents(writer, target_fd.get(), backup_fd.get()) : Likeness::kOther;
    if (to_new == Likeness::kEqual || to_old == Likeness::kEqual) {
      // The rewrite, or the putting back after it failed, had written the
      // content whole; the mode and capability may not have followed yet.
      if (GiveBackMode(target_fd.get(), r.Mode) == 0 &&
          GiveBackCapability(writer, target_fd.get(), r.Capability) == 0) {
        RemoveRecorded(r.Backup, folders);
        RemoveRecorded(r.Temp, folders);
        return false;
      }
    } else if (kept && CutShortByRewrite(writer, read, target_fd.get(),
                                         written ? temp_fd.get() : -1, backup_fd.get())) {
      if (PutBack(writer, r, target, target_fd.get(), backup_fd.get())) {
        RemoveRecorded(r.Backup, folders);
        RemoveRecorded(r.Temp, folders);
        report->Restored = true;
        return true;
      }
    }
  }
  // Changed by someone since, gone, or not writable: the old content stays
  // where it was kept, and the user is told where.
  RemoveRecorded(r.Temp, folders);
  report->KeptIn = kept ? KeptPath(r.Backup, r) : "";
  return true;
}

// Reads and resolves the record name of the open state folder, unless an
// instance still holds it, it is not this user's own, or want turns it down;
// true when it was resolved, with *report filled when the user should hear
// of it (*told).
template <class Want>
bool ResolveRecord(FileWriter& writer, int folder, const std::string& name, Want want,
                   InterruptedRewrite* report, bool* told) {
  Fd fd;
  struct stat st {};
  // Not one still under way in another instance.
  if (OpenUnheld(folder, name.c_str(), &fd, &st) != 0 || OwnershipOf(st) != Ownership::kOwn) {
    return false;
  }
  std::string text(static_cast<std::size_t>(std::min<off_t>(st.st_size, kMostRecordBytes)), '\0');
  const ssize_t n = PreadSome(writer, fd.get(), text.data(), text.size(), 0);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  ReadRecord read;
  // A record that does not parse was cut short while it was written,
  // before anything was touched.
  const bool parsed = ParseRecord(text, &read);
  if (parsed && !want(read.r)) return false;
  *told = parsed && Resolve(writer, folder, read, report);
  ::unlinkat(folder, name.c_str(), 0);
  return true;
}

// The names of the records in the open state folder, in order, and of the
// other work files there; 0 or the errno that cut the listing short.
int StateFolderNames(int folder, std::vector<std::string>* records,
                     std::vector<std::string>* work_files) {
  FolderNames names;
  const int err = names.Read(folder);
  std::size_t cursor = 0;
  DirEntry entry;
  while (names.Next(&cursor, &entry)) {
    if (IsRecordName(entry.Name)) {
      records->emplace_back(entry.Name);
    } else if (IsWorkFileName(entry.Name)) {
      work_files->emplace_back(entry.Name);
    }
  }
  std::sort(records->begin(), records->end());
  return err;
}

// Opens the state folder for listing; 0, ENOENT when there is none, EPERM
// (with *untrusted, when given) when it is not this user's own, or errno.
int OpenStateListing(Fd* folder, Untrusted* untrusted) {
  const std::string path = StateFolderPath();
  if (path.empty()) return ENOENT;
  folder->reset(OpenListableFolder(path));
  struct stat st {};
  if (folder->get() < 0 || ::fstat(folder->get(), &st) != 0) return errno;
  const Ownership why = OwnershipOf(st);
  if (why == Ownership::kOwn) return 0;
  folder->reset();
  if (untrusted != nullptr) *untrusted = Untrusted{path, true, why, st.st_uid};
  return EPERM;
}

// The first of records in the open state folder that is not this user's
// own, into *untrusted; false when all are.
bool FindUntrustedRecord(int folder, const std::vector<std::string>& records,
                         Untrusted* untrusted) {
  for (const std::string& name : records) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
      continue;
    }
    const Ownership why = OwnershipOf(st);
    if (why != Ownership::kOwn) {
      *untrusted = Untrusted{StateFolderPath() + "/" + name, false, why, st.st_uid};
      return true;
    }
  }
  return false;
}

// The name of the copy a mark ends with, when it is one the program gives
// its work files (earlier versions marked files with the copy's path); ""
// otherwise.
std::string CopyNameIn(const std::string& mark) {
  const std::string name = mark.substr(mark.find_last_of('/') + 1);
  return name.find('\0') == std::string::npos && IsRecordedWorkFileName(name.c_str()) ? name : "";
}

}  // namespace

std::string StateFolderPath() {
  std::string state = UserStateFolder();
  return state.empty() ? "" : state + "/Terminelle";
}

int OpenStateFolder(Fd* folder) {
  const std::string path = StateFolderPath();
  if (path.empty()) return ENOENT;
  if (int err = MakeFolders(path)) return err;
  Fd fd(RetryInterrupted([&] { return ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0) return errno;
  if (OwnershipOf(st) != Ownership::kOwn) return EPERM;
  *folder = std::move(fd);
  return 0;
}

RecordedFile Recorded(bool in_state_folder, const std::string& name, const struct stat& st) {
  return RecordedFile{in_state_folder, name, true, st.st_dev, st.st_ino, st.st_uid};
}

int RecordFile::Write(int state_folder, const RewriteRecord& record) {
  const std::string text = RecordText(record);
  if (int err = file_.Create(state_folder, kRecordPrefix, 0600)) return err;
  if (int err = WriteFully(writer_, file_.fd(), text.data(), text.size())) return err;
  if (int err = SyncFile(writer_, file_.fd())) return err;
  if (int err = file_.Name()) return err;
  return SyncFolder(writer_, state_folder);
}

int RecordFile::MarkOldContentKept(bool marked) {
  const char phase = marked ? kMarked : kUnmarked;
  if (int err = WriteFullyAt(writer_, file_.fd(), &phase, 1, kPhaseOffset)) return err;
  return SyncFile(writer_, file_.fd());
}

int RestoreInterruptedRewrites(std::vector<InterruptedRewrite>* found, FileWriter& writer,
                               Untrusted* untrusted) {
  found->clear();
  Untrusted ignored;
  if (untrusted == nullptr) untrusted = &ignored;
  Fd folder;
  if (int err = OpenStateListing(&folder, untrusted)) return err == ENOENT ? 0 : err;
  std::vector<std::string> records, work_files;
  const int err = StateFolderNames(folder.get(), &records, &work_files);
  // Another account could have written it: none is read, and nothing swept.
  if (FindUntrustedRecord(folder.get(), records, untrusted)) return EPERM;
  for (const std::string& name : records) {
    InterruptedRewrite report;
    bool told = false;
    ResolveRecord(
        writer, folder.get(), name, [](const RewriteRecord&) { return true; }, &report, &told);
    if (told) found->push_back(report);
  }
  // What records named is settled; what none named and no instance holds
  // goes, unless the listing was cut short: a record not read may name it.
  if (err == 0) {
    for (const std::string& name : work_files) SweepStaleWorkFile(folder.get(), name.c_str());
  }
  return err;
}

int MarkRewriting(FileWriter& writer, int fd, const std::string& mark, bool* marked) {
  *marked = writer.SetAttribute(fd, kRewriteMarkAttribute, mark.data(), mark.size()) == 0;
  if (*marked) return 0;
  const int err = errno;
  return err == ENOTSUP || err == ENOSPC || err == E2BIG ? 0 : err;
}

void ClearRewriteMark(FileWriter& writer, int fd, const std::string& mark) {
  std::string now;
  if (ReadAttribute(writer, fd, kRewriteMarkAttribute, &now) && now == mark) {
    writer.RemoveAttribute(fd, kRewriteMarkAttribute);
  }
}

MarkedFile SettleMarkedFile(FileWriter& writer, const FolderEntry& entry, const struct stat& st,
                            const std::string& mark) {
  Fd state;
  const bool own_state = OpenStateListing(&state, nullptr) == 0;
  // The copy of the old content stays locked while its rewrite runs, beside
  // the file or in this user's state folder.
  const std::string copy = CopyNameIn(mark);
  for (const int folder : {entry.Folder(), state.get()}) {
    struct stat copy_st {};
    Fd held;
    if (!copy.empty() && folder >= 0 &&
        ::fstatat(folder, copy.c_str(), &copy_st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(copy_st.st_mode) &&
        OpenUnheld(folder, copy.c_str(), &held, &copy_st) == EWOULDBLOCK) {
      return MarkedFile::kBeingRewritten;
    }
  }
  if (!own_state) return MarkedFile::kCutShort;
  std::vector<std::string> records, work_files;
  StateFolderNames(state.get(), &records, &work_files);
  auto of_this_file = [&st](const RewriteRecord& r) {
    return r.Device == st.st_dev && r.Inode == st.st_ino;
  };
  for (const std::string& name : records) {
    InterruptedRewrite report;
    bool told = false;
    if (ResolveRecord(writer, state.get(), name, of_this_file, &report, &told)) {
      return MarkedFile::kSettled;
    }
  }
  return MarkedFile::kCutShort;
}

MarkedCopy FindMarkedCopy(int folder, const std::string& mark) {
  MarkedCopy copy;
  const std::string name = CopyNameIn(mark);
  struct stat st {};
  if (name.empty() || folder < 0 ||
      ::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
    return copy;
  }
  copy.Name = name;
  copy.Owner = st.st_uid;
  copy.Readable = ::faccessat(folder, name.c_str(), R_OK, AT_EACCESS) == 0;
  return copy;
}
