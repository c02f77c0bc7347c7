#pragma once
// terminelle-cli's progress bar on stderr: the files done of the files
// found, and the file in hand, drawn again in place.

#include <chrono>
#include <cstddef>
#include <string>

// How often the bar is drawn again; a run's waits wake as often to draw it.
inline constexpr std::chrono::milliseconds kBarPeriod{100};

class ProgressBar {
 public:
  // A bar on stderr when it is a terminal, unless quiet.
  explicit ProgressBar(bool quiet);

  // Whether the bar is due for drawing; cheap enough for every entry.
  bool Due() const;
  // Draws it: files done of files found, and the file in hand.
  void Draw(std::size_t done, std::size_t found, const std::string& current);
  // Takes it off its line, so that a line written next stands alone.
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;

  const bool on_;
  const Clock::time_point start_;
  Clock::time_point last_;
  bool shown_ = false;
};
