#include "run/folderrun.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "../support/temp_folder.h"
#include "base/errors.h"
#include "platform/fileio.h"

namespace {

// A program's side: every file to Unix, a rule that shows a second
// conversion as a second "-w"; what it is told is noted.
struct Teller : RunTeller {
  bool Choose(Visit& visit) override {
    visit.How.Kind = LineEnding::Unix;
    visit.How.Rule1 = {true, "perl", "perl -w"};
    visit.How.Options.KeepUnchanged = true;
    visit.How.Options.Writer = writer;
    met.push_back(visit.Path.Text());
    return true;
  }
  void Told(std::vector<VisitResult>& results) override {
    for (const VisitResult& r : results) told += r.Path.Text() + (r.Dropped ? "- " : " ");
  }
  void EndedBy(const VisitResult& failure) override { ended_by = failure.Path.Name(); }
  void Pump() override {
    if (pump && met.size() >= pump_after) std::exchange(pump, nullptr)();
  }
  FileWriter* writer = nullptr;
  std::vector<std::string> met;
  std::string told, ended_by;
  // Run once, at the first pump after pump_after files were met.
  std::function<void()> pump;
  std::size_t pump_after = 1;
};

class FolderRunTest : public TempFolderTest {
 protected:
  RunAccount Walk(FolderRun& run, const std::string& folder, int depth = 0) {
    TScruteDossier scanner;
    scanner.SetDossier(dir_ + "/" + folder);
    scanner.SetMaxPenetration(depth);
    return run.Walk(scanner);
  }
  std::string Read(const std::string& name) const { return ReadBytes(dir_ + "/" + name); }
  Teller teller;
};

TEST_F(FolderRunTest, EachRunCountsItsOwnFilesAndKeepsOrTellsTheFoldersItCouldNotRead) {
  for (bool in_order : {true, false}) {
    WriteBytes(dir_ + "/one/new.pl", "x \n");
    WriteBytes(dir_ + "/one/same.pl", "x\n");
    WriteBytes(dir_ + "/one/bin.pl", std::string("x\0", 2));
    WriteBytes(dir_ + "/one/ro.pl", "x \n");
    ::chmod((dir_ + "/one/ro.pl").c_str(), 0444);
    std::filesystem::create_directories(dir_ + "/one/sub/deeper");
    FolderRunOptions options;
    options.WalkFailuresInOrder = in_order;
    FolderRun run(options, teller);
    const RunAccount account = Walk(run, "one", 1);
    EXPECT_EQ(account.Counts.Text(),
              std::string("1 converti, 1 inchangé, 1 laissé tel quel, 1 refusé, ") +
                  (in_order ? "1" : "0") + " en échec");
    ASSERT_EQ(account.Unread.size(), in_order ? 0u : 1u);
    for (const UnreadFolder& u : account.Unread)
      EXPECT_EQ(u.Folder.Text(), dir_ + "/one/sub/deeper");
  }
}

// A double click: the second run walks the same files while the first goes on.
TEST_F(FolderRunTest, ARunStartedDuringAnotherConvertsNoFileTwiceAndCountsApart) {
  for (int i = 0; i < 8; ++i) WriteBytes(dir_ + "/f" + std::to_string(i) + ".pl", "perl \n");
  FolderRunOptions options;
  options.Jobs = 2;
  options.Nested = true;
  FolderRun run(options, teller);
  RunAccount inner;
  teller.pump = [&] { inner = Walk(run, ""); };
  const RunAccount outer = Walk(run, "");
  for (int i = 0; i < 8; ++i) EXPECT_EQ(Read("f" + std::to_string(i) + ".pl"), "perl -w\n") << i;
  EXPECT_EQ(outer.Counts.Converted, 1u);
  EXPECT_EQ(inner.Counts.Converted, 7u);
}

TEST_F(FolderRunTest, AFailureEndsItsOwnRunOnly) {
  for (const char* name : {"one/a.pl", "one/b.pl", "one/c.pl", "two/ro.pl"}) {
    WriteBytes(dir_ + "/" + name, "perl \n");
  }
  ::chmod((dir_ + "/two/ro.pl").c_str(), 0444);
  FolderRunOptions options;
  options.StopRunAtFailure = true;
  options.Nested = true;
  FolderRun run(options, teller);
  std::string inner_error;
  teller.pump = [&] {
    try {
      Walk(run, "two");
    } catch (const Exception& e) {
      inner_error = e.Message();
    }
  };
  EXPECT_EQ(Walk(run, "one").Counts.Converted, 3u);
  EXPECT_EQ(inner_error, "Accès au fichier refusé");
  EXPECT_EQ(teller.ended_by, "ro.pl");
  EXPECT_EQ(Read("one/c.pl"), "perl -w\n");
}

// Quitter, or a signal: the file in hand is put in place, those waiting are
// dropped, and the walk goes no further.
TEST_F(FolderRunTest, AStopFinishesTheFileInHandAndNoneAfterIt) {
  for (int i = 0; i < 6; ++i) WriteBytes(dir_ + "/f" + std::to_string(i) + ".pl", "perl \n");
  struct Held : FileWriter {
    void Reached(WriteStep step) override {
      std::unique_lock<std::mutex> lock(m);
      if (step != WriteStep::kOutputWritten || held) return;
      held = true;
      changed.notify_all();
      changed.wait(lock, [&] { return released; });
    }
    std::mutex m;
    std::condition_variable changed;
    bool held = false, released = false;
  } disk;
  teller.writer = &disk;
  FolderRun run(FolderRunOptions{}, teller);
  // The first file in hand, the next two waiting.
  teller.pump_after = 3;
  teller.pump = [&] {
    std::unique_lock<std::mutex> lock(disk.m);
    ASSERT_TRUE(disk.changed.wait_for(lock, std::chrono::minutes(1), [&] { return disk.held; }));
    run.Stop();
    disk.released = true;
    disk.changed.notify_all();
  };
  EXPECT_TRUE(Walk(run, "").Stopped);
  ASSERT_GE(teller.met.size(), 3u);
  EXPECT_EQ(teller.told, teller.met[0] + " " + teller.met[1] + "- " + teller.met[2] + "- ");
  EXPECT_EQ(ReadBytes(teller.met[0]), "perl -w\n");
  for (std::size_t i = 1; i < teller.met.size(); ++i)
    EXPECT_EQ(ReadBytes(teller.met[i]), "perl \n");
  EXPECT_LT(teller.met.size(), 6u);
}

}  // namespace
