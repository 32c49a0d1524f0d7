// The one-line progress display on standard error: percent done, megabytes
// done of the total, throughput and estimated time left. Redrawn at most a
// few times a second; erased when the file is done, or, with --progress,
// ended with a line of the totals. On a terminal no line is wider than it:
// a long name is shortened from its start.
#ifndef LZRING_CLI_PROGRESS_H
#define LZRING_CLI_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <string>

#include "platform/thread.h"

namespace lzring::cli {

// Inputs smaller than this finish before a display would be worth reading.
inline constexpr std::uint64_t kProgressMinBytes = 4u << 20;

class ProgressLine {
 public:
  // `lock` serialises the display with other messages on standard error.
  // `live`: the line is drawn while the work goes on (otherwise only
  // Finish() writes). `columns`: the terminal's width, 0 when standard error
  // is not a terminal.
  ProgressLine(std::string name, std::uint64_t total, Monitor& lock, bool live,
               std::size_t columns);
  // Erases the line if it was drawn and not finished.
  ~ProgressLine();
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  // Records `done` source bytes; redraws when the last drawing is old enough.
  void Update(std::uint64_t done);
  // Ends the display with a whole line of the totals: the source bytes
  // read and the output bytes written (with the percent of the source done
  // when its size is known).
  void Finish(std::uint64_t bytes_in, std::uint64_t bytes_out);

 private:
  using Clock = std::chrono::steady_clock;
  void Draw(std::uint64_t done, Clock::time_point now);
  // Writes `name_` followed by `tail` over the line, shortened to the
  // terminal, then `end`.
  void Write(const std::string& tail, const char* end);

  std::string name_;
  std::uint64_t total_;
  Monitor& lock_;
  const bool live_;
  const std::size_t columns_;
  Clock::time_point start_;
  Clock::time_point last_draw_;
  std::size_t width_ = 0;  // the widest line drawn so far; 0 before the first
  bool finished_ = false;
};

}  // namespace lzring::cli

#endif  // LZRING_CLI_PROGRESS_H
