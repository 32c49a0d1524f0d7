// The tool's threads on POSIX systems: the standard library's.
#include <sched.h>
#include <unistd.h>

#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/threads.h"

namespace lzring::cli {

unsigned ProcessorCount() {
#ifdef __linux__
  // The processors this process may run on, which may be fewer than the
  // machine's (taskset, containers).
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
#endif
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

unsigned RunOnThreads(unsigned count, const std::function<void()>& fn) {
  std::vector<std::thread> threads;
  threads.reserve(count);
  for (unsigned k = 0; k < count; ++k) {
    try {
      threads.emplace_back([&fn] { fn(); });
    } catch (const std::system_error&) {
      break;  // out of threads: the ones started do the work
    }
  }
  for (std::thread& thread : threads) thread.join();
  return static_cast<unsigned>(threads.size());
}

struct Lock::Impl {
  std::mutex mutex;
};

static_assert(sizeof(Lock::Impl) <= 64 && alignof(Lock::Impl) <= 16);

Lock::Lock() {
  new (storage_) Impl;
}
Lock::Impl& Lock::impl() {
  return *std::launder(reinterpret_cast<Impl*>(storage_));
}
Lock::~Lock() {
  impl().~Impl();
}
void Lock::Acquire() {
  impl().mutex.lock();
}
void Lock::Release() {
  impl().mutex.unlock();
}

}  // namespace lzring::cli
