#include "cli/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#include "platform/quote.h"

namespace {

// Runs shorter than this show no progress bar.
constexpr std::chrono::milliseconds kQuietStart{1000};

// Columns of the terminal on stderr.
std::size_t TerminalWidth() {
  struct winsize ws {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
  return 80;
}

// The end of path that fits in cols columns, a character taken as one column.
std::string Tail(const std::string& path, std::size_t cols) {
  std::size_t chars = 0;
  for (unsigned char c : path) chars += (c & 0xC0) != 0x80;
  if (chars <= cols) return path;
  if (cols == 0) return "";
  std::size_t keep = cols - 1;
  std::size_t i = path.size();
  while (i > 0 && keep > 0) {
    --i;
    if ((static_cast<unsigned char>(path[i]) & 0xC0) != 0x80) --keep;
  }
  return "…" + path.substr(i);
}

}  // namespace

ProgressBar::ProgressBar(bool quiet)
    : on_(!quiet && ::isatty(STDERR_FILENO) == 1), start_(Clock::now()), last_(start_) {}

bool ProgressBar::Due() const {
  if (!on_) return false;
  Clock::time_point now = Clock::now();
  return now - start_ >= kQuietStart && now - last_ >= kBarPeriod;
}

void ProgressBar::Draw(std::size_t done, std::size_t found, const std::string& current) {
  last_ = Clock::now();
  constexpr std::size_t kCells = 20;
  const std::size_t full = found == 0 ? 0 : done * kCells / found;
  std::string line = "\r[" + std::string(full, '#') + std::string(kCells - full, '-') + "] " +
                     std::to_string(done) + "/" + std::to_string(found) + " ";
  const std::size_t used = line.size() - 1;
  const std::size_t width = TerminalWidth();
  line += Tail(QuotedName(current), width > used + 1 ? width - used - 1 : 0);
  line += "\033[K";
  std::fwrite(line.data(), 1, line.size(), stderr);
  shown_ = true;
}

void ProgressBar::Clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  shown_ = false;
}
