#include "convert/schedule.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "../support/rewrite_fixture.h"
#include "../support/temp_folder.h"
#include "platform/fileio.h"
#include "scan/scrutedossier.h"

namespace fs = std::filesystem;

namespace {

class ScheduleTest : public TempFolderTest {
 protected:
  std::string Path(int i) const { return dir_ + "/f" + std::to_string(i) + ".pl"; }
  // Files whose contents differ in length, which tells their temporary files apart.
  void MakeFiles(int n) const {
    for (int i = 0; i < n; ++i) std::ofstream(Path(i)) << std::string(i + 1, 'a') << " \r\n";
  }
  static std::string Converted(int i) { return std::string(i + 1, 'a') + "\n"; }

  // Visits every file in order through a schedule, one batch for all,
  // writing through writer.
  std::vector<VisitResult> RunAll(int n, unsigned jobs, bool stop_run_at_failure = false,
                                  FileWriter* writer = nullptr, std::size_t batch = 1000) const {
    std::vector<std::string> paths;
    for (int i = 0; i < n; ++i) paths.push_back(Path(i));
    ScheduleOptions options;
    options.Jobs = jobs;
    options.BatchFiles = batch;
    options.StopRunAtFailure = stop_run_at_failure;
    return Convert(paths, options, writer);
  }

  // Converts the files at paths to Unix through a schedule, in that order.
  static std::vector<VisitResult> Convert(const std::vector<std::string>& paths,
                                          const ScheduleOptions& options = {},
                                          FileWriter* writer = nullptr) {
    std::vector<VisitResult> results;
    Schedule schedule(options, [&](std::vector<VisitResult>& told) {
      for (VisitResult& r : told) results.push_back(std::move(r));
    });
    for (const std::string& p : paths) {
      Visit v;
      EXPECT_EQ(v.Entry.Locate(p), 0);
      v.Path = v.Entry.Chain();
      v.Key.Path = p;
      v.How.Kind = LineEnding::Unix;
      v.How.Options.Writer = writer;
      v.Run = 1;
      schedule.Add(std::move(v), {});
    }
    schedule.Close();
    while (!schedule.WaitDone(std::chrono::milliseconds(100))) {
    }
    return results;
  }
};

// The barrier fails, and one file's own flush with it.
class FailingBarrier : public FileWriter {
 public:
  explicit FailingBarrier(off_t size) : size_(size) {}
  int SyncAll(int) override {
    ++barriers;
    errno = EIO;
    return -1;
  }
  int Sync(int fd) override {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size == size_) {
      errno = EIO;
      return -1;
    }
    return FileWriter::Sync(fd);
  }
  std::atomic<int> barriers{0};

 private:
  off_t size_;
};

}  // namespace

TEST_F(ScheduleTest, AFailedBarrierFindsItsFileAndCommitsTheOthers) {
  MakeFiles(6);
  std::vector<VisitResult> results;
  {
    FailingBarrier disk(static_cast<off_t>(Converted(3).size()));
    results = RunAll(6, 2, false, &disk);
    EXPECT_GE(disk.barriers.load(), 1);
  }
  ASSERT_EQ(results.size(), 6u);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(results[static_cast<std::size_t>(i)].Path.Text(), Path(i));
    if (i == 3) {
      EXPECT_TRUE(results[3].Failed);
      EXPECT_EQ(results[3].Message, "Erreur E/S 1117");
      EXPECT_EQ(ReadBytes(Path(3)), std::string(4, 'a') + " \r\n");
    } else {
      EXPECT_FALSE(results[static_cast<std::size_t>(i)].Failed) << i;
      EXPECT_EQ(ReadBytes(Path(i)), Converted(i)) << i;
    }
  }
  // Nothing of the failed file's temporary content stays behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 6);
}

TEST_F(ScheduleTest, AFolderFlushThatFailsIsToldOnceAfterTheFilesInPlace) {
  struct statfs fs {};
  ASSERT_EQ(statfs(dir_.c_str(), &fs), 0);
  if (fs.f_type == TMPFS_MAGIC) GTEST_SKIP() << "a folder in memory needs no flush";
  struct FailingFolderFlush : FileWriter {
    int SyncFolder(int) override {
      errno = EIO;
      return -1;
    }
  } disk;
  // Batches of two: the command line goes on and names the folder once; the
  // window's run stops after the first batch, nothing after it.
  for (bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "run stopped" : "run goes on");
    MakeFiles(6);
    const std::vector<VisitResult> results = RunAll(6, 2, stop, &disk, 2);
    ASSERT_EQ(results.size(), 7u);
    // Told after the first batch, whose files are in place.
    std::size_t folder = 0;
    while (folder < results.size() && results[folder].Path.Text() != dir_) ++folder;
    ASSERT_TRUE(folder >= 1 && folder <= 2) << folder;
    EXPECT_TRUE(results[folder].Failed);
    EXPECT_NE(results[folder].Message.find("Erreur E/S 1117"), std::string::npos);
    for (std::size_t i = 0; i < results.size(); ++i) {
      if (i == folder) continue;
      const int f = static_cast<int>(i < folder ? i : i - 1);
      const bool converted = !stop || i < folder;
      EXPECT_EQ(results[i].Path.Text(), Path(f));
      EXPECT_FALSE(results[i].Failed) << f;
      EXPECT_EQ(results[i].Dropped, !converted) << f;
      EXPECT_EQ(
          ReadBytes(Path(f)),
          converted ? Converted(f) : std::string(static_cast<std::size_t>(f) + 1, 'a') + " \r\n")
          << f;
    }
  }
  // Two folders in one batch, the second one's flush failing: that one is
  // named. Each file's first write waits for the other's, so that neither
  // is committed alone.
  struct SecondFolderFails : FileWriter {
    ssize_t Write(int fd, const void* buf, std::size_t n) override {
      {
        std::unique_lock<std::mutex> lock(m);
        writing.insert(fd);
        both.notify_all();
        both.wait(lock, [&] { return writing.size() >= 2; });
      }
      return FileWriter::Write(fd, buf, n);
    }
    int SyncFolder(int fd) override {
      struct stat st {};
      if (::fstat(fd, &st) == 0 && st.st_ino == failing) {
        errno = EIO;
        return -1;
      }
      return FileWriter::SyncFolder(fd);
    }
    ino_t failing = 0;
    std::mutex m;
    std::condition_variable both;
    std::set<int> writing;
  } second;
  WriteBytes(dir_ + "/a/x.pl", "x \r\n");
  WriteBytes(dir_ + "/b/y.pl", "y \r\n");
  struct stat folder {};
  ASSERT_EQ(::stat((dir_ + "/b").c_str(), &folder), 0);
  second.failing = folder.st_ino;
  ScheduleOptions two;
  two.Jobs = 2;
  const std::vector<VisitResult> results =
      Convert({dir_ + "/a/x.pl", dir_ + "/b/y.pl"}, two, &second);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_FALSE(results[0].Failed || results[1].Failed);
  EXPECT_TRUE(results[2].Folder && results[2].Failed);
  EXPECT_EQ(results[2].Path.Text(), dir_ + "/b");
}

TEST_F(ScheduleTest, AKillInTheMiddleOfABatchLeavesEachFileOldOrNew) {
  constexpr int kFiles = 40;
  MakeFiles(kFiles);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    // Killed as the twelfth file of the batch is about to be renamed.
    struct KillAtRename : FileWriter {
      int renames = 0;
      void Reached(WriteStep step) override {
        if (step == WriteStep::kBeforeReplace && ++renames == 12) ::kill(::getpid(), SIGKILL);
      }
    } kill_at;
    RunAll(kFiles, 2, false, &kill_at);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status));
  // Renamed in the walk's order: the eleven first are new, the others old.
  for (int i = 0; i < kFiles; ++i) {
    const std::string content = ReadBytes(Path(i));
    EXPECT_EQ(content, i < 11 ? Converted(i) : std::string(i + 1, 'a') + " \r\n") << i;
  }
  // One run afterwards converts the rest and leaves no work file.
  TScruteDossier scan;
  scan.SetDossier(dir_);
  scan.SetFiltre("*.pl");
  Conversion c;
  c.Kind = LineEnding::Unix;
  scan.OnFichier = [&](TObject*, std::string) { ConvertFile(scan.Entry, c); };
  scan.Execute();
  for (int i = 0; i < kFiles; ++i) EXPECT_EQ(ReadBytes(Path(i)), Converted(i)) << i;
  int entries = 0;
  for (const auto& e : fs::directory_iterator(dir_)) entries += e.path().filename() != "state";
  EXPECT_EQ(entries, kFiles);
}

TEST_F(ScheduleTest, AFailureEndsItsRunAfterWhatCameBeforeIsInPlace) {
  // As the window runs: the files before the one that fails are put in
  // place, none after it, whatever the threads' timing.
  constexpr int kFiles = 30;
  for (int round = 0; round < 10; ++round) {
    MakeFiles(kFiles);
    ASSERT_EQ(chmod(Path(15).c_str(), 0444), 0);
    const std::vector<VisitResult> results = RunAll(kFiles, 2, true);
    ASSERT_EQ(results.size(), static_cast<std::size_t>(kFiles));
    for (int i = 0; i < kFiles; ++i) {
      const VisitResult& r = results[static_cast<std::size_t>(i)];
      if (i < 15) {
        EXPECT_EQ(ReadBytes(Path(i)), Converted(i)) << "round " << round << ", file " << i;
      } else {
        EXPECT_EQ(ReadBytes(Path(i)), std::string(i + 1, 'a') + " \r\n") << i;
        EXPECT_EQ(r.Failed, i == 15) << i;
      }
    }
    ASSERT_EQ(chmod(Path(15).c_str(), 0644), 0);
  }
}

namespace {

// How many temporary files (open, with no name yet) lie in folder now.
int TemporariesIn(const std::string& folder) {
  int n = 0;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ignored;
    const std::string target = fs::read_symlink(e.path(), ignored).string();
    if (target.rfind(folder + "/#", 0) == 0) ++n;
  }
  return n;
}

}  // namespace

TEST_F(ScheduleTest, AFullDiskFailsOnlyAFileThatCannotFitAlone) {
  // Room for one new content at a time, and none for the longer ones (from
  // file 8 on), whether the disk or the quota is full; the same with
  // descriptors, where the process runs out of them.
  struct NearlyFull : FileWriter {
    NearlyFull(std::string folder, int err) : folder_(std::move(folder)), err_(err) {}
    ssize_t Write(int fd, const void* buf, std::size_t n) override {
      struct stat st {};
      if (TemporariesIn(folder_) > 1 || (::fstat(fd, &st) == 0 && st.st_size + n > 8 + 1)) {
        errno = err_;
        return -1;
      }
      return FileWriter::Write(fd, buf, n);
    }
    std::string folder_;
    int err_;
  };
  for (int err : {ENOSPC, EDQUOT, EMFILE}) {
    SCOPED_TRACE(err);
    constexpr int kFiles = 20;
    MakeFiles(kFiles);
    NearlyFull disk(dir_, err);
    const std::vector<VisitResult> results = RunAll(kFiles, 2, false, &disk);
    ASSERT_EQ(results.size(), static_cast<std::size_t>(kFiles));
    for (int i = 0; i < kFiles; ++i) {
      const VisitResult& r = results[static_cast<std::size_t>(i)];
      EXPECT_EQ(r.Path.Text(), Path(i));
      EXPECT_EQ(r.Failed, i >= 8) << i;
      EXPECT_EQ(ReadBytes(Path(i)), i >= 8 ? std::string(i + 1, 'a') + " \r\n" : Converted(i)) << i;
    }
    EXPECT_EQ(results[8].Message, err == EMFILE ? "Trop de fichiers ouverts" : "Erreur E/S 112");
  }
}

TEST_F(ScheduleTest, EachFileSystemIsFlushedAsItNeeds) {
  // FUSE: a barrier never reaches the file system's process, so each file is
  // flushed on its own before its rename. A disk: one barrier, then each
  // file's own write-back error, which reaches that file alone.
  struct Disk : FileWriter {
    Disk(long type, off_t failing_size) : type_(type), failing_size_(failing_size) {}
    int StatFs(int fd, struct statfs* fs) override {
      const int r = FileWriter::StatFs(fd, fs);
      fs->f_type = type_;
      return r;
    }
    int SyncAll(int fd) override {
      ++barriers;
      return FileWriter::SyncAll(fd);
    }
    int Sync(int fd) override {
      struct stat st {};
      ::fstat(fd, &st);
      std::lock_guard<std::mutex> lock(m);
      flushed.insert(st.st_ino);
      return FileWriter::Sync(fd);
    }
    int SyncRange(int fd) override {
      struct stat st {};
      if (::fstat(fd, &st) == 0 && st.st_size == failing_size_) {
        errno = EIO;
        return -1;
      }
      return FileWriter::SyncRange(fd);
    }
    long type_;
    off_t failing_size_;
    std::atomic<int> barriers{0};
    std::mutex m;
    // The files flushed on their own: a temporary file is renamed whole.
    std::set<ino_t> flushed;
  };
  {
    SCOPED_TRACE("FUSE");
    MakeFiles(6);
    Disk fuse(FUSE_SUPER_MAGIC, -1);
    const std::vector<VisitResult> results = RunAll(6, 2, false, &fuse);
    EXPECT_EQ(fuse.barriers.load(), 0);
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(ReadBytes(Path(i)), Converted(i)) << i;
      struct stat st {};
      ASSERT_EQ(::stat(Path(i).c_str(), &st), 0);
      EXPECT_EQ(fuse.flushed.count(st.st_ino), 1u) << i;
    }
  }
  {
    SCOPED_TRACE("disk");
    MakeFiles(6);
    Disk ext4(EXT4_SUPER_MAGIC, static_cast<off_t>(Converted(4).size()));
    const std::vector<VisitResult> results = RunAll(6, 2, false, &ext4);
    EXPECT_EQ(ext4.barriers.load(), 1);
    EXPECT_TRUE(ext4.flushed.empty());
    ASSERT_EQ(results.size(), 6u);
    for (int i = 0; i < 6; ++i) {
      EXPECT_EQ(results[static_cast<std::size_t>(i)].Failed, i == 4) << i;
      EXPECT_EQ(ReadBytes(Path(i)), i == 4 ? std::string(5, 'a') + " \r\n" : Converted(i)) << i;
    }
  }
}

TEST_F(ScheduleTest, ThreadsThatCannotStartLeaveTheWorkToTheOthers) {
  for (unsigned started : {0u, 1u}) {
    SCOPED_TRACE(started);
    MakeFiles(12);
    std::vector<VisitResult> results;
    ScheduleOptions options;
    options.Jobs = 3;
    options.MostInHand = 8;
    options.StartThread = [started, n = 0u](std::function<void()> work) mutable {
      if (n++ >= started) throw std::system_error(EAGAIN, std::generic_category());
      return std::thread(std::move(work));
    };
    Schedule schedule(options, [&](std::vector<VisitResult>& told) {
      for (VisitResult& r : told) results.push_back(std::move(r));
    });
    EXPECT_EQ(schedule.Workers(), started);
    for (int i = 0; i < 12; ++i) {
      Visit v;
      ASSERT_EQ(v.Entry.Locate(Path(i)), 0);
      v.Path = v.Entry.Chain();
      v.Key.Path = Path(i);
      v.How.Kind = LineEnding::Unix;
      EXPECT_TRUE(schedule.Add(std::move(v), {}));
    }
    schedule.Close();
    while (!schedule.WaitDone(std::chrono::milliseconds(100))) {
    }
    ASSERT_EQ(results.size(), 12u);
    for (int i = 0; i < 12; ++i) {
      EXPECT_FALSE(results[static_cast<std::size_t>(i)].Failed) << i;
      EXPECT_EQ(ReadBytes(Path(i)), Converted(i)) << i;
    }
  }
}

TEST_F(ScheduleTest, ASaveTheDatesCannotShowIsNeverLost) {
  // ext4 with small inodes dates changes to the second: a save of the same
  // size made while the file waits for its commit moves neither its size
  // nor its dates.
  if (geteuid() != 0) GTEST_SKIP() << "mounting a disk image needs root";
  const std::string image = dir_ + "/disk.img";
  const std::string mnt = dir_ + "/mnt";
  fs::create_directory(mnt);
  const std::string make = "truncate -s 16M '" + image + "' && mkfs.ext4 -q -F -I 128 '" + image +
                           "' >/dev/null 2>&1 && mount -o loop '" + image + "' '" + mnt + "'";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "no loop device to mount an image on";
  struct Unmount {
    std::string at;
    ~Unmount() { std::system(("umount '" + at + "'").c_str()); }
  } unmount{mnt};
  const std::string p = mnt + "/e.pl";
  std::ofstream(p) << "a \r\n";
  struct Editor : FileWriter {
    std::string path;
    void Reached(WriteStep step) override {
      if (step != WriteStep::kOutputWritten) return;
      Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
      EXPECT_EQ(::pwrite(fd.get(), "b", 1, 0), 1);
    }
  } editor;
  editor.path = p;
  const std::vector<VisitResult> results = Convert({p}, {}, &editor);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_TRUE(results[0].Failed);
  EXPECT_EQ(results[0].Message, "Erreur E/S 32");
  EXPECT_EQ(ReadBytes(p), "b \r\n");
}

TEST_F(ScheduleTest, AFileCutShortIsLeftAloneByOthersAndPutBackByItsOwnUser) {
  // Killed while writing the new content over the old, in place (a second
  // name), as root over another user's file in a shared folder.
  std::string old_content;
  for (int i = 0; i < 60000; ++i) old_content += "line \r\n";
  const std::string p = dir_ + "/k.pl";
  std::ofstream(p) << old_content;
  ASSERT_EQ(::link(p.c_str(), (dir_ + "/k2.pl").c_str()), 0);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chmod(dir_.c_str(), 0777), 0);
    ASSERT_EQ(::chown(p.c_str(), kNobody, kNobody), 0);
  }
  EXPECT_EQ(AsUser(geteuid(), getegid(), {},
                   [&] {
                     KillAt kill(WriteStep::kRewriting);
                     Convert({p}, {}, &kill);
                     return 0;
                   }),
            99);
  const std::string cut = ReadBytes(p);
  ASSERT_TRUE(cut != old_content);
  if (root) {
    // The owner's own run cannot settle what root's run left: it converts
    // nothing and says where the old content is.
    EXPECT_EQ(AsOrdinaryUser([&] {
                setenv("XDG_STATE_HOME", (dir_ + "/nobody").c_str(), 1);
                const std::vector<VisitResult> r = Convert({p});
                return r.size() == 1 && r[0].Failed &&
                               r[0].Message.find("réécriture interrompue") != std::string::npos &&
                               r[0].Message.find("/.terminelle~ancien~") != std::string::npos
                           ? 0
                           : 1;
              }),
              0);
    EXPECT_TRUE(ReadBytes(p) == cut);
  }
  // Nor does a trial of that user, which only opens it.
  ScheduleOptions trial;
  trial.Trial = true;
  const std::vector<VisitResult> tried = Convert({p}, trial);
  ASSERT_EQ(tried.size(), 1u);
  EXPECT_TRUE(tried[0].Failed);
  EXPECT_TRUE(ReadBytes(p) == cut);
  // The user whose run was cut puts it back first, then converts it.
  const std::vector<VisitResult> r = Convert({p});
  ASSERT_EQ(r.size(), 1u);
  EXPECT_FALSE(r[0].Failed) << r[0].Message;
  std::string expected;
  for (int i = 0; i < 60000; ++i) expected += "line\n";
  EXPECT_TRUE(ReadBytes(p) == expected);
  std::set<std::string> names;
  for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
  names.erase("state");
  names.erase("nobody");
  EXPECT_EQ(names, (std::set<std::string>{"k.pl", "k2.pl"}));
}
