#pragma once
// The calls through which the program reads, writes, flushes and marks
// files, and reads and sets their extended attributes and inode flags.
// Whatever works on files (a rewrite, a conversion, the settings file) is
// handed a writer, as each thread and each test may want its own: tests hand
// in one that fails a read, a write, a flush or a mark, or stops the program
// at a chosen step of a rewrite.

#include <sys/types.h>

#include <cstddef>

struct statfs;

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

// Reads, writes, flushes and closes files; each call answers as the system
// call it stands for. The base class forwards to the system.
class FileWriter {
 public:
  virtual ~FileWriter() = default;
  // As read(2).
  virtual ssize_t Read(int fd, void* buf, std::size_t n);
  // As pread(2).
  virtual ssize_t ReadAt(int fd, void* buf, std::size_t n, off_t offset);
  // As write(2).
  virtual ssize_t Write(int fd, const void* buf, std::size_t n);
  // As pwrite(2).
  virtual ssize_t WriteAt(int fd, const void* buf, std::size_t n, off_t offset);
  // As fdatasync(2); a full disk may only show here on some file systems.
  virtual int Sync(int fd);
  // As syncfs(2): everything written to the file system of fd made durable.
  virtual int SyncAll(int fd);
  // As sync_file_range(2) over all of fd, writing out and waiting: what fd
  // wrote reaches the disk (not past its cache), and a write-back error of
  // fd's file since fd was opened is told, whoever's flush met it.
  virtual int SyncRange(int fd);
  // As fsync(2) of an open folder: the names made, renamed or removed in it
  // made durable.
  virtual int SyncFolder(int folder);
  // As close(2).
  virtual int Close(int fd);
  // As fstatfs(2): the file system fd lives on.
  virtual int StatFs(int fd, struct statfs* fs);
  // As openat(2) of folder with O_TMPFILE: a file without a name, open for
  // reading and writing, with the permission bits mode under the umask.
  virtual int OpenUnnamed(int folder, mode_t mode);
  // As flistxattr(2).
  virtual ssize_t ListAttributes(int fd, char* list, std::size_t size);
  // As fgetxattr(2).
  virtual ssize_t GetAttribute(int fd, const char* name, void* value, std::size_t size);
  // As fsetxattr(2) with no flags.
  virtual int SetAttribute(int fd, const char* name, const void* value, std::size_t size);
  // As fremovexattr(2).
  virtual int RemoveAttribute(int fd, const char* name);
  // As ioctl(2) of fd with FS_IOC_GETFLAGS: its inode flags into *flags.
  virtual int GetInodeFlags(int fd, int* flags);
  // As ioctl(2) of fd with FS_IOC_SETFLAGS: flags made its inode flags.
  virtual int SetInodeFlags(int fd, int flags);
  // Told each step of a rewrite as it is reached; does nothing by default.
  virtual void Reached(WriteStep step);
};

// The system's own writer. It keeps no state, so every thread may share it.
FileWriter& SystemFileWriter();

// As ReadSome and PreadSome (platform/fd.h), through writer: read(2) and
// pread(2), retried when a signal interrupts them.
ssize_t ReadSome(FileWriter& writer, int fd, void* buf, std::size_t n);
ssize_t PreadSome(FileWriter& writer, int fd, void* buf, std::size_t n, off_t offset);

// Writes all n bytes through writer; 0, or the errno of the failure (ENOSPC
// for a write that makes no progress).
int WriteFully(FileWriter& writer, int fd, const void* buf, std::size_t n);
// As WriteFully, at offset of fd.
int WriteFullyAt(FileWriter& writer, int fd, const void* buf, std::size_t n, off_t offset);
// Flushes fd's data through writer; 0 or errno.
int SyncFile(FileWriter& writer, int fd);
// Waits until what fd wrote is written out, through writer; 0, or errno for
// a write-back of its file that failed since fd was opened.
int SyncWritten(FileWriter& writer, int fd);
// Flushes the entries of the open folder (names made, renamed or removed)
// through writer; 0 or errno.
int SyncFolder(FileWriter& writer, int folder);
