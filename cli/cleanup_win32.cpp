// Windows rendering of the cleanup (see cleanup.h): a table of temporary
// names under a slim reader/writer lock, swept by the console control
// handler. The handler runs on a thread that the system starts for the
// event; it takes the lock for good, removes every registered name and then
// ends the process as Windows ends an interrupted program, with
// STATUS_CONTROL_C_EXIT. A temporary file is open with FILE_SHARE_DELETE, so
// its name can be removed while a job still writes to it: the file is gone
// once the process's handles close.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <new>
#include <string>

#include "cli/cleanup.h"
#include "cli/error_win32.h"
#include "cli/temp_file_win32.h"

namespace lzring::cli {
namespace {

// More than the most jobs (-T 256) that can hold a temporary file at once.
constexpr int kSlots = 260;
constexpr wchar_t kPrefix[] = L".lzring-";
constexpr int kRandomChars = 6;

struct Slot {
  bool used = false;
  std::wstring path;
};

// The table and the flag are only touched under g_lock.
SRWLOCK g_lock = SRWLOCK_INIT;
Slot g_slots[kSlots];
bool g_ending = false;

class Guard {
 public:
  Guard() { AcquireSRWLockExclusive(&g_lock); }
  ~Guard() { ReleaseSRWLockExclusive(&g_lock); }
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

// Removes the name `path`, a read-only file's included.
void RemoveName(const std::wstring& path) {
  if (DeleteFileW(path.c_str())) return;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return;
  if (SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    DeleteFileW(path.c_str());
  }
}

BOOL WINAPI OnControl(DWORD) {
  AcquireSRWLockExclusive(&g_lock);  // held until the process ends
  g_ending = true;
  for (const Slot& slot : g_slots) {
    if (slot.used) RemoveName(slot.path);
  }
  // Ended here, with the status that Windows' own handler gives an
  // interrupted program, rather than by the next handler: not every
  // rendering of the system's handler reports the interruption.
  ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

// Six characters of [A-Za-z0-9]: unpredictable enough with CREATE_NEW,
// which alone keeps the name from being anyone else's file.
std::wstring MakeName() {
  static std::atomic<std::uint64_t> counter{0};
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  std::uint64_t x = static_cast<std::uint64_t>(now.QuadPart) ^
                    (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) ^
                    (counter.fetch_add(1) * 0x9E3779B97F4A7C15u);
  // splitmix64's finaliser spreads every input bit over the output.
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9u;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBu;
  x ^= x >> 31;
  static const wchar_t kChars[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::wstring name = kPrefix;
  for (int i = 0; i < kRandomChars; ++i, x /= 62) name += kChars[x % 62];
  return name;
}

}  // namespace

void InstallCleanupHandlers() {
  // Where whoever started the tool turned Ctrl-C off for it, the system does
  // not call the handler for it: the interruption stays ignored.
  SetConsoleCtrlHandler(OnControl, TRUE);
}

bool TempFile::Create(const std::wstring& dir) {
  Guard guard;
  if (g_ending) {
    SetErrno(EINTR);
    return false;
  }
  int k = 0;
  while (k < kSlots && g_slots[k].used) ++k;
  if (k == kSlots) {
    SetErrno(EMFILE);
    return false;
  }
  Slot& slot = g_slots[k];
  try {
    for (int attempt = 0; attempt < 100; ++attempt) {
      slot.path = dir + MakeName();
      const HANDLE handle =
          CreateFileW(slot.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                      nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) continue;
        SetErrnoFromWin32();
        return false;
      }
      fd_ = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
      if (fd_ < 0) {
        CloseHandle(handle);
        DeleteFileW(slot.path.c_str());
        SetErrno(EMFILE);
        return false;
      }
      slot.used = true;
      slot_ = k;
      return true;
    }
  } catch (const std::bad_alloc&) {
    SetErrno(ENOMEM);
    return false;
  }
  SetErrno(EEXIST);
  return false;
}

TempFile::~TempFile() {
  if (fd_ >= 0) _close(fd_);
  if (slot_ < 0) return;
  Guard guard;
  RemoveName(g_slots[slot_].path);
  g_slots[slot_].used = false;
}

bool TempFile::Close() {
  const int fd = fd_;
  fd_ = -1;
  return _close(fd) == 0;
}

bool TempFile::Rename(const std::wstring& destination, bool replace) {
  Guard guard;
  Slot& slot = g_slots[slot_];
  // Write-through: the new name is on disk when the call returns.
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  bool moved = MoveFileExW(slot.path.c_str(), destination.c_str(), flags);
  if (!moved && replace && GetLastError() == ERROR_ACCESS_DENIED) {
    // A read-only file is replaced as on other systems, where the
    // directory's permission decides: its attribute goes first, and comes
    // back if the move still fails.
    const DWORD attributes = GetFileAttributesW(destination.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0 &&
        (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        SetFileAttributesW(destination.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
      moved = MoveFileExW(slot.path.c_str(), destination.c_str(), flags);
      if (!moved) {
        const DWORD error = GetLastError();
        SetFileAttributesW(destination.c_str(), attributes);
        SetLastError(error);
      }
    }
  }
  if (!moved) {
    SetErrnoFromWin32();
    return false;
  }
  // The temporary name is gone: nothing is left to remove.
  slot.used = false;
  slot_ = -1;
  return true;
}

}  // namespace lzring::cli
