#include "platform/dosdate.h"

#include <gtest/gtest.h>

#include <ctime>

namespace {

// The moment of a local date and time.
time_t Local(int year, int month, int day, int hour, int minute, int second) {
  struct tm local {};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return mktime(&local);
}

}  // namespace

TEST(DosDateTime, PacksLocalTimeWithHalvedSeconds) {
  int32_t packed = -1;
  ASSERT_TRUE(DosDateTime(Local(2024, 3, 15, 13, 45, 31), &packed));
  const uint32_t date = (44u << 9) | (3u << 5) | 15u;
  const uint32_t time = (13u << 11) | (45u << 5) | 15u;
  EXPECT_EQ(static_cast<uint32_t>(packed), (date << 16) | time);
}

TEST(DosDateTime, ZeroOutsideTheDosYears) {
  int32_t packed = -1;
  EXPECT_FALSE(DosDateTime(Local(1979, 12, 31, 23, 59, 59), &packed));
  EXPECT_EQ(packed, 0);
  packed = -1;
  EXPECT_FALSE(DosDateTime(Local(2108, 1, 1, 0, 0, 0), &packed));
  EXPECT_EQ(packed, 0);
  // The last DOS year sets the top bit: still a date, not an error.
  EXPECT_TRUE(DosDateTime(Local(2107, 12, 31, 0, 0, 0), &packed));
  EXPECT_LT(packed, 0);
}
