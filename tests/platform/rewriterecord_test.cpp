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
  struct Case {
    const char* what;
    std::function<int(const std::string&)> since;
  };
  const std::vector<Case> cases = {
      {"saved whole",
       [](const std::string& p) {
         std::ofstream(p, std::ios::trunc) << "saved since";
         return 0;
       }},
      // What a put-back takes for its own cut is never a beginning of it.
      {"saved as a beginning of the new content",
       [](const std::string& p) { return truncate(p.c_str(), 1000); }},
      {"its mark taken away, the content left as cut",
       [](const std::string& p) { return removexattr(p.c_str(), kRewriteMarkAttribute); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string p = Write("k.pl", old_content);
    ASSERT_EQ(link(p.c_str(), Path("k2.pl").c_str()), 0);
    EXPECT_EQ(AsUser(geteuid(), getegid(), {},
                     [&] {
                       KillAt kill(WriteStep::kRewriting);
                       RewriteTo(p, std::string(500000, 'n'), kill);
                       return 0;
                     }),
              99);
    // Changed since by whoever may write it: it stays as they left it, and
    // the start tells where the old content is, which is still there.
    if (c.since(p) != 0) GTEST_SKIP() << "no user attributes here";
    const std::string since = Read(p);
    const std::vector<InterruptedRewrite> found = RestoreAtStart();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_FALSE(found[0].Restored);
    EXPECT_TRUE(Read(p) == since);
    ASSERT_FALSE(found[0].KeptIn.empty());
    EXPECT_TRUE(Read(found[0].KeptIn) == old_content);
    std::filesystem::remove(found[0].KeptIn);
    std::filesystem::remove(p);
    std::filesystem::remove(Path("k2.pl"));
  }
}

// Refuses the file's mark with err, and stops the program at step.
class Unmarkable : public KillAt {
 public:
  Unmarkable(int err, WriteStep step) : KillAt(step), err_(err) {}
  int SetAttribute(int fd, const char* name, const void* value, std::size_t size) override {
    if (std::strcmp(name, kRewriteMarkAttribute) != 0) {
      return KillAt::SetAttribute(fd, name, value, size);
    }
    errno = err_;
    return -1;
  }

 private:
  int err_;
};

TEST_F(RewriteRecordTest, AMarkThatCannotBeSetIsNeverPassedOverInSilence) {
  const std::string old_content(600000, 'o');
  for (int err : {ENOSPC, E2BIG, ENOTSUP, EIO}) {
    SCOPED_TRACE(err);
    const std::string p = Write("k.pl", old_content);
    ASSERT_EQ(link(p.c_str(), Path("k2.pl").c_str()), 0);
    const int status = AsUser(geteuid(), getegid(), {}, [&] {
      Unmarkable writer(err, WriteStep::kRewriting);
      return RewriteTo(p, std::string(500000, 'n'), writer);
    });
    if (err == EIO) {
      // Refused before the file is touched.
      EXPECT_EQ(status, EIO);
      EXPECT_TRUE(RestoreAtStart().empty());
    } else {
      // As where the file system keeps no mark: only the record tells.
      EXPECT_EQ(status, 99);
      const std::vector<InterruptedRewrite> found = RestoreAtStart();
      ASSERT_EQ(found.size(), 1u);
      EXPECT_TRUE(found[0].Restored);
    }
    EXPECT_TRUE(Read(p) == old_content);
    EXPECT_EQ(Entries(), (std::set<std::string>{"k.pl", "k2.pl"}));
    std::filesystem::remove(p);
    std::filesystem::remove(Path("k2.pl"));
  }
}

TEST_F(RewriteRecordTest, StateAnotherAccountCouldWriteIsNeitherReadNorSwept) {
  // Planted to write a "copy" of another's making into a file of the user
  // who runs, and make it setuid.
  const std::string victim = Write("victim", "");
  const mode_t mode = Mode(victim);
  const std::string copy = Write(".terminelle-ancien-Ab12cd", "#!/bin/sh\nid\n");
  struct stat st {};
  ASSERT_EQ(stat(victim.c_str(), &st), 0);
  auto field = [](const std::string& v) { return std::to_string(v.size()) + ":" + v + "\n"; };
  const std::string text = "terminelle-reprise 1\n1\n" + field(victim) + field(copy) +
                           field(Path(".terminelle-Zz9yXx")) + field(std::to_string(st.st_dev)) +
                           field(std::to_string(st.st_ino)) + field("4755") + field("");
  const std::string folder = state_ + "/Terminelle";
  const std::string record = folder + "/reprise-Qw3rTy";
  const std::string stale = folder + "/.terminelle~neuf~Ab12Cd34Ef56Gh78Ij90";
  struct Case {
    const char* what;
    bool needs_root;
    uid_t folder_owner;
    mode_t folder_mode;
    uid_t record_owner;
    std::string untrusted;
  };
  const uid_t me = geteuid();
  for (const Case& c : {Case{"a folder others may write", false, me, 0777, me, folder},
                        Case{"another account's folder", true, kNobody, 0700, kNobody, folder},
                        Case{"another account's record", true, me, 0700, kNobody, record}}) {
    if (c.needs_root && !root_) continue;
    SCOPED_TRACE(c.what);
    RemoveFolder(folder);
    ASSERT_TRUE(std::filesystem::create_directories(folder));
    std::ofstream(record) << text;
    std::ofstream(stale) << "";
    ASSERT_EQ(chown(record.c_str(), c.record_owner, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chown(folder.c_str(), c.folder_owner, static_cast<gid_t>(-1)), 0);
    ASSERT_EQ(chmod(folder.c_str(), c.folder_mode), 0);
    std::vector<InterruptedRewrite> found;
    Untrusted untrusted;
    EXPECT_EQ(RestoreInterruptedRewrites(&found, SystemFileWriter(), &untrusted), EPERM);
    EXPECT_EQ(untrusted.Path, c.untrusted);
    EXPECT_EQ(Read(victim), "");
    EXPECT_EQ(Mode(victim), mode);
    EXPECT_TRUE(std::filesystem::exists(record) && std::filesystem::exists(stale));
  }
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
