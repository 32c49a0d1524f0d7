// Compressing or expanding one input of the tool: to standard output, into
// an existing device or FIFO, or to a new file in the destination's
// directory that gets its name only once complete, with the input's
// permission bits and times (see output_file.h).
#ifndef LZRING_CLI_FILE_JOB_H
#define LZRING_CLI_FILE_JOB_H

#include <string>

#include "cli/options.h"
#include "cli/report.h"
#include "lzring/lzring.hpp"

namespace lzring::cli {

// What every job shares.
struct JobEnv {
  const Options& options;
  Reporter& reporter;
  bool allow_progress;  // false while several files run at once
};

// Processes `input` ("-" for standard input) as the options say, reporting
// every failure, warning and -v line through env.reporter.
void ProcessInput(const std::string& input, codec& codec, const JobEnv& env);

}  // namespace lzring::cli

#endif  // LZRING_CLI_FILE_JOB_H
