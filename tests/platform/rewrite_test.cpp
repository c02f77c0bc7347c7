#include "platform/rewrite.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/errors.h"
#include "platform/fileio.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
// CAP_NET_RAW, permitted and effective.
const unsigned char kCapability[20] = {0x01, 0, 0, 0x02, 0, 0x20, 0, 0};

// Runs f in a child process as uid, with gid and no other group than
// groups; returns its exit status.
int AsUser(uid_t uid, gid_t gid, std::vector<gid_t> groups, const std::function<int()>& f) {
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
int AsOrdinaryUser(const std::function<int()>& f) {
  return AsUser(kNobody, kNobody, {}, f);
}

// Stops the program at one step of a rewrite, as a kill would, and may
// play a file system without unnamed files.
class Seam : public FileWriter {
 public:
  Seam(WriteStep kill_at, bool unnamed) : kill_at_(kill_at), unnamed_(unnamed) {
    previous_ = SetFileWriter(this);
  }
  ~Seam() override { SetFileWriter(previous_); }
  void Reached(WriteStep step) override {
    if (step == kill_at_) ::kill(::getpid(), SIGKILL);
  }
  int OpenUnnamed(int folder, mode_t mode) override {
    if (unnamed_) return FileWriter::OpenUnnamed(folder, mode);
    errno = EOPNOTSUPP;
    return -1;
  }

 private:
  WriteStep kill_at_;
  bool unnamed_;
  FileWriter* previous_;
};

class RewriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/terminelle-rewrite-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    char state[] = "/tmp/terminelle-state-XXXXXX";
    ASSERT_NE(mkdtemp(state), nullptr);
    state_ = state;
    setenv("XDG_STATE_HOME", state_.c_str(), 1);
    // Other users' runs write here too.
    ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
    ASSERT_EQ(chmod(state_.c_str(), 0777), 0);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    fs::remove_all(state_, ec);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::string p = Path(name);
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
  }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  std::set<std::string> Entries() const {
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.insert(e.path().filename().string());
    return names;
  }
  static mode_t Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }
  // Rewrites the file at path with content.
  static void RewriteTo(const std::string& path, const std::string& content) {
    FolderEntry entry;
    ASSERT_TRUE(entry.Locate(path));
    Fd fd(entry.OpenForReading());
    struct stat st {};
    ASSERT_EQ(fstat(fd.get(), &st), 0);
    Rewrite rewrite(entry, fd.get(), st);
    ASSERT_EQ(WriteFully(rewrite.Output(), content.data(), content.size()), 0);
    rewrite.Commit();
  }

  const bool root_ = geteuid() == 0;
  std::string dir_;
  std::string state_;
};

TEST_F(RewriteTest, AKillAfterTheNewContentLeavesModeAndCapabilityRightAtTheNextStart) {
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
      auto run = [&] {
        Seam kill(step, true);
        RewriteTo(p, new_content);
        return 0;
      };
      auto restart = [&] { return RestoreInterruptedRewrites().empty() ? 0 : 1; };
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
      fs::remove(p);
      fs::remove(Path("k2.cgi"));
    }
  }
}

TEST_F(RewriteTest, RecordOfThePreviousVersionIsStillSettled) {
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
  ASSERT_TRUE(fs::create_directories(state_ + "/Terminelle"));
  std::ofstream(state_ + "/Terminelle/reprise-Qw3rTy") << record;
  const std::vector<InterruptedRewrite> found = RestoreInterruptedRewrites();
  ASSERT_EQ(found.size(), 1u);
  EXPECT_TRUE(found[0].Restored);
  EXPECT_EQ(Read(p), "old content");
  EXPECT_EQ(Entries(), std::set<std::string>{"v1.pl"});
  EXPECT_TRUE(fs::is_empty(state_ + "/Terminelle"));
}

TEST_F(RewriteTest, SpecialBitsOrACapabilityThatCouldNotBeGivenBackAreRefusedUnchanged) {
  if (!root_) GTEST_SKIP() << "needs root to switch to other users";
  // A member of the file's group, not its owner: it may write the file but
  // not give it back its setgid bit. Nor may it give back a capability.
  const std::string setgid = Write("g.cgi", "x \r\n");
  ASSERT_EQ(chown(setgid.c_str(), 4321, 4322), 0);
  ASSERT_EQ(chmod(setgid.c_str(), 02775), 0);
  const std::string capable = Write("c.cgi", "y \r\n");
  ASSERT_EQ(chmod(capable.c_str(), 0666), 0);
  const bool capabilities =
      setxattr(capable.c_str(), "security.capability", kCapability, sizeof kCapability, 0) == 0;
  for (const std::string& p : {setgid, capable}) {
    if (p == capable && !capabilities) continue;
    SCOPED_TRACE(p);
    const int status = AsUser(4324, 4323, {4322}, [&] {
      try {
        RewriteTo(p, "z\n");
      } catch (const EInOutError& e) {
        return e.ErrorCode == 5 && e.Message() == "Accès au fichier refusé" ? 0 : 2;
      }
      return 1;
    });
    EXPECT_EQ(status, 0);
  }
  EXPECT_EQ(Read(setgid), "x \r\n");
  EXPECT_EQ(Mode(setgid), 02775u);
  EXPECT_EQ(Read(capable), "y \r\n");
  if (capabilities) {
    EXPECT_EQ(getxattr(capable.c_str(), "security.capability", nullptr, 0), 20);
  }
  EXPECT_EQ(Entries(), (std::set<std::string>{"g.cgi", "c.cgi"}));
}

TEST_F(RewriteTest, OnlyTheProgramsOwnWorkFilesAreSwept) {
  // Named as a person names files, or as the previous version did.
  const std::set<std::string> users = {".terminelle-README",
                                       ".terminelle-ignore",
                                       ".terminelle-abc123",
                                       ".terminelle-ancien-x1Y2z3",
                                       ".terminelle~aaaaaaaaaaaaaaaaaaaa",
                                       ".terminelle~Ab3cD4eF5gH6iJ7kL8mN9"};
  for (const std::string& name : users) {
    Write(name, "");
    EXPECT_FALSE(IsWorkFileName(name.c_str())) << name;
  }
  // Left by killed runs: a temporary file, an empty copy, and a copy that
  // may be the only one of a file's old content.
  const std::string temp = ".terminelle~Ab3cD4eF5gH6iJ7kL8mN";
  const std::string empty = ".terminelle~ancien~Zy9xW8vU7tS6rQ5pO4nM";
  const std::string kept = ".terminelle~ancien~Qq1Ww2Ee3Rr4Tt5Yy6Uu";
  Write(temp, "t");
  Write(empty, "");
  Write(kept, "old content");
  for (const std::string& name : {temp, empty, kept}) EXPECT_TRUE(IsWorkFileName(name.c_str()));
  SweepStaleWorkFiles(dir_);
  std::set<std::string> expected = users;
  expected.insert(kept);
  EXPECT_EQ(Entries(), expected);
}

TEST_F(RewriteTest, AKillAtTheFirstStepsLeavesNoWorkFileAfterOneSweep) {
  // Whoever the user, with unnamed files or without.
  for (bool unnamed : {true, false}) {
    for (WriteStep step : {WriteStep::kWorkFileMade, WriteStep::kBeforeReplace}) {
      SCOPED_TRACE(testing::Message()
                   << "unnamed " << unnamed << ", step " << static_cast<int>(step));
      const std::string p = Write("f.pl", "old");
      if (root_) {
        ASSERT_EQ(chown(p.c_str(), kNobody, kNobody), 0);
      }
      AsOrdinaryUser([&] {
        Seam kill(step, unnamed);
        RewriteTo(p, "new");
        return 0;
      });
      EXPECT_EQ(AsOrdinaryUser([&] {
                  SweepStaleWorkFiles(dir_);
                  return 0;
                }),
                0);
      EXPECT_EQ(Read(p), "old");
      EXPECT_EQ(Entries(), std::set<std::string>{"f.pl"});
    }
  }
}

TEST_F(RewriteTest, NoFolderStaysOpenOnceItsEntryIsDropped) {
  const std::string p = Write("f.pl", "old");
  RewriteTo(p, "new");
  {
    FolderEntry entry;
    ASSERT_TRUE(entry.Locate(p));
  }
  for (const auto& fd : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    EXPECT_NE(fs::read_symlink(fd.path(), ec).string(), dir_);
  }
}

}  // namespace
