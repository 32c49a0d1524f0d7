#include "cli/threads.h"

#include <vector>

namespace lzring::cli {

unsigned RunOnThreads(unsigned count, const std::function<void()>& fn) {
  std::vector<ThreadHandle> threads;
  threads.reserve(count);
  void (*run)(void*) = [](void* f) { (*static_cast<const std::function<void()>*>(f))(); };
  for (unsigned k = 0; k < count; ++k) {
    ThreadHandle thread;
    if (ThreadStart(thread, run, const_cast<std::function<void()>*>(&fn)) != 0) break;
    threads.push_back(thread);
  }
  for (const ThreadHandle thread : threads) ThreadJoin(thread);
  return static_cast<unsigned>(threads.size());
}

}  // namespace lzring::cli
