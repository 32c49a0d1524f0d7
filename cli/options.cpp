// Parsing of the tool's flags, in the manner of the classic Unix
// compressors: bundled short flags, long names, "--" to end the options.
#include "cli/options.h"

#include <charconv>
#include <string_view>

#include "cli/file_system.h"
#include "lzring/lzring.hpp"

namespace lzring::cli {
namespace {

// Windows programs show their help for /?; elsewhere it is a name.
#ifdef _WIN32
constexpr std::string_view kHelpSwitch = "/?";
#else
constexpr std::string_view kHelpSwitch = "";
#endif

std::optional<std::string> ParseThreads(std::string_view text, unsigned& threads) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value > 256) {
    return "invalid thread count '" + std::string(text) + "' (0 to 256)";
  }
  threads = value;
  return std::nullopt;
}

// A byte count of --offset or --size: decimal, or hexadecimal after 0x.
std::optional<std::string> ParseCount(std::string_view name, std::string_view text,
                                      std::optional<std::uint64_t>& count) {
  int base = 10;
  std::string_view digits = text;
  if (digits.starts_with("0x") || digits.starts_with("0X")) {
    base = 16;
    digits.remove_prefix(2);
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
    return "invalid " + std::string(name) + " '" + std::string(text) + "'";
  }
  count = value;
  return std::nullopt;
}

// Long options without a value.
bool ApplyLongFlag(std::string_view name, Options& o) {
  if (name == "decompress" || name == "uncompress") {
    o.mode = Mode::kExpand;
  } else if (name == "compress") {
    o.mode = Mode::kCompress;
  } else if (name == "list") {
    o.mode = Mode::kList;
  } else if (name == "stdout" || name == "to-stdout") {
    o.to_stdout = true;
  } else if (name == "keep") {
    o.remove_input = false;
  } else if (name == "rm") {
    o.remove_input = true;
  } else if (name == "force") {
    o.force = true;
  } else if (name == "quiet") {
    o.quiet = true;
    o.verbose = 0;
  } else if (name == "verbose") {
    ++o.verbose;
    o.quiet = false;
  } else if (name == "progress") {
    o.progress = ProgressMode::kOn;
  } else if (name == "no-progress") {
    o.progress = ProgressMode::kOff;
  } else if (name == "best") {
    o.best = true;
  } else if (name == "help") {
    o.help = true;
  } else if (name == "version") {
    o.version = true;
  } else {
    return false;
  }
  return true;
}

// Short flags without a value.
bool ApplyShortFlag(char flag, Options& o) {
  switch (flag) {
    case 'd':
      return ApplyLongFlag("decompress", o);
    case 'z':
      return ApplyLongFlag("compress", o);
    case 'l':
      return ApplyLongFlag("list", o);
    case 'c':
      return ApplyLongFlag("stdout", o);
    case 'k':
      return ApplyLongFlag("keep", o);
    case 'f':
      return ApplyLongFlag("force", o);
    case 'q':
      return ApplyLongFlag("quiet", o);
    case 'v':
      return ApplyLongFlag("verbose", o);
    case 'h':
      return ApplyLongFlag("help", o);
    case 'V':
      return ApplyLongFlag("version", o);
    case '9':
      return ApplyLongFlag("best", o);
    default:
      return false;
  }
}

// Flags that take a value, and the long names of those that have one.
bool TakesValue(char flag) {
  return flag == 'o' || flag == 'T' || flag == 'S';
}
char ValueFlag(std::string_view name) {
  if (name == "output") return 'o';
  if (name == "threads") return 'T';
  if (name == "suffix") return 'S';
  return 0;
}

// Stores the value of -o/--output, -S/--suffix or -T/--threads.
std::optional<std::string> ApplyValue(char flag, std::string_view value, Options& o) {
  if (flag == 'o') {
    if (value.empty()) return std::string("empty output name");
    o.output = std::string(value);
    return std::nullopt;
  }
  if (flag == 'S') {
    // An empty suffix would make every output name its input's, and one
    // with a separator would put outputs in other directories (or, with a
    // colon on Windows, in a stream of the input).
    if (!ValidSuffix(std::string(value))) {
      return "invalid suffix '" + std::string(value) + "'";
    }
    o.suffix = std::string(value);
    return std::nullopt;
  }
  return ParseThreads(value, o.threads);
}

}  // namespace

std::optional<std::string> ParseOptions(int argc, char** argv, Options& o) {
  bool options_ended = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (!options_ended && !kHelpSwitch.empty() && arg == kHelpSwitch) {
      o.help = true;
    } else if (options_ended || arg == "-" || arg.size() < 2 || arg[0] != '-') {
      o.files.emplace_back(arg);
    } else if (arg == "--") {
      options_ended = true;
    } else if (arg.starts_with("--")) {
      std::string_view name = arg.substr(2);
      std::optional<std::string_view> value;
      if (const auto eq = name.find('='); eq != std::string_view::npos) {
        value = name.substr(eq + 1);
        name = name.substr(0, eq);
      }
      const bool count = name == "offset" || name == "size";
      if (const char flag = ValueFlag(name); flag != 0 || count) {
        if (!value) {
          if (i + 1 == argc) return "option '--" + std::string(name) + "' needs a value";
          value = argv[++i];
        }
        if (count) {
          if (auto error = ParseCount(name, *value, name == "offset" ? o.offset : o.size)) {
            return error;
          }
        } else if (auto error = ApplyValue(flag, *value, o)) {
          return error;
        }
      } else if (value || !ApplyLongFlag(name, o)) {
        return "unknown option '" + std::string(arg) + "'";
      }
    } else {
      for (std::size_t k = 1; k < arg.size(); ++k) {
        const char flag = arg[k];
        if (TakesValue(flag)) {
          std::string_view value = arg.substr(k + 1);
          if (value.empty()) {
            if (i + 1 == argc) return std::string("option '-") + flag + "' needs a value";
            value = argv[++i];
          }
          if (auto error = ApplyValue(flag, value, o)) return error;
          break;
        }
        // The levels of other compressors: there are two streams, not nine
        // levels, and a level accepted and ignored would mislead.
        if (flag >= '1' && flag <= '8') {
          return std::string("no compression level '-") + flag +
                 "': lzring writes the exact stream (the default) or the smallest one "
                 "(--best, -9)";
        }
        if (!ApplyShortFlag(flag, o)) return std::string("unknown option '-") + flag + "'";
      }
    }
  }
  return std::nullopt;
}

std::optional<std::string> CheckOptions(const Options& o) {
  const std::size_t inputs = o.files.empty() ? 1 : o.files.size();
  if (o.output && inputs > 1) return std::string("-o names the output of a single input");
  if (o.output && o.to_stdout) return std::string("-o and -c cannot be used together");
  if (o.output && o.mode == Mode::kList)
    return std::string("-l writes no output file; -o cannot be used with it");
  // An input written to standard output is kept: asking to remove it is a
  // mistake better said than silently ignored.
  if (o.remove_input && (o.to_stdout || o.output == "-")) {
    return std::string("--rm removes inputs written to files, not to standard output");
  }
  // Compressed streams have no header, so two of them back to back do not
  // expand to the two inputs: refuse to concatenate them.
  if (o.mode == Mode::kCompress && o.to_stdout && inputs > 1) {
    return std::string("-c compresses a single input");
  }
  if ((o.offset || o.size) && o.mode != Mode::kExpand) {
    return std::string("--offset and --size apply to expansion (-d)");
  }
  if (o.best && o.mode != Mode::kCompress) {
    return std::string("--best (-9) applies to compression");
  }
  return std::nullopt;
}

std::string UsageText() {
  return "Usage: lzring [OPTION]... [FILE]...\n"
         "Compress FILEs to FILE.lzr (or expand them with -d), keeping the inputs.\n"
         "With no FILE, or when FILE is -, read standard input and write standard output.\n"
         "\n"
         "  -d, --decompress  expand FILE.lzr to FILE\n"
         "  -z, --compress    compress (the default)\n"
         "  -c, --stdout      write to standard output; keep the inputs\n"
         "  -o, --output=OUT  write the output of the single input to OUT (- is\n"
         "                    standard output); not with -c\n"
         "  -S, --suffix=SUF  use suffix SUF instead of .lzr\n"
         "  -k, --keep        keep the inputs (the default)\n"
         "      --rm          remove each input once its output is complete\n"
         "  -f, --force       overwrite existing outputs; allow compressed data\n"
         "                    to or from a terminal; write into devices and FIFOs\n"
         "                    (read, never removed, with -c or -o; listed with -f)\n"
         "  -l, --list        list compressed size, original size and ratio\n"
         "      --offset=N    with -d: the stream starts N bytes into the input\n"
         "      --size=M      with -d: expand exactly M bytes and stop there; a\n"
         "                    stream that ends sooner is an error (-v tells the\n"
         "                    compressed bytes used; N and M may be 0x... hex)\n"
         "  -9, --best        write the smallest stream instead of the exact one:\n"
         "                    about 3.5% smaller on text, a third slower, for a\n"
         "                    fixed decoder to read (every decoder expands it, but\n"
         "                    it is not the library's exact bytes); one thread per\n"
         "                    file (-1 to -8 are refused)\n"
         "  -T, --threads=N   use up to N threads in all, on one large file as well\n"
         "                    as on several files (default 0: one per core; the\n"
         "                    output is the same for every N)\n"
         "      --progress    always show progress on standard error, ending with\n"
         "                    a line of the totals\n"
         "      --no-progress never show progress\n"
         "  -q, --quiet       no warnings and no progress\n"
         "  -v, --verbose     report each file and its ratio\n"
         "  -h, --help        show this help and exit\n"
         "  -V, --version     show the version and exit\n"
         "\n"
         "Named unlzring, the tool expands (-d); named lzcat, it expands to standard\n"
         "output (-dc).\n"
         "\n"
         "Exit status: 0 success, 1 an error, 2 warnings only (e.g. a file skipped).\n";
}

std::string VersionText() {
  return std::string("lzring ") + lzring::version() + "\n";
}

}  // namespace lzring::cli
