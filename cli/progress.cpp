#include "cli/progress.h"

#include <cstdio>

#include "cli/file_system.h"

namespace lzring::cli {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
constexpr double kMega = 1e6;

}  // namespace

ProgressLine::ProgressLine(std::string name, std::uint64_t total, Lock& lock)
    : name_(std::move(name)),
      total_(total),
      lock_(lock),
      start_(Clock::now()),
      last_draw_(start_) {}

ProgressLine::~ProgressLine() {
  if (width_ == 0) return;
  // Spaces over the line rather than a terminal's erase sequence, which not
  // every console understands.
  static const char kSpaces[] = "\r                                                               ";
  LockHeld guard(lock_);
  WriteStderr(kSpaces, 1);
  for (std::size_t left = width_; left > 0;) {
    const std::size_t n = left < sizeof kSpaces - 2 ? left : sizeof kSpaces - 2;
    WriteStderr(kSpaces + 1, n);
    left -= n;
  }
  WriteStderr(kSpaces, 1);
}

void ProgressLine::Update(std::uint64_t done) {
  const Clock::time_point now = Clock::now();
  if (now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  Draw(done, now);
}

void ProgressLine::Draw(std::uint64_t done, Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  char line[512];
  line[0] = '\r';
  char* const text = line + 1;
  const std::size_t room = sizeof line - 1;
  int n;
  if (total_ > 0) {
    const double fraction = done >= total_ ? 1.0 : static_cast<double>(done) / total_;
    const double left =
        rate > 0 ? static_cast<double>(total_ - (done < total_ ? done : total_)) / rate : 0;
    const long eta = static_cast<long>(left + 0.5);
    n = std::snprintf(text, room, "%s: %3d%%  %.1f/%.1f MB  %.1f MB/s  ETA %ld:%02ld",
                      name_.c_str(), static_cast<int>(fraction * 100), done / kMega, total_ / kMega,
                      rate / kMega, eta / 60, eta % 60);
  } else {
    n = std::snprintf(text, room, "%s: %.1f MB  %.1f MB/s", name_.c_str(), done / kMega,
                      rate / kMega);
  }
  if (n <= 0) return;
  const std::size_t width = static_cast<std::size_t>(n) < room ? n : room - 1;
  // A shorter line than the last one covers the rest of it with spaces.
  std::size_t end = width;
  while (end < width_ && end < room - 1) text[end++] = ' ';
  LockHeld guard(lock_);
  WriteStderr(line, end + 1);
  if (width > width_) width_ = width;
}

}  // namespace lzring::cli
