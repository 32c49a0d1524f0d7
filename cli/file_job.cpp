#include "cli/file_job.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <system_error>

#include "cli/cleanup.h"
#include "cli/progress.h"

namespace lzring::cli {
namespace {

bool HasSuffix(const std::string& name) {
  const std::size_t n = std::strlen(kSuffix);
  return name.size() > n && name.compare(name.size() - n, n, kSuffix) == 0;
}

std::error_code LastError() {
  return std::error_code(errno, std::generic_category());
}

// An open input and what fstat said of it; closes what it opened.
struct Input {
  int fd = -1;
  bool is_stdin = false;
  struct stat st {};

  ~Input() {
    if (fd >= 0 && !is_stdin) ::close(fd);
  }
};

// Opens a named input without blocking on a FIFO that has no writer, then
// returns it to blocking mode for the codec's reads.
bool OpenInput(const std::string& path, Input& in) {
  in.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (in.fd < 0 || ::fstat(in.fd, &in.st) != 0) return false;
  const int flags = ::fcntl(in.fd, F_GETFL);
  return flags >= 0 && ::fcntl(in.fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

mode_t CurrentUmask() {
  static const mode_t mask = [] {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
  }();
  return mask;
}

// Space saved, in percent of the larger side.
double SavedPercent(std::uint64_t original, std::uint64_t compressed) {
  if (original == 0) return 0;
  return 100.0 * (static_cast<double>(original) - static_cast<double>(compressed)) / original;
}

class Job {
 public:
  Job(const std::string& input, codec& c, const JobEnv& env)
      : input_(input),
        name_(input == "-" ? "stdin" : input),
        codec_(c),
        o_(env.options),
        report_(env.reporter),
        allow_progress_(env.allow_progress) {}

  void Run();

 private:
  bool Compressing() const { return o_.mode == Mode::kCompress; }
  std::optional<std::string> OutputName();
  bool CheckInput();
  stream_result Stream(int out_fd);
  stream_result StreamRange(int out_fd, const progress_fn& progress);
  bool SkipToOffset(stream_result& r);
  void ReportFailure(const stream_result& r, const std::string& output_name);
  void ToFile(const std::string& output);
  bool FinishFile(TempFile& temp, const std::string& output);
  void Verbose(const stream_result& r, const std::string& tail);

  const std::string& input_;
  const std::string name_;
  codec& codec_;
  const Options& o_;
  Reporter& report_;
  const bool allow_progress_;
  Input in_;
  // --offset and --size: why the range could not be expanded, when that is
  // not an I/O error (reported in place of read_error).
  std::string range_error_;
};

// The destination name, or nullopt (with a warning) when the input is
// skipped for its name.
std::optional<std::string> Job::OutputName() {
  if (o_.output) return *o_.output;
  if (Compressing()) {
    if (HasSuffix(input_)) {
      report_.Warning(name_, std::string("already has ") + kSuffix + " suffix -- unchanged");
      return std::nullopt;
    }
    return input_ + kSuffix;
  }
  if (!HasSuffix(input_)) {
    report_.Warning(name_, "unknown suffix -- ignored (use -o to name the output)");
    return std::nullopt;
  }
  return input_.substr(0, input_.size() - std::strlen(kSuffix));
}

// Opens the input and decides whether it may be processed.
bool Job::CheckInput() {
  if (input_ == "-") {
    in_.fd = STDIN_FILENO;
    in_.is_stdin = true;
    if (::fstat(in_.fd, &in_.st) != 0) {
      report_.Error(name_, LastError());
      return false;
    }
  } else if (!OpenInput(input_, in_)) {
    report_.Error(name_, LastError());
    return false;
  }
  if (S_ISDIR(in_.st.st_mode)) {
    report_.Warning(name_, "is a directory -- ignored");
    return false;
  }
  const bool to_file = !(o_.to_stdout || (in_.is_stdin && !o_.output));
  if (!in_.is_stdin && to_file && !S_ISREG(in_.st.st_mode) && !o_.force) {
    report_.Warning(name_, "is not a regular file -- ignored (use -f to force)");
    return false;
  }
  if (!Compressing() && ::isatty(in_.fd) && !o_.force) {
    report_.Error(name_, "compressed data not read from a terminal (use -f to force)");
    return false;
  }
  return true;
}

// Runs the codec from the input into `out_fd`, with a progress line when the
// work is large enough to be worth watching.
stream_result Job::Stream(int out_fd) {
  const std::uint64_t total =
      S_ISREG(in_.st.st_mode) ? static_cast<std::uint64_t>(in_.st.st_size) : 0;
  bool show = false;
  if (allow_progress_ && o_.progress == ProgressMode::kOn) show = true;
  if (allow_progress_ && o_.progress == ProgressMode::kAuto) {
    show = !o_.quiet && ::isatty(STDERR_FILENO) && total >= kProgressMinBytes;
  }
  std::optional<ProgressLine> line;
  progress_fn progress;
  if (show) {
    line.emplace(name_, total, report_.lock());
    progress = [&line](std::uint64_t done, std::uint64_t) { line->Update(done); };
  }
  if (o_.offset || o_.size) return StreamRange(out_fd, progress);
  return Compressing() ? codec_.compress_fd(in_.fd, out_fd, progress)
                       : codec_.expand_fd(in_.fd, out_fd, progress);
}

// ---- A stream inside a larger input (--offset, --size) -------------------

// Moves the input `--offset` bytes on: a seek where the input allows one,
// reading and dropping the bytes otherwise. An offset past the end is an
// error; one at the end leaves an empty stream.
bool Job::SkipToOffset(stream_result& r) {
  const std::uint64_t offset = o_.offset.value_or(0);
  const off_t here = ::lseek(in_.fd, 0, SEEK_CUR);
  std::uint64_t skipped = 0;
  if (S_ISREG(in_.st.st_mode) && here >= 0) {
    const auto left = static_cast<std::uint64_t>(in_.st.st_size > here ? in_.st.st_size - here : 0);
    skipped = offset < left ? offset : left;
    if (::lseek(in_.fd, static_cast<off_t>(here + static_cast<off_t>(skipped)), SEEK_SET) < 0) {
      r.read_error = LastError();
      return false;
    }
  } else {
    char block[4096];
    while (skipped < offset) {
      const std::uint64_t want = offset - skipped < sizeof block ? offset - skipped : sizeof block;
      const ssize_t n = ::read(in_.fd, block, static_cast<std::size_t>(want));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        r.read_error = LastError();
        return false;
      }
      if (n == 0) break;
      skipped += static_cast<std::uint64_t>(n);
    }
  }
  if (skipped == offset) return true;
  range_error_ = "offset " + std::to_string(offset) + " is past the end of the input (" +
                 std::to_string(skipped) + " bytes)";
  r.read_error = std::make_error_code(std::errc::invalid_argument);
  return false;
}

// Expands the stream at --offset, up to --size bytes. bytes_in of the
// result is the compressed bytes the stream used.
stream_result Job::StreamRange(int out_fd, const progress_fn& progress) {
  stream_result r;
  if (!SkipToOffset(r)) return r;
  const bounded_result b =
      codec_.expand_fd_bounded(in_.fd, out_fd, o_.size.value_or(decoder::no_limit), progress);
  r.bytes_in = b.bytes_used;
  r.bytes_out = b.bytes_out;
  r.read_error = b.read_error;
  r.write_error = b.write_error;
  if (r && o_.size && b.ended) {
    range_error_ = "stream ends after " + std::to_string(b.bytes_out) + " of " +
                   std::to_string(*o_.size) + " bytes (--size)";
    r.read_error = std::make_error_code(std::errc::invalid_argument);
  }
  return r;
}

void Job::ReportFailure(const stream_result& r, const std::string& output_name) {
  if (!range_error_.empty()) {
    report_.Error(name_, range_error_);
  } else if (r.read_error) {
    report_.Error(name_, r.read_error);
  }
  if (r.write_error) report_.Error(output_name, r.write_error);
}

void Job::Verbose(const stream_result& r, const std::string& tail) {
  if (o_.verbose == 0) return;
  const double saved =
      Compressing() ? SavedPercent(r.bytes_in, r.bytes_out) : SavedPercent(r.bytes_out, r.bytes_in);
  char ratio[32];
  std::snprintf(ratio, sizeof ratio, "%.1f%%", saved);
  std::string range;
  if (o_.offset || o_.size) {
    range = " (" + std::to_string(r.bytes_in) + " compressed bytes used from offset " +
            std::to_string(o_.offset.value_or(0)) + ")";
  }
  report_.Info(name_ + ": " + ratio + tail + range);
}

void Job::ToFile(const std::string& output) {
  struct stat existing;
  if (::stat(output.c_str(), &existing) == 0) {
    // The rename would replace the input with its own output.
    if (existing.st_dev == in_.st.st_dev && existing.st_ino == in_.st.st_ino) {
      report_.Error(output, "is the input itself; not overwritten");
      return;
    }
    if (!o_.force) {
      report_.Warning(output, "already exists; not overwritten (use -f to overwrite)");
      return;
    }
  }
  TempFile temp(output);
  if (temp.fd() < 0) {
    report_.Error(output, LastError());
    return;
  }
  const stream_result r = Stream(temp.fd());
  if (!r) {
    ReportFailure(r, output);
    return;  // the temporary file goes with `temp`
  }
  if (!FinishFile(temp, output)) return;
  const bool removed = o_.remove_input && !in_.is_stdin;
  if (removed && ::unlink(input_.c_str()) != 0) {
    report_.Error(name_, LastError());
    return;
  }
  Verbose(r, (removed ? " -- replaced with " : " -- created ") + output);
}

// Gives the complete temporary file the input's permission bits, owner and
// times, closes it and renames it into place.
bool Job::FinishFile(TempFile& temp, const std::string& output) {
  const int fd = temp.fd();
  const mode_t mode = in_.is_stdin ? (0666 & ~CurrentUmask()) : (in_.st.st_mode & 0777);
  bool ok = true;
  if (!in_.is_stdin) {
    // Keeping the owner only works for a privileged user; others keep their
    // own ownership, as with any file they create.
    if (::fchown(fd, in_.st.st_uid, in_.st.st_gid) != 0) {
    }
    const struct timespec times[2] = {in_.st.st_atim, in_.st.st_mtim};
    ok = ::futimens(fd, times) == 0;
  }
  ok = ok && ::fchmod(fd, mode) == 0;
  // The input is removed only after its output is on disk, not just in the
  // page cache, so a crash right after cannot lose both.
  if (ok && o_.remove_input && !in_.is_stdin) ok = ::fsync(fd) == 0;
  ok = ok && temp.Close() && temp.Commit(output);
  if (!ok) report_.Error(output, LastError());
  return ok;
}

void Job::Run() {
  const bool to_stdout = o_.to_stdout || (input_ == "-" && !o_.output);
  std::string output;
  if (!to_stdout) {
    std::optional<std::string> name = OutputName();
    if (!name) return;
    output = std::move(*name);
  }
  if (to_stdout && Compressing() && ::isatty(STDOUT_FILENO) && !o_.force) {
    report_.Error("stdout", "compressed data not written to a terminal (use -f to force)");
    return;
  }
  if (!CheckInput()) return;
  if (!to_stdout) {
    ToFile(output);
    return;
  }
  const stream_result r = Stream(STDOUT_FILENO);
  if (!r) {
    ReportFailure(r, "stdout");
    return;
  }
  Verbose(r, "");
}

}  // namespace

void ProcessInput(const std::string& input, codec& c, const JobEnv& env) {
  Job(input, c, env).Run();
}

}  // namespace lzring::cli
