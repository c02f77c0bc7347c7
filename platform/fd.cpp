#include "platform/fd.h"

#include <unistd.h>

#include <utility>

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) reset(other.release());
  return *this;
}

void Fd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = fd;
}

int Fd::release() {
  return std::exchange(fd_, -1);
}

ssize_t ReadSome(int fd, void* buf, std::size_t n) {
  return RetryInterrupted([&] { return ::read(fd, buf, n); });
}

ssize_t PreadSome(int fd, void* buf, std::size_t n, off_t offset) {
  return RetryInterrupted([&] { return ::pread(fd, buf, n, offset); });
}
