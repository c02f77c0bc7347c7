#pragma once
// The vector instructions the conversion runs on, each beside the portable
// loop that gives the same answer: SSE2 (every x86-64 processor has it),
// chosen when compiling, for the runs of blanks trimming takes away; AVX2,
// chosen at run time by the processor, for the byte searches. A Wide form
// may load bytes around those it looks at; the portable form is its meaning,
// and what it comes down to where the instructions are missing.

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// How many bytes u[0, n) begins with that are at most top.
inline std::size_t LeadingAtMost(const unsigned char* u, std::size_t n, unsigned char top) {
  std::size_t b = 0;
  while (b < n && u[b] <= top) ++b;
  return b;
}

// Where the bytes at most top that end u[b, e) begin: e when there are none.
inline std::size_t TrailingAtMostFrom(const unsigned char* u, std::size_t b, std::size_t e,
                                      unsigned char top) {
  while (e > b && u[e - 1] <= top) --e;
  return e;
}

#if defined(__SSE2__)
// Which of the 16 bytes from p are above top (below 255), as bits.
inline unsigned Above16(const unsigned char* p, unsigned char top) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i first_above = _mm_set1_epi8(static_cast<char>(top + 1));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(v, first_above), v)));
}
#endif

// LeadingAtMost sixteen bytes at a time, without a branch for each byte: the
// 15 bytes past u + n may be loaded.
inline std::size_t WideLeadingAtMost(const unsigned char* u, std::size_t n, unsigned char top) {
#if defined(__SSE2__)
  for (std::size_t b = 0; b < n; b += 16) {
    if (const unsigned m = Above16(u + b, top)) {
      return std::min(n, b + static_cast<std::size_t>(__builtin_ctz(m)));
    }
  }
  return n;
#else
  return LeadingAtMost(u, n, top);
#endif
}

// TrailingAtMostFrom sixteen bytes at a time: the 15 bytes before u + b may
// be loaded.
inline std::size_t WideTrailingAtMostFrom(const unsigned char* u, std::size_t b, std::size_t e,
                                          unsigned char top) {
#if defined(__SSE2__)
  const unsigned char* begin = u + b;
  for (const unsigned char* end = u + e; end > begin; end -= 16) {
    if (const unsigned m = Above16(end - 16, top)) {
      const unsigned char* last = end - 16 + (31 - __builtin_clz(m));
      return last >= begin ? static_cast<std::size_t>(last + 1 - u) : b;
    }
  }
  return b;
#else
  return TrailingAtMostFrom(u, b, e, top);
#endif
}

// For each of `windows` windows of 64 places, as bits in masks[i], the places
// k (from 64 * i) where a[k] is a0 or a1 and, unless b is null, b[k] is b0 or
// b1; whether any place passes.
inline bool EitherMasks(const unsigned char* a, unsigned char a0, unsigned char a1,
                        const unsigned char* b, unsigned char b0, unsigned char b1,
                        std::size_t windows, std::uint64_t* masks) {
  std::uint64_t any = 0;
  for (std::size_t i = 0; i < windows; ++i) {
    std::uint64_t m = 0;
    for (std::size_t k = 0; k < 64; ++k) {
      const std::size_t at = 64 * i + k;
      const bool pass =
          (a[at] == a0 || a[at] == a1) && (b == nullptr || b[at] == b0 || b[at] == b1);
      m |= std::uint64_t{pass} << k;
    }
    masks[i] = m;
    any |= m;
  }
  return any != 0;
}

#if defined(__x86_64__)
// Whether the processor has AVX2, asked once.
inline bool HasWideMasks() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
  }();
  return has;
}

// Thirty-two places at once: which of the bytes from p are x or y.
__attribute__((target("avx2"), always_inline)) inline __m256i Either32(const unsigned char* p,
                                                                       __m256i x, __m256i y) {
  const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return _mm256_or_si256(_mm256_cmpeq_epi8(v, x), _mm256_cmpeq_epi8(v, y));
}

// One window of 64 places from a (and b): as EitherMasks tells it.
template <bool kBoth>
__attribute__((target("avx2"), always_inline)) inline std::uint64_t Window64(const unsigned char* a,
                                                                             __m256i a0, __m256i a1,
                                                                             const unsigned char* b,
                                                                             __m256i b0,
                                                                             __m256i b1) {
  std::uint64_t m = 0;
  for (std::size_t k = 0; k < 64; k += 32) {
    __m256i hit = Either32(a + k, a0, a1);
    if constexpr (kBoth) hit = _mm256_and_si256(hit, Either32(b + k, b0, b1));
    m |= static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hit))) << k;
  }
  return m;
}

// EitherMasks, 32 places an instruction; only where HasWideMasks().
__attribute__((target("avx2"))) inline bool WideEitherMasks(
    const unsigned char* a, unsigned char a0, unsigned char a1, const unsigned char* b,
    unsigned char b0, unsigned char b1, std::size_t windows, std::uint64_t* masks) {
  const __m256i va0 = _mm256_set1_epi8(static_cast<char>(a0));
  const __m256i va1 = _mm256_set1_epi8(static_cast<char>(a1));
  const __m256i vb0 = _mm256_set1_epi8(static_cast<char>(b0));
  const __m256i vb1 = _mm256_set1_epi8(static_cast<char>(b1));
  std::uint64_t any = 0;
  // A loop for each case, rather than a test in each window.
  if (b == nullptr) {
    for (std::size_t i = 0; i < windows; ++i) {
      masks[i] = Window64<false>(a + 64 * i, va0, va1, nullptr, vb0, vb1);
      any |= masks[i];
    }
  } else {
    for (std::size_t i = 0; i < windows; ++i) {
      masks[i] = Window64<true>(a + 64 * i, va0, va1, b + 64 * i, vb0, vb1);
      any |= masks[i];
    }
  }
  return any != 0;
}
#else
inline bool HasWideMasks() {
  return false;
}

inline bool WideEitherMasks(const unsigned char* a, unsigned char a0, unsigned char a1,
                            const unsigned char* b, unsigned char b0, unsigned char b1,
                            std::size_t windows, std::uint64_t* masks) {
  return EitherMasks(a, a0, a1, b, b0, b1, windows, masks);
}
#endif
