#include "platform/fileio.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fd.h"

ssize_t FileWriter::Write(int fd, const void* buf, std::size_t n) {
  return ::write(fd, buf, n);
}

ssize_t FileWriter::WriteAt(int fd, const void* buf, std::size_t n, off_t offset) {
  return ::pwrite(fd, buf, n, offset);
}

int FileWriter::Sync(int fd) {
  return ::fdatasync(fd);
}

int FileWriter::SyncAll(int fd) {
  return ::syncfs(fd);
}

int FileWriter::SyncFolder(int folder) {
  return ::fsync(folder);
}

int FileWriter::Close(int fd) {
  return ::close(fd);
}

int FileWriter::OpenUnnamed(int folder, mode_t mode) {
  return ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
}

void FileWriter::Reached(WriteStep /*step*/) {}

FileWriter& SystemFileWriter() {
  static FileWriter system;
  return system;
}

int WriteFully(FileWriter& writer, int fd, const void* buf, std::size_t n) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    const ssize_t w = writer.Write(fd, p, n);
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

int WriteFullyAt(FileWriter& writer, int fd, const void* buf, std::size_t n, off_t offset) {
  const char* p = static_cast<const char*>(buf);
  while (n > 0) {
    const ssize_t w = writer.WriteAt(fd, p, n, offset);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return ENOSPC;
    p += w;
    n -= static_cast<std::size_t>(w);
    offset += w;
  }
  return 0;
}

int SyncFile(FileWriter& writer, int fd) {
  return RetryInterrupted([&] { return writer.Sync(fd); }) == 0 ? 0 : errno;
}

int SyncFolder(FileWriter& writer, int folder) {
  Fd dir(RetryInterrupted(
      [folder] { return ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (dir.get() < 0 || RetryInterrupted([&] { return writer.SyncFolder(dir.get()); }) != 0) {
    return errno;
  }
  return 0;
}
