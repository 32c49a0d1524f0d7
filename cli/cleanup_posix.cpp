// The table of temporary outputs on POSIX, and the signal handler that
// removes them when the tool is interrupted.
#include "cli/cleanup.h"
#include "cli/temp_file_posix.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <system_error>
#include <thread>

#include "cli/file_calls.h"

namespace lzring::cli {
namespace {

// More than the most jobs (-T 256) that can hold a temporary file at once.
constexpr int kSlots = 260;
constexpr char kPrefix[] = ".lzring-";
constexpr int kRandomChars = 6;

struct Slot {
  bool used = false;
  int dir_fd = -1;
  char name[sizeof kPrefix + kRandomChars] = {};
};

// The table and the flag are only touched under g_lock. The watcher takes
// the lock for good once a signal has come.
std::mutex g_lock;
Slot g_slots[kSlots];
bool g_ending = false;
sigset_t g_watched;
pthread_t g_watcher;

// SIGPIPE comes to the thread whose write failed, which cannot sweep the
// table (it may hold the lock): it hands the signal to the watcher, which
// ends the process, and waits for that.
void RelayPipe(int) {
  ::pthread_kill(g_watcher, SIGPIPE);
  for (;;) ::pause();
}

[[noreturn]] void Watch() {
  for (;;) {
    int sig = 0;
    if (::sigwait(&g_watched, &sig) != 0) continue;
    g_lock.lock();
    g_ending = true;
    for (const Slot& slot : g_slots) {
      if (slot.used) ::unlinkat(slot.dir_fd, slot.name, 0);
    }
    // End the process the way the signal would have, so the parent sees it:
    // the signal is blocked everywhere else, so it comes to this thread.
    ::signal(sig, SIG_DFL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    ::raise(sig);
    ::_exit(128 + sig);
  }
}

// Six characters of [A-Za-z0-9]: unpredictable enough with O_EXCL, which
// alone keeps the name from being anyone else's file.
void FillName(char* name) {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t x =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
      (static_cast<std::uint64_t>(::getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15u);
  // splitmix64's finaliser spreads every input bit over the output.
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  x ^= x >> 31;
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  char* p = name;
  for (const char c : kPrefix) {
    if (c != '\0') *p++ = c;
  }
  for (int i = 0; i < kRandomChars; ++i, x /= 62) *p++ = kChars[x % 62];
  *p = '\0';
}

}  // namespace

void InstallCleanupHandlers() {
  ::signal(SIGXFSZ, SIG_IGN);
  sigemptyset(&g_watched);
  // The signals that end a compressor with its output removed: an
  // interruption, a hang-up, a closed pipe, a processor time limit.
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXCPU}) {
    // A signal ignored by whoever started the tool (nohup, a background job
    // of a script) stays ignored: it is neither blocked nor waited for.
    struct sigaction current {};
    if (::sigaction(sig, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaddset(&g_watched, sig);
  }
  if (::pthread_sigmask(SIG_BLOCK, &g_watched, nullptr) != 0) return;
  try {
    std::thread watcher(Watch);
    g_watcher = watcher.native_handle();
    watcher.detach();
  } catch (const std::system_error&) {
    // No watcher: the signals keep their default action. Unnamed outputs
    // still leave nothing behind; a named temporary file may stay.
    ::pthread_sigmask(SIG_UNBLOCK, &g_watched, nullptr);
    return;
  }
  // The main thread takes SIGPIPE, raised by its own write, and relays it;
  // the watcher, started with it blocked, waits for it. The jobs' threads,
  // started by the platform layer with every signal blocked, see EPIPE.
  if (sigismember(&g_watched, SIGPIPE) == 1) {
    struct sigaction relay {};
    relay.sa_handler = RelayPipe;
    sigemptyset(&relay.sa_mask);
    ::sigaction(SIGPIPE, &relay, nullptr);
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
  }
}

namespace {

// Gives slot `k` a fresh name in `dir_fd` made by `make` (which returns
// false with errno set, EEXIST when the name is taken), and registers it.
// Called under g_lock.
template <typename Make>
bool TakeName(int k, int dir_fd, Make make) {
  Slot& slot = g_slots[k];
  for (int attempt = 0; attempt < 100; ++attempt) {
    FillName(slot.name);
    if (make(slot.name)) {
      slot.used = true;
      slot.dir_fd = dir_fd;
      return true;
    }
    if (errno != EEXIST) return false;
  }
  return false;
}

// A free slot of the table, or -1 (errno set) when the tool is ending or
// the table is full. Called under g_lock.
int FreeSlot() {
  if (g_ending) {
    errno = EINTR;
    return -1;
  }
  int k = 0;
  while (k < kSlots && g_slots[k].used) ++k;
  if (k == kSlots) {
    errno = EMFILE;
    return -1;
  }
  return k;
}

}  // namespace

bool TempFile::Create(int dir_fd) {
  std::lock_guard<std::mutex> guard(g_lock);
  const int k = FreeSlot();
  if (k < 0) return false;
  if (!TakeName(k, dir_fd, [&](const char* name) {
        fd_ = ::openat(dir_fd, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        return fd_ >= 0;
      })) {
    return false;
  }
  slot_ = k;
  return true;
}

bool TempFile::Link(int dir_fd, int fd) {
  std::lock_guard<std::mutex> guard(g_lock);
  const int k = FreeSlot();
  if (k < 0) return false;
  if (!TakeName(k, dir_fd, [&](const char* name) { return LinkUnnamed(fd, dir_fd, name); })) {
    return false;
  }
  slot_ = k;
  return true;
}

TempFile::~TempFile() {
  if (fd_ >= 0) ::close(fd_);
  if (slot_ < 0) return;
  std::lock_guard<std::mutex> guard(g_lock);
  ::unlinkat(g_slots[slot_].dir_fd, g_slots[slot_].name, 0);
  g_slots[slot_].used = false;
}

bool TempFile::Close() {
  const int fd = fd_;
  fd_ = -1;
  return ::close(fd) == 0 || errno == EINTR;
}

bool TempFile::Rename(const char* name, bool replace) {
  std::lock_guard<std::mutex> guard(g_lock);
  Slot& slot = g_slots[slot_];
  const bool renamed = replace ? ::renameat(slot.dir_fd, slot.name, slot.dir_fd, name) == 0
                               : RenameNoReplace(slot.dir_fd, slot.name, name);
  if (!renamed) return false;
  // The temporary name is gone: nothing is left to remove.
  slot.used = false;
  slot_ = -1;
  return true;
}

}  // namespace lzring::cli
