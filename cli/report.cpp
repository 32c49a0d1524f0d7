// Writes the tool's messages whole under a lock, and adds up the exit status.
#include "cli/report.h"

#include <mutex>

#include "cli/file_system.h"

namespace lzring::cli {

void Reporter::Write(const std::string& line) {
  // One write per message, under the lock, so that lines of parallel jobs
  // never interleave.
  WriteStderr(line.data(), line.size());
}

void Reporter::Error(const std::string& name, const std::string& reason) {
  const std::lock_guard<Monitor> guard(lock_);
  error_ = true;
  Write("lzring: " + name + ": " + reason + "\n");
}

void Reporter::Warning(const std::string& name, const std::string& reason) {
  const std::lock_guard<Monitor> guard(lock_);
  warning_ = true;
  if (!quiet_) Write("lzring: " + name + ": " + reason + "\n");
}

void Reporter::Info(const std::string& line) {
  const std::lock_guard<Monitor> guard(lock_);
  Write(line + "\n");
}

int Reporter::ExitStatus() const {
  const std::lock_guard<Monitor> guard(lock_);
  if (error_) return static_cast<int>(Outcome::kError);
  if (warning_) return static_cast<int>(Outcome::kWarning);
  return static_cast<int>(Outcome::kOk);
}

}  // namespace lzring::cli
