// POSIX threads under platform/thread.h.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "platform/thread.h"

namespace lzring {
namespace {

struct Start {
  void (*fn)(void*);
  void* arg;
};

void* Run(void* p) {
  const Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  start.fn(start.arg);
  return nullptr;
}

}  // namespace

int ThreadStart(ThreadHandle& handle, void (*fn)(void*), void* arg) {
  Start* start = new (std::nothrow) Start{fn, arg};
  if (start == nullptr) return ENOMEM;
  // Every signal stays blocked in the new thread (it inherits this mask), so
  // that a program's handlers run on its own threads only and never
  // interrupt a worker of the codec.
  sigset_t all;
  sigset_t old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pthread_t thread;
  const int error = pthread_create(&thread, nullptr, Run, start);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (error != 0) {
    delete start;
    return error;
  }
  handle = static_cast<ThreadHandle>(thread);
  return 0;
}

void ThreadJoin(ThreadHandle handle) {
  pthread_join(static_cast<pthread_t>(handle), nullptr);
}

unsigned ProcessorCount() {
#ifdef __linux__
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<unsigned>(n);
  }
#endif
  const long n = sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? static_cast<unsigned>(n) : 1;
}

std::uint64_t ThreadTime() {
  timespec t;
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0;
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

struct Monitor::Impl {
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
};

static_assert(sizeof(Monitor::Impl) <= 128 && alignof(Monitor::Impl) <= 16);

Monitor::Monitor() {
  new (storage_) Impl;
}
Monitor::Impl& Monitor::impl() {
  return *std::launder(reinterpret_cast<Impl*>(storage_));
}
Monitor::~Monitor() {
  pthread_cond_destroy(&impl().cond);
  pthread_mutex_destroy(&impl().mutex);
  impl().~Impl();
}
void Monitor::lock() {
  pthread_mutex_lock(&impl().mutex);
}
void Monitor::unlock() {
  pthread_mutex_unlock(&impl().mutex);
}
void Monitor::Wait() {
  pthread_cond_wait(&impl().cond, &impl().mutex);
}
void Monitor::NotifyAll() {
  pthread_cond_broadcast(&impl().cond);
}

}  // namespace lzring
