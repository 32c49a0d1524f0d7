// The platform file layer: the handful of handle-based operations that the
// file streams and _GetFileSize need. One implementation per platform
// (platform_file_posix.cpp, platform_file_win32.cpp); nothing else in the
// library calls the operating system's file interface.
#ifndef LZRING_PLATFORM_PLATFORM_FILE_H
#define LZRING_PLATFORM_PLATFORM_FILE_H

#include <cstdint>

namespace lzring {

// An open file, as the platform numbers it; kBadHandle for a failed open.
using FileHandle = std::int32_t;
inline constexpr FileHandle kBadHandle = -1;

// Opens an existing file for reading. Directories are refused. The open of a
// FIFO waits for its writer. Returns kBadHandle on failure.
FileHandle FileOpenRead(const char* path);

// Opens an existing regular file for reading, never waiting: a FIFO, a
// device, a socket or a directory is refused (without being opened, where
// the system can tell what it is first). For measuring a file. Returns
// kBadHandle on failure.
FileHandle FileOpenRegular(const char* path);

// Creates a file for writing, truncating an existing one to length 0. The
// open of a FIFO waits for its reader. Returns kBadHandle on failure.
FileHandle FileCreate(const char* path);

// Reads up to `count` bytes. Returns the number read, 0 at the end of the
// file, -1 on failure. Interrupted reads are retried.
std::int32_t FileRead(FileHandle handle, void* buffer, std::int32_t count);

// Writes up to `count` bytes. Returns the number written (possibly fewer than
// asked), or -1 on failure. Interrupted writes are retried.
std::int32_t FileWrite(FileHandle handle, const void* buffer, std::int32_t count);

// Moves to the end of the file and returns that offset (the file size), or -1.
std::int64_t FileSeekEnd(FileHandle handle);

// Closes the handle. Returns 0, or -1 when the system reports a failure,
// which for a file being written can mean that written data was not stored.
// The handle is released either way; an interrupted close counts as done.
int FileClose(FileHandle handle);

// The handle of a C runtime file descriptor, for the C++ API's functions
// over descriptors: the descriptor itself on POSIX systems, its Win32 handle
// on Windows (where descriptors are the C runtime's own numbers). kBadHandle
// when `fd` is not open.
FileHandle FileFromDescriptor(int fd);

// True when `path` names the very file open as `handle` (the same path, a
// hard link or a symbolic link to it). False when `path` does not exist.
bool FileIsSame(FileHandle handle, const char* path);

#ifdef _WIN32
// FileOpenRead, FileCreate and FileIsSame by wide-character path, for the
// C++ API, whose paths are wide on Windows: any name works whatever the code
// page. Files are opened with the sharing and access of the calls above.
FileHandle FileOpenRead(const wchar_t* path);
FileHandle FileCreate(const wchar_t* path);
bool FileIsSame(FileHandle handle, const wchar_t* path);
#endif

// The error code of the last failed operation on this thread, as an errno
// value on every platform (the system's own codes are mapped to one).
int FileLastError();

// Serialises the exported entry points: one process-wide lock.
void LockCalls();
void UnlockCalls();

// The process-wide lock as a BasicLockable type, held for a call with
// std::lock_guard; every CallLock object stands for the same lock.
class CallLock {
 public:
  void lock() { LockCalls(); }
  void unlock() { UnlockCalls(); }
};

}  // namespace lzring

#endif  // LZRING_PLATFORM_PLATFORM_FILE_H
