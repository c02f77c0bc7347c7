#include "platform/workfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>

#include "platform/dirlist.h"
#include "platform/process.h"

namespace {

constexpr std::size_t kSuffixLength = 20;
// The temporary files of the version before, with twenty letters and digits.
constexpr char kEarlierTempPrefix[] = ".terminelle~";
// The names the previous version gave, with six letters or digits.
constexpr char kOldTempPrefix[] = ".terminelle-";
constexpr char kOldBackupPrefix[] = ".terminelle-ancien-";
constexpr char kOldRecordPrefix[] = "reprise-";
constexpr std::size_t kOldSuffixLength = 6;

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

}  // namespace

WorkFile::~WorkFile() {
  Remove();
}

void WorkFile::Remove() {
  if (!name_.empty()) ::unlinkat(folder_, name_.c_str(), 0);
  name_.clear();
  fd_.reset();
}

int WorkFile::Create(int folder, const char* prefix, mode_t mode) {
  Remove();
  folder_ = folder;
  prefix_ = prefix;
  exact_ = true;
  // Nobody sees a file without a name: it gets its final permission bits
  // at once, and a kill leaves nothing of it.
  const mode_t asked = mode == kNewFileBits ? 0666 : mode;
  const int fd = RetryInterrupted([&] { return writer_->OpenUnnamed(folder, asked); });
  if (fd < 0) {
    // File systems without unnamed files say so in several ways.
    if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOSYS) {
      return CreateNamed(mode);
    }
    return errno;
  }
  fd_.reset(fd);
  writer_->Reached(WriteStep::kWorkFileMade);
  Lock(fd);
  // The umask took bits the file must have.
  if (mode != kNewFileBits && (mode & CreationMask()) != 0 && ::fchmod(fd, mode) != 0) {
    const int err = errno;
    fd_.reset();
    return err;
  }
  return 0;
}

int WorkFile::CreateNamed(mode_t mode) {
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
      return errno;
    }
    writer_->Reached(WriteStep::kWorkFileMade);
    Lock(file.get());
    // Another instance may have swept it before it was locked: the name
    // must still lead to the file locked, else it is made again.
    struct stat mine {
    }, named{};
    if (::fstat(file.get(), &mine) != 0) return errno;
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
        return err;
      }
      exact_ = true;
    }
    return 0;
  }
  return EEXIST;
}

int WorkFile::Name() {
  if (!name_.empty()) return 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string name = prefix_ + RandomSuffix();
    const int err = LinkIn(fd_.get(), folder_, name.c_str());
    if (err == 0) {
      name_ = std::move(name);
      return 0;
    }
    if (err != EEXIST) return err;
  }
  return EEXIST;
}

int WorkFile::LinkAs(int folder, const std::string& name) {
  return LinkIn(fd_.get(), folder, name.c_str());
}

bool IsWorkFileName(const char* name) {
  return IsNew(name, kTempPrefix) || IsNew(name, kBackupPrefix) || IsNew(name, kEarlierTempPrefix);
}

bool IsRecordName(const char* name) {
  return IsNew(name, kRecordPrefix) || IsOld(name, kOldRecordPrefix);
}

bool IsRecordedWorkFileName(const char* name) {
  return IsWorkFileName(name) || IsOld(name, kOldTempPrefix) || IsOld(name, kOldBackupPrefix);
}

int OpenUnheld(int folder, const char* name, Fd* file, struct stat* st) {
  Fd fd(RetryInterrupted([&] {
    return ::openat(folder, name, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK);
  }));
  if (fd.get() < 0 || ::fstat(fd.get(), st) != 0) return errno;
  if (!S_ISREG(st->st_mode)) return EINVAL;
  const int held = fd.get();
  if (RetryInterrupted([held] { return ::flock(held, LOCK_EX | LOCK_NB); }) != 0) return errno;
  *file = std::move(fd);
  return 0;
}

void SweepStaleWorkFile(int folder, const char* name) {
  if (!IsWorkFileName(name)) return;
  struct stat st {
  }, again{};
  Fd fd;
  if (OpenUnheld(folder, name, &fd, &st) != 0) return;
  // A backup may be the only copy of a file's old content; only an empty
  // one, made by a rewrite cut short before it copied anything, goes.
  if (IsNew(name, kBackupPrefix) && st.st_size != 0) return;
  if (::fstatat(folder, name, &again, AT_SYMLINK_NOFOLLOW) != 0 || again.st_ino != st.st_ino ||
      again.st_dev != st.st_dev) {
    return;
  }
  ::unlinkat(folder, name, 0);
}

void SweepStaleWorkFiles(const std::string& folder) {
  DirList list = DirList::OpenPath(folder);
  DirEntry entry;
  while (list.Next(&entry)) SweepStaleWorkFile(list.Fd(), entry.Name);
}
