// Threads and the one synchronisation object that the parallel encoder needs:
// a monitor (a lock with a condition to wait for). One implementation per
// platform (thread_posix.cpp, thread_win32.cpp, and thread_single.cpp where
// there are no threads), so that the codec itself uses no platform interface
// and no part of the standard library that some toolchains lack.
#ifndef LZRING_PLATFORM_THREAD_H
#define LZRING_PLATFORM_THREAD_H

#include <cstddef>
#include <cstdint>
#include <mutex>

namespace lzring {

// A started thread, as the platform numbers it.
using ThreadHandle = std::uintptr_t;

// Starts a thread running fn(arg). Returns 0, or the platform's error code
// (EAGAIN when the system is out of threads) with nothing started.
using ThreadStartFn = int (*)(ThreadHandle& handle, void (*fn)(void*), void* arg);
int ThreadStart(ThreadHandle& handle, void (*fn)(void*), void* arg);

// Waits for a started thread to end and releases it.
void ThreadJoin(ThreadHandle handle);

// The number of processors this process may run on; at least 1.
unsigned ProcessorCount();

// The processor time the calling thread has used so far, in a unit of the
// platform's own (nanoseconds, or processor cycles), the same for every
// thread of the process; 0 where no clock counts it finely enough to time a
// few hundred microseconds of work.
using ThreadTimeFn = std::uint64_t (*)();
std::uint64_t ThreadTime();

// A lock and a condition to wait for under it, also used as a plain lock.
// It is held for a scope with std::lock_guard (lock() and unlock() make it
// a BasicLockable type), the one way the project holds its locks. Wait()
// must be called with the lock held; it releases the lock while waiting and
// holds it again when it returns, which may be spuriously, so callers wait
// in a loop.
class Monitor {
 public:
  Monitor();
  ~Monitor();
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  void lock();
  void unlock();
  void Wait();
  void NotifyAll();

  struct Impl;

 private:
  // The platform's lock and condition, held in place so that making a
  // monitor cannot fail.
  alignas(16) unsigned char storage_[128];
  Impl& impl();
};

}  // namespace lzring

#endif  // LZRING_PLATFORM_THREAD_H
