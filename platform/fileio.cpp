#include "platform/fileio.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
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

int FileWriter::Close(int fd) {
  return ::close(fd);
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
  for (;;) {
    ssize_t r = ::read(fd, buf, n);
    if (r >= 0 || errno != EINTR) return r;
  }
}

ssize_t PreadSome(int fd, void* buf, std::size_t n, off_t offset) {
  for (;;) {
    ssize_t r = ::pread(fd, buf, n, offset);
    if (r >= 0 || errno != EINTR) return r;
  }
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

namespace {

// The umask as the system reports it, without changing it; false when the
// system does not say.
bool ReadUmask(mode_t* mask) {
  std::FILE* f = std::fopen("/proc/self/status", "re");
  if (f == nullptr) return false;
  char line[256];
  bool found = false;
  while (!found && std::fgets(line, sizeof line, f) != nullptr) {
    unsigned value = 0;
    if (std::sscanf(line, "Umask: %o", &value) == 1) {
      *mask = static_cast<mode_t>(value);
      found = true;
    }
  }
  std::fclose(f);
  return found;
}

}  // namespace

mode_t NewFileMode() {
  static const mode_t mode = [] {
    mode_t mask = 0;
    // Setting the umask to read it would, for that moment, give files that
    // other threads create the wrong permissions.
    if (!ReadUmask(&mask)) {
      mask = ::umask(022);
      ::umask(mask);
    }
    return 0666 & ~mask;
  }();
  return mode;
}
