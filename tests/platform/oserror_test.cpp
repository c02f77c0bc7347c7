#include "platform/oserror.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

TEST(OsErrorCode, LinuxErrorsBecomeTheirWindowsCodes) {
  EXPECT_EQ(OsErrorCode(ENOENT), 2);
  EXPECT_EQ(OsErrorCode(EMFILE), 4);
  EXPECT_EQ(OsErrorCode(ENFILE), 4);
  EXPECT_EQ(OsErrorCode(EACCES), 5);
  EXPECT_EQ(OsErrorCode(EPERM), 5);
  EXPECT_EQ(OsErrorCode(EROFS), 19);
  EXPECT_EQ(OsErrorCode(EBUSY), 32);
  EXPECT_EQ(OsErrorCode(ETXTBSY), 32);
  EXPECT_EQ(OsErrorCode(ENOSPC), 112);
  EXPECT_EQ(OsErrorCode(EDQUOT), 112);
  EXPECT_EQ(OsErrorCodeForPath(ENOENT, "/no/such/folder/file"), 3);
  EXPECT_EQ(OsErrorCodeForPath(ENOENT, "/tmp/no-such-file-here"), 2);
}

TEST(SystemErrorText, DropsTrailingFullStopsAndBlanks) {
  std::string text = SystemErrorText(ENOENT);
  ASSERT_FALSE(text.empty());
  EXPECT_NE(text.back(), '.');
  EXPECT_NE(text.back(), ' ');
}

}  // namespace
