#pragma once
// The memory a conversion works in, kept by each thread from one file to
// the next: a run converts thousands of small files, and fresh megabytes
// for each would cost more than the conversion.

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>

// Bytes read at a time, at most.
inline constexpr std::size_t kReadChunk = 256 * 1024;
// Bytes gathered before they are written.
inline constexpr std::size_t kWriteChunk = 256 * 1024;
// A line buffer grown beyond this by one long line is given back afterwards.
inline constexpr std::size_t kKeptCapacity = 4 * 1024 * 1024;
// Lines up to this long are copied without a call; buffers carry as much slack.
inline constexpr std::size_t kShortLine = 64;
// Bytes that may be loaded on either side of a block read: a line within it
// is scanned by whole vectors, which may start before it or end after it.
inline constexpr std::size_t kBlockSlack = kShortLine;

// Room for the lines the rules rewrite, and for their capitals.
struct ScratchLines {
  std::string Line;
  std::string Spare;
  std::string Upper;
};

// The block of the file read last, where it lies in the file.
struct ReadWindow {
  const char* Data = nullptr;
  off_t At = 0;
  std::size_t Size = 0;
};

struct Buffers {
  // Where blocks are read: kReadChunk bytes with kBlockSlack on either side,
  // zeroed once so that no byte loaded is undefined.
  char* Read() { return read_.get() + kBlockSlack; }
  std::unique_ptr<char[]> Out{new char[kWriteChunk + kShortLine]};
  // What a file is compared with, read again.
  std::unique_ptr<char[]> Compare{new char[kReadChunk]};
  // A line that runs over from one read to the next.
  std::string Carry;
  ScratchLines Scratch;
  // Where Read holds what of the file being converted.
  ReadWindow Window;

 private:
  std::unique_ptr<char[]> read_{new char[kBlockSlack + kReadChunk + kBlockSlack]()};
};

// This thread's buffers.
Buffers& SharedBuffers();

// Gives back what a file with long lines made the line buffers grow to.
void ReleaseLongLines(Buffers& b);
