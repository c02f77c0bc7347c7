#include "platform/dosdate.h"

#include <gtest/gtest.h>

#include <ctime>

TEST(DosDateTime, PacksLocalTimeWithHalvedSeconds) {
  struct tm local {};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 2;
  local.tm_mday = 15;
  local.tm_hour = 13;
  local.tm_min = 45;
  local.tm_sec = 31;
  local.tm_isdst = -1;
  int32_t packed = -1;
  ASSERT_TRUE(DosDateTime(mktime(&local), &packed));
  const uint32_t date = (44u << 9) | (3u << 5) | 15u;
  const uint32_t time = (13u << 11) | (45u << 5) | 15u;
  EXPECT_EQ(static_cast<uint32_t>(packed), (date << 16) | time);
}

TEST(DosDateTime, ZeroOutsideTheDosYears) {
  struct tm local {};
  local.tm_year = 1979 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 31;
  local.tm_hour = 23;
  local.tm_min = 59;
  local.tm_sec = 59;
  local.tm_isdst = -1;
  int32_t packed = -1;
  EXPECT_FALSE(DosDateTime(mktime(&local), &packed));
  EXPECT_EQ(packed, 0);
  local.tm_year = 2108 - 1900;
  local.tm_mon = 0;
  local.tm_mday = 1;
  local.tm_hour = 0;
  local.tm_min = 0;
  local.tm_sec = 0;
  packed = -1;
  EXPECT_FALSE(DosDateTime(mktime(&local), &packed));
  EXPECT_EQ(packed, 0);
  // The last DOS year sets the top bit: still a date, not an error.
  local.tm_year = 2107 - 1900;
  local.tm_mon = 11;
  local.tm_mday = 31;
  local.tm_isdst = -1;
  EXPECT_TRUE(DosDateTime(mktime(&local), &packed));
  EXPECT_LT(packed, 0);
}
