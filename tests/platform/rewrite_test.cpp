#include "platform/rewrite.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>

#include "../support/rewrite_fixture.h"
#include "base/errors.h"
#include "platform/oserror.h"

namespace {

// CAP_NET_RAW, permitted and effective.
const unsigned char kCapability[20] = {0x01, 0, 0, 0x02, 0, 0x20, 0, 0};

using RewriteTest = RewriteFixture;

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
      const int err = RewriteTo(p, "z\n");
      if (err == 0) return 1;
      return err == EPERM && EInOutError(OsErrorCode(err)).Message() == "Accès au fichier refusé"
                 ? 0
                 : 2;
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

TEST_F(RewriteTest, WhatIsWrittenIsOnDiskBeforeTheFileIsTouched) {
  // Replaced: the new content, before the rename. In place: the copy of the
  // old content, the record and the new content, before the file is opened
  // for writing.
  const std::string old_content(300000, 'o');
  const std::string new_content(300000, 'n');
  for (bool in_place : {false, true}) {
    SCOPED_TRACE(in_place ? "in place" : "replaced");
    const std::string p = Write("f.pl", old_content);
    if (in_place) {
      ASSERT_EQ(link(p.c_str(), Path("f2.pl").c_str()), 0);
    }
    FlushWatch watch;
    ASSERT_EQ(RewriteTo(p, new_content, watch), 0);
    EXPECT_EQ(watch.UnflushedAt(in_place ? WriteStep::kBeforeRewrite : WriteStep::kBeforeReplace),
              0);
    EXPECT_TRUE(Read(p) == new_content);
    std::filesystem::remove(Path("f2.pl"));
  }
}

TEST_F(RewriteTest, SetuidSetgidAndStickyComeBackAfterARewriteInPlace) {
  // As the file's owner without privileges, writing clears setuid and
  // setgid; a second name makes the rewrite go in place.
  const std::string p = Write("s.cgi", "old");
  ASSERT_EQ(link(p.c_str(), Path("s2.cgi").c_str()), 0);
  if (root_) {
    ASSERT_EQ(chown(p.c_str(), kNobody, kNobody), 0);
  }
  ASSERT_EQ(chmod(p.c_str(), 07755), 0);
  EXPECT_EQ(AsOrdinaryUser([&] { return RewriteTo(p, "new"); }), 0);
  EXPECT_EQ(Read(p), "new");
  EXPECT_EQ(Mode(p), 07755u);
  EXPECT_EQ(Entries(), (std::set<std::string>{"s.cgi", "s2.cgi"}));
}

// The inode flags of the file at path; -1 where it has none.
int FlagsOf(const std::string& path) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  int flags = 0;
  return ioctl(fd.get(), FS_IOC_GETFLAGS, &flags) == 0 ? flags : -1;
}

bool SetFlags(const std::string& path, int flags) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  return ioctl(fd.get(), FS_IOC_SETFLAGS, &flags) == 0;
}

TEST_F(RewriteTest, InodeFlagsAreKeptAndAnAppendOnlyFileIsRefused) {
  // No atime, no dump: a new file has neither, so the replacement takes them.
  const std::string p = Write("a.pl", "old");
  const int flags = FlagsOf(p);
  if (flags < 0 || !SetFlags(p, flags | FS_NOATIME_FL | FS_NODUMP_FL)) {
    GTEST_SKIP() << "no inode flags here";
  }
  ASSERT_EQ(RewriteTo(p, "new"), 0);
  EXPECT_EQ(Read(p), "new");
  EXPECT_EQ(FlagsOf(p) & (FS_NOATIME_FL | FS_NODUMP_FL), FS_NOATIME_FL | FS_NODUMP_FL);
  // What a new file takes from its folder goes: the file keeps none it had not.
  const std::string q = Write("b.pl", "old");
  if (SetFlags(dir_, FlagsOf(dir_) | FS_NODUMP_FL)) {
    ASSERT_EQ(RewriteTo(q, "new"), 0);
    EXPECT_EQ(FlagsOf(q) & FS_NODUMP_FL, 0);
    ASSERT_TRUE(SetFlags(dir_, FlagsOf(dir_) & ~FS_NODUMP_FL));
  }
  // Only root may make a file append-only; nothing may then rewrite it.
  if (!root_ || !SetFlags(p, FlagsOf(p) | FS_APPEND_FL)) return;
  EXPECT_EQ(RewriteTo(p, "newer"), EPERM);
  ASSERT_TRUE(SetFlags(p, FlagsOf(p) & ~FS_APPEND_FL));
  EXPECT_EQ(Read(p), "new");
  EXPECT_EQ(Entries(), (std::set<std::string>{"a.pl", "b.pl"}));
}

}  // namespace
