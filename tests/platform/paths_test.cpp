#include "platform/paths.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FullPathName, ResolvesDotsByNameAgainstTheCurrentFolder) {
  EXPECT_EQ(FullPathName("/a/./b/../c"), "/a/c");
  EXPECT_EQ(FullPathName("/a/b/"), "/a/b");
  std::string relative = FullPathName("x.pl");
  EXPECT_EQ(relative.front(), '/');
  EXPECT_EQ(relative.substr(relative.size() - 5), "/x.pl");
}

}  // namespace
