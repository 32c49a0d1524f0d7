// The Win32 error codes as errno values, for the library's file layer and
// for the tool's own file calls, so that both report a failure alike (and
// callers can compare it with std::errc). A table of the system's codes
// and nothing else: it depends on no other part of the library.
#ifndef LZRING_PLATFORM_WIN32_ERRNO_H
#define LZRING_PLATFORM_WIN32_ERRNO_H

#include <windows.h>

#include <cerrno>

namespace lzring {

// The system's code for "an operation is not supported on a directory"
// (newer than this toolchain's headers): a directory refused as a source or
// destination, reported as EISDIR as on other platforms.
inline constexpr DWORD kErrorIsDirectory = 336;

// Codes of the same kind share a value, as the C runtime's own mapping has
// them; anything else is EIO. (The standard library's own mapping differs:
// a sharing violation would be EBUSY, and ELOOP would be missing.)
inline int ErrnoFromWin32(DWORD code) {
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

}  // namespace lzring

#endif  // LZRING_PLATFORM_WIN32_ERRNO_H
