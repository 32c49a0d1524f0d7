// The tool's threads on Windows: CreateThread, and a slim reader/writer lock.
#include <windows.h>

#include <new>
#include <vector>

#include "cli/threads.h"

namespace lzring::cli {
namespace {

DWORD WINAPI Run(LPVOID fn) {
  (*static_cast<const std::function<void()>*>(fn))();
  return 0;
}

}  // namespace

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

unsigned RunOnThreads(unsigned count, const std::function<void()>& fn) {
  std::vector<HANDLE> threads;
  threads.reserve(count);
  for (unsigned k = 0; k < count; ++k) {
    HANDLE thread =
        CreateThread(nullptr, 0, Run, const_cast<std::function<void()>*>(&fn), 0, nullptr);
    if (thread == nullptr) break;  // out of threads: the ones started do the work
    threads.push_back(thread);
  }
  for (const HANDLE thread : threads) {
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
  }
  return static_cast<unsigned>(threads.size());
}

struct Lock::Impl {
  SRWLOCK lock = SRWLOCK_INIT;
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
  AcquireSRWLockExclusive(&impl().lock);
}
void Lock::Release() {
  ReleaseSRWLockExclusive(&impl().lock);
}

}  // namespace lzring::cli
