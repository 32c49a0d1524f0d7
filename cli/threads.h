// The threads of the tool: -T runs several inputs at once, and their jobs
// share standard error under one lock. One implementation per platform
// (threads_posix.cpp, threads_win32.cpp): the standard library of some
// Windows toolchains has neither std::thread nor std::mutex.
#ifndef LZRING_CLI_THREADS_H
#define LZRING_CLI_THREADS_H

#include <cstddef>
#include <functional>

namespace lzring::cli {

// The number of processors this process may run on; at least 1.
unsigned ProcessorCount();

// Runs `fn` on up to `count` new threads and waits for all of them. Returns
// the number of threads that could be started: 0 means that `fn` did not run.
unsigned RunOnThreads(unsigned count, const std::function<void()>& fn);

// A plain lock, usable with std::lock_guard.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void lock();
  void unlock();

  struct Impl;

 private:
  // The platform's lock, held in place so that making one cannot fail.
  alignas(16) unsigned char storage_[64];
  Impl& impl();
};

}  // namespace lzring::cli

#endif  // LZRING_CLI_THREADS_H
