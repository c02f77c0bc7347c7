#include "convert/lines.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "../support/convert_fixture.h"
#include "../support/folder_run.h"
#include "convert/convert.h"

namespace {

TEST_F(ConvertTest, SplitsOnCrLfALoneCrAndALoneLf) {
  EXPECT_EQ(Convert("", LineEnding::Unix), "");
  EXPECT_EQ(Convert("abc", LineEnding::Unix), "abc\n");
  EXPECT_EQ(Convert("a\r\nb\r\n", LineEnding::Mac), "a\rb\r");
  EXPECT_EQ(Convert("a\n\rb", LineEnding::Windows), "a\r\n\r\nb\r\n");
  EXPECT_EQ(Convert("a\r\r\nb", LineEnding::Unix), "a\n\nb\n");
}

TEST_F(ConvertTest, LinesAcrossReadBoundariesAreWhole) {
  // Whatever the size of the reads, some power of two from 4 KiB to 2 MiB puts
  // a CR LF pair across a boundary, and the long line spans several reads.
  for (std::size_t chunk = 4096; chunk <= (std::size_t{2} << 20); chunk *= 2) {
    std::string content(chunk - 1, 'x');
    content += "\r\nshort\n";
    content += std::string(3 * chunk, 'y') + " \n";
    // The first and the last line change, the CR LF pair counting as one break.
    std::string p = Write("f.pl", content);
    EXPECT_EQ(TryConvertFile(p, LineEnding::Unix, kNoRule, kNoRule, Cp()).ChangedLines, 2u);
    std::string out = Convert(content, LineEnding::Unix);
    EXPECT_TRUE(out ==
                std::string(chunk - 1, 'x') + "\nshort\n" + std::string(3 * chunk, 'y') + "\n")
        << "chunk " << chunk;
  }
}

TEST_F(ConvertTest, ANulByteBeyondTheFirstReadLeavesTheFileAsItIs) {
  // Lines of text fill the first reads and more than one write before the
  // NUL byte comes: whatever was converted or compared so far is dropped.
  std::string binary;
  while (binary.size() < 2 * kWriteChunk) binary += "print 1; \r\n";
  binary += std::string("x\0y", 3) + "\r\n";
  for (bool keep_unchanged : {false, true}) {
    SCOPED_TRACE(keep_unchanged ? "kept unchanged" : "rewritten");
    const std::string p = Write("bin.dat", binary);
    struct timeval old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimes(p.c_str(), old_times), 0);
    Conversion how;
    how.Kind = LineEnding::Unix;
    how.Options.ReadChunk = 64 * 1024;
    how.Options.KeepUnchanged = keep_unchanged;
    const std::vector<VisitResult> results = ConvertFolder(dir_, how);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].Failed) << results[0].Message;
    EXPECT_EQ(results[0].Outcome, ConvertOutcome::kBinary);
    EXPECT_TRUE(Read(p) == binary);
    struct stat st {};
    ASSERT_EQ(stat(p.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1000000000);
    EXPECT_EQ(Entries(), std::set<std::string>{"bin.dat"});
  }
}

}  // namespace
