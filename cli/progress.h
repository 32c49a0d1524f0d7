// The one-line progress display on standard error: percent done, megabytes
// done of the total, throughput and estimated time left. Redrawn at most a
// few times a second and erased when the file is done.
#ifndef LZRING_CLI_PROGRESS_H
#define LZRING_CLI_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

#include "cli/threads.h"

namespace lzring::cli {

// Inputs smaller than this finish before a display would be worth reading.
inline constexpr std::uint64_t kProgressMinBytes = 4u << 20;

class ProgressLine {
 public:
  // `lock` serialises the display with other messages on standard error.
  ProgressLine(std::string name, std::uint64_t total, Lock& lock);
  // Erases the line if it was drawn.
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Records `done` source bytes; redraws when the last drawing is old enough.
  void Update(std::uint64_t done);

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(std::uint64_t done, Clock::time_point now);

  std::string name_;
  std::uint64_t total_;
  Lock& lock_;
  Clock::time_point start_;
  Clock::time_point last_draw_;
  std::size_t width_ = 0;  // the widest line drawn so far; 0 before the first
};

}  // namespace lzring::cli

#endif  // LZRING_CLI_PROGRESS_H
