#include "convert/interrupted.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

TEST(InterruptedRewritesText, QuotesEveryNameItTells) {
  // A name that would pass for two lines, and turn round what follows it.
  const std::string odd = "/srv/a\n\xE2\x80\xAE";
  const std::string quoted = R"("/srv/a\n\342\200\256)";
  const std::string text =
      InterruptedRewritesText({{odd, true, ""}, {odd, false, odd}, {odd, false, ""}});
  std::size_t told = 0;
  for (std::size_t at = text.find(quoted); at != std::string::npos; at = text.find(quoted, at + 1))
    ++told;
  EXPECT_EQ(told, 4u) << text;
  ::setenv("XDG_STATE_HOME", odd.c_str(), 1);
  EXPECT_NE(StateFolderUnreadText(EIO).find(quoted + "/Terminelle\""), std::string::npos);
  ::unsetenv("XDG_STATE_HOME");
}

}  // namespace
