// The lzring command-line tool: parses the options, then compresses,
// expands or lists each input, several at once with -T.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <exception>
#include <new>
#include <optional>
#include <string>

#include "cli/cleanup.h"
#include "cli/file_job.h"
#include "cli/listing.h"
#include "cli/main.h"
#include "cli/options.h"
#include "cli/report.h"
#include "cli/threads.h"
#include "lzring/lzring.hpp"

namespace lzring::cli {
namespace {

constexpr int kUsageError = 1;

int UsageError(const std::string& message) {
  std::fprintf(stderr, "lzring: %s\nTry 'lzring --help' for more information.\n", message.c_str());
  return kUsageError;
}

unsigned JobCount(const Options& o) {
  unsigned jobs = o.jobs == 0 ? ProcessorCount() : o.jobs;
  // Outputs that share standard output must come in order.
  if (o.to_stdout) jobs = 1;
  return static_cast<unsigned>(std::min<std::size_t>(jobs, o.files.size()));
}

// Standard input can be read once: two jobs on it would share one
// descriptor and split its bytes between them.
bool StdinNamedTwice(const Options& o) {
  return std::count(o.files.begin(), o.files.end(), "-") > 1;
}

// Runs one input's job. A failure that escapes it (out of memory, say) ends
// that job alone, with an error; its temporary file goes as the stack
// unwinds.
void RunJob(const std::string& input, codec& c, const JobEnv& env) {
  const std::string name = input == "-" ? "stdin" : input;
  try {
    ProcessInput(input, c, env);
  } catch (const std::bad_alloc&) {
    env.reporter.Error(name, "out of memory");
  } catch (const std::exception& e) {
    env.reporter.Error(name, e.what());
  } catch (...) {
    env.reporter.Error(name, "unexpected failure");
  }
}

// Hands out the inputs to `jobs` workers, each with a codec of its own.
void RunJobs(const Options& o, Reporter& reporter, unsigned jobs) {
  const JobEnv env{o, reporter, jobs == 1};
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    std::optional<codec> c;
    try {
      c.emplace();
    } catch (const std::bad_alloc&) {
      reporter.Error("lzring", "out of memory");
      return;
    }
    for (std::size_t i; (i = next.fetch_add(1)) < o.files.size();) RunJob(o.files[i], *c, env);
  };
  if (jobs == 1) {
    worker();
    return;
  }
  // A thread that cannot be started leaves its share to those that could.
  if (RunOnThreads(jobs, worker) == 0) worker();
}

}  // namespace

int Main(int argc, char** argv) {
  Options o;
  if (auto error = ParseOptions(argc, argv, o)) return UsageError(*error);
  if (o.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (o.version) {
    std::fputs(VersionText().c_str(), stdout);
    return 0;
  }
  if (auto error = CheckOptions(o)) return UsageError(*error);
  if (o.files.empty()) o.files.push_back("-");
  if (StdinNamedTwice(o)) return UsageError("standard input (-) can be read only once");

  InstallCleanupHandlers();
  Reporter reporter(o.quiet);
  if (o.mode == Mode::kList) {
    try {
      codec c;
      ListInputs(o.files, o.suffix, o.force, c, reporter);
    } catch (const std::bad_alloc&) {
      reporter.Error("lzring", "out of memory");
    }
  } else {
    RunJobs(o, reporter, JobCount(o));
  }
  return reporter.ExitStatus();
}

}  // namespace lzring::cli
