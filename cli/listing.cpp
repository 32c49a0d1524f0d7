// The -l listing: reads each compressed file's sizes and prints the table.
#include "cli/listing.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "cli/file_system.h"

namespace lzring::cli {
namespace {

// A row of the listing; names reach a Windows console as UTF-16.
void PrintRow(std::uint64_t compressed, std::uint64_t original, const std::string& name) {
  const double saved =
      original == 0 ? 0.0
                    : 100.0 * (static_cast<double>(original) - static_cast<double>(compressed)) /
                          static_cast<double>(original);
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%12" PRIu64 " %13" PRIu64 " %6.1f%%  ", compressed,
                original, saved);
  WriteStdout(numbers + name + "\n");
}

// The name the input expands to: without the suffix when it has one.
std::string ExpandedName(const std::string& input, const std::string& suffix) {
  if (input == "-") return "stdout";
  return input.substr(0, input.size() - SuffixLength(input, suffix));
}

}  // namespace

void ListInputs(const std::vector<std::string>& inputs, const std::string& suffix, bool force,
                codec& c, Reporter& reporter) {
  std::uint64_t total_compressed = 0;
  std::uint64_t total_original = 0;
  int rows = 0;
  WriteStdout("  compressed  uncompressed  ratio  uncompressed_name\n");
  for (const std::string& input : inputs) {
    const bool is_stdin = input == "-";
    const std::string name = is_stdin ? "stdin" : input;
    // As when expanding, decided before the open, which waits for the writer
    // of a FIFO: a device or FIFO is read only with -f (/dev/zero never
    // ends), a socket never.
    FileInfo named;
    if (!is_stdin && StatPath(input, true, named)) {
      if (named.kind == FileKind::kSocket) {
        reporter.Warning(name, "is a socket -- ignored");
        continue;
      }
      if (named.kind != FileKind::kRegular && named.kind != FileKind::kDirectory && !force) {
        reporter.Warning(name, "is not a regular file -- ignored (use -f to force)");
        continue;
      }
    }
    const int fd = is_stdin ? kStdin : OpenInput(input, false);
    FileInfo info;
    if (fd < 0 || !StatOpen(fd, info)) {
      reporter.Error(name, LastErrorText());
      if (fd >= 0 && !is_stdin) CloseFile(fd);
      continue;
    }
    stream_result r;
    if (info.kind == FileKind::kDirectory) {
      reporter.Warning(name, "is a directory -- ignored");
    } else if (IsTerminal(fd) && !force) {
      reporter.Error(name, "compressed data not read from a terminal (use -f to force)");
    } else {
      r = c.measure_fd(fd);
      if (r) {
        PrintRow(r.bytes_in, r.bytes_out, ExpandedName(input, suffix));
        total_compressed += r.bytes_in;
        total_original += r.bytes_out;
        ++rows;
      } else {
        reporter.Error(name, r.error());
      }
    }
    if (!is_stdin) CloseFile(fd);
  }
  if (rows > 1) PrintRow(total_compressed, total_original, "(totals)");
  if (std::fflush(stdout) != 0 || std::ferror(stdout))
    reporter.Error("stdout", std::strerror(errno));
}

}  // namespace lzring::cli
