#include "cli/json.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

TEST(Base64, EncodesBytesOfEveryLengthWithTheirPadding) {
  // RFC 4648's own examples, and bytes past 0x7F.
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\xFF\xFE\x80", "//6A"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(Base64(bytes), text) << bytes;
}
