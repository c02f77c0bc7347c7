#include "platform/fileio.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>
#include <vector>

namespace {
FileWriter system_writer;
FileWriter* current = &system_writer;
}  // namespace

ssize_t FileWriter::Write(int fd, const void* buf, std::size_t n) {
  return ::write(fd, buf, n);
}

int FileWriter::Sync(int fd) {
  return ::fdatasync(fd);
}

int FileWriter::SyncAll(int fd) {
  return ::syncfs(fd);
}

int FileWriter::Close(int fd) {
  return ::close(fd);
}

int FileWriter::OpenUnnamed(int folder, mode_t mode) {
  return ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
}

void FileWriter::Reached(WriteStep /*step*/) {}

FileWriter& CurrentFileWriter() {
  return *current;
}

FileWriter* SetFileWriter(FileWriter* w) {
  FileWriter* previous = current;
  current = w != nullptr ? w : &system_writer;
  return previous;
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int Fd::release() {
  return std::exchange(fd_, -1);
}

int WriteFully(int fd, const void* buf, std::size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t w = CurrentFileWriter().Write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return ENOSPC;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return 0;
}

ssize_t ReadSome(int fd, void* buf, std::size_t n) {
  return RetryInterrupted([&] { return ::read(fd, buf, n); });
}

ssize_t PreadSome(int fd, void* buf, std::size_t n, off_t offset) {
  return RetryInterrupted([&] { return ::pread(fd, buf, n, offset); });
}

std::string FolderOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  std::string::size_type slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ProcessStatus() {
  std::string text;
  Fd fd(RetryInterrupted([] { return ::open("/proc/self/status", O_RDONLY | O_CLOEXEC); }));
  if (fd.get() < 0) return text;
  char buf[4096];
  for (;;) {
    ssize_t n = ReadSome(fd.get(), buf, sizeof buf);
    if (n <= 0) return n == 0 ? text : std::string();
    text.append(buf, static_cast<std::size_t>(n));
  }
}

namespace {

// The umask as the system reports it, without changing it; false when the
// system does not say.
bool ReadUmask(mode_t* mask) {
  const std::string status = ProcessStatus();
  const std::size_t at = status.find("\nUmask:");
  if (at == std::string::npos) return false;
  *mask = static_cast<mode_t>(std::strtoul(status.c_str() + at + 7, nullptr, 8));
  return true;
}

}  // namespace

mode_t CreationMask() {
  static const mode_t mask = [] {
    mode_t m = 0;
    // Setting the umask to read it would, for that moment, give files that
    // other threads create the wrong permissions.
    if (!ReadUmask(&m)) {
      m = ::umask(022);
      ::umask(m);
    }
    return m;
  }();
  return mask;
}

mode_t NewFileMode() {
  return 0666 & ~CreationMask();
}
