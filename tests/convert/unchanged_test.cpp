#include "convert/unchanged.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "../support/convert_fixture.h"
#include "../support/folder_run.h"
#include "base/errors.h"
#include "convert/convert.h"

namespace {

TEST(EqualPrefix, FindsTheFirstDifferenceWhereverItLies) {
  for (std::size_t n : {0, 1, 63, 64, 65, 129, 300}) {
    for (std::size_t d = 0; d <= n; ++d) {
      const std::string a(n, 'a');
      std::string b = a;
      if (d < n) b[d] = 'b';
      EXPECT_EQ(EqualPrefix(a.data(), b.data(), n), d) << n;
    }
  }
}

TEST_F(ConvertTest, KeepUnchangedTouchesNeitherTheFileNorItsDate) {
  const ConvertOptions keep{true};
  std::string done = Write("done.pl", "print 1;\n");
  std::string todo = Write("todo.pl", "print 1; \n");
  for (const std::string& p : {done, todo}) {
    struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(p.c_str(), old_times), 0);
    ASSERT_EQ(chmod(p.c_str(), 0444), 0);
  }
  auto mtime = [](const std::string& p) {
    struct stat st {};
    stat(p.c_str(), &st);
    return st.st_mtime;
  };
  // A file that would not change needs no write permission; a trial writes
  // nothing; neither makes a temporary file, so the folder keeps its date.
  struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
  ASSERT_EQ(utimes(dir_.c_str(), old_times), 0);
  EXPECT_EQ(TryConvertFile(done, LineEnding::Unix, kNoRule, kNoRule, Cp()).Outcome,
            ConvertOutcome::kUnchanged);
  EXPECT_EQ(ConvertFile(done, done, LineEnding::Unix, kNoRule, kNoRule, Cp(), keep),
            ConvertOutcome::kUnchanged);
  EXPECT_EQ(mtime(dir_), 1000000000);
  for (int run = 0; run < 2; ++run) {
    try {
      if (run == 0) TryConvertFile(todo, LineEnding::Unix, kNoRule, kNoRule, Cp());
      if (run == 1) ConvertFile(todo, todo, LineEnding::Unix, kNoRule, kNoRule, Cp(), keep);
      ADD_FAILURE() << "a read-only file that would change was not refused";
    } catch (const EInOutError& e) {
      EXPECT_EQ(e.ErrorCode, 5);
    }
  }
  EXPECT_EQ(mtime(done), 1000000000);
  EXPECT_EQ(mtime(todo), 1000000000);
  EXPECT_EQ(Read(todo), "print 1; \n");
  EXPECT_EQ(Entries(), (std::set<std::string>{"done.pl", "todo.pl"}));
  ASSERT_EQ(chmod(todo.c_str(), 0644), 0);
  EXPECT_EQ(ConvertFile(todo, todo, LineEnding::Unix, kNoRule, kNoRule, Cp(), keep),
            ConvertOutcome::kConverted);
  EXPECT_EQ(Read(todo), "print 1;\n");
}

TEST_F(ConvertTest, ANewContentThatIsTheOldOnesBeginningIsWritten) {
  // Every byte of "x\r" equals the file's: only the file's end tells them apart.
  const std::string p = Write("m.pl", "x\r\n");
  EXPECT_EQ(TryConvertFile(p, LineEnding::Mac, kNoRule, kNoRule, Cp()).Outcome,
            ConvertOutcome::kConverted);
  Conversion how;
  how.Kind = LineEnding::Mac;
  how.Options.KeepUnchanged = true;
  const std::vector<VisitResult> results = ConvertFolder(dir_, how);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].Outcome, ConvertOutcome::kConverted);
  EXPECT_EQ(Read(p), "x\r");
}

TEST_F(ConvertTest, AFirstDifferenceBeyondTheFirstWriteKeepsAllThatCameBefore) {
  // Lines that stay as they are over more than one write, then one that
  // changes: the new file begins with the old one's bytes, read again.
  std::string same;
  while (same.size() <= 2 * kWriteChunk) same += "print " + std::to_string(same.size()) + ";\n";
  const std::string p = Write("long.pl", same + "x  \n");
  Conversion how;
  how.Kind = LineEnding::Unix;
  how.Options.KeepUnchanged = true;
  const std::vector<VisitResult> results = ConvertFolder(dir_, how);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].Outcome, ConvertOutcome::kConverted);
  EXPECT_TRUE(Read(p) == same + "x\n");
}

}  // namespace
