#include "cli/cleanup.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace lzring::cli {
namespace {

// Slot states. A handler removes the names of kCreating and kLive slots: in
// kCreating the name is complete and the file may exist already, since the
// signal may come while the creating thread is inside mkostemp.
enum : int { kFree = 0, kClaimed = 1, kCreating = 2, kLive = 3 };

// More than the most jobs (-T 256) that can hold a temporary file at once.
constexpr int kSlots = 260;

struct Slot {
  std::atomic<int> state{kFree};
  char path[PATH_MAX];
};
Slot g_slots[kSlots];

void OnSignal(int sig) {
  const int saved = errno;
  for (Slot& slot : g_slots) {
    const int state = slot.state.load();
    if (state == kCreating || state == kLive) ::unlink(slot.path);
  }
  // End the process the way the signal would have, so the parent sees it.
  ::signal(sig, SIG_DFL);
  ::raise(sig);
  errno = saved;
}

int ClaimSlot() {
  for (int i = 0; i < kSlots; ++i) {
    int expected = kFree;
    if (g_slots[i].state.compare_exchange_strong(expected, kClaimed)) return i;
  }
  return -1;
}

}  // namespace

void InstallCleanupHandlers() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);
  ::signal(SIGXFSZ, SIG_IGN);
}

TempFile::TempFile(const std::string& destination) {
  const std::size_t slash = destination.rfind('/');
  const std::string dir = slash == std::string::npos ? "" : destination.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? destination : destination.substr(slash + 1);
  const std::string pattern = dir + "." + base + ".XXXXXX";
  if (pattern.size() >= PATH_MAX) {
    errno = ENAMETOOLONG;
    return;
  }
  slot_ = ClaimSlot();
  if (slot_ < 0) {
    errno = EMFILE;
    return;
  }
  Slot& slot = g_slots[slot_];
  std::memcpy(slot.path, pattern.c_str(), pattern.size() + 1);
  slot.state.store(kCreating);
  fd_ = ::mkostemp(slot.path, O_CLOEXEC);
  if (fd_ < 0) {
    const int saved = errno;
    slot.state.store(kFree);
    slot_ = -1;
    errno = saved;
    return;
  }
  slot.state.store(kLive);
}

TempFile::~TempFile() {
  if (fd_ >= 0) ::close(fd_);
  if (slot_ >= 0) {
    ::unlink(g_slots[slot_].path);
    g_slots[slot_].state.store(kFree);
  }
}

bool TempFile::Close() {
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0 || errno == EINTR;
}

bool TempFile::Commit(const std::string& destination) {
  if (::rename(g_slots[slot_].path, destination.c_str()) != 0) return false;
  // Renamed: the name in the slot is gone, and nothing is left to remove.
  g_slots[slot_].state.store(kFree);
  slot_ = -1;
  return true;
}

}  // namespace lzring::cli
