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
  std::unique_ptr<char[]> Read{new char[kReadChunk + kShortLine]};
  std::unique_ptr<char[]> Out{new char[kWriteChunk + kShortLine]};
  // What a file is compared with, read again.
  std::unique_ptr<char[]> Compare{new char[kReadChunk]};
  // A line that runs over from one read to the next.
  std::string Carry;
  ScratchLines Scratch;
  // Where Read holds what of the file being converted.
  ReadWindow Window;
};

// This thread's buffers.
Buffers& SharedBuffers();

// Gives back what a file with long lines made the line buffers grow to.
void ReleaseLongLines(Buffers& b);
