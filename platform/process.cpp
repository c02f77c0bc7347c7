#include "platform/process.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdlib>

#include "platform/fd.h"

std::string ProcessStatus() {
  std::string text;
  Fd fd(RetryInterrupted([] { return ::open("/proc/self/status", O_RDONLY | O_CLOEXEC); }));
  if (fd.get() < 0) return text;
  char buf[4096];
  for (;;) {
    ssize_t n = ReadSome(fd.get(), buf, sizeof buf);
    if (n <= 0) return n == 0 ? text : std::string();
    text.append(buf, static_cast<std::size_t>(n));
  }
}

namespace {

// The umask as the system reports it, without changing it; false when the
// system does not say.
bool ReadUmask(mode_t* mask) {
  const std::string status = ProcessStatus();
  const std::size_t at = status.find("\nUmask:");
  if (at == std::string::npos) return false;
  *mask = static_cast<mode_t>(std::strtoul(status.c_str() + at + 7, nullptr, 8));
  return true;
}

}  // namespace

mode_t CreationMask() {
  static const mode_t mask = [] {
    mode_t m = 0;
    // Setting the umask to read it would, for that moment, give files that
    // other threads create the wrong permissions.
    if (!ReadUmask(&m)) {
      m = ::umask(022);
      ::umask(m);
    }
    return m;
  }();
  return mask;
}

mode_t NewFileMode() {
  return 0666 & ~CreationMask();
}

void FailWritesPastSizeLimit() {
  std::signal(SIGXFSZ, SIG_IGN);
}
