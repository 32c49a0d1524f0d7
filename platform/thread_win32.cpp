// Windows threads under platform/thread.h: CreateThread, and a slim reader/writer
// lock with a condition variable (Windows Vista and later).
#include <windows.h>

#include <cerrno>
#include <new>

#include "platform/thread.h"

namespace lzring {
namespace {

struct Start {
  void (*fn)(void*);
  void* arg;
};

DWORD WINAPI Run(LPVOID p) {
  const Start start = *static_cast<Start*>(p);
  delete static_cast<Start*>(p);
  start.fn(start.arg);
  return 0;
}

}  // namespace

int ThreadStart(ThreadHandle& handle, void (*fn)(void*), void* arg) {
  Start* start = new (std::nothrow) Start{fn, arg};
  if (start == nullptr) return ENOMEM;
  HANDLE thread = CreateThread(nullptr, 0, Run, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return EAGAIN;
  }
  handle = reinterpret_cast<ThreadHandle>(thread);
  return 0;
}

void ThreadJoin(ThreadHandle handle) {
  HANDLE thread = reinterpret_cast<HANDLE>(handle);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

unsigned ProcessorCount() {
  DWORD_PTR process = 0;
  DWORD_PTR system = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system) && process != 0) {
    unsigned n = 0;
    for (; process != 0; process &= process - 1) ++n;
    return n;
  }
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1;
}

std::uint64_t ThreadTime() {
  // Processor cycles, counted at every switch: the thread times that
  // GetThreadTimes gives advance in ticks of about 15.6 ms.
  ULONG64 cycles = 0;
  if (!QueryThreadCycleTime(GetCurrentThread(), &cycles)) return 0;
  return cycles;
}

struct Monitor::Impl {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE cond = CONDITION_VARIABLE_INIT;
};

static_assert(sizeof(Monitor::Impl) <= 128 && alignof(Monitor::Impl) <= 16);

Monitor::Monitor() {
  new (storage_) Impl;
}
Monitor::Impl& Monitor::impl() {
  return *std::launder(reinterpret_cast<Impl*>(storage_));
}
Monitor::~Monitor() {
  impl().~Impl();
}
void Monitor::lock() {
  AcquireSRWLockExclusive(&impl().lock);
}
void Monitor::unlock() {
  ReleaseSRWLockExclusive(&impl().lock);
}
void Monitor::Wait() {
  SleepConditionVariableSRW(&impl().cond, &impl().lock, INFINITE, 0);
}
void Monitor::NotifyAll() {
  WakeAllConditionVariable(&impl().cond);
}

}  // namespace lzring
