#include "convert/source.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "../support/convert_fixture.h"
#include "../support/folder_run.h"
#include "convert/convert.h"
#include "platform/rewriterecord.h"

namespace fs = std::filesystem;

namespace {

TEST_F(ConvertTest, LeavesWhatIsNotARegularTextFileUntouched) {
  // A folder, a link, a FIFO (opening it would hang), a binary file and a file dated 1979.
  ConvertTextFile(dir_, dir_, LineEnding::Unix, kNoRule, kNoRule, Cp());
  std::string target = Write("target.txt", "t \r\n");
  ASSERT_EQ(symlink(target.c_str(), Path("link").c_str()), 0);
  ConvertTextFile(Path("link"), Path("link"), LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(target), "t \r\n");
  EXPECT_TRUE(fs::is_symlink(Path("link")));
  ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0644), 0);
  ConvertTextFile(Path("fifo"), Path("fifo"), LineEnding::Unix, kNoRule, kNoRule, Cp());
  const std::string binary("a \r\n\0b \r\n", 9);
  std::string bin = Write("bin.dat", binary);
  ConvertTextFile(bin, bin, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(bin), binary);
  std::string old = Write("old.txt", "o \r\n");
  struct tm t {};
  t.tm_year = 79;
  t.tm_mon = 11;
  t.tm_mday = 31;
  t.tm_hour = 12;
  struct timeval times[2] = {{mktime(&t), 0}, {mktime(&t), 0}};
  ASSERT_EQ(utimes(old.c_str(), times), 0);
  ConvertTextFile(old, old, LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_EQ(Read(old), "o \r\n");
  ConvertTextFile(Path("missing"), Path("missing"), LineEnding::Unix, kNoRule, kNoRule, Cp());
  EXPECT_FALSE(fs::exists(Path("missing")));
  EXPECT_EQ(Entries(), (std::set<std::string>{"link", "target.txt", "fifo", "bin.dat", "old.txt"}));
}

TEST_F(ConvertTest, ANameSwappedForALinkOnceListedIsNotFollowed) {
  // Listed as a regular file, the name leads to a link by the time the
  // conversion opens it.
  const std::string victim = Write("victim.conf", "precious = 1 \r\n");
  const std::string p = Write("s.pl", "print 1; \r\n");
  Conversion how;
  how.Kind = LineEnding::Unix;
  const std::vector<VisitResult> results = ConvertFolder(
      dir_, how,
      [&](const std::string& path) {
        fs::remove(path);
        fs::create_symlink(victim, path);
      },
      "*.pl");
  ASSERT_EQ(results.size(), 1u);
  EXPECT_FALSE(results[0].Failed) << results[0].Message;
  EXPECT_EQ(results[0].Outcome, ConvertOutcome::kLeftAlone);
  EXPECT_EQ(Read(victim), "precious = 1 \r\n");
  EXPECT_TRUE(fs::is_symlink(p));
  EXPECT_EQ(Entries(), (std::set<std::string>{"victim.conf", "s.pl"}));
}

TEST_F(ConvertTest, AMarkIsAFlagThatNamesNothingToOpenOrShow) {
  // Named like a copy, and outside the file's folder: opening it is seen.
  const std::string outside = Write("other/.terminelle~ancien~Ab12Cd34Ef56Gh78Ij90", "secret");
  const std::string p = Write("d/m.pl", "x \r\n");
  const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ASSERT_GE(inotify_add_watch(watch, outside.c_str(), IN_OPEN), 0);
  for (const std::string& mark :
       {outside, fs::relative(outside).string(), std::string("\x1b]0;x\x07\x1b[2J")}) {
    SCOPED_TRACE(mark);
    if (setxattr(p.c_str(), kRewriteMarkAttribute, mark.data(), mark.size(), 0) != 0) {
      GTEST_SKIP() << "no user attributes here";
    }
    try {
      ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
      ADD_FAILURE() << "converted";
    } catch (const Exception& e) {
      EXPECT_EQ((e.Message() + e.Reason()).find_first_of("\x1b\x07"), std::string::npos);
    }
    char event[4096];
    EXPECT_LT(read(watch, event, sizeof event), 0);
    EXPECT_EQ(Read(p), "x \r\n");
  }
  close(watch);
}

TEST_F(ConvertTest, AFileToRewriteInPlaceWithoutAStateFolderIsToldWhy) {
  const std::string p = Write("k.pl", "x \r\n");
  ASSERT_EQ(link(p.c_str(), Path("k2.pl").c_str()), 0);
  // Where the state folder would be made, a file.
  setenv("XDG_STATE_HOME", Write("plain", "").c_str(), 1);
  try {
    ConvertTextFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp());
    ADD_FAILURE() << "converted";
  } catch (const EInOutError& e) {
    EXPECT_EQ(e.ErrorCode, io_code::kAccessDenied);
    EXPECT_NE(e.Reason().find("dossier d'état"), std::string::npos) << e.Reason();
  }
  EXPECT_EQ(Read(p), "x \r\n");
}

}  // namespace
