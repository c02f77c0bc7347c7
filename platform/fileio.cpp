#include "platform/fileio.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>

#include "platform/fd.h"

ssize_t FileWriter::Read(int fd, void* buf, std::size_t n) {
  return ::read(fd, buf, n);
}

ssize_t FileWriter::ReadAt(int fd, void* buf, std::size_t n, off_t offset) {
  return ::pread(fd, buf, n, offset);
}

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

int FileWriter::SyncRange(int fd) {
  return ::sync_file_range(
      fd, 0, 0, SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER);
}

int FileWriter::SyncFolder(int folder) {
  return ::fsync(folder);
}

int FileWriter::Close(int fd) {
  return ::close(fd);
}

int FileWriter::StatFs(int fd, struct statfs* fs) {
  return ::fstatfs(fd, fs);
}

int FileWriter::OpenUnnamed(int folder, mode_t mode) {
  return ::openat(folder, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
}

ssize_t FileWriter::ListAttributes(int fd, char* list, std::size_t size) {
  return ::flistxattr(fd, list, size);
}

ssize_t FileWriter::GetAttribute(int fd, const char* name, void* value, std::size_t size) {
  return ::fgetxattr(fd, name, value, size);
}

int FileWriter::SetAttribute(int fd, const char* name, const void* value, std::size_t size) {
  return ::fsetxattr(fd, name, value, size, 0);
}

int FileWriter::RemoveAttribute(int fd, const char* name) {
  return ::fremovexattr(fd, name);
}

int FileWriter::GetInodeFlags(int fd, int* flags) {
  return ::ioctl(fd, FS_IOC_GETFLAGS, flags);
}

int FileWriter::SetInodeFlags(int fd, int flags) {
  return ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
}

void FileWriter::Reached(WriteStep /*step*/) {}

FileWriter& SystemFileWriter() {
  static FileWriter system;
  return system;
}

namespace {

// Writes the n bytes at buf with write_some(p, k, done), which answers as
// write(2) for the k bytes at p once done bytes are written.
template <class WriteSome>
int WriteAll(const void* buf, std::size_t n, WriteSome write_some) {
  const char* p = static_cast<const char*>(buf);
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = write_some(p + done, n - done, done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (w == 0) return ENOSPC;
    done += static_cast<std::size_t>(w);
  }
  return 0;
}

}  // namespace

ssize_t ReadSome(FileWriter& writer, int fd, void* buf, std::size_t n) {
  return RetryInterrupted([&] { return writer.Read(fd, buf, n); });
}

ssize_t PreadSome(FileWriter& writer, int fd, void* buf, std::size_t n, off_t offset) {
  return RetryInterrupted([&] { return writer.ReadAt(fd, buf, n, offset); });
}

int WriteFully(FileWriter& writer, int fd, const void* buf, std::size_t n) {
  return WriteAll(
      buf, n, [&](const char* p, std::size_t k, std::size_t) { return writer.Write(fd, p, k); });
}

int WriteFullyAt(FileWriter& writer, int fd, const void* buf, std::size_t n, off_t offset) {
  return WriteAll(buf, n, [&](const char* p, std::size_t k, std::size_t done) {
    return writer.WriteAt(fd, p, k, offset + static_cast<off_t>(done));
  });
}

int SyncFile(FileWriter& writer, int fd) {
  return RetryInterrupted([&] { return writer.Sync(fd); }) == 0 ? 0 : errno;
}

int SyncWritten(FileWriter& writer, int fd) {
  return RetryInterrupted([&] { return writer.SyncRange(fd); }) == 0 ? 0 : errno;
}

int SyncFolder(FileWriter& writer, int folder) {
  // A folder the walk opened is flushed through its own descriptor, which
  // takes no new one from a process near its limit; one held only to name
  // its entries (O_PATH) cannot be.
  if (RetryInterrupted([&] { return writer.SyncFolder(folder); }) == 0) return 0;
  if (errno != EBADF) return errno;
  Fd dir(RetryInterrupted(
      [folder] { return ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  if (dir.get() < 0 || RetryInterrupted([&] { return writer.SyncFolder(dir.get()); }) != 0) {
    return errno;
  }
  return 0;
}
