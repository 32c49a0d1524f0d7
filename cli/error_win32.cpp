// Win32 error codes turned into errno values and into the system's own
// message text.
#include "cli/error_win32.h"

#include <cerrno>
#include <system_error>

#include "cli/file_system.h"
#include "cli/utf8_win32.h"
#include "platform/win32_errno.h"

namespace lzring::cli {
namespace {

// The Win32 error behind the errno value that SetErrnoFromWin32() set last
// in this thread; 0 when errno was set otherwise.
thread_local DWORD t_error = 0;
thread_local int t_errno = 0;

}  // namespace

void SetErrnoFromWin32() {
  const DWORD error = GetLastError();
  t_error = error;
  t_errno = ErrnoFromWin32(error);
  // Reading thread-local storage may clear the last error; callers may
  // still test it.
  SetLastError(error);
  errno = t_errno;
}

void SetErrno(int value) {
  t_error = 0;
  errno = value;
}

std::string LastErrorText() {
  const int value = errno;
  if (t_error != 0 && t_errno == value) {
    // Windows' words: a sharing violation is not a permission, nor an
    // invalid character in a name a missing file.
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, t_error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    if (n > 0 && text != nullptr) {
      std::wstring wide(text, n);
      LocalFree(text);
      // Without the closing full stop and line break, as errno's texts.
      while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' ||
                               wide.back() == L' ' || wide.back() == L'.')) {
        wide.pop_back();
      }
      if (!wide.empty()) return Utf8(wide.c_str());
    } else if (text != nullptr) {
      LocalFree(text);
    }
  }
  return std::error_code(value, std::generic_category()).message();
}

}  // namespace lzring::cli
