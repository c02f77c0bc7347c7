#include "convert/room.h"

#include <sys/resource.h>

#include <algorithm>

#include "platform/dirlist.h"

void Room::Shrink(std::size_t holding) {
  room_ = std::max<std::size_t>(1, std::min(room_, holding + 1) / 2);
}

void Room::Grow() {
  if (room_ == kNoLimit) return;
  room_ = room_ >= most_in_hand_ / 2 ? kNoLimit : room_ * 2;
}

std::size_t InHandFromDescriptors() {
  // Beside the folders the walk holds, a few more stay open (the standard
  // streams, the state folder, a rewrite in place's copy and record), fewer
  // of them under a small limit. Never more than the limit leaves room
  // for, however small: a visit that still finds none is tried again with
  // fewer in hand.
  struct rlimit limit {};
  std::size_t open = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    open = static_cast<std::size_t>(limit.rlim_cur);
  }
  const std::size_t used =
      static_cast<std::size_t>(OpenListingBudget()) + std::clamp<std::size_t>(open / 4, 16, 64);
  const std::size_t room = open > used ? (open - used) / 3 : 0;
  return std::clamp<std::size_t>(room, 1, 1024);
}
