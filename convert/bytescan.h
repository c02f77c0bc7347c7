#pragma once
// Where the conversion spends its own time: finding the places of a block
// where given bytes stand, for its line breaks and for where a search text
// may start. Portable code finds them with memchr. With AVX2 they are tested
// 64 at a time and 512 per call: scripts have short lines and many near
// misses, where one memchr call for each costs more than its speed saves.

#include <cstddef>
#include <cstdint>

// One or two bytes looked for at an offset from each place; without bytes,
// every place passes.
struct ByteTest {
  std::size_t Offset = 0;
  unsigned char Bytes[2] = {};
  int Count = 0;
};

// Finds, from left to right, the places of a text whose byte at first's
// offset is one of first's bytes. second may rule out more of them where
// that is cheap: callers still check it. The bytes tested for every place
// lie within the text.
class PlaceFinder {
 public:
  PlaceFinder() = default;
  // The places [0, places) of text.
  PlaceFinder(const char* text, std::size_t places, const ByteTest& first,
              const ByteTest& second = {});

  // One past the last place.
  std::size_t End() const { return places_; }

  // The first place at or after from that may pass; End() when there is none.
  std::size_t Next(std::size_t from) {
    if (from >= places_) return places_;
    // Unsigned: a place before the tested ones is far outside them too.
    while (from - tested_ < tested_end_ - tested_) {
      const std::size_t k = from - tested_;
      if (std::uint64_t m = masks_[k / 64] >> (k % 64)) {
        return from + static_cast<std::size_t>(__builtin_ctzll(m));
      }
      from = tested_ + (k / 64 + 1) * 64;
    }
    return wide_ ? NextWide(from) : NextByMemchr(from);
  }

 private:
  // Places tested at once: 64 to a mask.
  static constexpr std::size_t kMasks = 8;

  std::size_t NextByMemchr(std::size_t from);
  // Tests kMasks * 64 places at a time.
  std::size_t NextWide(std::size_t from);

  const unsigned char* text_ = nullptr;
  std::size_t places_ = 0;
  ByteTest first_;
  ByteTest second_;
  bool wide_ = false;
  // The places [tested_, tested_end_) that passed, as bits from tested_ on.
  std::size_t tested_ = 0;
  std::size_t tested_end_ = 0;
  std::uint64_t masks_[kMasks] = {};
  // Where each of first's bytes next stands after the place memchr looked
  // from; nothing is known while that place lies past the next one.
  std::size_t next_[2] = {};
  std::size_t looked_from_[2] = {SIZE_MAX, SIZE_MAX};
};

// Keeps the byte searches to portable code from now on (or lets them use
// wider instructions again), so that tests cover that code on processors
// that have them; returns the setting it replaces. One switch for the whole
// process rather than a setting handed in: it stands for the processor,
// which every thread shares, and is set once before any search; handing it
// in would take it through every way into a conversion for tests alone.
bool SetPortableSearchOnly(bool on);
