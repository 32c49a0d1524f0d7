// Command-line options of the lzring tool and their parsing.
#ifndef LZRING_CLI_OPTIONS_H
#define LZRING_CLI_OPTIONS_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lzring::cli {

enum class Mode { kCompress, kExpand, kList };
enum class ProgressMode { kAuto, kOn, kOff };

struct Options {
  Mode mode = Mode::kCompress;
  bool to_stdout = false;             // -c
  bool force = false;                 // -f
  bool remove_input = false;          // --rm
  bool quiet = false;                 // -q
  int verbose = 0;                    // -v
  std::optional<std::string> output;  // -o
  std::string suffix = ".lzr";        // -S
  unsigned threads = 0;               // -T: threads in all; 0 = one per core
  bool best = false;                  // --best, -9: the smallest stream

  // --offset: the stream starts this far into the input.
  std::optional<std::uint64_t> offset;
  // --size: expand exactly this many bytes.
  std::optional<std::uint64_t> size;

  ProgressMode progress = ProgressMode::kAuto;
  bool help = false;
  bool version = false;
  std::vector<std::string> files;  // "-" is standard input
};

// Parses argv. Returns an error message for a usage error, nullopt otherwise.
// Short flags may be bundled (-dc), and take their value attached or as the
// next argument (-T2, -T 2, -o out, -S .z); "--" ends the options.
std::optional<std::string> ParseOptions(int argc, char** argv, Options& options);

// Checks combinations that are valid flags but cannot work together.
std::optional<std::string> CheckOptions(const Options& options);

// The --help text and the --version line.
std::string UsageText();
std::string VersionText();

}  // namespace lzring::cli

#endif  // LZRING_CLI_OPTIONS_H
