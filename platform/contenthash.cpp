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

const FileClock& SystemFileClock() {
  static const FileClock system;
  return system;
}

bool ChangedInClockTick(const struct stat& st, const FileClock& clock) {
  // Within the clock's last tick or two, where a further change may not move
  // the change time.
  const struct timespec now = clock.Now();
  const long long ns = (static_cast<long long>(now.tv_sec) - st.st_ctim.tv_sec) * 1000000000LL +
                       (now.tv_nsec - st.st_ctim.tv_nsec);
  return ns <= 2LL * clock.Tick();
}
