#include "platform/rewriterecord.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "../support/rewrite_fixture.h"

namespace {

// CAP_NET_RAW, permitted and effective.
const unsigned char kCapability[20] = {0x01, 0, 0, 0x02, 0, 0x20, 0, 0};

using RewriteRecordTest = RewriteFixture;

TEST_F(RewriteRecordTest, AKillAfterTheNewContentLeavesModeAndCapabilityRightAtTheNextStart) {
  // Large enough for the copy to take several writes.
  const std::string old_content(600000, 'o');
  const std::string new_content(500000, 'n');
  struct Case {
    const char* what;
    mode_t mode;
    bool capability;
  };
  // Writing clears setuid and setgid unless the writer is privileged, and
  // file capabilities always; a second name makes the rewrite go in place.
  std::vector<Case> cases = {{"setuid and setgid, as their owner", 06755, false}};
  if (root_) cases.push_back({"capability, as root", 0755, true});
  for (const Case& c : cases) {
    for (WriteStep step :
         {WriteStep::kNewContentFlushed, WriteStep::kModeGivenBack, WriteStep::kRewritten}) {
      SCOPED_TRACE(testing::Message() << c.what << ", step " << static_cast<int>(step));
      std::string p = Write("k.cgi", old_content);
      ASSERT_EQ(link(p.c_str(), Path("k2.cgi").c_str()), 0);
      const bool as_root = c.capability;
      if (root_ && !as_root) {
        ASSERT_EQ(chown(p.c_str(), kNobody, kNobody), 0);
      }
      ASSERT_EQ(chmod(p.c_str(), c.mode), 0);
      if (c.capability &&
          setxattr(p.c_str(), "security.capability", kCapability, sizeof kCapability, 0) != 0) {
        GTEST_SKIP() << "no file capabilities here";
      }
      // Each user keeps a state folder of its own: another's is not read.
      auto own_state = [&] {
        if (!as_root) setenv("XDG_STATE_HOME", (state_ + "/other").c_str(), 1);
      };
      auto run = [&] {
        own_state();
        KillAt kill(step);
        RewriteTo(p, new_content, kill);
        return 0;
      };
      auto restart = [&] {
        own_state();
        return RestoreAtStart().empty() ? 0 : 1;
      };
      if (as_root) {
        AsUser(0, 0, {}, run);
        EXPECT_EQ(restart(), 0);
      } else {
        AsOrdinaryUser(run);
        EXPECT_EQ(AsOrdinaryUser(restart), 0);
      }
      const std::string now = Read(p);
      EXPECT_TRUE(now == new_content || now == old_content);
      EXPECT_EQ(Mode(p), c.mode);
      if (c.capability) {
        unsigned char value[20] = {};
        EXPECT_EQ(getxattr(p.c_str(), "security.capability", value, sizeof value), 20);
        EXPECT_EQ(std::memcmp(value, kCapability, sizeof value), 0);
      }
      EXPECT_EQ(Entries(), (std::set<std::string>{"k.cgi", "k2.cgi"}));
      std::filesystem::remove(p);
      std::filesystem::remove(Path("k2.cgi"));
    }
  }
}

TEST_F(RewriteRecordTest, RecordOfThePreviousVersionIsStillSettled) {
  // Cut short while writing the new content over the old: the copy of the
  // old content and the record naming it, as the previous version made them.
  const std::string p = Write("v1.pl", "new");
  const std::string backup = Write(".terminelle-ancien-Ab12cd", "old content");
  const std::string temp = Write(".terminelle-Zz9yXx", "new content");
  struct stat st {};
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  auto field = [](const std::string& v) { return std::to_string(v.size()) + ":" + v + "\n"; };
  const std::string record = "terminelle-reprise 1\n1\n" + field(p) + field(backup) + field(temp) +
                             field(std::to_string(st.st_dev)) + field(std::to_string(st.st_ino)) +
                             field("644") + field("");
  ASSERT_TRUE(std::filesystem::create_directories(state_ + "/Terminelle"));
  std::ofstream(state_ + "/Terminelle/reprise-Qw3rTy") << record;
  // Its mark, the copy's path, tells that the beginning it holds is what the
  // rewrite left.
  if (setxattr(p.c_str(), kRewriteMarkAttribute, backup.data(), backup.size(), 0) != 0) {
    GTEST_SKIP() << "no user attributes here";
  }
  const std::vector<InterruptedRewrite> found = RestoreAtStart();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].Restored);
  EXPECT_EQ(Read(p), "old content");
  EXPECT_EQ(Entries(), std::set<std::string>{"v1.pl"});
  EXPECT_TRUE(std::filesystem::is_empty(state_ + "/Terminelle"));
}

// Killed as it is about to write for the nth time.
class KillAtWrite : public FileWriter {
 public:
  explicit KillAtWrite(int n) : left_(n) {}
  ssize_t Write(int fd, const void* buf, std::size_t n) override {
    if (--left_ == 0) ::kill(::getpid(), SIGKILL);
    return FileWriter::Write(fd, buf, n);
  }

 private:
  int left_;
};

TEST_F(RewriteRecordTest, APutBackCutShortIsFinishedAtTheNextStart) {
  // Several blocks of copy each, so that both writes can be cut short.
  const std::string old_content(600000, 'o');
  const std::string new_content(500000, 'n');
  const std::string p = Write("k.pl", old_content);
  ASSERT_EQ(link(p.c_str(), Path("k2.pl").c_str()), 0);
  auto killed = [](const std::function<void()>& f) {
    return AsUser(geteuid(), getegid(), {}, [&] {
      f();
      return 0;
    });
  };
  // Killed while the new content is written over the old, then at the next
  // start while the old content is put back.
  EXPECT_EQ(killed([&] {
              KillAt kill(WriteStep::kRewriting);
              RewriteTo(p, new_content, kill);
            }),
            99);
  EXPECT_EQ(killed([] {
              KillAtWrite kill(2);
              RestoreAtStart(kill);
            }),
            99);
  const std::string cut = Read(p);
  ASSERT_TRUE(cut != old_content && cut != new_content);
  const std::vector<InterruptedRewrite> found = RestoreAtStart();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].Restored);
  EXPECT_EQ(found[0].Path, p);
  EXPECT_TRUE(Read(p) == old_content);
  EXPECT_EQ(Entries(), (std::set<std::string>{"k.pl", "k2.pl"}));
  EXPECT_TRUE(std::filesystem::is_empty(state_ + "/Terminelle"));
}

TEST_F(RewriteRecordTest, TheOldContentOfAFileChangedSinceItsCutIsKept) {
  const std::string old_content(600000, 'o');
  const std::string p = Write("k.pl", old_content);
  ASSERT_EQ(link(p.c_str(), Path("k2.pl").c_str()), 0);
  EXPECT_EQ(AsUser(geteuid(), getegid(), {},
                   [&] {
                     KillAt kill(WriteStep::kRewriting);
                     RewriteTo(p, std::string(500000, 'n'), kill);
                     return 0;
                   }),
            99);
  // Another program saved it since: it stays as saved, and the start tells
  // where the old content is, which is still there.
  std::ofstream(p, std::ios::trunc) << "saved since";
  const std::vector<InterruptedRewrite> found = RestoreAtStart();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_FALSE(found[0].Restored);
  EXPECT_EQ(Read(p), "saved since");
  ASSERT_FALSE(found[0].KeptIn.empty());
  EXPECT_TRUE(Read(found[0].KeptIn) == old_content);
}

TEST_F(RewriteRecordTest, AStateFolderThatCannotBeReadIsTold) {
  // Where the state folder should be, a file.
  std::ofstream(state_ + "/Terminelle") << "not a folder";
  std::vector<InterruptedRewrite> found;
  EXPECT_EQ(RestoreInterruptedRewrites(&found), ENOTDIR);
  // None at all is no failure.
  std::filesystem::remove(state_ + "/Terminelle");
  EXPECT_EQ(RestoreInterruptedRewrites(&found), 0);
  EXPECT_TRUE(found.empty());
}

}  // namespace
