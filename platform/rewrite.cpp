#include "platform/rewrite.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <linux/magic.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <random>

#include "base/errors.h"
#include "platform/dirlist.h"
#include "platform/folders.h"
#include "platform/oserror.h"

namespace {

// Work files are named by a marker and random letters and digits, of all
// three kinds, so that no name a person gives matches.
constexpr char kTempPrefix[] = ".terminelle~";
constexpr char kBackupPrefix[] = ".terminelle~ancien~";
constexpr char kRecordPrefix[] = "reprise~";
constexpr std::size_t kSuffixLength = 20;
// The names the previous version gave, with six letters or digits: a record
// of that version proves it made what it names, but nothing else does.
constexpr char kOldTempPrefix[] = ".terminelle-";
constexpr char kOldBackupPrefix[] = ".terminelle-ancien-";
constexpr char kOldRecordPrefix[] = "reprise-";
constexpr std::size_t kOldSuffixLength = 6;

constexpr char kRecordMagic[] = "terminelle-reprise 2\n";
// Without the identities of the work files it names.
constexpr char kOldRecordMagic[] = "terminelle-reprise 1\n";
static_assert(sizeof kRecordMagic == sizeof kOldRecordMagic);
// The record's phase byte: '0' while the old content is being copied aside
// (the file is untouched), '1' once the copy is safe and the file may change.
constexpr off_t kPhaseOffset = sizeof kRecordMagic - 1;
constexpr std::size_t kCopyChunk = 256 * 1024;
constexpr char kCapability[] = "security.capability";

[[noreturn]] void ThrowCode(int err, const std::string& path) {
  throw EInOutError(OsErrorCodeForPath(err, path));
}

bool SameState(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

// Whether st's change time lies within the clock's last tick or two, where
// a further change may not move it.
bool ChangedThisTick(const struct stat& st) {
  static const long tick = [] {
    struct timespec res {};
    ::clock_getres(CLOCK_REALTIME_COARSE, &res);
    return res.tv_sec > 0 ? 1000000000L : res.tv_nsec;
  }();
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  const long long ns = (static_cast<long long>(now.tv_sec) - st.st_ctim.tv_sec) * 1000000000LL +
                       (now.tv_nsec - st.st_ctim.tv_nsec);
  return ns <= 2LL * tick;
}

bool StartsWith(const char* s, const char* prefix) {
  return std::strncmp(s, prefix, std::strlen(prefix)) == 0;
}

// Whether name is prefix followed by length letters and digits (of all three
// kinds when mixed is set).
bool HasWorkName(const char* name, const char* prefix, std::size_t length, bool mixed) {
  if (!StartsWith(name, prefix)) return false;
  const char* s = name + std::strlen(prefix);
  bool digit = false, upper = false, lower = false;
  std::size_t n = 0;
  for (; s[n] != '\0'; ++n) {
    const char c = s[n];
    if (c >= '0' && c <= '9') {
      digit = true;
    } else if (c >= 'A' && c <= 'Z') {
      upper = true;
    } else if (c >= 'a' && c <= 'z') {
      lower = true;
    } else {
      return false;
    }
  }
  return n == length && (!mixed || (digit && upper && lower));
}

bool IsNew(const char* name, const char* prefix) {
  return HasWorkName(name, prefix, kSuffixLength, true);
}

bool IsOld(const char* name, const char* prefix) {
  return HasWorkName(name, prefix, kOldSuffixLength, false);
}

bool IsRecordName(const char* name) {
  return IsNew(name, kRecordPrefix) || IsOld(name, kOldRecordPrefix);
}

// Whether a record may name name: a work file of this version or the previous one.
bool IsRecordedWorkFileName(const char* name) {
  return IsWorkFileName(name) || IsOld(name, kOldTempPrefix) || IsOld(name, kOldBackupPrefix);
}

std::string RandomSuffix() {
  static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 rng = [] {
    std::uint64_t seed = 0;
    if (::getrandom(&seed, sizeof seed, GRND_NONBLOCK) != sizeof seed) {
      seed = static_cast<std::uint64_t>(::time(nullptr)) ^
             (static_cast<std::uint64_t>(::getpid()) << 32);
    }
    return std::mt19937_64(seed);
  }();
  std::string s(kSuffixLength, 'x');
  do {
    for (char& c : s) c = letters[rng() % (sizeof letters - 1)];
  } while (!HasWorkName(s.c_str(), "", kSuffixLength, true));
  return s;
}

// What this process may do to files, as the system tells it.
struct Credentials {
  uid_t fsuid = 0;
  gid_t fsgid = 0;
  std::vector<gid_t> groups;
  std::uint64_t effective = 0;

  bool Has(int capability) const { return ((effective >> capability) & 1) != 0; }
  bool InGroup(gid_t gid) const {
    return gid == fsgid || std::find(groups.begin(), groups.end(), gid) != groups.end();
  }
};

// The numbers after key in the text of /proc/self/status, in base.
std::vector<unsigned long long> StatusNumbers(const std::string& status, const char* key,
                                              int base) {
  std::vector<unsigned long long> numbers;
  const std::size_t at = status.find(std::string("\n") + key);
  if (at == std::string::npos) return numbers;
  const char* p = status.c_str() + at + 1 + std::strlen(key);
  for (;;) {
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '\n' || *p == '\0') return numbers;
    char* end = nullptr;
    numbers.push_back(std::strtoull(p, &end, base));
    if (end == p) return numbers;
    p = end;
  }
}

Credentials ReadCredentials() {
  Credentials c;
  const std::string status = ProcessStatus();
  const auto uid = StatusNumbers(status, "Uid:", 10);
  const auto gid = StatusNumbers(status, "Gid:", 10);
  const auto caps = StatusNumbers(status, "CapEff:", 16);
  if (uid.size() == 4 && gid.size() == 4 && caps.size() == 1) {
    c.fsuid = static_cast<uid_t>(uid[3]);
    c.fsgid = static_cast<gid_t>(gid[3]);
    c.effective = caps[0];
    for (unsigned long long g : StatusNumbers(status, "Groups:", 10)) {
      c.groups.push_back(static_cast<gid_t>(g));
    }
    return c;
  }
  // Without /proc, the system is asked directly.
  c.fsuid = ::geteuid();
  c.fsgid = ::getegid();
  const int n = ::getgroups(0, nullptr);
  if (n > 0) {
    c.groups.resize(static_cast<std::size_t>(n));
    c.groups.resize(static_cast<std::size_t>(std::max(0, ::getgroups(n, c.groups.data()))));
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (::syscall(SYS_capget, &header, data) == 0) {
    c.effective = data[0].effective | (static_cast<std::uint64_t>(data[1].effective) << 32);
  }
  return c;
}

// Moved on in a child process, which may go on to change its credentials.
std::atomic<unsigned> credentials_epoch{0};

void ForgetCredentials() {
  credentials_epoch.fetch_add(1, std::memory_order_relaxed);
}

// This process's credentials, read once per thread: they never change in
// the program, only in the children tests make.
const Credentials& MyCredentials() {
  static const bool watched = ::pthread_atfork(nullptr, nullptr, ForgetCredentials) == 0;
  (void)watched;
  thread_local unsigned epoch = ~0u;
  thread_local Credentials mine;
  const unsigned now = credentials_epoch.load(std::memory_order_relaxed);
  if (epoch != now) {
    mine = ReadCredentials();
    epoch = now;
  }
  return mine;
}

int OpenFolderPath(const std::string& folder) {
  const int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
  if (folder.size() < PATH_MAX) {
    const char* path = folder.empty() ? "." : folder.c_str();
    return RetryInterrupted([path] { return ::open(path, flags); });
  }
  // Too long for one call: opened a piece at a time, each piece a run of
  // whole names shorter than the system's limit.
  const char* start = folder[0] == '/' ? "/" : ".";
  Fd at(RetryInterrupted([start] { return ::open(start, flags); }));
  std::size_t pos = 0;
  while (at.get() >= 0) {
    while (pos < folder.size() && folder[pos] == '/') ++pos;
    if (pos >= folder.size()) return at.release();
    std::size_t cut = folder.size();
    if (cut - pos >= PATH_MAX) {
      cut = folder.rfind('/', pos + PATH_MAX - 1);
      if (cut == std::string::npos || cut <= pos) cut = folder.find('/', pos);
      if (cut == std::string::npos) cut = folder.size();
    }
    const std::string piece = folder.substr(pos, cut - pos);
    at.reset(RetryInterrupted([&] { return ::openat(at.get(), piece.c_str(), flags); }));
    pos = cut;
  }
  return -1;
}

// The value of attribute name of fd; false when it has none or cannot be read.
bool GetAttribute(int fd, const char* name, std::string* value) {
  for (;;) {
    ssize_t n = ::fgetxattr(fd, name, nullptr, 0);
    if (n < 0) return false;
    value->resize(static_cast<std::size_t>(n) + 1);
    n = ::fgetxattr(fd, name, value->data(), value->size());
    if (n >= 0) {
      value->resize(static_cast<std::size_t>(n));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

// The names of fd's extended attributes; false when they cannot be listed
// (a file system without them has none).
bool ListAttributes(int fd, std::vector<std::string>* names) {
  names->clear();
  std::string buf;
  for (;;) {
    ssize_t n = ::flistxattr(fd, nullptr, 0);
    if (n < 0) return errno == ENOTSUP;
    if (n == 0) return true;
    buf.resize(static_cast<std::size_t>(n));
    n = ::flistxattr(fd, buf.data(), buf.size());
    if (n >= 0) {
      buf.resize(static_cast<std::size_t>(n));
      break;
    }
    if (errno != ERANGE) return false;
  }
  for (std::size_t i = 0; i < buf.size();) {
    std::size_t end = buf.find('\0', i);
    if (end == std::string::npos) end = buf.size();
    if (end > i) names->emplace_back(buf, i, end - i);
    i = end + 1;
  }
  return true;
}

// Copies all of from (from its start) to to (from its current place); 0 or
// the errno of the failure. Tells the writer in force once part is written
// when progress is set.
int CopyContent(int from, int to, bool progress) {
  std::unique_ptr<char[]> buf(new char[kCopyChunk]);
  off_t offset = 0;
  for (;;) {
    ssize_t r = PreadSome(from, buf.get(), kCopyChunk, offset);
    if (r < 0) return errno;
    if (r == 0) return 0;
    if (int err = WriteFully(to, buf.get(), static_cast<std::size_t>(r))) return err;
    if (progress && offset == 0) CurrentFileWriter().Reached(WriteStep::kRewriting);
    offset += r;
  }
}

enum class Likeness { kEqual, kPrefix, kOther };

// How a's content stands to b's: the same, a strict beginning of it, or neither.
Likeness Compare(int a, int b, std::size_t chunk = kCopyChunk) {
  std::unique_ptr<char[]> x(new char[chunk]);
  std::unique_ptr<char[]> y(new char[chunk]);
  off_t offset = 0;
  for (;;) {
    ssize_t n = PreadSome(a, x.get(), chunk, offset);
    ssize_t m = PreadSome(b, y.get(), chunk, offset);
    if (n < 0 || m < 0 || n > m) return Likeness::kOther;
    if (std::memcmp(x.get(), y.get(), static_cast<std::size_t>(n)) != 0) return Likeness::kOther;
    if (n < m) {
      // a ended here unless this read was short for another reason.
      ssize_t more = PreadSome(a, x.get(), 1, offset + n);
      return more == 0 ? Likeness::kPrefix : Likeness::kOther;
    }
    if (n == 0) return Likeness::kEqual;
    offset += n;
  }
}

// Flushes fd's data through the writer in force; 0 or errno.
int SyncFile(int fd) {
  FileWriter& writer = CurrentFileWriter();
  return RetryInterrupted([&] { return writer.Sync(fd); }) == 0 ? 0 : errno;
}

int SyncFolder(int folder) {
  Fd dir(RetryInterrupted(
      [folder] { return ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (dir.get() < 0 || RetryInterrupted([&] { return ::fsync(dir.get()); }) != 0) return errno;
  return 0;
}

void Lock(int fd) {
  // Without locks (some network file systems), a file still works; only
  // another instance sweeping the folder could take it, and the run would
  // then fail rather than lose anything.
  RetryInterrupted([fd] { return ::flock(fd, LOCK_EX); });
}

// Links the open file fd in as name of folder; 0 or errno (EEXIST when
// the name is taken).
int LinkIn(int fd, int folder, const char* name) {
  // The descriptor itself, when the system allows it (to privileged users,
  // as root runs are): it spares looking up a path in /proc for every file.
  static std::atomic<bool> by_descriptor{true};
  if (by_descriptor.load(std::memory_order_relaxed)) {
    if (::linkat(fd, "", folder, name, AT_EMPTY_PATH) == 0) return 0;
    if (errno != ENOENT) return errno;
    by_descriptor.store(false, std::memory_order_relaxed);
  }
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  if (::linkat(AT_FDCWD, proc, folder, name, AT_SYMLINK_FOLLOW) == 0) return 0;
  return errno;
}

// Opens for writing the very file that fd reads, through fd rather than its
// name, so that a name swapped for a link meanwhile is never followed.
int ReopenForWriting(int fd, const FolderEntry& entry) {
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  int out = RetryInterrupted([&] { return ::open(proc, flags); });
  // Without /proc, the name serves, never through a link; the identity
  // check below refuses anything else.
  if (out < 0 && errno == ENOENT) {
    out = RetryInterrupted(
        [&] { return ::openat(entry.Folder(), entry.Name().c_str(), flags | O_NOFOLLOW); });
  }
  if (out < 0) return -1;
  struct stat a {
  }, b{};
  if (::fstat(out, &a) != 0 || ::fstat(fd, &b) != 0 || a.st_dev != b.st_dev ||
      a.st_ino != b.st_ino) {
    ::close(out);
    errno = EBUSY;
    return -1;
  }
  return out;
}

// Gives fd back the setuid and setgid bits of mode, the only ones writing
// clears; 0 or errno.
int GiveBackMode(int fd, mode_t mode) {
  mode &= 07777;
  if ((mode & (S_ISUID | S_ISGID)) == 0) return 0;
  struct stat st {};
  if (::fstat(fd, &st) != 0) return errno;
  if ((st.st_mode & 07777) == mode) return 0;
  if (::fchmod(fd, mode) != 0) return errno;
  // The system drops setgid without a word for a group the caller is not in.
  if (::fstat(fd, &st) != 0) return errno;
  return (st.st_mode & 07777) == mode ? 0 : EPERM;
}

// Gives fd back its file capability (none when empty), which writing
// removes; 0 or errno.
int GiveBackCapability(int fd, const std::string& capability) {
  if (capability.empty()) return 0;
  std::string now;
  if (GetAttribute(fd, kCapability, &now) && now == capability) return 0;
  return ::fsetxattr(fd, kCapability, capability.data(), capability.size(), 0) == 0 ? 0 : errno;
}

// Writes from's whole content over out, flushes it, and gives it back its
// mode and file capability; 0 or the errno of the failure. Tells the writer
// in force how far it went when progress is set.
int WriteOver(int from, int out, mode_t mode, const std::string& capability, bool progress) {
  FileWriter& writer = CurrentFileWriter();
  if (RetryInterrupted([out] { return ::ftruncate(out, 0); }) != 0 ||
      ::lseek(out, 0, SEEK_SET) < 0) {
    return errno;
  }
  if (int err = CopyContent(from, out, progress)) return err;
  if (int err = SyncFile(out)) return err;
  if (progress) writer.Reached(WriteStep::kNewContentFlushed);
  if (int err = GiveBackMode(out, mode)) return err;
  if (progress) writer.Reached(WriteStep::kModeGivenBack);
  return GiveBackCapability(out, capability);
}

// Opens folder's entry name and locks it, unless it is no regular file or a
// running instance holds it; st receives its status. Negative when it is to
// be left alone.
int OpenUnheld(int folder, const char* name, struct stat* st) {
  Fd fd(RetryInterrupted([&] {
    return ::openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  }));
  if (fd.get() < 0 || ::fstat(fd.get(), st) != 0 || !S_ISREG(st->st_mode)) return -1;
  const int held = fd.get();
  if (RetryInterrupted([held] { return ::flock(held, LOCK_EX | LOCK_NB); }) != 0) return -1;
  return fd.release();
}

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

// Which file a work file named in a record is: the one made then, not one
// put under its name since.
struct Identity {
  bool known = false;
  dev_t device = 0;
  ino_t inode = 0;
  uid_t owner = 0;
};

Identity IdentityOf(const struct stat& st) {
  return Identity{true, st.st_dev, st.st_ino, st.st_uid};
}

bool Matches(const Identity& id, const struct stat& st) {
  return S_ISREG(st.st_mode) &&
         (!id.known || (st.st_dev == id.device && st.st_ino == id.inode && st.st_uid == id.owner));
}

void AppendIdentity(std::string* record, const Identity& id) {
  AppendField(record, std::to_string(id.device));
  AppendField(record, std::to_string(id.inode));
  AppendField(record, std::to_string(id.owner));
}

bool ReadIdentity(const std::string& record, std::size_t* pos, Identity* id) {
  std::string device, inode, owner;
  if (!ReadField(record, pos, &device) || !ReadField(record, pos, &inode) ||
      !ReadField(record, pos, &owner)) {
    return false;
  }
  id->known = true;
  id->device = static_cast<dev_t>(std::strtoull(device.c_str(), nullptr, 10));
  id->inode = static_cast<ino_t>(std::strtoull(inode.c_str(), nullptr, 10));
  id->owner = static_cast<uid_t>(std::strtoul(owner.c_str(), nullptr, 10));
  return true;
}

// Opens for reading the work file a record names at path, when it is still
// the one made; negative otherwise.
int OpenRecorded(const std::string& path, const Identity& id) {
  FolderEntry entry;
  if (path.empty() || !entry.Locate(path) || !IsRecordedWorkFileName(entry.Name().c_str())) {
    return -1;
  }
  Fd fd(entry.OpenForReading());
  struct stat st {};
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !Matches(id, st)) return -1;
  return fd.release();
}

// Removes the work file a record names at path, and nothing else.
void RemoveRecorded(const std::string& path, const Identity& id) {
  FolderEntry entry;
  struct stat st {};
  if (path.empty() || !entry.Locate(path) || !IsRecordedWorkFileName(entry.Name().c_str()) ||
      !entry.Status(&st) || !Matches(id, st)) {
    return;
  }
  ::unlinkat(entry.Folder(), entry.Name().c_str(), 0);
}

std::string StateFolderPath() {
  std::string state = UserStateFolder();
  return state.empty() ? "" : state + "/Terminelle";
}

// One interrupted rewrite, told by its record; the record is open and locked.
struct Record {
  std::string target, backup, temp, capability;
  dev_t device = 0;
  ino_t inode = 0;
  mode_t mode = 0;
  char phase = '0';
  Identity backup_id, temp_id;
};

bool ParseRecord(const std::string& text, Record* r) {
  if (text.size() < kPhaseOffset + 2) return false;
  const bool current = text.compare(0, kPhaseOffset, kRecordMagic) == 0;
  if (!current && text.compare(0, kPhaseOffset, kOldRecordMagic) != 0) return false;
  r->phase = text[kPhaseOffset];
  std::size_t pos = kPhaseOffset + 2;
  std::string dev, ino, mode;
  if (!ReadField(text, &pos, &r->target) || !ReadField(text, &pos, &r->backup) ||
      !ReadField(text, &pos, &r->temp) || !ReadField(text, &pos, &dev) ||
      !ReadField(text, &pos, &ino) || !ReadField(text, &pos, &mode) ||
      !ReadField(text, &pos, &r->capability)) {
    return false;
  }
  if (current &&
      (!ReadIdentity(text, &pos, &r->backup_id) || !ReadIdentity(text, &pos, &r->temp_id))) {
    return false;
  }
  r->device = static_cast<dev_t>(std::strtoull(dev.c_str(), nullptr, 10));
  r->inode = static_cast<ino_t>(std::strtoull(ino.c_str(), nullptr, 10));
  r->mode = static_cast<mode_t>(std::strtoul(mode.c_str(), nullptr, 8));
  return true;
}

// Settles one record; returns true with *report filled when the user should hear of it.
bool Settle(const Record& r, InterruptedRewrite* report) {
  report->Path = r.target;
  if (r.phase != '1') {
    // The file was not touched yet.
    RemoveRecorded(r.backup, r.backup_id);
    RemoveRecorded(r.temp, r.temp_id);
    return false;
  }
  // The very file the record names, whatever its path leads to now: only
  // that one is opened, and it is checked again once open.
  FolderEntry target;
  Fd target_fd;
  struct stat st {};
  if (target.Locate(r.target) && target.Status(&st) && S_ISREG(st.st_mode) &&
      st.st_dev == r.device && st.st_ino == r.inode) {
    target_fd.reset(target.OpenForReading());
  }
  if (target_fd.get() >= 0 && (::fstat(target_fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
                               st.st_dev != r.device || st.st_ino != r.inode)) {
    target_fd.reset();
  }
  Fd backup_fd(OpenRecorded(r.backup, r.backup_id));
  Fd temp_fd(OpenRecorded(r.temp, r.temp_id));
  if (target_fd.get() >= 0) {
    Likeness to_new =
        temp_fd.get() >= 0 ? Compare(target_fd.get(), temp_fd.get()) : Likeness::kOther;
    Likeness to_old =
        backup_fd.get() >= 0 ? Compare(target_fd.get(), backup_fd.get()) : Likeness::kOther;
    if (to_new == Likeness::kEqual || to_old == Likeness::kEqual) {
      // The rewrite, or the putting back after it failed, had written the
      // content whole; the mode and capability may not have followed yet.
      if (GiveBackMode(target_fd.get(), r.mode) == 0 &&
          GiveBackCapability(target_fd.get(), r.capability) == 0) {
        RemoveRecorded(r.backup, r.backup_id);
        RemoveRecorded(r.temp, r.temp_id);
        return false;
      }
    } else if (backup_fd.get() >= 0 &&
               (to_new == Likeness::kPrefix || to_old == Likeness::kPrefix)) {
      // Cut short while the new content, or the old one put back, was being
      // written: what is there is a beginning of one of them.
      Fd out(ReopenForWriting(target_fd.get(), target));
      if (out.get() >= 0 &&
          WriteOver(backup_fd.get(), out.get(), r.mode, r.capability, false) == 0) {
        RemoveRecorded(r.backup, r.backup_id);
        RemoveRecorded(r.temp, r.temp_id);
        report->Restored = true;
        return true;
      }
    }
  }
  // Changed by someone since, gone, or not writable: the old content stays
  // where it was kept, and the user is told where.
  RemoveRecorded(r.temp, r.temp_id);
  report->KeptIn = backup_fd.get() >= 0 ? r.backup : "";
  return true;
}

}  // namespace

bool FolderEntry::Locate(const std::string& path) {
  name_ = NameOf(path);
  path_ = path;
  // Opened for this entry alone: nothing stays open in a folder once the
  // run that reached it is over.
  folder_.reset();
  Fd folder(OpenFolderPath(FolderOf(path)));
  if (folder.get() < 0) return false;
  folder_ = std::make_shared<const Fd>(std::move(folder));
  if (name_.empty()) {
    errno = EISDIR;
    return false;
  }
  return true;
}

bool FolderEntry::LocateThroughLinks(const std::string& path) {
  if (!Locate(path)) return false;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (!Status(&st)) return errno == ENOENT;
    if (!S_ISLNK(st.st_mode)) return true;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : PATH_MAX) + 1, '\0');
    ssize_t n = ::readlinkat(Folder(), name_.c_str(), target.data(), target.size());
    if (n < 0) return false;
    target.resize(static_cast<std::size_t>(n));
    if (target.empty()) {
      errno = ENOENT;
      return false;
    }
    if (!Locate(target[0] == '/' ? target : FolderOf(path_) + "/" + target)) return false;
  }
  errno = ELOOP;
  return false;
}

bool FolderEntry::Status(struct stat* st) const {
  return ::fstatat(Folder(), name_.c_str(), st, AT_SYMLINK_NOFOLLOW) == 0;
}

int FolderEntry::OpenForReading() const {
  return RetryInterrupted([this] {
    return ::openat(Folder(), name_.c_str(),
                    O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  });
}

void RefuseUnwritable(const FolderEntry& entry, const struct stat& st) {
  // A file without write permission is refused even to root, as a
  // read-only file is on Windows.
  if ((st.st_mode & 0222) == 0) throw EInOutError(5);
  if (st.st_uid == MyCredentials().fsuid && (st.st_mode & S_IWUSR) != 0) return;
  if (::faccessat(entry.Folder(), entry.Name().c_str(), W_OK, AT_EACCESS) != 0) {
    ThrowCode(errno, entry.Path());
  }
}

void RefuseUnkeepable(int fd, const struct stat& st) {
  const Credentials& me = MyCredentials();
  // Without CAP_FSETID, writing clears setuid and setgid; chmod gives them
  // back to the owner (or with CAP_FOWNER), and setgid only for a group the
  // caller is in, dropping it silently otherwise.
  if ((st.st_mode & (S_ISUID | S_ISGID)) != 0 && !me.Has(CAP_FSETID)) {
    if (st.st_uid != me.fsuid && !me.Has(CAP_FOWNER)) throw EInOutError(5);
    if ((st.st_mode & S_ISGID) != 0 && !me.InGroup(st.st_gid)) throw EInOutError(5);
  }
  // Writing always removes a file capability; only CAP_SETFCAP sets one.
  if (!me.Has(CAP_SETFCAP) && ::fgetxattr(fd, kCapability, nullptr, 0) >= 0) {
    throw EInOutError(5);
  }
}

WorkFile::~WorkFile() {
  Remove();
}

void WorkFile::Remove() {
  if (!name_.empty()) ::unlinkat(folder_, name_.c_str(), 0);
  name_.clear();
  fd_.reset();
}

bool WorkFile::Create(int folder, const char* prefix, mode_t mode) {
  Remove();
  folder_ = folder;
  prefix_ = prefix;
  exact_ = true;
  FileWriter& writer = CurrentFileWriter();
  // Nobody sees a file without a name: it gets its final permission bits
  // at once, and a kill leaves nothing of it.
  const mode_t asked = mode == kNewFileBits ? 0666 : mode;
  const int fd = RetryInterrupted([&] { return writer.OpenUnnamed(folder, asked); });
  if (fd < 0) {
    // File systems without unnamed files say so in several ways.
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOSYS) {
      return CreateNamed(mode);
    }
    return false;
  }
  fd_.reset(fd);
  writer.Reached(WriteStep::kWorkFileMade);
  Lock(fd);
  // The umask took bits the file must have.
  if (mode != kNewFileBits && (mode & CreationMask()) != 0 && ::fchmod(fd, mode) != 0) {
    const int err = errno;
    fd_.reset();
    errno = err;
    return false;
  }
  return true;
}

bool WorkFile::CreateNamed(mode_t mode) {
  FileWriter& writer = CurrentFileWriter();
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix_ + RandomSuffix();
    // Readable and writable by its owner from the start, so that a later
    // run of the same user can open, lock and remove it if this one is
    // killed before it has locked it.
    Fd file(RetryInterrupted([&] {
      return ::openat(folder_, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                      0600);
    }));
    if (file.get() < 0) {
      if (errno == EEXIST) continue;
      return false;
    }
    writer.Reached(WriteStep::kWorkFileMade);
    Lock(file.get());
    // Another instance may have swept it before it was locked: the name
    // must still lead to the file locked, else it is made again.
    struct stat mine {
    }, named{};
    if (::fstat(file.get(), &mine) != 0) return false;
    if (::fstatat(folder_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        named.st_dev != mine.st_dev || named.st_ino != mine.st_ino) {
      continue;
    }
    fd_ = std::move(file);
    name_ = std::move(name);
    const mode_t bits = (mode == kNewFileBits ? NewFileMode() : mode) & 0777;
    // Bits that would keep its owner out wait until it is put in place.
    exact_ = bits == (0600 & ~CreationMask());
    if (!exact_ && (bits & S_IRUSR) != 0) {
      if (::fchmod(fd_.get(), bits) != 0) {
        const int err = errno;
        Remove();
        errno = err;
        return false;
      }
      exact_ = true;
    }
    return true;
  }
  errno = EEXIST;
  return false;
}

bool WorkFile::Name() {
  if (!name_.empty()) return true;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix_ + RandomSuffix();
    const int err = LinkIn(fd_.get(), folder_, name.c_str());
    if (err == 0) {
      name_ = std::move(name);
      return true;
    }
    if (err != EEXIST) {
      errno = err;
      return false;
    }
  }
  errno = EEXIST;
  return false;
}

int WorkFile::LinkAs(int folder, const std::string& name) {
  return LinkIn(fd_.get(), folder, name.c_str());
}

Rewrite::Rewrite(const FolderEntry& entry, int original, const struct stat& st)
    : entry_(entry), original_(original), st_(st) {
  // The gate before anything is made or changed.
  RefuseUnkeepable(original, st);
  racy_ = ChangedThisTick(st);
  in_place_ = st.st_nlink > 1;
  MakeTemp(true);
  // The owner first: giving a file away clears its setuid and setgid bits.
  // Most files are the user's own, and the new one has their owner already.
  struct stat mine {};
  if (!in_place_ &&
      (::fstat(temp_.fd(), &mine) != 0 || mine.st_uid != st.st_uid || mine.st_gid != st.st_gid)) {
    in_place_ = ::fchown(temp_.fd(), st.st_uid, st.st_gid) != 0;
  }
  // Without the right to set setgid for a group it is not in, the system
  // silently drops the bit: such a file is rewritten in place instead.
  if (!in_place_ && (st.st_mode & S_ISGID) != 0) {
    struct stat now {};
    if (::fchmod(temp_.fd(), st.st_mode & 07777) != 0 || ::fstat(temp_.fd(), &now) != 0 ||
        (now.st_mode & S_ISGID) == 0) {
      in_place_ = true;
    }
  }
}

Rewrite::Rewrite(const FolderEntry& entry) : entry_(entry) {
  MakeTemp(false);
}

void Rewrite::MakeTemp(bool elsewhere_allowed) {
  // The permissions the file will have, from the start: only setuid and
  // setgid wait until the content is written, which would clear them. A
  // file rewritten in place only lends its content.
  const mode_t mode = original_ < 0 ? WorkFile::kNewFileBits
                      : in_place_   ? 0600
                                    : st_.st_mode & 0777;
  temp_private_ = mode == 0600;
  if (temp_.Create(entry_.Folder(), kTempPrefix, mode)) return;
  int err = errno;
  // A folder that takes no new file: the file is rewritten in place, from
  // a temporary file in the program's own folder.
  if (!elsewhere_allowed || (err != EACCES && err != EPERM)) Fail(err);
  OpenStateFolder();
  if (!temp_.Create(state_folder_.get(), kTempPrefix, 0600)) Fail(errno);
  temp_private_ = true;
  in_place_ = true;
}

std::string Rewrite::OpenStateFolder() {
  const std::string path = StateFolder();
  if (path.empty()) Fail(errno != 0 ? errno : ENOENT);
  if (state_folder_.get() < 0) {
    state_folder_.reset(
        RetryInterrupted([&] { return ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC); }));
    if (state_folder_.get() < 0) Fail(errno);
  }
  return path;
}

void Rewrite::Fail(int err) const {
  ThrowCode(err, entry_.Path());
}

bool Rewrite::SameAsOld() const {
  // Most new contents differ in length, which needs no reading.
  if (original_ < 0 || ::lseek(temp_.fd(), 0, SEEK_CUR) != st_.st_size) return false;
  // Small files, the most common, need no large buffers.
  const std::size_t chunk =
      std::min<std::size_t>(kCopyChunk, static_cast<std::size_t>(st_.st_size) + 1);
  return Compare(temp_.fd(), original_, chunk) == Likeness::kEqual;
}

void Rewrite::Commit() {
  if (original_ < 0) {
    CurrentFileWriter().Reached(WriteStep::kOutputWritten);
    CommitNew();
    return;
  }
  if (!Replaces()) {
    RewriteInPlace();
    return;
  }
  MakeDurable();
  PutInPlace();
}

bool Rewrite::Replaces() {
  if (original_ < 0) return false;
  if (!identity_taken_) {
    CurrentFileWriter().Reached(WriteStep::kOutputWritten);
    identity_taken_ = true;
    if (!in_place_ && !TakeIdentity()) in_place_ = true;
  }
  return !in_place_;
}

bool Rewrite::NeedsFlush() const {
  // Asked once for each file system: a run meets few.
  static std::mutex m;
  static std::vector<std::pair<dev_t, bool>> known;
  std::lock_guard<std::mutex> lock(m);
  for (const auto& [device, needs] : known) {
    if (device == st_.st_dev) return needs;
  }
  struct statfs fs {};
  const bool in_memory =
      ::fstatfs(temp_.fd(), &fs) == 0 && (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC);
  known.emplace_back(st_.st_dev, !in_memory);
  return !in_memory;
}

off_t Rewrite::NewSize() const {
  struct stat st {};
  return ::fstat(temp_.fd(), &st) == 0 ? st.st_size : 0;
}

std::vector<int> MakeDurableTogether(const std::vector<Rewrite*>& rewrites) {
  FileWriter& writer = CurrentFileWriter();
  std::vector<int> errors(rewrites.size(), 0);
  writer.Reached(WriteStep::kBeforeBarrier);
  // One barrier for each file system; the files are beside their originals.
  std::vector<std::pair<dev_t, int>> barriers;
  for (std::size_t i = 0; i < rewrites.size(); ++i) {
    const dev_t device = rewrites[i]->st_.st_dev;
    auto same = [device](const auto& b) { return b.first == device; };
    auto it = std::find_if(barriers.begin(), barriers.end(), same);
    if (it == barriers.end()) {
      const int fd = rewrites[i]->temp_.fd();
      // Kept in memory, the file system has nothing to flush.
      const int err = !rewrites[i]->NeedsFlush()                                  ? 0
                      : RetryInterrupted([&] { return writer.SyncAll(fd); }) == 0 ? 0
                                                                                  : errno;
      barriers.emplace_back(device, err);
      it = barriers.end() - 1;
    }
    // The barrier does not say whose data failed: each file tells for itself.
    if (it->second != 0) errors[i] = SyncFile(rewrites[i]->temp_.fd());
  }
  return errors;
}

int SyncFoldersOf(const std::vector<Rewrite*>& rewrites) {
  std::vector<int> done;
  int first = 0;
  for (const Rewrite* r : rewrites) {
    const int folder = r->Entry().Folder();
    if (!r->NeedsFlush() || std::find(done.begin(), done.end(), folder) != done.end()) continue;
    done.push_back(folder);
    if (int err = SyncFolder(folder); err != 0 && first == 0) first = err;
  }
  return first;
}

void Rewrite::CommitNew() {
  FileWriter& writer = CurrentFileWriter();
  if (!temp_.exact() && ::fchmod(temp_.fd(), NewFileMode()) != 0) Fail(errno);
  if (int err = SyncFile(temp_.fd())) Fail(err);
  writer.Reached(WriteStep::kBeforeReplace);
  // Whoever made the file meanwhile keeps it: a link is refused over any name.
  if (temp_.name().empty()) {
    if (int err = temp_.LinkAs(entry_.Folder(), entry_.Name())) {
      if (err == EEXIST) throw EInOutError(32);
      Fail(err);
    }
    return;
  }
  if (::renameat2(temp_.folder(), temp_.name().c_str(), entry_.Folder(), entry_.Name().c_str(),
                  RENAME_NOREPLACE) != 0) {
    if (errno == EEXIST) throw EInOutError(32);
    if (errno != EINVAL && errno != ENOSYS) Fail(errno);
    struct stat st {};
    if (entry_.Status(&st)) throw EInOutError(32);
    if (::renameat(temp_.folder(), temp_.name().c_str(), entry_.Folder(), entry_.Name().c_str()) !=
        0) {
      Fail(errno);
    }
  }
  temp_.Keep();
}

bool Rewrite::TakeIdentity() {
  const int fd = temp_.fd();
  std::vector<std::string> mine, theirs;
  if (!ListAttributes(fd, &mine) || !ListAttributes(original_, &theirs)) return false;
  // Changing attributes (an ACL) may move the permission bits: they are
  // checked again at the end.
  bool changed = false;
  // What the temporary file took from its folder (a default ACL) goes:
  // the file ends with exactly the attributes it had.
  for (const std::string& name : mine) {
    if (std::find(theirs.begin(), theirs.end(), name) == theirs.end()) {
      if (::fremovexattr(fd, name.c_str()) != 0) return false;
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
                        [](const std::string& n) { return n != kCapability; });
  std::string value;
  for (const std::string& name : theirs) {
    if (!GetAttribute(original_, name.c_str(), &value) ||
        ::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) {
      return false;
    }
    changed = true;
  }
  struct stat now {};
  return !(changed || special) ||
         (::fstat(fd, &now) == 0 && (now.st_mode & 07777) == (st_.st_mode & 07777) &&
          now.st_uid == st_.st_uid && now.st_gid == st_.st_gid);
}

bool Rewrite::StillTheFileRead() const {
  // The name still leads to the inode read, so its status is that of the
  // open descriptor too: one call checks both.
  struct stat by_name {};
  if (!entry_.Status(&by_name) || !SameState(by_name, st_)) return false;
  // A hash handed over is checked whenever given: a caller that read the
  // file long before knew better than this moment whether it was racy.
  if (!hashed_) return true;
  std::unique_ptr<char[]> buf(new char[kCopyChunk]);
  ContentHash hash;
  for (off_t offset = 0;;) {
    ssize_t n = PreadSome(original_, buf.get(), kCopyChunk, offset);
    if (n < 0) return false;
    if (n == 0) return hash.Value() == hash_;
    hash.Add(buf.get(), static_cast<std::size_t>(n));
    offset += n;
  }
}

void ContentHash::Mix(std::uint64_t word) {
  hash_ = (hash_ ^ word) * 0x9E3779B97F4A7C15;
  hash_ ^= hash_ >> 29;
}

void ContentHash::Add(const char* p, std::size_t n) {
  length_ += n;
  if (tail_size_ > 0) {
    const std::size_t take = std::min(8 - tail_size_, n);
    std::memcpy(tail_ + tail_size_, p, take);
    tail_size_ += take;
    p += take;
    n -= take;
    if (tail_size_ < 8) return;
    std::uint64_t word;
    std::memcpy(&word, tail_, 8);
    Mix(word);
  }
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    Mix(word);
  }
  std::memcpy(tail_, p, n);
  tail_size_ = n;
}

std::uint64_t ContentHash::Value() const {
  ContentHash last = *this;
  std::uint64_t word = 0;
  std::memcpy(&word, tail_, tail_size_);
  last.Mix(word);
  last.Mix(length_);
  return last.hash_;
}

void Rewrite::MakeDurable() {
  if (int err = SyncFile(temp_.fd())) Fail(err);
}

void Rewrite::PutInPlace() {
  // Named only now, so that a kill before leaves nothing; named before the
  // check, so that nothing comes between the check and the rename.
  if (!temp_.Name()) Fail(errno);
  if (!StillTheFileRead()) throw EInOutError(32);
  CurrentFileWriter().Reached(WriteStep::kBeforeReplace);
  if (::renameat(temp_.folder(), temp_.name().c_str(), entry_.Folder(), entry_.Name().c_str()) !=
      0) {
    Fail(errno);
  }
  temp_.Keep();
}

void Rewrite::RewriteInPlace() {
  FileWriter& writer = CurrentFileWriter();
  const std::string state_path = OpenStateFolder();
  const std::string folder_path = FullPathName(FolderOf(entry_.Path()));
  // The record names the temporary file, read back at the next start: its
  // owner must be able to read it, and nobody else needs to.
  if (!temp_private_ && ::fchmod(temp_.fd(), 0600) != 0) Fail(errno);
  if (!temp_.Name()) Fail(errno);
  const std::string temp_path =
      (temp_.folder() == entry_.Folder() ? folder_path : state_path) + "/" + temp_.name();

  // The old content is kept beside the file when its folder takes it.
  WorkFile backup;
  std::string backup_path;
  if (backup.Create(entry_.Folder(), kBackupPrefix, 0600) && backup.Name()) {
    backup_path = folder_path + "/" + backup.name();
  } else if (backup.Create(state_folder_.get(), kBackupPrefix, 0600) && backup.Name()) {
    backup_path = state_path + "/" + backup.name();
  } else {
    Fail(errno);
  }
  std::string capability;
  GetAttribute(original_, kCapability, &capability);
  struct stat backup_st {
  }, temp_st{};
  if (::fstat(backup.fd(), &backup_st) != 0 || ::fstat(temp_.fd(), &temp_st) != 0) Fail(errno);

  // The record, naming everything, is on disk before anything is copied; it
  // gets its name once whole, so that no record is ever found cut short.
  WorkFile record;
  if (!record.Create(state_folder_.get(), kRecordPrefix, 0600)) Fail(errno);
  std::string text = kRecordMagic;
  text += "0\n";
  AppendField(&text, FullPathName(entry_.Path()));
  AppendField(&text, backup_path);
  AppendField(&text, temp_path);
  AppendField(&text, std::to_string(st_.st_dev));
  AppendField(&text, std::to_string(st_.st_ino));
  char mode[16];
  std::snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st_.st_mode & 07777));
  AppendField(&text, mode);
  AppendField(&text, capability);
  AppendIdentity(&text, IdentityOf(backup_st));
  AppendIdentity(&text, IdentityOf(temp_st));
  if (int err = WriteFully(record.fd(), text.data(), text.size())) Fail(err);
  if (int err = SyncFile(record.fd())) Fail(err);
  if (!record.Name()) Fail(errno);
  if (int err = SyncFolder(state_folder_.get())) Fail(err);

  if (int err = CopyContent(original_, backup.fd(), false)) Fail(err);
  if (int err = SyncFile(backup.fd())) Fail(err);
  if (int err = SyncFile(temp_.fd())) Fail(err);
  // The names of the copy and of the temporary file, where the state
  // folder's flush did not cover them.
  if (backup.folder() != state_folder_.get()) {
    if (int err = SyncFolder(backup.folder())) Fail(err);
  }
  if (temp_.folder() != state_folder_.get() && temp_.folder() != backup.folder()) {
    if (int err = SyncFolder(temp_.folder())) Fail(err);
  }
  const int record_fd = record.fd();
  const ssize_t marked =
      RetryInterrupted([record_fd] { return ::pwrite(record_fd, "1", 1, kPhaseOffset); });
  if (marked != 1) Fail(marked < 0 ? errno : ENOSPC);
  if (int err = SyncFile(record.fd())) Fail(err);
  writer.Reached(WriteStep::kBackupKept);

  if (!StillTheFileRead()) throw EInOutError(32);
  writer.Reached(WriteStep::kBeforeRewrite);
  Fd out(ReopenForWriting(original_, entry_));
  if (out.get() < 0) {
    if (errno == EBUSY) throw EInOutError(32);
    Fail(errno);
  }
  if (int err = WriteOver(temp_.fd(), out.get(), st_.st_mode, capability, true)) {
    // The old content goes back, as after any failed write. When even that
    // fails, the record and the copy stay, and the next start tries again.
    if (WriteOver(backup.fd(), out.get(), st_.st_mode, capability, false) != 0) {
      backup.Keep();
      record.Keep();
      temp_.Keep();
    }
    Fail(err);
  }
  writer.Reached(WriteStep::kRewritten);
  // The copy goes before its record: a record without its copy, found at
  // the next start, tells a rewrite that had completed.
  backup.Remove();
}

bool ChangedInClockTick(const struct stat& st) {
  return ChangedThisTick(st);
}

bool IsWorkFileName(const char* name) {
  return IsNew(name, kTempPrefix) || IsNew(name, kBackupPrefix);
}

void SweepStaleWorkFile(int folder, const char* name) {
  if (!IsWorkFileName(name)) return;
  struct stat st {
  }, again{};
  Fd fd(OpenUnheld(folder, name, &st));
  if (fd.get() < 0) return;
  // A backup may be the only copy of a file's old content; only an empty
  // one, made by a rewrite cut short before it copied anything, goes.
  if (IsNew(name, kBackupPrefix) && st.st_size != 0) return;
  if (::fstatat(folder, name, &again, AT_SYMLINK_NOFOLLOW) != 0 || again.st_ino != st.st_ino ||
      again.st_dev != st.st_dev) {
    return;
  }
  ::unlinkat(folder, name, 0);
}

std::string StateFolder() {
  std::string path = StateFolderPath();
  if (path.empty()) {
    errno = ENOENT;
    return "";
  }
  return MakeFolders(path) ? path : "";
}

std::vector<InterruptedRewrite> RestoreInterruptedRewrites() {
  std::vector<InterruptedRewrite> reports;
  const std::string path = StateFolderPath();
  if (path.empty()) return reports;
  DirList folder = DirList::OpenPath(path);
  if (!folder.IsOpen()) return reports;
  std::vector<std::string> records;
  DirEntry entry;
  while (folder.Next(&entry)) {
    if (IsRecordName(entry.Name)) records.emplace_back(entry.Name);
  }
  std::sort(records.begin(), records.end());
  for (const std::string& name : records) {
    struct stat st {};
    // Not one still under way in another instance.
    Fd fd(OpenUnheld(folder.Fd(), name.c_str(), &st));
    if (fd.get() < 0) continue;
    std::string text(static_cast<std::size_t>(std::min<off_t>(st.st_size, 1 << 24)), '\0');
    ssize_t n = PreadSome(fd.get(), text.data(), text.size(), 0);
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    Record record;
    InterruptedRewrite report;
    // A record of the previous version cut short was being written before
    // anything was touched.
    if (ParseRecord(text, &record) && Settle(record, &report)) reports.push_back(report);
    ::unlinkat(folder.Fd(), name.c_str(), 0);
  }
  // What records named is settled; what none named and no instance holds goes.
  SweepStaleWorkFiles(path);
  return reports;
}

void SweepStaleWorkFiles(const std::string& folder) {
  DirList list = DirList::OpenPath(folder);
  DirEntry entry;
  while (list.Next(&entry)) SweepStaleWorkFile(list.Fd(), entry.Name);
}
