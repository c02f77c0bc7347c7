#include "convert/schedule.h"

#include <linux/magic.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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
                                  FileWriter* writer = nullptr) const {
    std::vector<VisitResult> results;
    ScheduleOptions options;
    options.Jobs = jobs;
    options.BatchFiles = 1000;
    options.StopRunAtFailure = stop_run_at_failure;
    Schedule schedule(options, [&](std::vector<VisitResult>& told) {
      for (VisitResult& r : told) results.push_back(std::move(r));
    });
    for (int i = 0; i < n; ++i) {
      Visit v;
      EXPECT_EQ(v.Entry.Locate(Path(i)), 0);
      v.Path = v.Entry.Chain();
      v.Key.Path = Path(i);
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

TEST_F(ScheduleTest, AFolderFlushThatFailsReportsTheFilesRenamedInIt) {
  struct statfs fs {};
  ASSERT_EQ(statfs(dir_.c_str(), &fs), 0);
  if (fs.f_type == TMPFS_MAGIC) GTEST_SKIP() << "a folder in memory needs no flush";
  MakeFiles(3);
  struct FailingFolderFlush : FileWriter {
    int SyncFolder(int) override {
      ++flushes;
      errno = EIO;
      return -1;
    }
    std::atomic<int> flushes{0};
  } disk;
  const std::vector<VisitResult> results = RunAll(3, 2, false, &disk);
  EXPECT_GE(disk.flushes.load(), 1);
  ASSERT_EQ(results.size(), 3u);
  // In place, but their new names may not outlive a power cut: never told done.
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(results[static_cast<std::size_t>(i)].Failed) << i;
    EXPECT_EQ(ReadBytes(Path(i)), Converted(i)) << i;
  }
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
