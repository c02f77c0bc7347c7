#include "platform/folderentry.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "../support/rewrite_fixture.h"

namespace {

using FolderEntryTest = RewriteFixture;

TEST_F(FolderEntryTest, NoFolderStaysOpenOnceItsEntryIsDropped) {
  const std::string p = Write("f.pl", "old");
  EXPECT_EQ(RewriteTo(p, "new"), 0);
  {
    FolderEntry entry;
    ASSERT_EQ(entry.Locate(p), 0);
  }
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    EXPECT_NE(std::filesystem::read_symlink(fd.path(), ec).string(), dir_);
  }
}

}  // namespace
