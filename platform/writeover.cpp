#include "platform/writeover.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/folderentry.h"

Likeness CompareContents(FileWriter& writer, int a, int b, std::size_t chunk) {
  std::unique_ptr<char[]> x(new char[chunk]);
  std::unique_ptr<char[]> y(new char[chunk]);
  off_t offset = 0;
  for (;;) {
    ssize_t n = PreadSome(writer, a, x.get(), chunk, offset);
    ssize_t m = PreadSome(writer, b, y.get(), chunk, offset);
    if (n < 0 || m < 0 || n > m) return Likeness::kOther;
    if (std::memcmp(x.get(), y.get(), static_cast<std::size_t>(n)) != 0) return Likeness::kOther;
    if (n < m) {
      // a ended here unless this read was short for another reason.
      ssize_t more = PreadSome(writer, a, x.get(), 1, offset + n);
      return more == 0 ? Likeness::kPrefix : Likeness::kOther;
    }
    if (n == 0) return Likeness::kEqual;
    offset += n;
  }
}

bool LeftByWriteOver(FileWriter& writer, int file, int from, std::size_t chunk) {
  struct stat a {
  }, b{};
  if (::fstat(file, &a) != 0 || ::fstat(from, &b) != 0 || a.st_size != b.st_size) return false;
  std::unique_ptr<char[]> x(new char[chunk]);
  std::unique_ptr<char[]> y(new char[chunk]);
  for (off_t offset = 0; offset < a.st_size;) {
    const ssize_t n = PreadSome(writer, file, x.get(), chunk, offset);
    if (n <= 0 || PreadSome(writer, from, y.get(), static_cast<std::size_t>(n), offset) != n) {
      return false;
    }
    if (std::memcmp(x.get(), y.get(), static_cast<std::size_t>(n)) != 0) {
      for (ssize_t i = 0; i < n; ++i) {
        if (x[i] != y[i] && x[i] != '\0') return false;
      }
    }
    offset += n;
  }
  return true;
}

bool ListAttributes(FileWriter& writer, int fd, std::vector<std::string>* names) {
  names->clear();
  std::string buf;
  for (;;) {
    ssize_t n = writer.ListAttributes(fd, nullptr, 0);
    if (n < 0) return errno == ENOTSUP;
    if (n == 0) return true;
    buf.resize(static_cast<std::size_t>(n));
    n = writer.ListAttributes(fd, buf.data(), buf.size());
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

bool ReadAttribute(FileWriter& writer, int fd, const char* name, std::string* value) {
  for (;;) {
    ssize_t n = writer.GetAttribute(fd, name, nullptr, 0);
    if (n < 0) return false;
    value->resize(static_cast<std::size_t>(n) + 1);
    n = writer.GetAttribute(fd, name, value->data(), value->size());
    if (n >= 0) {
      value->resize(static_cast<std::size_t>(n));
      return true;
    }
    if (errno != ERANGE) return false;
  }
}

int ReopenForWriting(int fd, const FolderEntry& entry, Fd* out) {
  char proc[40];
  std::snprintf(proc, sizeof proc, "/proc/self/fd/%d", fd);
  const int flags = O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
  Fd file(RetryInterrupted([&] { return ::open(proc, flags); }));
  // Without /proc, the name serves, never through a link; the identity
  // check below refuses anything else.
  if (file.get() < 0 && errno == ENOENT) {
    file.reset(RetryInterrupted(
        [&] { return ::openat(entry.Folder(), entry.Name().c_str(), flags | O_NOFOLLOW); }));
  }
  if (file.get() < 0) return errno;
  struct stat a {
  }, b{};
  if (::fstat(file.get(), &a) != 0 || ::fstat(fd, &b) != 0 || a.st_dev != b.st_dev ||
      a.st_ino != b.st_ino) {
    return EBUSY;
  }
  *out = std::move(file);
  return 0;
}

int CopyContent(FileWriter& writer, int from, int to, bool progress) {
  std::unique_ptr<char[]> buf(new char[kCopyChunk]);
  off_t offset = 0;
  for (;;) {
    ssize_t r = PreadSome(writer, from, buf.get(), kCopyChunk, offset);
    if (r < 0) return errno;
    if (r == 0) return 0;
    if (int err = WriteFully(writer, to, buf.get(), static_cast<std::size_t>(r))) return err;
    if (progress && offset == 0) writer.Reached(WriteStep::kRewriting);
    offset += r;
  }
}

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

int GiveBackCapability(FileWriter& writer, int fd, const std::string& capability) {
  if (capability.empty()) return 0;
  // One set since is not this program's to replace.
  std::string now;
  if (ReadAttribute(writer, fd, kCapabilityAttribute, &now)) return 0;
  return writer.SetAttribute(fd, kCapabilityAttribute, capability.data(), capability.size()) == 0
             ? 0
             : errno;
}

int WriteOver(FileWriter& writer, int from, int out, mode_t mode, const std::string& capability,
              bool progress) {
  // Emptied, then given the new size, so that what is not written yet
  // reads as zeros rather than as what was there.
  struct stat st {};
  if (::fstat(from, &st) != 0 || RetryInterrupted([out] { return ::ftruncate(out, 0); }) != 0 ||
      RetryInterrupted([&] { return ::ftruncate(out, st.st_size); }) != 0 ||
      ::lseek(out, 0, SEEK_SET) < 0) {
    return errno;
  }
  if (int err = CopyContent(writer, from, out, progress)) return err;
  if (int err = SyncFile(writer, out)) return err;
  if (progress) writer.Reached(WriteStep::kNewContentFlushed);
  if (int err = GiveBackMode(out, mode)) return err;
  if (progress) writer.Reached(WriteStep::kModeGivenBack);
  return GiveBackCapability(writer, out, capability);
}
