// Draws, shortens and ends the one-line progress display on standard error.
#include "cli/progress.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>

#include "cli/file_system.h"

namespace lzring::cli {
namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(250);
constexpr double kMega = 1e6;

// Columns taken by UTF-8 text: one per character (the bytes that do not
// continue one).
std::size_t Columns(const std::string& text) {
  std::size_t n = 0;
  for (const char c : text) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return n;
}

// The last `columns` characters of `text`.
std::string LastColumns(const std::string& text, std::size_t columns) {
  std::size_t at = text.size();
  for (std::size_t n = 0; at > 0 && n < columns;) {
    --at;
    n += (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
  }
  return text.substr(at);
}

// The first `columns` characters of `text`.
std::string FirstColumns(const std::string& text, std::size_t columns) {
  std::size_t at = 0;
  for (std::size_t n = 0; at < text.size(); ++at) {
    if ((static_cast<unsigned char>(text[at]) & 0xC0) != 0x80 && n++ == columns) break;
  }
  return text.substr(0, at);
}

}  // namespace

ProgressLine::ProgressLine(std::string name, std::uint64_t total, Monitor& lock, bool live,
                           std::size_t columns)
    : name_(std::move(name)),
      total_(total),
      lock_(lock),
      live_(live),
      columns_(columns),
      start_(Clock::now()),
      last_draw_(start_) {}

ProgressLine::~ProgressLine() {
  if (width_ == 0 || finished_) return;
  // Spaces over the line rather than a terminal's erase sequence, which not
  // every console understands.
  static const char kSpaces[] = "\r                                                               ";
  const std::lock_guard<Monitor> guard(lock_);
  WriteStderr(kSpaces, 1);
  for (std::size_t left = width_; left > 0;) {
    const std::size_t n = left < sizeof kSpaces - 2 ? left : sizeof kSpaces - 2;
    WriteStderr(kSpaces + 1, n);
    left -= n;
  }
  WriteStderr(kSpaces, 1);
}

void ProgressLine::Update(std::uint64_t done) {
  if (!live_) return;
  const Clock::time_point now = Clock::now();
  if (now - last_draw_ < kRedrawInterval) return;
  last_draw_ = now;
  Draw(done, now);
}

void ProgressLine::Draw(std::uint64_t done, Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  char tail[160];
  if (total_ > 0) {
    const double fraction = done >= total_ ? 1.0 : static_cast<double>(done) / total_;
    const double left =
        rate > 0 ? static_cast<double>(total_ - (done < total_ ? done : total_)) / rate : 0;
    const long eta = static_cast<long>(left + 0.5);
    std::snprintf(tail, sizeof tail, ": %3d%%  %.1f/%.1f MB  %.1f MB/s  ETA %ld:%02ld",
                  static_cast<int>(fraction * 100), done / kMega, total_ / kMega, rate / kMega,
                  eta / 60, eta % 60);
  } else {
    std::snprintf(tail, sizeof tail, ": %.1f MB  %.1f MB/s", done / kMega, rate / kMega);
  }
  Write(tail, "");
}

void ProgressLine::Finish(std::uint64_t bytes_in, std::uint64_t bytes_out) {
  char tail[160];
  char* p = tail;
  const char* const end = tail + sizeof tail;
  p += std::snprintf(p, static_cast<std::size_t>(end - p), ":");
  if (total_ > 0) {
    const std::uint64_t percent = bytes_in >= total_ ? 100 : bytes_in * 100 / total_;
    p += std::snprintf(p, static_cast<std::size_t>(end - p), " %" PRIu64 "%% ", percent);
  }
  std::snprintf(p, static_cast<std::size_t>(end - p), " %" PRIu64 " -> %" PRIu64 " bytes", bytes_in,
                bytes_out);
  Write(tail, "\n");
  finished_ = true;
}

void ProgressLine::Write(const std::string& tail, const char* end) {
  std::string line = name_ + tail;
  // The last column is left empty: a terminal may move to the next line
  // once it is written.
  if (columns_ > 0 && Columns(line) > columns_ - 1) {
    const std::size_t room = columns_ - 1;
    const std::size_t tail_columns = Columns(tail);
    if (room >= tail_columns + 4) {
      line = "..." + LastColumns(name_, room - tail_columns - 3) + tail;
    } else {
      line = FirstColumns(line, room);
    }
  }
  const std::size_t width = Columns(line);
  // A shorter line than the last one covers the rest of it with spaces.
  if (width < width_) line.append(width_ - width, ' ');
  // A drawing starts over the line; the totals only over one drawn.
  std::string text;
  if (width_ > 0 || *end == '\0') text = "\r";
  text += line;
  text += end;
  const std::lock_guard<Monitor> guard(lock_);
  WriteStderr(text.data(), text.size());
  if (width > width_) width_ = width;
}

}  // namespace lzring::cli
