#include "platform/dirlist.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/fileio.h"

bool DosDateTime(time_t mtime, int32_t* out) {
  *out = 0;
  struct tm local {};
  if (localtime_r(&mtime, &local) == nullptr) return false;
  int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return false;
  auto date =
      static_cast<uint32_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
  // A leap second still fits the five bits of halved seconds.
  int seconds = local.tm_sec > 59 ? 59 : local.tm_sec;
  auto time = static_cast<uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) | (seconds / 2));
  *out = static_cast<int32_t>((date << 16) | time);
  return true;
}

DirList::DirList(int fd) {
  struct stat st {};
  if (fd < 0) return;
  if (fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
    close(fd);
    return;
  }
  dir_ = fdopendir(fd);
  if (dir_ == nullptr) {
    close(fd);
    return;
  }
  device_ = st.st_dev;
  inode_ = st.st_ino;
}

DirList::DirList(DirList&& other) noexcept
    : dir_(std::exchange(other.dir_, nullptr)), device_(other.device_), inode_(other.inode_) {}

DirList& DirList::operator=(DirList&& other) noexcept {
  if (this != &other) {
    Close();
    dir_ = std::exchange(other.dir_, nullptr);
    device_ = other.device_;
    inode_ = other.inode_;
  }
  return *this;
}

DirList DirList::OpenPath(const std::string& path) {
  const char* p = path.empty() ? "/" : path.c_str();
  return DirList(RetryInterrupted([p] { return open(p, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
}

DirList DirList::OpenChild(const char* name) const {
  if (dir_ == nullptr) return DirList();
  const int at = dirfd(dir_);
  return DirList(RetryInterrupted(
      [at, name] { return openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
}

DirList DirList::Reopen() const {
  return OpenChild(".");
}

bool DirList::Next(DirEntry* entry) {
  if (dir_ == nullptr) return false;
  for (;;) {
    errno = 0;
    const dirent* d = readdir(dir_);
    if (d == nullptr) return false;
    const char* n = d->d_name;
    if (n[0] == '.' && (n[1] == '\0' || (n[1] == '.' && n[2] == '\0'))) continue;
    entry->Name = n;
    entry->Length = std::strlen(n);
    entry->Type = d->d_type;
    return true;
  }
}

bool DirList::IsFolder(const DirEntry& entry) const {
  if (entry.Type == DT_DIR) return true;
  if (entry.Type != DT_LNK && entry.Type != DT_UNKNOWN) return false;
  struct stat st {};
  return dir_ != nullptr && fstatat(dirfd(dir_), entry.Name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

bool DirList::IsLink(const DirEntry& entry) const {
  if (entry.Type != DT_UNKNOWN) return entry.Type == DT_LNK;
  struct stat st {};
  return dir_ != nullptr && fstatat(dirfd(dir_), entry.Name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(st.st_mode);
}

bool DirList::Status(const char* name, struct stat* st) const {
  if (dir_ == nullptr) return false;
  return fstatat(dirfd(dir_), name, st, 0) == 0 ||
         fstatat(dirfd(dir_), name, st, AT_SYMLINK_NOFOLLOW) == 0;
}

long DirList::Tell() const {
  return dir_ != nullptr ? telldir(dir_) : 0;
}

void DirList::Seek(long position) {
  if (dir_ != nullptr) seekdir(dir_, position);
}

void DirList::Close() {
  if (dir_ != nullptr) closedir(std::exchange(dir_, nullptr));
}

int OpenListingBudget() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
  rlim_t quarter = limit.rlim_cur / 4;
  return quarter < 8 ? 8 : quarter > 1024 ? 1024 : static_cast<int>(quarter);
}
