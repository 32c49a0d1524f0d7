// The lzring command-line tool: parses the options, then compresses,
// expands or lists each input, with -T's threads spent on several inputs at
// once and on compressing each.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "cli/cleanup.h"
#include "cli/file_job.h"
#include "cli/file_system.h"
#include "cli/listing.h"
#include "cli/main.h"
#include "cli/options.h"
#include "cli/report.h"
#include "lzring/lzring.hpp"
#include "platform/thread.h"

namespace lzring::cli {
namespace {

constexpr int kUsageError = 1;

#ifdef _WIN32
constexpr const char* kPathSeparators = "/\\:";
constexpr bool kNamesIgnoreCase = true;
#else
constexpr const char* kPathSeparators = "/";
constexpr bool kNamesIgnoreCase = false;
#endif

// Through WriteStderr, as every message: a name in it reaches a Windows
// console intact.
int UsageError(const std::string& message) {
  const std::string text = "lzring: " + message + "\nTry 'lzring --help' for more information.\n";
  WriteStderr(text.data(), text.size());
  return kUsageError;
}

// How -T's threads are spent: on several files at once, and on each file.
struct ThreadPlan {
  unsigned jobs;      // files processed at once
  unsigned per_file;  // threads compressing each of them
};

ThreadPlan PlanThreads(const Options& o) {
  const unsigned processors = ProcessorCount();
  const unsigned total = o.threads == 0 ? processors : o.threads;
  unsigned jobs = total;
  // Outputs that share standard output must come in order.
  if (o.to_stdout) jobs = 1;
  jobs = static_cast<unsigned>(std::min<std::size_t>(jobs, o.files.size()));
  jobs = std::max(jobs, 1u);
  // The threads left over go to each file's compression; more of them than
  // processors would only take turns.
  const unsigned per_file = std::clamp(total / jobs, 1u, processors);
  return {jobs, per_file};
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

// Runs `fn` on up to `count` new threads and waits for all of them. Returns
// the number of threads that could be started: 0 means that `fn` did not
// run. The threads are the platform layer's, which take no signals: a
// job's write to a closed pipe fails with EPIPE, and the signals that end
// the tool come to its watcher (cleanup_posix.cpp).
unsigned RunOnThreads(unsigned count, const std::function<void()>& fn) {
  std::vector<ThreadHandle> threads;
  threads.reserve(count);
  void* const arg = const_cast<std::function<void()>*>(&fn);
  for (unsigned k = 0; k < count; ++k) {
    ThreadHandle thread;
    const auto run = [](void* f) { (*static_cast<const std::function<void()>*>(f))(); };
    if (ThreadStart(thread, run, arg) != 0) break;  // the ones started do the work
    threads.push_back(thread);
  }
  for (const ThreadHandle thread : threads) ThreadJoin(thread);
  return static_cast<unsigned>(threads.size());
}

// Hands out the inputs to `plan.jobs` workers, each with a codec of its own
// that compresses on `plan.per_file` threads.
void RunJobs(const Options& o, Reporter& reporter, ThreadPlan plan) {
  const unsigned jobs = plan.jobs;
  const JobEnv env{o, reporter, jobs == 1};
  std::atomic<std::size_t> next{0};
  auto worker = [&] {
    std::optional<codec> c;
    try {
      c.emplace(plan.per_file);
      c->set_best(o.best);
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
  if (RunOnThreads(jobs, std::function<void()>(worker)) == 0) worker();
}

// Writes --help's or --version's text to standard output; a text that could
// not be written (a full disk, a closed pipe) is a failure like any other.
int PrintText(const std::string& text) {
  std::fputs(text.c_str(), stdout);
  if (std::fflush(stdout) == 0 && !std::ferror(stdout)) return 0;
  const std::string reason = std::strerror(errno);
  Reporter(false).Error("stdout", reason);
  return 1;
}

// The tool's other names, as links to it: unlzring expands, lzcat expands
// to standard output, as the names of other compressors' links do. Options
// still apply after them (lzcat -l).
void ApplyProgramName(const char* argv0, Options& o) {
  if (argv0 == nullptr) return;
  std::string name = argv0;
  const std::size_t slash = name.find_last_of(kPathSeparators);
  if (slash != std::string::npos) name.erase(0, slash + 1);
  // Windows names: any case, with or without .exe.
  if (kNamesIgnoreCase) {
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (name.ends_with(".exe")) name.resize(name.size() - 4);
  }
  if (name == "unlzring" || name == "lzcat") o.mode = Mode::kExpand;
  if (name == "lzcat") o.to_stdout = true;
}

}  // namespace

int Main(int argc, char** argv) {
  Options o;
  ApplyProgramName(argc > 0 ? argv[0] : nullptr, o);
  if (auto error = ParseOptions(argc, argv, o)) return UsageError(*error);
  if (o.help) return PrintText(UsageText());
  if (o.version) return PrintText(VersionText());
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
    RunJobs(o, reporter, PlanThreads(o));
  }
  return reporter.ExitStatus();
}

}  // namespace lzring::cli
