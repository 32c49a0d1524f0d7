// platform/thread.h for a target without threads (WebAssembly without shared
// memory). No thread can start, so a compression asked to use several runs on
// the calling thread alone, with the same output; the monitor then has
// nobody to exclude or wait for.
#include <cerrno>

#include "platform/thread.h"

namespace lzring {

int ThreadStart(ThreadHandle&, void (*)(void*), void*) {
  return EAGAIN;
}

void ThreadJoin(ThreadHandle) {}

unsigned ProcessorCount() {
  return 1;
}

std::uint64_t ThreadTime() {
  return 0;
}

struct Monitor::Impl {};

Monitor::Monitor() = default;
Monitor::~Monitor() = default;
void Monitor::lock() {}
void Monitor::unlock() {}
// Only a thread waiting for another waits here, and there is none.
void Monitor::Wait() {}
void Monitor::NotifyAll() {}

}  // namespace lzring
