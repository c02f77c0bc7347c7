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

// The clock the system dates changes of files by, and the step of the dates
// a file system keeps; tests hand in their own.
class FileClock {
 public:
  virtual ~FileClock() = default;
  // What a change made now would be dated, before the file system rounds it.
  virtual struct timespec Now() const;
  // The clock's tick, in nanoseconds: changes within one may get one date.
  virtual long Tick() const;
  // The step, in nanoseconds, of the dates kept by the file system of a
  // file whose status is st: 1 where they are exact, a second or two where
  // they are coarse (ext4 with small inodes, HFS+, FAT, many FUSE and
  // network file systems). Told by the file's own change time, which only
  // the system sets: one that falls on a whole second is taken to come from
  // a file system of two-second dates, one on a whole millisecond from one
  // of milliseconds, and so on. A file system with exact dates gives such a
  // time about once in a thousand; it then only costs a hash.
  virtual long long Step(const struct stat& st) const;
};

// The system's clock (CLOCK_REALTIME_COARSE, which the kernel dates files by).
const FileClock& SystemFileClock();

// Whether a file of status st changed so recently, by clock, that another
// change now would leave its dates as they are, its file system's step and
// the clock's tick allowed for: its content read must then be hashed and
// handed to its Rewrite.
bool MayChangeUnseen(const struct stat& st, const FileClock& clock);
