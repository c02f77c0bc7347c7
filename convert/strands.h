#pragma once
// Visits of one file, by different runs or under different names, taken one
// after the other: a visit starts only once the one before it is
// committed, so that it reads what the other wrote. Different files are
// independent.

#include <cstddef>
#include <list>
#include <unordered_map>

#include "convert/slot.h"
#include "convert/visit.h"

class Strands {
 public:
  // Takes slot into its file's strand: true when it may start at once,
  // false when it waits behind the visit in hand.
  bool Enter(VisitSlot* slot);
  // The visit in hand of key's file is over: the visit waiting behind it,
  // which may start now, or null when none waits (the strand ends).
  VisitSlot* Leave(const FileKey& key);
  // Takes every waiting visit out of its strand, handing each to drop.
  template <class Drop>
  void DropWaiting(Drop drop) {
    for (auto& [key, waiting] : strands_) {
      for (VisitSlot* slot : waiting) drop(*slot);
      waiting.clear();
    }
    waiting_ = 0;
  }
  // Whether a visit waits behind another in some strand.
  bool AnyWaiting() const { return waiting_ > 0; }
  // Whether a visit waits behind the one in hand of key's file.
  bool Waits(const FileKey& key) const;

 private:
  // Files with a visit in hand (ready, converting or waiting for its
  // commit), and the visits of the same file behind it: a list, which for
  // the many files met once costs no memory of its own.
  std::unordered_map<FileKey, std::list<VisitSlot*>, FileKeyHash> strands_;
  // Strands with a visit waiting.
  std::size_t waiting_ = 0;
};
