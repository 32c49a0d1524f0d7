#include "cli/report.h"

#include <unistd.h>

#include <cerrno>

namespace lzring::cli {

void Reporter::Write(const std::string& line) {
  // One write per message, so that lines of parallel jobs never interleave.
  const char* p = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t n = ::write(STDERR_FILENO, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    p += n;
    left -= static_cast<std::size_t>(n);
  }
}

void Reporter::Error(const std::string& name, const std::string& reason) {
  std::lock_guard<std::mutex> guard(mutex_);
  error_ = true;
  Write("lzring: " + name + ": " + reason + "\n");
}

void Reporter::Warning(const std::string& name, const std::string& reason) {
  std::lock_guard<std::mutex> guard(mutex_);
  warning_ = true;
  if (!quiet_) Write("lzring: " + name + ": " + reason + "\n");
}

void Reporter::Info(const std::string& line) {
  std::lock_guard<std::mutex> guard(mutex_);
  Write(line + "\n");
}

int Reporter::ExitStatus() const {
  std::lock_guard<std::mutex> guard(mutex_);
  if (error_) return static_cast<int>(Outcome::kError);
  if (warning_) return static_cast<int>(Outcome::kWarning);
  return static_cast<int>(Outcome::kOk);
}

}  // namespace lzring::cli
