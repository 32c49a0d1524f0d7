#include "cli/error_win32.h"

#include <cerrno>
#include <system_error>

#include "cli/file_system.h"
#include "cli/utf8_win32.h"

namespace lzring::cli {
namespace {

// The Win32 error behind the errno value that SetErrnoFromWin32() set last
// in this thread; 0 when errno was set otherwise.
thread_local DWORD t_error = 0;
thread_local int t_errno = 0;

// The system's code for "an operation is not supported on a directory"
// (newer than this toolchain's headers).
constexpr DWORD kErrorIsDirectory = 336;

// The system's error codes as the errno values that the tool tests and the
// library's C++ API reports for the same failures. Codes of the same kind
// share a value, as the C runtime's own mapping has them; anything else is
// EIO.
int ErrnoOf(DWORD code) {
  static const struct {
    DWORD code;
    int value;
  } kMap[] = {
      {ERROR_FILE_NOT_FOUND, ENOENT},
      {ERROR_PATH_NOT_FOUND, ENOENT},
      {ERROR_INVALID_DRIVE, ENOENT},
      {ERROR_BAD_NETPATH, ENOENT},
      {ERROR_BAD_NET_NAME, ENOENT},
      {ERROR_BAD_PATHNAME, ENOENT},
      {ERROR_INVALID_NAME, ENOENT},
      {ERROR_TOO_MANY_OPEN_FILES, EMFILE},
      {ERROR_ACCESS_DENIED, EACCES},
      {ERROR_SHARING_VIOLATION, EACCES},
      {ERROR_LOCK_VIOLATION, EACCES},
      {ERROR_NETWORK_ACCESS_DENIED, EACCES},
      {ERROR_INVALID_HANDLE, EBADF},
      {ERROR_NOT_ENOUGH_MEMORY, ENOMEM},
      {ERROR_OUTOFMEMORY, ENOMEM},
      {ERROR_NOT_ENOUGH_QUOTA, ENOMEM},
      {ERROR_WRITE_PROTECT, EROFS},
      {ERROR_HANDLE_DISK_FULL, ENOSPC},
      {ERROR_DISK_FULL, ENOSPC},
      {ERROR_FILE_EXISTS, EEXIST},
      {ERROR_ALREADY_EXISTS, EEXIST},
      {ERROR_INVALID_PARAMETER, EINVAL},
      {ERROR_NEGATIVE_SEEK, EINVAL},
      {ERROR_BROKEN_PIPE, EPIPE},
      {ERROR_NO_DATA, EPIPE},
      {ERROR_FILENAME_EXCED_RANGE, ENAMETOOLONG},
      {ERROR_DIRECTORY, ENOTDIR},
      {ERROR_NOT_SAME_DEVICE, EXDEV},
      {ERROR_DIR_NOT_EMPTY, ENOTEMPTY},
      {ERROR_OPERATION_ABORTED, EINTR},
      {kErrorIsDirectory, EISDIR},
      {ERROR_SEEK_ON_DEVICE, ESPIPE},
      {ERROR_PIPE_NOT_CONNECTED, EPIPE},
      {ERROR_CANT_RESOLVE_FILENAME, ELOOP},
      {ERROR_NO_UNICODE_TRANSLATION, EILSEQ},
  };
  if (code == ERROR_SUCCESS) return 0;
  for (const auto& entry : kMap) {
    if (entry.code == code) return entry.value;
  }
  return EIO;
}

}  // namespace

void SetErrnoFromWin32() {
  const DWORD error = GetLastError();
  t_error = error;
  t_errno = ErrnoOf(error);
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
