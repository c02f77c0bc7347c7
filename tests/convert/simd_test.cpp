// The vector forms give the answers of their portable twins, at lengths and
// places around the 16 and 64 bytes they take at once.
#include "convert/simd.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace {

TEST(Simd, BlankRunsAreThoseThePortableLoopsFind) {
  // Blanks with a few other bytes among them (high ones too, which a signed
  // compare takes for blanks), in a buffer with room on either side.
  const unsigned char blanks[] = {0x00, 0x09, 0x1F, 0x20};
  const unsigned char others[] = {0x21, 'x', 0x80, 0xFF};
  std::mt19937 rng(5);
  std::vector<unsigned char> buffer(16 + 80 + 16);
  const unsigned char* u = buffer.data() + 16;
  for (int round = 0; round < 3000; ++round) {
    for (unsigned char& c : buffer) c = blanks[rng() % 4];
    for (unsigned k = rng() % 4; k > 0; --k) buffer[rng() % buffer.size()] = others[rng() % 4];
    const std::size_t n = rng() % 81;
    const std::size_t b = rng() % (n + 1);
    ASSERT_EQ(WideLeadingAtMost(u, n, 0x20), LeadingAtMost(u, n, 0x20)) << round;
    ASSERT_EQ(WideTrailingAtMostFrom(u, b, n, 0x20), TrailingAtMostFrom(u, b, n, 0x20)) << round;
  }
}

TEST(Simd, WideMasksAreThePortableOnes) {
  if (!HasWideMasks()) GTEST_SKIP() << "this processor has no AVX2";
  std::mt19937 rng(7);
  std::vector<unsigned char> bytes(4 * 64 + 3);
  for (unsigned char& c : bytes) c = "abAB\r\n\xE9"[rng() % 7];
  const unsigned char* text = bytes.data();
  for (const unsigned char* second : {static_cast<const unsigned char*>(nullptr), text + 3}) {
    std::uint64_t wide[4] = {}, portable[4] = {};
    EXPECT_EQ(WideEitherMasks(text, 'a', 'B', second, '\n', 0xE9, 4, wide),
              EitherMasks(text, 'a', 'B', second, '\n', 0xE9, 4, portable));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(wide[i], portable[i]) << i;
  }
}

}  // namespace
