// Messages on standard error and the exit status they add up to. Shared by
// all worker threads: each message is written whole, under a lock.
#ifndef LZRING_CLI_REPORT_H
#define LZRING_CLI_REPORT_H

#include <string>
#include <system_error>

#include "platform/thread.h"

namespace lzring::cli {

// Exit statuses, ordered so that the worst outcome wins.
enum class Outcome { kOk = 0, kError = 1, kWarning = 2 };

class Reporter {
 public:
  explicit Reporter(bool quiet) : quiet_(quiet) {}

  // "lzring: NAME: REASON". Errors are always shown.
  void Error(const std::string& name, const std::string& reason);
  void Error(const std::string& name, const std::error_code& ec) { Error(name, ec.message()); }
  // Like Error, but only counts as a warning and is hidden by -q.
  void Warning(const std::string& name, const std::string& reason);
  // A line of -v output.
  void Info(const std::string& line);

  // 0 when all went well, 1 when anything failed, 2 for warnings only.
  int ExitStatus() const;
  // Serialises other writes to standard error (the progress line).
  Monitor& lock() { return lock_; }

 private:
  void Write(const std::string& line);

  const bool quiet_;
  mutable Monitor lock_;
  bool error_ = false;
  bool warning_ = false;
};

}  // namespace lzring::cli

#endif  // LZRING_CLI_REPORT_H
