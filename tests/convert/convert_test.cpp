#include "convert/convert.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "../support/convert_fixture.h"
#include "../support/folder_run.h"
#include "../support/rewrite_fixture.h"
#include "base/errors.h"
#include "convert/bytescan.h"
#include "platform/contenthash.h"
#include "platform/fd.h"
#include "platform/fileio.h"
#include "platform/process.h"
#include "platform/rewriterecord.h"
#include "scan/scrutedossier.h"

namespace fs = std::filesystem;

namespace {

TEST_F(ConvertTest, DifferentDestinationLeavesTheSourceAlone) {
  std::string src = Write("src.txt", "a \r\n");
  std::string dst = Path("dst.txt");
  ConvertTextFile(src, dst, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(src), "a \r\n");
  EXPECT_EQ(Read(dst), "a\n");
  Write("dst.txt", "old content that is longer\n");
  ConvertTextFile(src, dst, LineEnding::Mac, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(dst), "a\r");
}

TEST_F(ConvertTest, ReadOnlyFileIsRefusedEvenToRoot) {
  std::string p = Write("ro.pl", "x \r\n");
  ASSERT_EQ(chmod(p.c_str(), 0444), 0);
  try {
    ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
    FAIL() << "a read-only file was written";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 5);
    EXPECT_EQ(e.Message(), "Accès au fichier refusé");
  }
  EXPECT_EQ(Read(p), "x \r\n");
  EXPECT_EQ(Entries(), std::set<std::string>{"ro.pl"});
}

TEST_F(ConvertTest, AReadThatFailsIsToldAndTheFileKeepsItsContent) {
  struct FailingDisk : FileWriter {
    ssize_t Read(int, void*, std::size_t) override {
      errno = EIO;
      return -1;
    }
  } disk;
  const std::string p = Write("a.pl", "x \r\n");
  try {
    ConvertFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp(), Through(disk));
    ADD_FAILURE() << "a failed read was reported as success";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 1117);
    EXPECT_EQ(e.Path(), p);
  }
  EXPECT_EQ(Read(p), "x \r\n");
}

TEST_F(ConvertTest, MissingDestinationFolderIsReported) {
  std::string src = Write("s.txt", "x\n");
  try {
    ConvertTextFile(src, Path("nowhere/d.txt"), LineEnding::Unix, kNoRule, kNoRule, Cp());
    FAIL() << "no error";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 3);
    EXPECT_EQ(e.Message(), "Nom de fichier incorrect");
  }
  try {
    ConvertTextFile(src, dir_, LineEnding::Unix, kNoRule, kNoRule, Cp());
    FAIL() << "a folder was written as a file";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, 5);
  }
}

TEST_F(ConvertTest, KeepsOwnerModeAndExtendedAttributes) {
  std::string p = Write("perm.cgi", "x \r\n");
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(p.c_str(), 4321, 4322), 0);
  }
  ASSERT_EQ(chmod(p.c_str(), 02751), 0);
  bool xattrs = setxattr(p.c_str(), "user.terminelle", "v", 1, 0) == 0;
  ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(p), "x\n");
  struct stat st {};
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 02751u);
  if (root) {
    EXPECT_EQ(st.st_uid, 4321u);
    EXPECT_EQ(st.st_gid, 4322u);
  }
  if (xattrs) {
    char v[8] = {};
    EXPECT_EQ(getxattr(p.c_str(), "user.terminelle", v, sizeof v), 1);
    EXPECT_EQ(v[0], 'v');
  }
  EXPECT_EQ(Entries(), std::set<std::string>{"perm.cgi"});
}

TEST_F(ConvertTest, HardLinkedFileIsRewrittenForAllItsNames) {
  std::string p = Write("a.pl", "x \r\n");
  ASSERT_EQ(link(p.c_str(), Path("b.pl").c_str()), 0);
  ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(p), "x\n");
  EXPECT_EQ(Read(Path("b.pl")), "x\n");
  EXPECT_EQ(fs::hard_link_count(p), 2u);
  EXPECT_EQ(Entries(), (std::set<std::string>{"a.pl", "b.pl"}));
}

TEST_F(ConvertTest, FolderWithoutWritePermissionStillConverts) {
  std::string p = Write("a.pl", "x \r\n");
  ASSERT_EQ(chmod(dir_.c_str(), 0555), 0);
  ConvertTextFile(p, p, LineEnding::Windows, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(p), "x\r\n");
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  EXPECT_EQ(Entries(), std::set<std::string>{"a.pl"});
}

TEST_F(ConvertTest, UnreadableSourceGivesTheOpenErrorWithItsFullPath) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to switch to another user";
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  std::string p = Write("secret.pl", "x\n");
  ASSERT_EQ(chmod(p.c_str(), 0600), 0);
  std::string expected = "Impossible d'ouvrir le fichier \"" + p + "\". Permission refusée";
  int status = AsOrdinaryUser([&] {
    try {
      ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
    } catch (const EFOpenError& e) {
      return e.Message() == expected ? 0 : 2;
    } catch (...) {
      return 3;
    }
    return 1;
  });
  EXPECT_EQ(status, 0);
  std::string mine = Write("mine.pl", "x \n");
  ASSERT_EQ(chown(mine.c_str(), 65534, 65534), 0);
  ASSERT_EQ(chmod(mine.c_str(), 0644), 0);
  std::string theirs = Write("theirs.pl", "y \n");
  ASSERT_EQ(chmod(theirs.c_str(), 0644), 0);
  // Another user's file that this process may read but not write.
  status = AsOrdinaryUser([&] {
    ConvertTextFile(mine, mine, LineEnding::Unix, kNoRule, kNoRule, Cp());
    try {
      ConvertTextFile(theirs, theirs, LineEnding::Unix, kNoRule, kNoRule, Cp());
    } catch (const EInOutError& e) {
      return e.ErrorCode == 5 ? 0 : 2;
    }
    return 1;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Read(mine), "x\n");
  EXPECT_EQ(Read(theirs), "y \n");
}

// Acts at one step of a rewrite: as another program would, or as a kill;
// on a file system of the type given, when not 0.
class AtStep : public FileWriter {
 public:
  AtStep(WriteStep step, std::function<void()> act, long type = 0)
      : step_(step), act_(std::move(act)), type_(type) {}
  void Reached(WriteStep step) override {
    if (step == step_) act_();
  }
  int StatFs(int fd, struct statfs* fs) override {
    const int r = FileWriter::StatFs(fd, fs);
    if (type_ != 0) fs->f_type = type_;
    return r;
  }

 private:
  WriteStep step_;
  std::function<void()> act_;
  long type_;
};

TEST_F(ConvertTest, AKillLeavesOldOrNewAndTheNextStartPutsBackWhatWasCut) {
  // Larger than one copy block, so that a kill can fall mid-rewrite.
  std::string old_content, new_content;
  for (int i = 0; i < 40000; ++i) {
    old_content += "  print " + std::to_string(i) + ";  \r\n";
    new_content += "print " + std::to_string(i) + ";\n";
  }
  for (bool linked : {false, true}) {
    for (WriteStep step :
         {WriteStep::kOutputWritten, WriteStep::kBeforeReplace, WriteStep::kBackupKept,
          WriteStep::kBeforeRewrite, WriteStep::kRewriting, WriteStep::kRewritten}) {
      SCOPED_TRACE(testing::Message()
                   << "linked " << linked << ", step " << static_cast<int>(step));
      std::string p = Write("k.pl", old_content);
      if (linked) {
        ASSERT_EQ(link(p.c_str(), Path("k2.pl").c_str()), 0);
      }
      pid_t pid = fork();
      if (pid == 0) {
        AtStep kill(step, [] { ::kill(::getpid(), SIGKILL); });
        try {
          ConvertFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp(), Through(kill));
        } catch (...) {
        }
        _exit(0);
      }
      int status = 0;
      ASSERT_EQ(waitpid(pid, &status, 0), pid);
      const std::string after_kill = Read(p);
      std::vector<InterruptedRewrite> found;
      EXPECT_EQ(RestoreInterruptedRewrites(&found), 0);
      if (linked && step == WriteStep::kRewriting) {
        EXPECT_TRUE(after_kill != old_content && after_kill != new_content);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_TRUE(found[0].Restored);
        EXPECT_EQ(found[0].Path, p);
        EXPECT_TRUE(Read(p) == old_content);
      } else {
        EXPECT_TRUE(after_kill == old_content || after_kill == new_content);
        EXPECT_TRUE(found.empty());
      }
      // One run afterwards converts everything and leaves no work file.
      TScruteDossier scan;
      scan.SetDossier(dir_);
      scan.SetFiltre("*.*");
      scan.OnFichier = [](TObject*, std::string nom) {
        ConvertTextFile(nom, nom, LineEnding::Unix, kNoRule, kNoRule, Cp());
      };
      scan.Execute();
      EXPECT_TRUE(Read(p) == new_content);
      EXPECT_EQ(Entries(),
                (linked ? std::set<std::string>{"k.pl", "k2.pl"} : std::set<std::string>{"k.pl"}));
      EXPECT_TRUE(!fs::exists(state_ + "/Terminelle") || fs::is_empty(state_ + "/Terminelle"));
      fs::remove(Path("k2.pl"));
    }
  }
}

TEST_F(ConvertTest, AnotherProgramsSaveDuringTheConversionWins) {
  struct Save {
    const char* what;
    std::function<void(const std::string&)> save;
    const char* expected;
  };
  const Save saves[] = {
      {"rewritten", [](const std::string& p) { std::ofstream(p) << "EDITOR SAVED THIS"; },
       "EDITOR SAVED THIS"},
      // Same size: only the dates tell it.
      {"same size", [](const std::string& p) { std::ofstream(p) << "b \r\n"; }, "b \r\n"},
      {"appended", [](const std::string& p) { std::ofstream(p, std::ios::app) << "more\n"; },
       "a \r\nmore\n"},
      {"replaced",
       [](const std::string& p) {
         std::ofstream(p + ".new") << "NEW FILE";
         fs::rename(p + ".new", p);
       },
       "NEW FILE"},
  };
  for (bool linked : {false, true}) {
    for (const Save& s : saves) {
      SCOPED_TRACE(testing::Message() << s.what << (linked ? ", in place" : ""));
      std::string p = Write("e.pl", "a \r\n");
      if (linked) {
        ASSERT_EQ(link(p.c_str(), Path("e2.pl").c_str()), 0);
      }
      {
        AtStep editor(WriteStep::kOutputWritten, [&] { s.save(p); });
        try {
          ConvertFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp(), Through(editor));
          ADD_FAILURE() << "the other program's save was overwritten";
        } catch (const EInOutError& e) {
          EXPECT_EQ(e.ErrorCode, 32);
        }
      }
      EXPECT_EQ(Read(p), s.expected);
      EXPECT_EQ(Entries(),
                (linked ? std::set<std::string>{"e.pl", "e2.pl"} : std::set<std::string>{"e.pl"}));
      fs::remove(Path("e2.pl"));
      fs::remove(p);
    }
  }
}

// A clock that stands still at a given moment.
class PinnedClock : public FileClock {
 public:
  explicit PinnedClock(const struct timespec& at) : at_(at) {}
  struct timespec Now() const override {
    return at_;
  }

 private:
  struct timespec at_;
};

TEST_F(ConvertTest, AChangeTheDatesDoNotShowIsCaughtWithinTheClockTick) {
  // A save within the tick of the clock that dates files may move neither
  // size nor dates. Written through a shared mapping already written to, a
  // change does the same at any moment: only the hash of what was read
  // tells it, taken when the clock says the file changed this tick, or
  // whatever it says on FUSE, whose dates a program may put back.
  for (int round = 0; round < 4; ++round) {
    const bool linked = round % 2 == 1, fuse = round >= 2;
    SCOPED_TRACE(testing::Message()
                 << (linked ? "in place" : "replaced") << (fuse ? ", FUSE" : ""));
    const std::string p = Write("t.pl", "a \r\n");
    if (linked) {
      ASSERT_EQ(link(p.c_str(), Path("t2.pl").c_str()), 0);
    }
    Fd fd(open(p.c_str(), O_RDWR | O_CLOEXEC));
    void* mapped = mmap(nullptr, 4, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
    ASSERT_NE(mapped, MAP_FAILED);
    volatile char* bytes = static_cast<char*>(mapped);
    bytes[0] = 'a';
    struct stat st {};
    ASSERT_EQ(fstat(fd.get(), &st), 0);
    if (fuse) st.st_ctim.tv_sec += 3600;
    PinnedClock clock(st.st_ctim);
    AtStep editor(
        WriteStep::kOutputWritten, [&] { bytes[0] = 'b'; }, fuse ? FUSE_SUPER_MAGIC : 0);
    ConvertOptions options = Through(editor);
    options.Clock = &clock;
    try {
      ConvertFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp(), options);
      ADD_FAILURE() << "a change the dates do not show was overwritten";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.ErrorCode, 32);
    }
    ASSERT_EQ(munmap(mapped, 4), 0);
    EXPECT_EQ(Read(p), "b \r\n");
    EXPECT_EQ(Entries(),
              (linked ? std::set<std::string>{"t.pl", "t2.pl"} : std::set<std::string>{"t.pl"}));
    fs::remove(Path("t2.pl"));
  }
}

TEST_F(ConvertTest, NameSwappedForALinkIsNeverFollowed) {
  std::string victim = Write("victim.conf", "precious=1\n");
  for (WriteStep step : {WriteStep::kOutputWritten, WriteStep::kBeforeRewrite}) {
    SCOPED_TRACE(static_cast<int>(step));
    std::string p = Write("s.pl", "print 1; \r\n");
    // Several names: rewritten in place, through the descriptor it checked.
    ASSERT_EQ(link(p.c_str(), Path("s2.pl").c_str()), 0);
    AtStep swap(step, [&] {
      fs::remove(p);
      fs::create_symlink(victim, p);
    });
    try {
      ConvertFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp(), Through(swap));
      // Swapped after the last check: the file checked gets the new content.
      EXPECT_EQ(step, WriteStep::kBeforeRewrite);
      EXPECT_EQ(Read(Path("s2.pl")), "print 1;\n");
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.ErrorCode, 32);
      EXPECT_EQ(Read(Path("s2.pl")), "print 1; \r\n");
    }
    EXPECT_EQ(Read(victim), "precious=1\n");
    EXPECT_TRUE(fs::is_symlink(p));
    fs::remove(p);
    fs::remove(Path("s2.pl"));
  }
}

TEST_F(ConvertTest, SetuidSetgidAndCapabilitiesSurvive) {
  // As the file's owner without privileges, the system clears setuid and
  // setgid on every write.
  auto convert_own = [this] {
    for (mode_t mode : {04755, 02775}) {
      std::string p = Write("m" + std::to_string(mode) + ".cgi", "x \r\n");
      if (chmod(p.c_str(), mode) != 0) return 2;
      ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
      struct stat st {};
      if (stat(p.c_str(), &st) != 0 || (st.st_mode & 07777) != mode || Read(p) != "x\n") return 1;
    }
    return 0;
  };
  if (geteuid() != 0) {
    EXPECT_EQ(convert_own(), 0);
    return;
  }
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  EXPECT_EQ(AsOrdinaryUser(convert_own), 0);
  // File capabilities (CAP_NET_RAW permitted and effective), kept for root.
  std::string p = Write("cap.pl", "x \r\n");
  const unsigned char cap[20] = {0x01, 0, 0, 0x02, 0, 0x20, 0, 0};
  if (setxattr(p.c_str(), "security.capability", cap, sizeof cap, 0) != 0) {
    GTEST_SKIP() << "no file capabilities here";
  }
  ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
  unsigned char now[20] = {};
  EXPECT_EQ(getxattr(p.c_str(), "security.capability", now, sizeof now), 20);
  EXPECT_EQ(std::memcmp(cap, now, sizeof cap), 0);
  EXPECT_EQ(Read(p), "x\n");
}

TEST_F(ConvertTest, SetgidStaysWhereTheSystemWouldDropIt) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
  ASSERT_EQ(chmod(dir_.c_str(), 0777), 0);
  ASSERT_EQ(chmod(state_.c_str(), 0777), 0);
  Conversion how;
  how.Kind = LineEnding::Unix;
  auto identity = [](const std::string& p) {
    struct stat st {};
    stat(p.c_str(), &st);
    return std::vector<unsigned>{st.st_mode & 07777, st.st_uid, st.st_gid};
  };
  // Its owner is not in its group: the owner's chmod would drop setgid
  // without a word, so the owner is refused, told why; root converts it.
  const std::string p = Write("g.cgi", "x \r\n");
  ASSERT_EQ(chown(p.c_str(), 4321, 4322), 0);
  ASSERT_EQ(chmod(p.c_str(), 02644), 0);
  const int status = AsUser(4321, 4321, {}, [&] {
    const std::vector<VisitResult> r = ConvertFolder(dir_, how);
    if (r.size() != 1 || !r[0].Failed || r[0].Message != "Accès au fichier refusé") return 1;
    const std::string why = DetailOf(r[0].Error).Reason;
    return why.rfind("seul son propriétaire (ou root) pourrait lui rendre ses bits setuid", 0) == 0
               ? 0
               : 2;
  });
  EXPECT_EQ(status, 0);
  EXPECT_EQ(Read(p), "x \r\n");
  EXPECT_EQ(identity(p), (std::vector<unsigned>{02644, 4321, 4322}));
  ConvertFolder(dir_, how);
  EXPECT_EQ(Read(p), "x\n");
  EXPECT_EQ(identity(p), (std::vector<unsigned>{02644, 4321, 4322}));
  // Rewritten in place (it has a second name) by its owner, whose write
  // clears setgid.
  const std::string q = Write("h.cgi", "y \r\n");
  ASSERT_EQ(link(q.c_str(), Path("h.keep").c_str()), 0);
  ASSERT_EQ(chown(q.c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chmod(q.c_str(), 02775), 0);
  EXPECT_EQ(AsOrdinaryUser([&] {
              const std::vector<VisitResult> r = ConvertFolder(dir_, how, {}, "h.cgi");
              return r.size() == 1 && !r[0].Failed ? 0 : 1;
            }),
            0);
  EXPECT_EQ(Read(q), "y\n");
  EXPECT_EQ(identity(q), (std::vector<unsigned>{02775, kNobody, kNobody}));
}

TEST_F(ConvertTest, PermissionsTheUmaskWouldClearAreKept) {
  const mode_t old_mask = umask(022);
  if (CreationMask() != 022) {
    umask(old_mask);
    GTEST_SKIP() << "the umask was read before this test set it";
  }
  const std::string p = Write("w.pl", "x \r\n");
  ASSERT_EQ(chmod(p.c_str(), 0664), 0);
  Conversion how;
  how.Kind = LineEnding::Unix;
  ConvertFolder(dir_, how);
  umask(old_mask);
  EXPECT_EQ(Read(p), "x\n");
  struct stat st {};
  ASSERT_EQ(stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0664u);
}

TEST_F(ConvertTest, FolderDefaultAclIsNotGained) {
  // A default ACL granting user 4321 everything: user, group, other, mask, named user.
  const unsigned char acl[] = {2,    0, 0, 0,                           // version
                               1,    0, 7, 0, 0xff, 0xff, 0xff, 0xff,   // user::rwx
                               2,    0, 7, 0, 0xe1, 0x10, 0,    0,      // user:4321:rwx
                               4,    0, 5, 0, 0xff, 0xff, 0xff, 0xff,   // group::r-x
                               0x10, 0, 7, 0, 0xff, 0xff, 0xff, 0xff,   // mask::rwx
                               0x20, 0, 5, 0, 0xff, 0xff, 0xff, 0xff};  // other::r-x
  std::string p = Write("plain.pl", "x \r\n");
  if (setxattr(dir_.c_str(), "system.posix_acl_default", acl, sizeof acl, 0) != 0) {
    GTEST_SKIP() << "no ACLs here";
  }
  ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(p), "x\n");
  EXPECT_LT(getxattr(p.c_str(), "system.posix_acl_access", nullptr, 0), 0);
  EXPECT_EQ(errno, ENODATA);
}

TEST_F(ConvertTest, PathLongerThanThePathLimitIsConverted) {
  std::string p = dir_;
  const std::string name(200, 'd');
  Fd at(open(dir_.c_str(), O_RDONLY | O_DIRECTORY));
  while (p.size() <= 2 * PATH_MAX) {
    ASSERT_EQ(mkdirat(at.get(), name.c_str(), 0755), 0);
    at.reset(openat(at.get(), name.c_str(), O_RDONLY | O_DIRECTORY));
    ASSERT_GE(at.get(), 0);
    p += "/" + name;
  }
  Fd f(openat(at.get(), "deep.pl", O_WRONLY | O_CREAT, 0644));
  ASSERT_EQ(write(f.get(), "deep \r\n", 7), 7);
  f.reset();
  ConvertTextFile(p + "/deep.pl", p + "/deep.pl", LineEnding::Unix, kNoRule, kNoRule, Cp());
  f.reset(openat(at.get(), "deep.pl", O_RDONLY));
  char buf[16] = {};
  EXPECT_EQ(read(f.get(), buf, sizeof buf), 5);
  EXPECT_STREQ(buf, "deep\n");
  at.reset();
  EXPECT_EQ(std::system(("rm -rf '" + dir_ + "/" + name + "'").c_str()), 0);
}

}  // namespace
