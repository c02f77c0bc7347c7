#pragma once
// Telling that a file changed when its dates cannot: a change made within
// the tick of the clock the system dates files by may leave its size and
// dates as they were, so the content read of a file that changed that
// recently is hashed, and hashed again before the file is replaced.

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

// A hash of a file's content, fed piece by piece in order; how the content
// is cut into pieces does not change it. Eight bytes at a time, so that even
// a file of gigabytes costs little next to reading it.
class ContentHash {
 public:
  // Feeds the next n bytes.
  void Add(const char* p, std::size_t n);
  // The hash of everything fed so far.
  std::uint64_t Value() const;

 private:
  void Mix(std::uint64_t word);
  std::uint64_t hash_ = 0xcbf29ce484222325;
  std::uint64_t length_ = 0;
  unsigned char tail_[8] = {};
  std::size_t tail_size_ = 0;
};

// The clock the system dates changes of files by; tests hand in their own.
class FileClock {
 public:
  virtual ~FileClock() = default;
  // What a change made now would be dated.
  virtual struct timespec Now() const;
  // The clock's tick, in nanoseconds: changes within one may get one date.
  virtual long Tick() const;
};

// The system's clock (CLOCK_REALTIME_COARSE, which the kernel dates files by).
const FileClock& SystemFileClock();

// Whether a file of status st changed so recently, by clock, that another
// change within the same tick would leave its dates as they are: its content
// read must then be hashed and handed to its Rewrite.
bool ChangedInClockTick(const struct stat& st, const FileClock& clock);
