#include "convert/bytescan.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "convert/simd.h"

namespace {

bool portable_only = false;

bool Passes(const unsigned char* place, const ByteTest& t) {
  return t.Count == 0 || place[t.Offset] == t.Bytes[0] || place[t.Offset] == t.Bytes[1];
}

}  // namespace

PlaceFinder::PlaceFinder(const char* text, std::size_t places, const ByteTest& first,
                         const ByteTest& second)
    : text_(reinterpret_cast<const unsigned char*>(text)),
      places_(places),
      first_(first),
      second_(second),
      wide_(!portable_only && first.Count != 0 && HasWideMasks()) {
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
  while (places_ - from >= 64) {
    const std::size_t windows = std::min(kMasks, (places_ - from) / 64);
    const unsigned char* second = second_.Count != 0 ? text_ + from + second_.Offset : nullptr;
    const bool any = WideEitherMasks(text_ + from + first_.Offset, first_.Bytes[0], first_.Bytes[1],
                                     second, second_.Bytes[0], second_.Bytes[1], windows, masks_);
    tested_ = from;
    tested_end_ = from + 64 * windows;
    if (any) return Next(from);
    from = tested_end_;
  }
  // The last places, too few for a window, one by one.
  while (from < places_ && !(Passes(text_ + from, first_) && Passes(text_ + from, second_))) {
    ++from;
  }
  return from;
}

bool SetPortableSearchOnly(bool on) {
  return std::exchange(portable_only, on);
}
