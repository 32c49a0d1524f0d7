// Win32 errors as the tool reports them: as errno for the code that tests
// it, and in the system's own words for the messages.
#ifndef LZRING_CLI_ERROR_WIN32_H
#define LZRING_CLI_ERROR_WIN32_H

#include <windows.h>

#include <string>

namespace lzring::cli {

// Sets errno from the last Win32 error of this thread, and keeps that error
// for LastErrorText() (file_system.h).
void SetErrnoFromWin32();
// Sets errno to `value` with no Win32 error behind it.
void SetErrno(int value);

}  // namespace lzring::cli

#endif  // LZRING_CLI_ERROR_WIN32_H
