#include "convert/info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../support/convert_fixture.h"
#include "convert/convert.h"
#include "platform/folderentry.h"

namespace {

TEST_F(ConvertTest, InfoCountsWhateverTheBlocksCut) {
  struct Case {
    std::string content;
    FileInfo expected;
  };
  FileInfo mixed;
  mixed.Mark = ByteOrderMark::kUtf8;
  mixed.CrLf = 2;
  mixed.Lf = 2;
  mixed.Cr = 2;
  mixed.LastLineUnended = true;
  mixed.TrailingBlanks = 3;
  FileInfo final_cr;
  final_cr.Lf = 1;
  final_cr.Cr = 1;
  FileInfo utf16;
  utf16.Mark = ByteOrderMark::kUtf16Le;
  utf16.Binary = true;
  utf16.NulAt = 5;
  FileInfo utf32;
  utf32.Mark = ByteOrderMark::kUtf32Le;
  utf32.Binary = true;
  utf32.NulAt = 2;
  const std::vector<Case> cases = {
      {"\xEF\xBB\xBF#!perl \r\nb\nc\r\rd\t\r\n\ne ", mixed},
      {"x\ny\r", final_cr},
      {std::string("\xFF\xFE\r\n\x61\0", 6), utf16},
      {std::string("\xFF\xFE\0\0\x61\0\0\0", 8), utf32},
  };
  for (const Case& c : cases) {
    const std::string p = Write("f.pl", c.content);
    FolderEntry entry;
    ASSERT_EQ(entry.Locate(p), 0);
    // Every size of block, down to one byte: a CR at a block's end, its LF
    // in the next.
    for (std::size_t chunk = 1; chunk <= c.content.size(); ++chunk) {
      FileInfo got;
      const ConvertOutcome outcome = InspectFile(entry, &got, chunk);
      const FileInfo& e = c.expected;
      EXPECT_EQ(outcome, e.Binary ? ConvertOutcome::kBinary : ConvertOutcome::kUnchanged);
      EXPECT_TRUE(got.Mark == e.Mark && got.Binary == e.Binary && got.NulAt == e.NulAt &&
                  got.CrLf == e.CrLf && got.Lf == e.Lf && got.Cr == e.Cr &&
                  got.LastLineUnended == e.LastLineUnended &&
                  got.TrailingBlanks == e.TrailingBlanks)
          << "chunk " << chunk << ": " << got.CrLf << " CR LF, " << got.Lf << " LF, " << got.Cr
          << " CR, " << got.TrailingBlanks << " trailing, mark " << static_cast<int>(got.Mark)
          << ", NUL at " << got.NulAt;
    }
  }
  // A link is never read through, as a trial reads none.
  ASSERT_EQ(::symlink("f.pl", Path("link.pl").c_str()), 0);
  FolderEntry link;
  ASSERT_EQ(link.Locate(Path("link.pl")), 0);
  FileInfo none;
  EXPECT_EQ(InspectFile(link, &none), ConvertOutcome::kLeftAlone);
}

}  // namespace
