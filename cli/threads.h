// The threads of the tool's jobs: -T runs several inputs at once. Built on
// the platform layer's threads (platform/thread.h), whose Monitor also serves as
// the lock that the jobs' messages share.
#ifndef LZRING_CLI_THREADS_H
#define LZRING_CLI_THREADS_H

#include <functional>

#include "platform/thread.h"

namespace lzring::cli {

// Runs `fn` on up to `count` new threads and waits for all of them. Returns
// the number of threads that could be started: 0 means that `fn` did not run.
unsigned RunOnThreads(unsigned count, const std::function<void()>& fn);

}  // namespace lzring::cli

#endif  // LZRING_CLI_THREADS_H
