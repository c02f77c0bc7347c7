// The writer: what the system's writer does, and what the calls made
// through a writer promise whatever it answers.
#include "platform/fileio.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "../support/temp_folder.h"
#include "platform/fd.h"

namespace {

// A step that lets the call through to the system, unbounded.
constexpr int kPass = INT_MAX;

// Answers each call from a script, a step a call: below 0, it fails with
// that errno; otherwise it lets the call through, a write of at most that
// many bytes (0: none). Past the script, everything goes through.
class Scripted : public FileWriter {
 public:
  explicit Scripted(std::vector<int> steps) : steps_(std::move(steps)) {}

  ssize_t Write(int fd, const void* buf, std::size_t n) override {
    const int step = Next();
    if (step < 0) return Fail(step);
    return step == 0 ? 0 : FileWriter::Write(fd, buf, Bound(n, step));
  }
  ssize_t WriteAt(int fd, const void* buf, std::size_t n, off_t offset) override {
    const int step = Next();
    if (step < 0) return Fail(step);
    return step == 0 ? 0 : FileWriter::WriteAt(fd, buf, Bound(n, step), offset);
  }
  int Sync(int fd) override {
    return Flush([&] { return FileWriter::Sync(fd); });
  }
  int SyncRange(int fd) override {
    return Flush([&] { return FileWriter::SyncRange(fd); });
  }
  int SyncFolder(int folder) override {
    struct stat st {};
    synced_ = ::fstat(folder, &st) == 0 ? st.st_ino : 0;
    return Flush([&] { return FileWriter::SyncFolder(folder); });
  }

  // The folder SyncFolder was last handed, by its inode.
  ino_t Synced() const { return synced_; }

 private:
  int Next() { return at_ < steps_.size() ? steps_[at_++] : kPass; }
  template <class Call>
  int Flush(Call call) {
    const int step = Next();
    return step < 0 ? Fail(step) : call();
  }
  static int Fail(int step) {
    errno = -step;
    return -1;
  }
  static std::size_t Bound(std::size_t n, int step) {
    return std::min(n, static_cast<std::size_t>(step));
  }

  std::vector<int> steps_;
  std::size_t at_ = 0;
  ino_t synced_ = 0;
};

std::string Content(int fd) {
  std::string s(64, '\0');
  const ssize_t n = ::pread(fd, s.data(), s.size(), 0);
  s.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return s;
}

TEST(FileIo, WritesAreWholeOrTellWhyNot) {
  struct Case {
    const char* promise;
    std::vector<int> steps;
    int result;
    std::size_t written;
  };
  const Case cases[] = {
      {"short writes are followed by the rest", {3, 1, kPass}, 0, 10},
      {"an interrupted write is made again", {-EINTR, 4, -EINTR, kPass}, 0, 10},
      {"a failure is its errno", {4, -EIO}, EIO, 4},
      {"a write that makes no progress is a full disk", {4, 0}, ENOSPC, 4},
  };
  const std::string text = "0123456789";
  for (const Case& c : cases) {
    for (const bool at_offset : {false, true}) {
      // Two bytes before: the write goes on from where it is, or from offset.
      Fd fd(::memfd_create("fileio", MFD_CLOEXEC));
      ASSERT_EQ(::write(fd.get(), "..", 2), 2);
      Scripted writer(c.steps);
      const int r = at_offset ? WriteFullyAt(writer, fd.get(), text.data(), text.size(), 2)
                              : WriteFully(writer, fd.get(), text.data(), text.size());
      EXPECT_EQ(r, c.result) << c.promise << (at_offset ? ", at an offset" : "");
      EXPECT_EQ(Content(fd.get()), ".." + text.substr(0, c.written)) << c.promise;
    }
  }
}

class FileIoFolder : public TempFolderTest {};

TEST_F(FileIoFolder, FlushesRetryWhenInterruptedAndTellWhyTheyFail) {
  struct Case {
    const char* promise;
    int (*flush)(FileWriter&, int);
    std::vector<int> steps;
    int result;
  };
  const Case cases[] = {
      {"SyncFile retries", SyncFile, {-EINTR, -EINTR, kPass}, 0},
      {"SyncFile fails", SyncFile, {-EIO}, EIO},
      {"SyncWritten retries", SyncWritten, {-EINTR, kPass}, 0},
      {"SyncWritten fails", SyncWritten, {-EIO}, EIO},
      {"SyncFolder retries", SyncFolder, {-EINTR, kPass}, 0},
      {"SyncFolder fails", SyncFolder, {-ENOSPC}, ENOSPC},
  };
  WriteBytes(dir_ + "/f", "x");
  Fd file(::open((dir_ + "/f").c_str(), O_RDWR | O_CLOEXEC));
  // A folder held only by its path, as a walk may hold it: it cannot be
  // flushed itself, so SyncFolder flushes the folder it names.
  Fd folder(::open(dir_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  struct stat st {};
  ASSERT_EQ(::fstat(folder.get(), &st), 0);
  for (const Case& c : cases) {
    Scripted writer(c.steps);
    const bool of_folder = c.flush == &SyncFolder;
    EXPECT_EQ(c.flush(writer, of_folder ? folder.get() : file.get()), c.result) << c.promise;
    if (of_folder) {
      EXPECT_EQ(writer.Synced(), st.st_ino) << c.promise;
    }
  }
}

TEST_F(FileIoFolder, TheSystemsWriterAnswersAsTheSystem) {
  FileWriter& system = SystemFileWriter();
  Fd folder(::open(dir_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const mode_t umask = ::umask(027);
  const int unnamed = system.OpenUnnamed(folder.get(), 0666);
  const int unnamed_error = errno;
  ::umask(umask);
  if (unnamed < 0) GTEST_SKIP() << "no file without a name here: " << unnamed_error;
  Fd fd(unnamed);
  struct stat st {};
  ASSERT_EQ(::fstat(fd.get(), &st), 0);
  EXPECT_EQ(st.st_nlink, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  // Open for reading and writing.
  ASSERT_EQ(system.Write(fd.get(), "abc", 3), 3);
  ASSERT_EQ(system.WriteAt(fd.get(), "B", 1, 1), 1);
  EXPECT_EQ(Content(fd.get()), "aBc");
  EXPECT_EQ(system.Sync(fd.get()), 0);
  EXPECT_EQ(system.SyncRange(fd.get()), 0);
  EXPECT_EQ(system.SyncAll(fd.get()), 0);
  EXPECT_EQ(system.SyncFolder(folder.get()), 0);
  struct statfs fs {};
  EXPECT_EQ(system.StatFs(fd.get(), &fs), 0);
  EXPECT_EQ(system.Close(fd.release()), 0);
  // A failure as the system call's: -1, errno set.
  errno = 0;
  EXPECT_EQ(system.Write(-1, "x", 1), -1);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
