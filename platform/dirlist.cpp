#include "platform/dirlist.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/fd.h"

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
  return DirList(OpenListableFolder(path));
}

DirList DirList::OpenChild(const char* name) const {
  if (dir_ == nullptr) return DirList();
  return DirList(OpenListableSubfolder(dirfd(dir_), name));
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
  return dir_ != nullptr && IsFolderEntry(dirfd(dir_), entry);
}

bool DirList::IsLink(const DirEntry& entry) const {
  return dir_ != nullptr && IsLinkEntry(dirfd(dir_), entry);
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

int OpenListableFolder(const std::string& path) {
  const char* p = path.empty() ? "/" : path.c_str();
  return RetryInterrupted([p] { return open(p, O_RDONLY | O_DIRECTORY | O_CLOEXEC); });
}

int OpenListableSubfolder(int parent, const char* name) {
  return RetryInterrupted([parent, name] {
    return openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  });
}

bool IsFolderEntry(int folder, const DirEntry& entry) {
  if (entry.Type == DT_DIR) return true;
  if (entry.Type != DT_LNK && entry.Type != DT_UNKNOWN) return false;
  struct stat st {};
  return fstatat(folder, entry.Name, &st, 0) == 0 && S_ISDIR(st.st_mode);
}

bool IsLinkEntry(int folder, const DirEntry& entry) {
  if (entry.Type != DT_UNKNOWN) return entry.Type == DT_LNK;
  struct stat st {};
  return fstatat(folder, entry.Name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

bool IsSubfolderEntry(int folder, const DirEntry& entry) {
  if (entry.Type != DT_UNKNOWN) return entry.Type == DT_DIR;
  struct stat st {};
  return fstatat(folder, entry.Name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

int FolderNames::Read(int fd) {
  bytes_.clear();
  alignas(8) char buf[32 * 1024];
  for (;;) {
    const ssize_t n = getdents64(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    for (ssize_t at = 0; at < n;) {
      const auto* d = reinterpret_cast<const struct dirent64*>(buf + at);
      at += d->d_reclen;
      const char* name = d->d_name;
      if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
      bytes_ += static_cast<char>(d->d_type);
      bytes_.append(name, std::strlen(name) + 1);
    }
  }
}

void FolderNames::KeepPossibleFolders() {
  std::string kept;
  std::size_t cursor = 0;
  DirEntry entry;
  while (Next(&cursor, &entry)) {
    if (entry.Type != DT_DIR && entry.Type != DT_UNKNOWN) continue;
    kept += static_cast<char>(entry.Type);
    kept.append(entry.Name, entry.Length + 1);
  }
  bytes_.swap(kept);
}

bool FolderNames::Next(std::size_t* cursor, DirEntry* entry) const {
  if (*cursor >= bytes_.size()) return false;
  entry->Type = static_cast<unsigned char>(bytes_[*cursor]);
  entry->Name = bytes_.data() + *cursor + 1;
  entry->Length = std::strlen(entry->Name);
  *cursor += entry->Length + 2;
  return true;
}

int OpenListingBudget() {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 1024;
  rlim_t quarter = limit.rlim_cur / 4;
  return quarter < 8 ? 8 : quarter > 1024 ? 1024 : static_cast<int>(quarter);
}
