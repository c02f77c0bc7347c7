#include "convert/source.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "../support/convert_fixture.h"
#include "../support/folder_run.h"
#include "convert/convert.h"

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

}  // namespace
