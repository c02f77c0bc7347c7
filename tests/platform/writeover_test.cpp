#include "platform/writeover.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <string>

#include "../support/rewrite_fixture.h"

namespace {

using WriteOverTest = RewriteFixture;

TEST_F(WriteOverTest, TheContentIsFlushedBeforeTheModeIsGivenBack) {
  // More than one block of copy.
  const std::string content(300000, 'n');
  const std::string from = Write("from", content);
  const std::string to = Write("to", "old");
  Fd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
  Fd out(open(to.c_str(), O_WRONLY | O_CLOEXEC));
  FlushWatch watch;
  ASSERT_EQ(WriteOver(watch, in.get(), out.get(), 0644, "", true), 0);
  EXPECT_EQ(watch.UnflushedAt(WriteStep::kNewContentFlushed), 0);
  EXPECT_TRUE(Read(to) == content);
}

}  // namespace
