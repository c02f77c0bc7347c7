#pragma once
// How many visits may hold a new content at once. Where the disk fills up,
// or the process runs out of descriptors, what is in hand is put in place
// and the rest is converted again in smaller batches, down to one file at a
// time: only a file that cannot fit, or be opened, alone fails.

#include <cstddef>
#include <cstdint>
#include <limits>

class Room {
 public:
  // No limit until the first shortage; most_in_hand is what the schedule
  // holds at most, past which a room growing back is no limit again.
  explicit Room(std::size_t most_in_hand) : most_in_hand_(most_in_hand) {}
  // Whether a shortage limits the visits holding a new content.
  bool Limited() const { return room_ != kNoLimit; }
  // Whether a single visit may hold one.
  bool Single() const { return room_ == 1; }
  // Whether the visit seq lies within the room, front being the first
  // visit not told yet.
  bool Holds(std::uint64_t seq, std::uint64_t front) const {
    return room_ == kNoLimit || seq < front + room_;
  }
  // A shortage met while holding other visits held a new content or were
  // being converted: half as many may from now on, one at least.
  void Shrink(std::size_t holding);
  // A batch went in place whole: space freed (another program's, or the
  // old contents replaced) lets batches grow back.
  void Grow();

 private:
  static constexpr std::size_t kNoLimit = std::numeric_limits<std::size_t>::max();
  const std::size_t most_in_hand_;
  // Visits, from the first not told, that may hold a new content at once.
  std::size_t room_ = kNoLimit;
};

// Visits in hand at most, as the descriptors the process may open leave
// room for: each holds its file, its temporary file and its folder open.
std::size_t InHandFromDescriptors();
