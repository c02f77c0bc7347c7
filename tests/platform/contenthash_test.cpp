#include "platform/contenthash.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

std::uint64_t HashInPieces(const std::string& s, std::size_t piece) {
  ContentHash hash;
  for (std::size_t i = 0; i < s.size(); i += piece)
    hash.Add(s.data() + i, std::min(piece, s.size() - i));
  return hash.Value();
}

TEST(ContentHash, IgnoresHowTheContentIsCutAndTellsAnyChange) {
  std::string text = "#!/perl/bin/perl\r\nprint \"x\";\r\n";
  const std::uint64_t whole = HashInPieces(text, text.size());
  for (std::size_t piece : {1, 3, 7, 8, 9}) EXPECT_EQ(HashInPieces(text, piece), whole) << piece;
  std::string changed = text;
  changed[20] ^= 1;
  EXPECT_NE(HashInPieces(changed, 5), whole);
  EXPECT_NE(HashInPieces(text + std::string(1, '\0'), 5), whole);
}

}  // namespace
