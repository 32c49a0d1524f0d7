// The threads of the tool's jobs: -T runs several inputs at once, and the
// lock that the jobs' messages share. One implementation per platform
// (threads_posix.cpp, threads_win32.cpp): the standard library of the
// Windows cross toolchain has no threads or mutexes.
#ifndef LZRING_CLI_THREADS_H
#define LZRING_CLI_THREADS_H

#include <functional>

namespace lzring::cli {

// The number of processors this process may run on; at least 1.
unsigned ProcessorCount();

// Runs `fn` on up to `count` new threads and waits for all of them. Returns
// the number of threads that could be started: 0 means that `fn` did not run.
unsigned RunOnThreads(unsigned count, const std::function<void()>& fn);

// A lock, held in place so that making one cannot fail.
class Lock {
 public:
  Lock();
  ~Lock();
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void Acquire();
  void Release();

  struct Impl;

 private:
  alignas(16) unsigned char storage_[64];
  Impl& impl();
};

// Holds a lock for a scope.
class LockHeld {
 public:
  explicit LockHeld(Lock& lock) : lock_(lock) { lock_.Acquire(); }
  ~LockHeld() { lock_.Release(); }
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;

 private:
  Lock& lock_;
};

}  // namespace lzring::cli

#endif  // LZRING_CLI_THREADS_H
