#include "convert/bytescan.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <utility>

namespace {

bool portable_only = false;

bool Passes(const unsigned char* place, const ByteTest& t) {
  return t.Count == 0 || place[t.Offset] == t.Bytes[0] || place[t.Offset] == t.Bytes[1];
}

#if defined(__x86_64__)
bool HasAvx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

// Thirty-two places at once: which of the bytes from p are x or y.
__attribute__((target("avx2"), always_inline)) inline __m256i Either(const unsigned char* p,
                                                                     __m256i x, __m256i y) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return _mm256_or_si256(_mm256_cmpeq_epi8(v, x), _mm256_cmpeq_epi8(v, y));
}

// Tests windows * 64 places from `from` on: masks[i] receives, as bits,
// those of window i that pass a, and b unless b has no bytes (a has some).
// Returns whether any does.
__attribute__((target("avx2"))) bool Test(const unsigned char* text, std::size_t from,
                                          std::size_t windows, const ByteTest& a, const ByteTest& b,
                                          std::uint64_t* masks) {
  const __m256i a0 = _mm256_set1_epi8(static_cast<char>(a.Bytes[0]));
  const __m256i a1 = _mm256_set1_epi8(static_cast<char>(a.Bytes[1]));
  const __m256i b0 = _mm256_set1_epi8(static_cast<char>(b.Bytes[0]));
  const __m256i b1 = _mm256_set1_epi8(static_cast<char>(b.Bytes[1]));
  // Read once: the compiler must assume the masks written may be the tests.
  const unsigned char* at_a = text + from + a.Offset;
  const unsigned char* at_b = text + from + b.Offset;
  const bool both = b.Count != 0;
  std::uint64_t any = 0;
  for (std::size_t i = 0; i < windows; ++i) {
    std::uint64_t m = 0;
    for (std::size_t k = 0; k < 64; k += 32) {
      __m256i hit = Either(at_a + 64 * i + k, a0, a1);
      if (both) hit = _mm256_and_si256(hit, Either(at_b + 64 * i + k, b0, b1));
      m |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hit))) << k;
    }
    masks[i] = m;
    any |= m;
  }
  return any != 0;
}
#else
bool HasAvx2() {
  return false;
}
#endif

}  // namespace

PlaceFinder::PlaceFinder(const char* text, std::size_t places, const ByteTest& first,
                         const ByteTest& second)
    : text_(reinterpret_cast<const unsigned char*>(text)),
      places_(places),
      first_(first),
      second_(second),
      wide_(!portable_only && first.Count != 0 && HasAvx2()) {
  // A single byte is compared twice rather than counted.
  for (ByteTest* t : {&first_, &second_}) {
    if (t->Count == 1) t->Bytes[1] = t->Bytes[0];
  }
}

std::size_t PlaceFinder::NextByMemchr(std::size_t from) {
  if (first_.Count == 0) return from;
  const unsigned char* base = text_ + first_.Offset;
  std::size_t best = places_;
  for (int i = 0; i < first_.Count; ++i) {
    if (from < looked_from_[i] || from > next_[i]) {
      const void* hit = std::memchr(base + from, first_.Bytes[i], places_ - from);
      next_[i] = hit != nullptr
                     ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - base)
                     : places_;
      looked_from_[i] = from;
    }
    best = std::min(best, next_[i]);
  }
  return best;
}

std::size_t PlaceFinder::NextWide(std::size_t from) {
#if defined(__x86_64__)
  while (places_ - from >= 64) {
    const std::size_t windows = std::min(kMasks, (places_ - from) / 64);
    const bool any = Test(text_, from, windows, first_, second_, masks_);
    tested_ = from;
    tested_end_ = from + 64 * windows;
    if (any) return Next(from);
    from = tested_end_;
  }
#endif
  // The last places, too few for a window, one by one.
  while (from < places_ && !(Passes(text_ + from, first_) && Passes(text_ + from, second_))) {
    ++from;
  }
  return from;
}

bool SetPortableSearchOnly(bool on) {
  return std::exchange(portable_only, on);
}
