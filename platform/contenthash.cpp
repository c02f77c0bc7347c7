#include "platform/contenthash.h"

#include <algorithm>
#include <cstring>

void ContentHash::Mix(std::uint64_t word) {
  hash_ = (hash_ ^ word) * 0x9E3779B97F4A7C15;
  hash_ ^= hash_ >> 29;
}

void ContentHash::Add(const char* p, std::size_t n) {
  length_ += n;
  if (tail_size_ > 0) {
    const std::size_t take = std::min(8 - tail_size_, n);
    std::memcpy(tail_ + tail_size_, p, take);
    tail_size_ += take;
    p += take;
    n -= take;
    if (tail_size_ < 8) return;
    std::uint64_t word;
    std::memcpy(&word, tail_, 8);
    Mix(word);
  }
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    Mix(word);
  }
  std::memcpy(tail_, p, n);
  tail_size_ = n;
}

std::uint64_t ContentHash::Value() const {
  ContentHash last = *this;
  std::uint64_t word = 0;
  std::memcpy(&word, tail_, tail_size_);
  last.Mix(word);
  last.Mix(length_);
  return last.hash_;
}

struct timespec FileClock::Now() const {
  struct timespec now {};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return now;
}

long FileClock::Tick() const {
  static const long tick = [] {
    struct timespec res {};
    ::clock_getres(CLOCK_REALTIME_COARSE, &res);
    return res.tv_sec > 0 ? 1000000000L : res.tv_nsec;
  }();
  return tick;
}

long long FileClock::Step(const struct stat& st) const {
  constexpr long long kSecond = 1000000000LL;
  // FAT dates writes to the even second.
  if (st.st_ctim.tv_nsec == 0) return 2 * kSecond;
  long long step = 1;
  while (step < kSecond && st.st_ctim.tv_nsec % (step * 10) == 0) step *= 10;
  return step;
}

const FileClock& SystemFileClock() {
  static const FileClock system;
  return system;
}

bool MayChangeUnseen(const struct stat& st, const FileClock& clock) {
  // A later change gets the same date while the clock, rounded down to the
  // step, still reads the date the file has; a tick or two more for the
  // moments the kernel's clock lags this one.
  const struct timespec now = clock.Now();
  const long long since = (static_cast<long long>(now.tv_sec) - st.st_ctim.tv_sec) * 1000000000LL +
                          (now.tv_nsec - st.st_ctim.tv_nsec);
  return since < clock.Step(st) + 2LL * clock.Tick();
}
