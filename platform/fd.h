#pragma once
// Open descriptors that close themselves, and the reads a signal may
// interrupt, retried.

#include <sys/types.h>

#include <cerrno>
#include <cstddef>

// An open descriptor that closes itself.
class Fd {
 public:
  // Owns fd (none when negative).
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  // Closes its own, then takes over other's.
  Fd& operator=(Fd&& other) noexcept;
  // Negative when none.
  int get() const { return fd_; }
  // Closes what it owns and owns fd instead.
  void reset(int fd = -1);
  // Gives up the descriptor without closing it.
  int release();

 private:
  int fd_;
};

// Calls call again for as long as it fails with EINTR; its last result.
template <class Call>
auto RetryInterrupted(Call call) -> decltype(call()) {
  for (;;) {
    auto r = call();
    if (r >= 0 || errno != EINTR) return r;
  }
}

// As read(2), retried when interrupted.
ssize_t ReadSome(int fd, void* buf, std::size_t n);
// As pread(2), retried when interrupted.
ssize_t PreadSome(int fd, void* buf, std::size_t n, off_t offset);
