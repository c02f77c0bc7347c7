#pragma once
// What the tests of a file's rewrite share: a folder other users may write
// to and a state folder of the test's own, runs as another user, and
// writers that stop the program at a step of a rewrite or watch what is
// flushed when.

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/fileio.h"
#include "platform/folderentry.h"
#include "platform/rewrite.h"
#include "platform/rewriterecord.h"
#include "temp_folder.h"

inline constexpr uid_t kNobody = 65534;

// What a start puts back and tells, its state folder read whole.
inline std::vector<InterruptedRewrite> RestoreAtStart(FileWriter& writer = SystemFileWriter()) {
  std::vector<InterruptedRewrite> found;
  EXPECT_EQ(RestoreInterruptedRewrites(&found, writer), 0);
  return found;
}

// Runs f in a child process as uid, with gid and no other group than
// groups; returns its exit status.
inline int AsUser(uid_t uid, gid_t gid, std::vector<gid_t> groups, const std::function<int()>& f) {
  pid_t pid = fork();
  if (pid == 0) {
    if (geteuid() == 0 &&
        (setgroups(groups.size(), groups.data()) != 0 || setgid(gid) != 0 || setuid(uid) != 0)) {
      _exit(90);
    }
    _exit(f());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 99;
}

// As nobody when root, else as this user.
inline int AsOrdinaryUser(const std::function<int()>& f) {
  return AsUser(kNobody, kNobody, {}, f);
}

// Stops the program at one step of a rewrite, as a kill would, and may
// play a file system without unnamed files.
class KillAt : public FileWriter {
 public:
  explicit KillAt(WriteStep step, bool unnamed = true) : step_(step), unnamed_(unnamed) {}
  void Reached(WriteStep step) override {
    if (step == step_) ::kill(::getpid(), SIGKILL);
  }
  int OpenUnnamed(int folder, mode_t mode) override {
    if (unnamed_) return FileWriter::OpenUnnamed(folder, mode);
    errno = EOPNOTSUPP;
    return -1;
  }

 private:
  WriteStep step_;
  bool unnamed_;
};

// Passes everything to the system, and tells, at each step of a rewrite,
// how many files hold data written and not flushed since.
class FlushWatch : public FileWriter {
 public:
  ssize_t Write(int fd, const void* buf, std::size_t n) override {
    unflushed_.insert(Key(fd));
    return FileWriter::Write(fd, buf, n);
  }
  ssize_t WriteAt(int fd, const void* buf, std::size_t n, off_t offset) override {
    unflushed_.insert(Key(fd));
    return FileWriter::WriteAt(fd, buf, n, offset);
  }
  int Sync(int fd) override {
    const int r = FileWriter::Sync(fd);
    if (r == 0) unflushed_.erase(Key(fd));
    return r;
  }
  int SyncAll(int fd) override {
    const int r = FileWriter::SyncAll(fd);
    const dev_t device = Key(fd).first;
    for (auto it = unflushed_.begin(); r == 0 && it != unflushed_.end();) {
      it = it->first == device ? unflushed_.erase(it) : std::next(it);
    }
    return r;
  }
  void Reached(WriteStep step) override { at_[step] = static_cast<int>(unflushed_.size()); }
  // The files unflushed when step was last reached; -1 when it never was.
  int UnflushedAt(WriteStep step) const {
    auto it = at_.find(step);
    return it == at_.end() ? -1 : it->second;
  }

 private:
  static std::pair<dev_t, ino_t> Key(int fd) {
    struct stat st {};
    fstat(fd, &st);
    return {st.st_dev, st.st_ino};
  }

  std::set<std::pair<dev_t, ino_t>> unflushed_;
  std::map<WriteStep, int> at_;
};

class RewriteFixture : public FolderAndStateTest {
 protected:
  void SetUp() override {
    FolderAndStateTest::SetUp();
    // Other users' runs write here too.
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    ASSERT_EQ(chmod(state_.c_str(), 0777), 0);
  }

  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  // Rewrites the file at path with content through writer; 0 or the errno
  // of the first step that failed.
  static int RewriteTo(const std::string& path, const std::string& content,
                       FileWriter& writer = SystemFileWriter()) {
    FolderEntry entry;
    Fd fd;
    struct stat st {};
    if (int err = entry.Locate(path)) return err;
    if (int err = entry.OpenForReading(&fd)) return err;
    if (fstat(fd.get(), &st) != 0) return errno;
    Rewrite rewrite(entry, fd.get(), st, writer);
    if (int err = rewrite.Begin()) return err;
    if (int err = WriteFully(writer, rewrite.Output(), content.data(), content.size())) return err;
    return rewrite.Commit();
  }

  const bool root_ = geteuid() == 0;
};
