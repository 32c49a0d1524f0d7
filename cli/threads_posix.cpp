// The tool's threads and lock with the standard library's.
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/threads.h"

namespace lzring::cli {

unsigned ProcessorCount() {
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? n : 1;
}

unsigned RunOnThreads(unsigned count, const std::function<void()>& fn) {
  std::vector<std::jthread> threads;
  for (unsigned k = 0; k < count; ++k) {
    try {
      threads.emplace_back(fn);
    } catch (const std::system_error&) {
      break;
    }
  }
  return static_cast<unsigned>(threads.size());
}

struct Lock::Impl {
  std::mutex mutex;
};

static_assert(sizeof(Lock::Impl) <= 64 && alignof(Lock::Impl) <= 16);

Lock::Lock() {
  new (storage_) Impl;
}
Lock::~Lock() {
  impl().~Impl();
}
Lock::Impl& Lock::impl() {
  return *std::launder(reinterpret_cast<Impl*>(storage_));
}
void Lock::lock() {
  impl().mutex.lock();
}
void Lock::unlock() {
  impl().mutex.unlock();
}

}  // namespace lzring::cli
