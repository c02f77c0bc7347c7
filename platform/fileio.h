#pragma once
// The calls through which files are written, and small tools shared by every
// writer of the program. Tests put another writer in place to fail writes or
// flushes, or to stop the program at a chosen step of a rewrite.

#include <sys/types.h>

#include <cerrno>
#include <cstddef>
#include <string>

// The steps of a file's rewrite at which a test may step in.
enum class WriteStep {
  // A work file (temporary, copy of an old content, record) was just
  // created, not locked yet.
  kWorkFileMade,
  // The new content is complete in the temporary file, nothing else is done.
  kOutputWritten,
  // Checked unchanged and flushed; the temporary file is about to replace it.
  kBeforeReplace,
  // Files committed together: the barrier that makes their contents durable
  // is about to be passed, nothing is renamed yet.
  kBeforeBarrier,
  // In place: the old content is kept and flushed, with its record.
  kBackupKept,
  // In place: checked unchanged; the file is about to be reopened and truncated.
  kBeforeRewrite,
  // In place: part of the new content is written over the old.
  kRewriting,
  // In place: the new content is complete and flushed; the mode and the file
  // capability, which writing clears, are not given back yet.
  kNewContentFlushed,
  // In place: the mode is given back, the file capability not yet.
  kModeGivenBack,
  // In place: content, mode and capability are all back; the record is still there.
  kRewritten,
};

// Writes, flushes and closes files; the default forwards to the system.
class FileWriter {
 public:
  virtual ~FileWriter() = default;
  // As write(2).
  virtual ssize_t Write(int fd, const void* buf, std::size_t n);
  // As fdatasync(2); a full disk may only show here on some file systems.
  virtual int Sync(int fd);
  // As syncfs(2): everything written to the file system of fd made durable.
  virtual int SyncAll(int fd);
  // As close(2).
  virtual int Close(int fd);
  // As openat(2) of folder with O_TMPFILE: a file without a name, open for
  // reading and writing, with the permission bits mode under the umask.
  virtual int OpenUnnamed(int folder, mode_t mode);
  // Told each step of a rewrite as it is reached; does nothing by default.
  virtual void Reached(WriteStep step);
};

// The writer in force (never null).
FileWriter& CurrentFileWriter();
// Puts w in force (null restores the system's own); returns the previous one.
FileWriter* SetFileWriter(FileWriter* w);

// An open descriptor that closes itself.
class Fd {
 public:
  // Owns fd (none when negative).
  explicit Fd(int fd = -1) : fd_(fd) {}
  // Closes what it owns.
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  // Takes over other's descriptor.
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  // Closes its own, then takes over other's.
  Fd& operator=(Fd&& other) noexcept;
  // The descriptor, negative when none.
  int get() const { return fd_; }
  // Closes what it owns and owns fd instead.
  void reset(int fd = -1);
  // Gives up the descriptor without closing it.
  int release();

 private:
  int fd_;
};

// Calls call again for as long as it fails with EINTR; its last result.
template <class Call>
auto RetryInterrupted(Call call) -> decltype(call()) {
  for (;;) {
    auto r = call();
    if (r >= 0 || errno != EINTR) return r;
  }
}

// Writes all n bytes through the writer in force; 0, or the errno of the
// failure (ENOSPC for a write that makes no progress).
int WriteFully(int fd, const void* buf, std::size_t n);
// As read(2), retried when interrupted.
ssize_t ReadSome(int fd, void* buf, std::size_t n);
// As pread(2), retried when interrupted.
ssize_t PreadSome(int fd, void* buf, std::size_t n, off_t offset);

// The folder that holds path: "." for a bare name, "/" for a file at the root.
std::string FolderOf(const std::string& path);
// The last name of path ("" when it ends with a separator).
std::string NameOf(const std::string& path);
// The text of /proc/self/status; "" when it cannot be read.
std::string ProcessStatus();
// The process's umask, as it was when first asked.
mode_t CreationMask();
// The permission bits a newly created file gets under that umask.
mode_t NewFileMode();
