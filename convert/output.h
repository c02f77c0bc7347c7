#pragma once
// Where converted bytes go: gathered in the thread's write buffer, then
// handed to a destination (a descriptor, or the comparison with the file
// that finds an unchanged one).

#include <cstddef>
#include <cstring>
#include <string_view>

#include "convert/buffers.h"
#include "platform/fileio.h"

// A write that failed, with its errno; turned into the program's error once
// the partial output has been cleaned away.
struct WriteFailure {
  int Error;
};

// Where converted bytes go once buffered.
class Destination {
 public:
  virtual ~Destination() = default;
  // Takes the next n bytes; throws WriteFailure.
  virtual void Write(const char* p, std::size_t n) = 0;
};

// A descriptor written from where it stands.
class FdDestination : public Destination {
 public:
  FdDestination(FileWriter& writer, int fd) : writer_(writer), fd_(fd) {}
  void Write(const char* p, std::size_t n) override {
    if (int err = WriteFully(writer_, fd_, p, n)) throw WriteFailure{err};
  }

 private:
  FileWriter& writer_;
  int fd_;
};

// Bytes gathered into writes of up to kWriteChunk.
class Output {
 public:
  // buf holds kWriteChunk bytes and kShortLine more.
  Output(Destination& to, char* buf) : to_(to), buf_(buf) {}
  void Append(const char* p, std::size_t n) {
    if (size_ + n > kWriteChunk) {
      Flush();
      if (n >= kWriteChunk) {
        to_.Write(p, n);
        return;
      }
    }
    std::memcpy(buf_ + size_, p, n);
    size_ += n;
  }
  // A short line and its ending, copied by moves of a fixed size that the
  // compiler makes a few wide ones; both the line's buffer and this one have
  // room past their ends for the overshoot.
  void AppendLine(const char* p, std::size_t n, std::string_view ending) {
    if (n <= kShortLine && size_ + n + ending.size() <= kWriteChunk) {
      char* to = buf_ + size_;
      std::memcpy(to, p, kShortLine / 2);
      if (n > kShortLine / 2) std::memcpy(to + kShortLine / 2, p + kShortLine / 2, kShortLine / 2);
      to[n] = ending[0];
      to[n + 1] = ending[ending.size() - 1];
      size_ += n + ending.size();
      return;
    }
    Append(p, n);
    AppendShort(ending);
  }
  // The line ending: one or two bytes, stored without a call (the buffer
  // has room for two bytes past its end).
  void AppendShort(std::string_view s) {
    if (size_ + s.size() > kWriteChunk) Flush();
    buf_[size_] = s[0];
    buf_[size_ + 1] = s[s.size() - 1];
    size_ += s.size();
  }
  void Flush() {
    if (size_ > 0) to_.Write(buf_, size_);
    size_ = 0;
  }

 private:
  Destination& to_;
  char* buf_;
  std::size_t size_ = 0;
};
