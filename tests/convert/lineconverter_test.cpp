#include "convert/lineconverter.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ios>
#include <string>
#include <vector>

#include "../support/allocations.h"
#include "../support/convert_fixture.h"
#include "../support/folder_run.h"
#include "convert/convert.h"

namespace {

TEST_F(ConvertTest, TrimsBlanksAndControlBytes) {
  EXPECT_EQ(Convert(" \t \nx", LineEnding::Unix), "\nx\n");
  EXPECT_EQ(Convert("\t\tif (1) {  \t\r\n", LineEnding::Unix), "if (1) {\n");
  EXPECT_EQ(Convert("x\xA0  \n", LineEnding::Unix), "x\xA0\n");
  // Ctrl-Z after the last break is a line of its own, trimmed to nothing.
  EXPECT_EQ(Convert("a\r\n\x1A", LineEnding::Unix), "a\n\n");
  // Trimming stops at the first byte above blank, so a byte-order mark keeps what follows it.
  EXPECT_EQ(Convert("\xEF\xBB\xBF  x \n", LineEnding::Unix), "\xEF\xBB\xBF  x\n");
}

TEST_F(ConvertTest, TrimsBlankRunsOfEveryLengthAroundTheBytesScannedAtOnce) {
  // Runs shorter than, as long as and longer than sixteen bytes, before,
  // after and instead of a text that holds blanks of its own, each line
  // after a short one so that a scan reaching past it meets a text.
  auto blanks = [](std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += " \t\x01\x1F"[i % 4];
    return s;
  };
  std::string content, expected, indented;
  for (std::size_t lead : {0, 1, 15, 16, 17, 33}) {
    for (std::size_t text : {0, 1, 2, 15, 16, 31}) {
      for (std::size_t trail : {0, 1, 15, 16, 17, 40}) {
        std::string t;
        for (std::size_t i = 0; i < text; ++i)
          t += i == 0 || i + 1 == text || i % 3 != 0 ? 'x' : ' ';
        content += "x\r\n" + blanks(lead) + t + blanks(trail) + "\r\n";
        expected += "x\n" + t + "\n";
        indented += "x\n" + (text > 0 ? blanks(lead) : "") + t + "\n";
      }
    }
  }
  EXPECT_EQ(Convert(content, LineEnding::Unix), expected);
  ConvertOptions keep;
  keep.KeepIndentation = true;
  const std::string p = Write("kept.pl", content);
  ConvertFile(p, p, LineEnding::Unix, kNoRule, kNoRule, Cp(), keep);
  EXPECT_EQ(Read(p), indented);
}

TEST_F(ConvertTest, AppliesRuleOneThenRuleTwoAfterTrimming) {
  ReplaceRule r1{true, "a", "b"};
  ReplaceRule r2{true, "b", "c"};
  EXPECT_EQ(Convert("  a  \r\n", LineEnding::Unix, r1, r2), "c\n");
  ReplaceRule off{false, "a", "z"};
  EXPECT_EQ(Convert("a\n", LineEnding::Unix, off, kNoRule), "a\n");
  ReplaceRule empty{true, "", "z"};
  EXPECT_EQ(Convert("a\n", LineEnding::Unix, empty, kNoRule), "a\n");
  // Blanks of a replacement survive: the rules run after trimming.
  ReplaceRule padded{true, "x", " x "};
  EXPECT_EQ(Convert("x\n", LineEnding::Unix, padded, kNoRule), " x \n");
  // The rules see the line with its ending.
  ReplaceRule ending{true, "a\r\n", "A;"};
  EXPECT_EQ(Convert("a\nb\n", LineEnding::Windows, ending, kNoRule), "A;b\r\n");
  ReplaceRule shebang{true, "#!/perl/bin/perl", "#!/usr/bin/perl"};
  ReplaceRule lib{true, "use lib 'c:/perl/lib/' ;", "use lib '/srv/lib/' ;"};
  EXPECT_EQ(Convert("#!/PERL/Bin/perl -w\r\nUSE LIB 'C:/perl/lib/' ;\r\n", LineEnding::Unix,
                    shebang, lib),
            "#!/usr/bin/perl -w\nuse lib '/srv/lib/' ;\n");
}

TEST_F(ConvertTest, OneHugeLineConvertsInBoundedMemory) {
  // A line of 256 MiB, with runs of blanks longer than what is held in
  // memory inside it and at its end, and rule matches across every read.
  const std::size_t mib = 1 << 20;
  std::string p = Path("huge.pl");
  {
    std::ofstream out(p, std::ios::binary);
    const std::string block = std::string(mib - 8, 'a') + "PeRl\t x ";
    out << "  " << block;
    for (int i = 1; i < 256; ++i) out << (i == 100 ? std::string(300000, ' ') + "z" : block);
    out << std::string(200000, '\t') << "\r\n";
  }
  ReplaceRule rule{true, "perl\t", "P"};
  const AllocationCount start = Allocations();
  ConvertTextFile(p, p, LineEnding::Unix, rule, kNoRule, Cp());
  const AllocationCount used = AllocatedSince(start);
  EXPECT_LT(used.bytes, 64 * mib);
  // Checked a piece at a time: the file itself is never held whole.
  std::ifstream in(p, std::ios::binary);
  std::string got(mib, '\0');
  in.read(got.data(), static_cast<std::streamsize>(got.size()));
  EXPECT_EQ(got.substr(0, 20), std::string(20, 'a'));
  EXPECT_EQ(got.substr(mib - 10, 9), "aaP x aaa");
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  // Each of the 255 blocks lost four bytes to the rule; the run of blanks in
  // the middle stayed, the blanks at both ends went.
  EXPECT_EQ(size, static_cast<std::streamoff>(255 * (mib - 4) + 300001));
  in.seekg(size - 4);
  got.assign(4, '\0');
  in.read(got.data(), 4);
  EXPECT_EQ(got, "P x\n");
}

TEST_F(ConvertTest, ALongBlankRunInsideAStreamedLineIsKeptByteForByte) {
  // Twice longer than what is held in memory, the run is read again from
  // the file in two pieces once text follows it: each blank comes back
  // where it stood.
  std::string run;
  for (std::size_t i = 0; run.size() < 2 * kHeldInMemory; ++i) run += " \t\x01\x0B\x1F"[i % 5];
  const std::string p = Write("run.pl", "a" + run + "b" + run + "\r\n");
  Conversion how;
  how.Kind = LineEnding::Unix;
  how.Options.WholeLinesUpTo = 16;
  how.Options.ReadChunk = 4096;
  const std::vector<VisitResult> results = ConvertFolder(dir_, how);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_FALSE(results[0].Failed) << results[0].Message;
  EXPECT_TRUE(Read(p) == "a" + run + "b\n");
}

}  // namespace
