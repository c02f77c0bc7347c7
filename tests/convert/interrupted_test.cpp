#include "convert/interrupted.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

TEST(InterruptedRewritesText, QuotesEveryNameItTells) {
  // A name that would pass for two lines, and turn round what follows it.
  const std::string odd = "/srv/a\n\xE2\x80\xAE", quoted = R"("/srv/a\n\342\200\256)";
  ::setenv("XDG_STATE_HOME", odd.c_str(), 1);
  const std::string text =
      InterruptedRewritesText({{odd, true, ""}, {odd, false, odd}, {odd, false, ""}}) +
      StateFolderUnreadText(EIO);
  ::unsetenv("XDG_STATE_HOME");
  std::size_t told = 0;
  for (std::size_t at = 0; (at = text.find(quoted, at)) != std::string::npos; ++at) ++told;
  EXPECT_EQ(told, 5u) << text;
}

}  // namespace
