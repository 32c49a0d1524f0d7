// One input of the tool, compressed or expanded: opening it, choosing and
// making its output, coding, and keeping its permissions and times.
#include "cli/file_job.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <vector>

#include "cli/file_system.h"
#include "cli/output_file.h"
#include "cli/progress.h"
#include "cli/sparse_writer.h"

namespace lzring::cli {
namespace {

std::error_code LastError() {
  return std::error_code(errno, std::generic_category());
}

std::string ErrorText() {
  return LastErrorText();
}

// An open input and what the system said of it; closes what it opened.
struct Input {
  int fd = -1;
  bool is_stdin = false;
  FileInfo info;

  ~Input() {
    if (fd >= 0 && !is_stdin) CloseFile(fd);
  }
};

// Opens a named input as every program does: a FIFO's open waits for its
// writer, so that the whole stream is read rather than none of it.
// `no_follow` refuses a symbolic link (ELOOP).
bool Open(const std::string& path, bool no_follow, Input& in) {
  in.fd = OpenInput(path, no_follow);
  return in.fd >= 0 && StatOpen(in.fd, in.info);
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
  bool RemovingInput() const { return o_.remove_input && !in_.is_stdin; }
  std::optional<std::string> OutputName();
  bool CheckInput(bool to_file);
  bool MayRead(FileKind kind, bool to_file);
  stream_result Stream(int out_fd, bool new_file);
  stream_result StreamRange(int out_fd, const progress_fn& progress);
  stream_result ExpandWithHoles(int out_fd, const progress_fn& progress);
  bool SkipToOffset(stream_result& r);
  void ReportFailure(const stream_result& r, const std::string& output_name);
  void ToFile(const std::string& output);
  void ToStdout(const std::string* named = nullptr);
  bool InputChanged(const stream_result& r);
  void InPlace(const std::string& output);
  void ToNewFile(const std::string& output);
  bool FinishFile(OutputFile& file, const std::string& output);
  bool RemoveInput(const stream_result& r);
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
  std::uint64_t not_started_before_ = 0;  // codec_.threads_not_started() before Stream()
};

// The destination name, or nullopt (with a warning) when the input is
// skipped for its name.
std::optional<std::string> Job::OutputName() {
  if (o_.output) return *o_.output;
  if (Compressing()) {
    if (SuffixLength(input_, o_.suffix) != 0) {
      report_.Warning(name_, "already has " + o_.suffix + " suffix -- unchanged");
      return std::nullopt;
    }
    return input_ + o_.suffix;
  }
  const std::size_t suffix = SuffixLength(input_, o_.suffix);
  if (suffix == 0) {
    report_.Warning(name_, "unknown suffix -- ignored (use -o to name the output)");
    return std::nullopt;
  }
  return input_.substr(0, input_.size() - suffix);
}

// Opens the input and decides whether it may be processed.
bool Job::CheckInput(bool to_file) {
  // Only an input written to a file is ever removed.
  const bool removing = o_.remove_input && to_file && !o_.force;
  if (input_ == "-") {
    in_.fd = kStdin;
    in_.is_stdin = true;
    if (!StatOpen(in_.fd, in_.info)) {
      report_.Error(name_, ErrorText());
      return false;
    }
  } else {
    // What the name leads to decides before the open, which waits for the
    // writer of a FIFO: one that is skipped is never waited for.
    FileInfo named;
    if (StatPath(input_, true, named) && !MayRead(named.kind, to_file)) return false;
    // --rm removes a name: not a symbolic link's (the file it leads to would
    // stay) unless forced.
    if (!Open(input_, removing, in_)) {
      if (removing && errno == ELOOP) {
        report_.Warning(name_, "is a symbolic link -- unchanged (use -f to force)");
      } else {
        report_.Error(name_, ErrorText());
      }
      return false;
    }
  }
  if (in_.info.kind == FileKind::kDirectory) {
    report_.Warning(name_, "is a directory -- ignored");
    return false;
  }
  const bool regular = in_.info.kind == FileKind::kRegular;
  if (!in_.is_stdin && !MayRead(in_.info.kind, to_file)) return false;
  // Removing one name of a file with others does not free it, and the
  // other names would still show the uncompressed data.
  if (removing && !in_.is_stdin && regular && in_.info.links > 1) {
    const auto others = static_cast<unsigned long>(in_.info.links - 1);
    report_.Warning(name_, "has " + std::to_string(others) + " other link" +
                               (others > 1 ? "s" : "") + " -- unchanged (use -f to force)");
    return false;
  }
  if (!Compressing() && IsTerminal(in_.fd) && !o_.force) {
    report_.Error(name_, "compressed data not read from a terminal (use -f to force)");
    return false;
  }
  return true;
}

// Whether a named input of `kind` may be read; if not, it is skipped with a
// warning. A socket cannot be opened. A device or FIFO is read to standard
// output or to the output -o names, never to a name made from its own (a
// device's data would land in /dev, endlessly for /dev/zero), and never
// removed: its data would be gone for good.
bool Job::MayRead(FileKind kind, bool to_file) {
  if (kind == FileKind::kRegular || kind == FileKind::kDirectory) return true;
  if (kind == FileKind::kSocket) {
    report_.Warning(name_, "is a socket -- ignored");
    return false;
  }
  if (!to_file) return true;
  if (o_.remove_input) {
    report_.Warning(name_, "is not a regular file -- ignored (--rm removes only regular files)");
    return false;
  }
  if (o_.output) return true;
  report_.Warning(name_, "is not a regular file -- ignored (use -c or -o to name its output)");
  return false;
}

// Whether a regular input changed while it was read: another size or time
// now, or another count of bytes read than it had (unless a range of it was
// read). The output then holds what was read, which may not be the file as
// it is or was.
bool Job::InputChanged(const stream_result& r) {
  // Standard input may start anywhere in its file.
  if (in_.is_stdin || in_.info.kind != FileKind::kRegular) return false;
  FileInfo now;
  if (!StatOpen(in_.fd, now)) return false;
  const bool whole = !o_.offset && !o_.size;
  return now.size != in_.info.size || now.write_time != in_.info.write_time ||
         (whole && r.bytes_in != in_.info.size);
}

// Runs the codec from the input into `out_fd` (`new_file`: a regular file
// the tool has just made), with a progress line when the work is large
// enough to be worth watching and --progress's line of totals.
stream_result Job::Stream(int out_fd, bool new_file) {
  const std::uint64_t total = in_.info.kind == FileKind::kRegular ? in_.info.size : 0;
  bool live = false;
  if (allow_progress_ && o_.progress == ProgressMode::kOn) live = true;
  if (allow_progress_ && o_.progress == ProgressMode::kAuto) {
    // Never over the terminal of whoever reads the output.
    live = !o_.quiet && IsTerminal(kStderr) && total >= kProgressMinBytes && out_fd != kStdout &&
           !IsTerminal(out_fd);
  }
  const bool totals = o_.progress == ProgressMode::kOn;
  std::optional<ProgressLine> line;
  progress_fn progress;
  if (live || totals) {
    line.emplace(name_, total, report_.lock(), live,
                 IsTerminal(kStderr) ? TerminalWidth(kStderr) : 0);
    progress = [&line](std::uint64_t done, std::uint64_t) { line->Update(done); };
  }
  not_started_before_ = codec_.threads_not_started();
  stream_result r;
  if (new_file && !Compressing() && MakesHoles()) {
    r = ExpandWithHoles(out_fd, progress);
  } else if (o_.offset || o_.size) {
    r = StreamRange(out_fd, progress);
  } else {
    r = Compressing() ? codec_.compress_fd(in_.fd, out_fd, progress)
                      : codec_.expand_fd(in_.fd, out_fd, progress);
  }
  if (totals) line->Finish(r.bytes_in, r.bytes_out);
  return r;
}

// ---- A stream inside a larger input (--offset, --size) -------------------

// Moves the input `--offset` bytes on: a seek where the input allows one,
// reading and dropping the bytes otherwise. An offset past the end is an
// error; one at the end leaves an empty stream.
bool Job::SkipToOffset(stream_result& r) {
  const std::uint64_t offset = o_.offset.value_or(0);
  const std::int64_t here = CurrentOffset(in_.fd);
  std::uint64_t skipped = 0;
  if (in_.info.kind == FileKind::kRegular && here >= 0) {
    const auto at = static_cast<std::uint64_t>(here);
    const std::uint64_t left = in_.info.size > at ? in_.info.size - at : 0;
    skipped = offset < left ? offset : left;
    if (!SetOffset(in_.fd, here + static_cast<std::int64_t>(skipped))) {
      r.read_error = LastError();
      return false;
    }
  } else {
    char block[4096];
    while (skipped < offset) {
      const std::uint64_t want = offset - skipped < sizeof block ? offset - skipped : sizeof block;
      const std::int64_t n = ReadSome(in_.fd, block, static_cast<std::size_t>(want));
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

// Expands into the new regular file `out_fd` with holes where the output
// has whole blocks of zeros (sparse_writer.h), from --offset and up to
// --size as StreamRange() does, or the whole input.
stream_result Job::ExpandWithHoles(int out_fd, const progress_fn& progress) {
  stream_result r;
  const bool range = o_.offset || o_.size;
  if (range && !SkipToOffset(r)) return r;
  decoder d({}, o_.size.value_or(decoder::no_limit));
  SparseWriter out(out_fd);
  const auto drain = [&d, &out] {
    const std::span<const std::uint8_t> bytes = d.output();
    if (!out.Write(bytes)) return false;
    d.consume(bytes.size());
    return true;
  };
  std::vector<std::uint8_t> block(64 * 1024);
  std::uint64_t read = 0;
  while (!d.at_limit()) {
    const std::int64_t n = ReadSome(in_.fd, block.data(), block.size());
    if (n < 0) {
      r.read_error = LastError();
      break;
    }
    if (n == 0) break;
    read += static_cast<std::uint64_t>(n);
    d.write(std::span<const std::uint8_t>(block.data(), static_cast<std::size_t>(n)));
    if (!drain()) {
      r.write_error = LastError();
      break;
    }
    if (progress) progress(read, d.bytes_out());
  }
  if (!r.write_error) {
    d.finish();
    if (!drain() || !out.Finish()) r.write_error = LastError();
  }
  r.bytes_in = range ? d.bytes_used() : read;
  r.bytes_out = d.bytes_out();
  if (r && o_.size && !d.at_limit()) {
    range_error_ = "stream ends after " + std::to_string(r.bytes_out) + " of " +
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
  // Threads that could not start change nothing but the time taken.
  const std::uint64_t not_started = codec_.threads_not_started() - not_started_before_;
  if (not_started > 0) range += " (threads not started: " + std::to_string(not_started) + ")";
  report_.Info(name_ + ": " + ratio + tail + range);
}

void Job::ToFile(const std::string& output) {
  // The name itself: a symbolic link is a name that exists, even one that
  // leads nowhere; then what the name leads to.
  FileInfo named;
  FileInfo target;
  const bool exists = StatPath(output, false, named);
  if (!exists && errno != ENOENT) {
    report_.Error(output, ErrorText());
    return;
  }
  const bool leads_somewhere = exists && StatPath(output, true, target);
  if (leads_somewhere && SameFile(target, in_.info)) {
    report_.Error(output, "is the input itself; not overwritten");
    return;
  }
  if (leads_somewhere && target.kind == FileKind::kDirectory) {
    report_.Error(output, std::error_code(EISDIR, std::generic_category()));
    return;
  }
  // A name of what is open as standard output (/dev/stdout, a link to
  // /proc/self/fd/1) is written as -c writes, whatever that is.
  FileInfo out;
  if (leads_somewhere && StatOpen(kStdout, out) && SameFile(target, out)) {
    ToStdout(&output);
    return;
  }
  if (leads_somewhere && target.kind == FileKind::kSocket) {
    report_.Error(output, "is a socket; not written");
    return;
  }
  // Devices and FIFOs are written into, never replaced: a name in /dev stays
  // the device it is. Only one the user named (-o) or forced (-f) is: an
  // implicit name that exists is never overwritten, and the open of a FIFO
  // nobody reads would wait forever. A block device holds stored data, so
  // it takes -f like an existing file.
  if (leads_somewhere && target.kind != FileKind::kRegular &&
      (o_.force || (o_.output && target.kind != FileKind::kBlockDevice))) {
    InPlace(output);
    return;
  }
  if (exists && !o_.force) {
    report_.Warning(output, "already exists; not overwritten (use -f to overwrite)");
    return;
  }
  // What the name is decides, not where it is: a file under /dev/shm is
  // replaced like any other, a link to what the tool has open never is.
  if (exists && IsOpenFileLink(output)) {
    report_.Error(output, "is a link to an open file; not replaced");
    return;
  }
  ToNewFile(output);
}

// Writes into an existing device, FIFO or socket.
void Job::InPlace(const std::string& output) {
  // Like the input's, the open of a FIFO waits for its reader.
  const int fd = OpenInPlace(output);
  if (fd < 0) {
    report_.Error(output, ErrorText());
    return;
  }
  FileInfo info;
  bool ok = StatOpen(fd, info);
  if (!ok) {
    report_.Error(output, ErrorText());
  } else if (info.kind == FileKind::kRegular) {
    // Replaced by a regular file since it was looked at: that is written
    // only through a new file.
    ok = false;
    report_.Error(output, "changed while it was opened; not overwritten");
  } else if (Compressing() && IsTerminal(fd) && !o_.force) {
    ok = false;
    report_.Error(output, "compressed data not written to a terminal (use -f to force)");
  }
  const stream_result r = ok ? Stream(fd, false) : stream_result{};
  if (ok && !r) ReportFailure(r, output);
  const bool closed = CloseFile(fd);
  if (ok && r && !closed) report_.Error(output, ErrorText());
  if (!ok || !r || !closed) return;
  // The data are gone into a device or another process: nothing holds them
  // that a removed input could be restored from.
  if (RemovingInput()) {
    report_.Warning(name_, "not removed: " + output + " is not a regular file");
  } else if (InputChanged(r)) {
    report_.Warning(name_, "changed while it was read");
  }
  Verbose(r, " -- written to " + output);
}

void Job::ToNewFile(const std::string& output) {
  OutputFile file;
  if (!file.Create(output, o_.force)) {
    report_.Error(output, ErrorText());
    return;
  }
  const stream_result r = Stream(file.fd(), true);
  if (!r) {
    ReportFailure(r, output);
    return;  // the file goes with `file`
  }
  if (!FinishFile(file, output)) return;
  if (RemovingInput()) {
    // The input goes only once the output's name is on disk too.
    if (!file.SyncDirectory()) {
      report_.Error(output, "not synced (" + ErrorText() + "); input kept");
      return;
    }
    if (RemoveInput(r)) {
      Verbose(r, " -- replaced with " + output);
      return;
    }
  } else if (InputChanged(r)) {
    report_.Warning(name_, "changed while it was read");
  }
  Verbose(r, " -- created " + output);
}

// Gives the complete file the input's permissions, owner and times, syncs it
// when the input is to be removed, and gives it its name. Permissions,
// owner and times that the file system cannot keep are warned about, and
// the output is kept.
bool Job::FinishFile(OutputFile& file, const std::string& output) {
  const int fd = file.fd();
  std::vector<std::string> warnings;
  CopyAttributes(fd, in_.is_stdin ? nullptr : &in_.info, warnings);
  // The input is removed only after its output is on disk, not just in the
  // page cache, so a crash right after cannot lose both.
  if (RemovingInput() && !SyncFile(fd)) {
    report_.Error(output, ErrorText());
    return false;
  }
  if (!file.Commit()) {
    if (errno == EEXIST && !o_.force) {
      report_.Warning(output, "already exists; not overwritten (use -f to overwrite)");
    } else {
      report_.Error(output, ErrorText());
    }
    return false;
  }
  for (const std::string& w : warnings) report_.Warning(output, w);
  return true;
}

// Removes the input, unless it changed while it was read: then the output
// may hold only part of it, and both are kept.
bool Job::RemoveInput(const stream_result& r) {
  FileInfo now;
  FileInfo named;
  bool same = StatOpen(in_.fd, now) && StatPath(input_, true, named) && SameFile(named, in_.info);
  // Only a regular file has a size and time that tell (a FIFO's grow as it
  // is written).
  if (same && in_.info.kind == FileKind::kRegular) {
    same = now.size == in_.info.size && now.write_time == in_.info.write_time &&
           r.bytes_in == in_.info.size;
  }
  if (!same) {
    report_.Warning(name_, "changed while it was read -- not removed");
    return false;
  }
  if (RemoveFile(input_)) return true;
  if (errno == ELOOP) {
    // A link that the system follows whatever it is asked (wine): removing
    // the name would remove the file it leads to.
    report_.Warning(name_, "is a symbolic link -- not removed");
  } else {
    report_.Error(name_, ErrorText());
  }
  return false;
}

// Writes to standard output, for -c, -o - or an output name of it
// (`named`).
void Job::ToStdout(const std::string* named) {
  if (Compressing() && IsTerminal(kStdout) && !o_.force) {
    report_.Error("stdout", "compressed data not written to a terminal (use -f to force)");
    return;
  }
  const stream_result r = Stream(kStdout, false);
  if (!r) {
    ReportFailure(r, "stdout");
    return;
  }
  // As for a device or FIFO: what has read the data is nothing a removed
  // input could be restored from.
  if (named != nullptr && RemovingInput()) {
    report_.Warning(name_, "not removed: " + *named + " is standard output");
  } else if (InputChanged(r)) {
    report_.Warning(name_, "changed while it was read");
  }
  Verbose(r, "");
}

void Job::Run() {
  // -o - names standard output.
  const bool to_stdout = o_.to_stdout || o_.output == "-" || (input_ == "-" && !o_.output);
  std::string output;
  if (!to_stdout) {
    std::optional<std::string> name = OutputName();
    if (!name) return;
    output = std::move(*name);
  }
  if (to_stdout && Compressing() && IsTerminal(kStdout) && !o_.force) {
    report_.Error("stdout", "compressed data not written to a terminal (use -f to force)");
    return;
  }
  if (!CheckInput(!to_stdout)) return;
  if (to_stdout) {
    ToStdout();
  } else {
    ToFile(output);
  }
}

}  // namespace

void ProcessInput(const std::string& input, codec& c, const JobEnv& env) {
  Job(input, c, env).Run();
}

}  // namespace lzring::cli
