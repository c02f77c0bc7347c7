#include "platform/rewriterecord.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/dirlist.h"
#include "platform/folderentry.h"
#include "platform/folders.h"
#include "platform/writeover.h"

namespace {

constexpr char kRecordMagic[] = "terminelle-reprise 2\n";
// Without the identities of the work files it names.
constexpr char kOldRecordMagic[] = "terminelle-reprise 1\n";
static_assert(sizeof kRecordMagic == sizeof kOldRecordMagic);
// The record's phase byte: '0' while the old content is being copied aside
// (the file is untouched), '1' once the copy is safe and the file may change.
constexpr off_t kPhaseOffset = sizeof kRecordMagic - 1;
// Larger records are none of the program's.
constexpr off_t kMostRecordBytes = 1 << 24;

void AppendField(std::string* record, const std::string& value) {
  *record += std::to_string(value.size());
  *record += ':';
  *record += value;
  *record += '\n';
}

bool ReadField(const std::string& record, std::size_t* pos, std::string* value) {
  std::size_t colon = record.find(':', *pos);
  if (colon == std::string::npos || colon == *pos || colon - *pos > 12) return false;
  std::size_t len = 0;
  for (std::size_t i = *pos; i < colon; ++i) {
    if (record[i] < '0' || record[i] > '9') return false;
    len = len * 10 + static_cast<std::size_t>(record[i] - '0');
  }
  if (len > record.size() - colon - 1 || record.size() - colon - 1 - len < 1 ||
      record[colon + 1 + len] != '\n') {
    return false;
  }
  value->assign(record, colon + 1, len);
  *pos = colon + 2 + len;
  return true;
}

void AppendIdentity(std::string* record, const RecordedFile& f) {
  AppendField(record, std::to_string(f.Device));
  AppendField(record, std::to_string(f.Inode));
  AppendField(record, std::to_string(f.Owner));
}

bool ReadIdentity(const std::string& record, std::size_t* pos, RecordedFile* f) {
  std::string device, inode, owner;
  if (!ReadField(record, pos, &device) || !ReadField(record, pos, &inode) ||
      !ReadField(record, pos, &owner)) {
    return false;
  }
  f->Known = true;
  f->Device = static_cast<dev_t>(std::strtoull(device.c_str(), nullptr, 10));
  f->Inode = static_cast<ino_t>(std::strtoull(inode.c_str(), nullptr, 10));
  f->Owner = static_cast<uid_t>(std::strtoul(owner.c_str(), nullptr, 10));
  return true;
}

bool Matches(const RecordedFile& f, const struct stat& st) {
  return S_ISREG(st.st_mode) &&
         (!f.Known || (st.st_dev == f.Device && st.st_ino == f.Inode && st.st_uid == f.Owner));
}

// The record's text, its phase byte saying the file is untouched.
std::string RecordText(const RewriteRecord& r) {
  std::string text = kRecordMagic;
  text += "0\n";
  AppendField(&text, r.Target);
  AppendField(&text, r.Backup.Path);
  AppendField(&text, r.Temp.Path);
  AppendField(&text, std::to_string(r.Device));
  AppendField(&text, std::to_string(r.Inode));
  char mode[16];
  std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(r.Mode & 07777));
  AppendField(&text, mode);
  AppendField(&text, r.Capability);
  AppendIdentity(&text, r.Backup);
  AppendIdentity(&text, r.Temp);
  return text;
}

bool ParseRecord(const std::string& text, RewriteRecord* r, char* phase) {
  if (text.size() < kPhaseOffset + 2) return false;
  const bool current = text.compare(0, kPhaseOffset, kRecordMagic) == 0;
  if (!current && text.compare(0, kPhaseOffset, kOldRecordMagic) != 0) return false;
  *phase = text[kPhaseOffset];
  std::size_t pos = kPhaseOffset + 2;
  std::string dev, ino, mode;
  if (!ReadField(text, &pos, &r->Target) || !ReadField(text, &pos, &r->Backup.Path) ||
      !ReadField(text, &pos, &r->Temp.Path) || !ReadField(text, &pos, &dev) ||
      !ReadField(text, &pos, &ino) || !ReadField(text, &pos, &mode) ||
      !ReadField(text, &pos, &r->Capability)) {
    return false;
  }
  if (current && (!ReadIdentity(text, &pos, &r->Backup) || !ReadIdentity(text, &pos, &r->Temp))) {
    return false;
  }
  r->Device = static_cast<dev_t>(std::strtoull(dev.c_str(), nullptr, 10));
  r->Inode = static_cast<ino_t>(std::strtoull(ino.c_str(), nullptr, 10));
  r->Mode = static_cast<mode_t>(std::strtoul(mode.c_str(), nullptr, 8));
  return true;
}

// Locates the work file a record names, when its name is one the program
// gives; 0 or errno (EINVAL for another name).
int LocateRecorded(const RecordedFile& f, FolderEntry* entry) {
  if (f.Path.empty()) return ENOENT;
  if (int err = entry->Locate(f.Path)) return err;
  return IsRecordedWorkFileName(entry->Name().c_str()) ? 0 : EINVAL;
}

// Opens for reading, into *file, the work file a record names, when it is
// still the one made; 0 or errno (ESTALE for another file under its name).
int OpenRecorded(const RecordedFile& f, Fd* file) {
  FolderEntry entry;
  if (int err = LocateRecorded(f, &entry)) return err;
  Fd fd;
  if (int err = entry.OpenForReading(&fd)) return err;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (!Matches(f, st)) return ESTALE;
  *file = std::move(fd);
  return 0;
}

// Removes the work file a record names, and nothing else.
void RemoveRecorded(const RecordedFile& f) {
  FolderEntry entry;
  struct stat st {};
  if (LocateRecorded(f, &entry) != 0 || entry.Status(&st) != 0 || !Matches(f, st)) return;
  ::unlinkat(entry.Folder(), entry.Name().c_str(), 0);
}

// Opens the very file the record names, whatever its path leads to now:
// only that one is opened, and it is checked again once open. 0 or errno
// (ESTALE for another file at its path).
int OpenTarget(const RewriteRecord& r, FolderEntry* target, Fd* file) {
  auto same = [&r](const struct stat& st) {
    return S_ISREG(st.st_mode) && st.st_dev == r.Device && st.st_ino == r.Inode;
  };
  struct stat st {};
  if (int err = target->Locate(r.Target)) return err;
  if (int err = target->Status(&st)) return err;
  if (!same(st)) return ESTALE;
  Fd fd;
  if (int err = target->OpenForReading(&fd)) return err;
  if (::fstat(fd.get(), &st) != 0) return errno;
  if (!same(st)) return ESTALE;
  *file = std::move(fd);
  return 0;
}

// Puts back the old content of a file cut short while the new content, or
// the old one put back, was being written over it; true once done.
bool PutBack(FileWriter& writer, const RewriteRecord& r, const FolderEntry& target, int target_fd,
             int backup_fd) {
  Fd out;
  return ReopenForWriting(target_fd, target, &out) == 0 &&
         WriteOver(writer, backup_fd, out.get(), r.Mode, r.Capability, false) == 0;
}

// Resolves one record whose phase is phase: puts back a file cut short,
// gives back the mode and capability of one found whole, and takes its mark
// away; true with *report filled when the user should hear of it.
bool Resolve(FileWriter& writer, const RewriteRecord& r, char phase, InterruptedRewrite* report) {
  report->Path = r.Target;
  if (phase != '1') {
    // The file was not touched yet.
    RemoveRecorded(r.Backup);
    RemoveRecorded(r.Temp);
    return false;
  }
  FolderEntry target;
  Fd target_fd, backup_fd, temp_fd;
  const bool found = OpenTarget(r, &target, &target_fd) == 0;
  const bool kept = OpenRecorded(r.Backup, &backup_fd) == 0;
  const bool written = OpenRecorded(r.Temp, &temp_fd) == 0;
  if (found) {
    // Whatever it holds now, nothing tracks it once the record goes.
    struct Unmark {
      FileWriter& writer;
      int fd;
      ~Unmark() { ClearRewriteMark(writer, fd); }
    } unmark{writer, target_fd.get()};
    const Likeness to_new =
        written ? CompareContents(writer, target_fd.get(), temp_fd.get()) : Likeness::kOther;
    const Likeness to_old =
        kept ? CompareContents(writer, target_fd.get(), backup_fd.get()) : Likeness::kOther;
    if (to_new == Likeness::kEqual || to_old == Likeness::kEqual) {
      // The rewrite, or the putting back after it failed, had written the
      // content whole; the mode and capability may not have followed yet.
      if (GiveBackMode(target_fd.get(), r.Mode) == 0 &&
          GiveBackCapability(writer, target_fd.get(), r.Capability) == 0) {
        RemoveRecorded(r.Backup);
        RemoveRecorded(r.Temp);
        return false;
      }
    } else if (kept && (to_new == Likeness::kPrefix || to_old == Likeness::kPrefix)) {
      // Cut short while the new content, or the old one put back, was being
      // written: what is there is a beginning of one of them.
      if (PutBack(writer, r, target, target_fd.get(), backup_fd.get())) {
        RemoveRecorded(r.Backup);
        RemoveRecorded(r.Temp);
        report->Restored = true;
        return true;
      }
    }
  }
  // Changed by someone since, gone, or not writable: the old content stays
  // where it was kept, and the user is told where.
  RemoveRecorded(r.Temp);
  report->KeptIn = kept ? r.Backup.Path : "";
  return true;
}

// Reads and resolves the record name of the open state folder, unless an
// instance still holds it or want turns it down; true when it was resolved,
// with *report filled when the user should hear of it (*told).
template <class Want>
bool ResolveRecord(FileWriter& writer, int folder, const std::string& name, Want want,
                   InterruptedRewrite* report, bool* told) {
  Fd fd;
  struct stat st {};
  // Not one still under way in another instance.
  if (OpenUnheld(folder, name.c_str(), &fd, &st) != 0) return false;
  std::string text(static_cast<std::size_t>(std::min<off_t>(st.st_size, kMostRecordBytes)), '\0');
  const ssize_t n = PreadSome(writer, fd.get(), text.data(), text.size(), 0);
  text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  RewriteRecord record;
  char phase = '0';
  // A record that does not parse was cut short while it was written,
  // before anything was touched.
  const bool parsed = ParseRecord(text, &record, &phase);
  if (parsed && !want(record)) return false;
  *told = parsed && Resolve(writer, record, phase, report);
  ::unlinkat(folder, name.c_str(), 0);
  return true;
}

// The names of the records in the open state folder, in order; 0 or the
// errno that cut the listing short.
int RecordNames(int folder, std::vector<std::string>* records) {
  FolderNames names;
  const int err = names.Read(folder);
  std::size_t cursor = 0;
  DirEntry entry;
  while (names.Next(&cursor, &entry)) {
    if (IsRecordName(entry.Name)) records->emplace_back(entry.Name);
  }
  std::sort(records->begin(), records->end());
  return err;
}

// Opens the state folder for listing; 0, or errno (ENOENT when there is none).
int OpenStateListing(Fd* folder) {
  const std::string path = StateFolderPath();
  if (path.empty()) return ENOENT;
  folder->reset(OpenListableFolder(path));
  return folder->get() < 0 ? errno : 0;
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
  folder->reset(
      RetryInterrupted([&] { return ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
  return folder->get() < 0 ? errno : 0;
}

RecordedFile Recorded(const std::string& path, const struct stat& st) {
  return RecordedFile{path, true, st.st_dev, st.st_ino, st.st_uid};
}

int RecordFile::Write(int state_folder, const RewriteRecord& record) {
  const std::string text = RecordText(record);
  if (int err = file_.Create(state_folder, kRecordPrefix, 0600)) return err;
  if (int err = WriteFully(writer_, file_.fd(), text.data(), text.size())) return err;
  if (int err = SyncFile(writer_, file_.fd())) return err;
  if (int err = file_.Name()) return err;
  return SyncFolder(writer_, state_folder);
}

int RecordFile::MarkOldContentKept() {
  if (int err = WriteFullyAt(writer_, file_.fd(), "1", 1, kPhaseOffset)) return err;
  return SyncFile(writer_, file_.fd());
}

int RestoreInterruptedRewrites(std::vector<InterruptedRewrite>* found, FileWriter& writer) {
  found->clear();
  Fd folder;
  if (int err = OpenStateListing(&folder)) return err == ENOENT ? 0 : err;
  std::vector<std::string> records;
  const int err = RecordNames(folder.get(), &records);
  for (const std::string& name : records) {
    InterruptedRewrite report;
    bool told = false;
    ResolveRecord(
        writer, folder.get(), name, [](const RewriteRecord&) { return true; }, &report, &told);
    if (told) found->push_back(report);
  }
  // What records named is settled; what none named and no instance holds
  // goes, unless the listing was cut short: a record not read may name it.
  if (err == 0) SweepStaleWorkFiles(StateFolderPath());
  return err;
}

int MarkRewriting(FileWriter& writer, int fd, const std::string& kept_in) {
  return writer.SetAttribute(fd, kRewriteMarkAttribute, kept_in.data(), kept_in.size(), 0) == 0
             ? 0
             : errno;
}

void ClearRewriteMark(FileWriter& writer, int fd) {
  writer.RemoveAttribute(fd, kRewriteMarkAttribute);
}

MarkedFile SettleMarkedFile(FileWriter& writer, const struct stat& st, const std::string& kept_in) {
  // The copy of the old content stays locked while its rewrite runs.
  FolderEntry copy;
  if (copy.Locate(kept_in) == 0) {
    Fd held;
    struct stat copy_st {};
    if (OpenUnheld(copy.Folder(), copy.Name().c_str(), &held, &copy_st) == EWOULDBLOCK) {
      return MarkedFile::kBeingRewritten;
    }
  }
  Fd folder;
  std::vector<std::string> records;
  if (OpenStateListing(&folder) != 0) return MarkedFile::kCutShort;
  RecordNames(folder.get(), &records);
  auto of_this_file = [&st](const RewriteRecord& r) {
    return r.Device == st.st_dev && r.Inode == st.st_ino;
  };
  for (const std::string& name : records) {
    InterruptedRewrite report;
    bool told = false;
    if (ResolveRecord(writer, folder.get(), name, of_this_file, &report, &told)) {
      return MarkedFile::kSettled;
    }
  }
  return MarkedFile::kCutShort;
}
