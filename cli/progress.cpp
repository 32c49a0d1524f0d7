#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>

namespace lzring::cli {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
constexpr double kMega = 1e6;

void WriteStderr(const char* text, std::size_t size) {
  // Progress is best effort: a failed write to the terminal is not an error.
  while (size > 0) {
    const ssize_t n = ::write(STDERR_FILENO, text, size);
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace

ProgressLine::ProgressLine(std::string name, std::uint64_t total, std::mutex& lock)
    : name_(std::move(name)),
      total_(total),
      lock_(lock),
      start_(Clock::now()),
      last_draw_(start_) {}

ProgressLine::~ProgressLine() {
  if (!drawn_) return;
  std::lock_guard<std::mutex> guard(lock_);
  static const char kErase[] = "\r\033[K";
  WriteStderr(kErase, sizeof kErase - 1);
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
  int n;
  if (total_ > 0) {
    const double fraction = done >= total_ ? 1.0 : static_cast<double>(done) / total_;
    const double left =
        rate > 0 ? static_cast<double>(total_ - (done < total_ ? done : total_)) / rate : 0;
    const long eta = static_cast<long>(left + 0.5);
    n = std::snprintf(line, sizeof line,
                      "\r%s: %3d%%  %.1f/%.1f MB  %.1f MB/s  ETA %ld:%02ld\033[K", name_.c_str(),
                      static_cast<int>(fraction * 100), done / kMega, total_ / kMega, rate / kMega,
                      eta / 60, eta % 60);
  } else {
    n = std::snprintf(line, sizeof line, "\r%s: %.1f MB  %.1f MB/s\033[K", name_.c_str(),
                      done / kMega, rate / kMega);
  }
  if (n <= 0) return;
  const std::size_t size = static_cast<std::size_t>(n) < sizeof line ? n : sizeof line - 1;
  std::lock_guard<std::mutex> guard(lock_);
  WriteStderr(line, size);
  drawn_ = true;
}

}  // namespace lzring::cli
