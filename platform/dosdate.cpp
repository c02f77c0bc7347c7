#include "platform/dosdate.h"

bool DosDateTime(time_t mtime, int32_t* out) {
  *out = 0;
  struct tm local {};
  if (localtime_r(&mtime, &local) == nullptr) return false;
  int year = local.tm_year + 1900;
  if (year < 1980 || year > 2107) return false;
  auto date =
      static_cast<uint32_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
  // A leap second still fits the five bits of halved seconds.
  int seconds = local.tm_sec > 59 ? 59 : local.tm_sec;
  auto time = static_cast<uint32_t>((local.tm_hour << 11) | (local.tm_min << 5) | (seconds / 2));
  *out = static_cast<int32_t>((date << 16) | time);
  return true;
}
