// Windows rendering of the platform file layer: the kernel's simple
// handle-based calls _lopen, _lcreat, _lread, _lwrite and _lclose, with the
// handle kept as the 32-bit value they return and HFILE_ERROR (-1) as failure.
// The few things those calls cannot tell (the true size of a large file,
// whether two names are one file, whether a handle is a directory) come from
// the handle's Win32 file information.
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdint>

#include "platform/platform_file.h"
#include "platform/win32_errno.h"

namespace lzring {
namespace {

// An HFILE is the Win32 handle value narrowed to 32 bits (kernel handles are
// small numbers that fit), so the Win32 calls get it back by widening.
HANDLE Win32Handle(FileHandle handle) {
  return LongToHandle(handle);
}

// The calls that differ between 8-bit and wide-character paths.
DWORD Attributes(const char* path) {
  return GetFileAttributesA(path);
}
DWORD Attributes(const wchar_t* path) {
  return GetFileAttributesW(path);
}
HANDLE OpenForIdentity(const char* path, DWORD share) {
  return CreateFileA(path, 0, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}
HANDLE OpenForIdentity(const wchar_t* path, DWORD share) {
  return CreateFileW(path, 0, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// After a failed open of `path`: a directory is the reason, not access.
template <class PathChar>
void TellDirectory(const PathChar* path) {
  const DWORD error = GetLastError();
  const DWORD attributes = Attributes(path);
  if (error == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    SetLastError(kErrorIsDirectory);
  } else {
    SetLastError(error);
  }
}

// A directory is refused as a source so that it fails the same way on every
// platform, whatever the open call itself does with one. Closes `file` and
// returns kBadHandle when it is one.
FileHandle RefuseDirectory(HFILE file) {
  BY_HANDLE_FILE_INFORMATION info;
  DWORD error = ERROR_SUCCESS;
  if (!GetFileInformationByHandle(Win32Handle(file), &info)) {
    error = GetLastError();
  } else if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    error = kErrorIsDirectory;
  }
  if (error != ERROR_SUCCESS) {
    _lclose(file);
    SetLastError(error);
    return kBadHandle;
  }
  return static_cast<FileHandle>(file);
}

// The sharing that _lopen and _lcreat give: others may read and write the
// file, but not delete it while it is open.
constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE;

// An HFILE from a handle that CreateFileW opened (handles fit in 32 bits).
HFILE FromHandle(HANDLE handle) {
  return handle == INVALID_HANDLE_VALUE ? HFILE_ERROR : HandleToLong(handle);
}

}  // namespace

FileHandle FileOpenRead(const char* path) {
  // Mode 0: read only, with the default sharing of these calls.
  const HFILE file = _lopen(path, OF_READ);
  if (file == HFILE_ERROR) {
    TellDirectory(path);
    return kBadHandle;
  }
  return RefuseDirectory(file);
}

FileHandle FileOpenRead(const wchar_t* path) {
  const HFILE file = FromHandle(CreateFileW(path, GENERIC_READ, kShare, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file == HFILE_ERROR) {
    TellDirectory(path);
    return kBadHandle;
  }
  return RefuseDirectory(file);
}

FileHandle FileOpenRegular(const char* path) {
  // Opening a named pipe as a client connects or fails at once; devices
  // (CON, NUL, COM1) and pipes are refused once open by what they are.
  const FileHandle file = FileOpenRead(path);
  if (file == kBadHandle) return kBadHandle;
  if (GetFileType(Win32Handle(file)) != FILE_TYPE_DISK) {
    _lclose(static_cast<HFILE>(file));
    SetLastError(ERROR_INVALID_PARAMETER);
    return kBadHandle;
  }
  return file;
}

FileHandle FileCreate(const char* path) {
  // Attribute 0: a normal file. An existing file is truncated to length 0.
  const HFILE file = _lcreat(path, 0);
  if (file == HFILE_ERROR) {
    TellDirectory(path);
    return kBadHandle;
  }
  return static_cast<FileHandle>(file);
}

FileHandle FileCreate(const wchar_t* path) {
  const HFILE file = FromHandle(CreateFileW(path, GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file == HFILE_ERROR) {
    TellDirectory(path);
    return kBadHandle;
  }
  return static_cast<FileHandle>(file);
}

std::int32_t FileRead(FileHandle handle, void* buffer, std::int32_t count) {
  if (count <= 0) return 0;
  // HFILE_ERROR comes back as the unsigned 0xFFFFFFFF, which is -1 here.
  const auto n = static_cast<std::int32_t>(_lread(handle, buffer, static_cast<UINT>(count)));
  // A pipe whose writer has closed its end reports a broken pipe where other
  // platforms report the end of the input; it is the end here too.
  if (n < 0 && GetLastError() == ERROR_BROKEN_PIPE) return 0;
  return n;
}

std::int32_t FileWrite(FileHandle handle, const void* buffer, std::int32_t count) {
  // A write of zero bytes would set the end of the file at the current
  // position instead of writing; nothing is asked, so nothing is done.
  if (count <= 0) return 0;
  return static_cast<std::int32_t>(
      _lwrite(handle, static_cast<LPCCH>(buffer), static_cast<UINT>(count)));
}

std::int64_t FileSeekEnd(FileHandle handle) {
  // The 32-bit _llseek(handle, 0, 2) returns a LONG: a file of 2 GiB to
  // 4 GiB comes back as a negative offset and a larger one as a failure or,
  // by other routes, a wrapped value. The 64-bit form of the same seek gives
  // the true size, which the caller can then refuse when it does not fit.
  LARGE_INTEGER end;
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  if (!SetFilePointerEx(Win32Handle(handle), zero, &end, FILE_END)) return -1;
  return static_cast<std::int64_t>(end.QuadPart);
}

int FileClose(FileHandle handle) {
  return _lclose(handle) == HFILE_ERROR ? -1 : 0;
}

FileHandle FileFromDescriptor(int fd) {
  // -1 (INVALID_HANDLE_VALUE) for a descriptor that is not open, and -2 for
  // a standard stream of a process that has none.
  const intptr_t os = _get_osfhandle(fd);
  if (os == -1 || os == -2) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kBadHandle;
  }
  return HandleToLong(reinterpret_cast<HANDLE>(os));
}

namespace {

template <class PathChar>
bool IsSame(FileHandle handle, const PathChar* path) {
  BY_HANDLE_FILE_INFORMATION open_file;
  if (!GetFileInformationByHandle(Win32Handle(handle), &open_file)) return false;
  // Opened for no access at all, only to read its identity: this neither
  // truncates nor locks the named file, and works while the source is open.
  const HANDLE named_handle =
      OpenForIdentity(path, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
  if (named_handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION named;
  const BOOL known = GetFileInformationByHandle(named_handle, &named);
  CloseHandle(named_handle);
  // A file is identified by its volume and its index on that volume, which
  // every name of it (links, other spellings of the path) shares.
  return known && open_file.dwVolumeSerialNumber == named.dwVolumeSerialNumber &&
         open_file.nFileIndexHigh == named.nFileIndexHigh &&
         open_file.nFileIndexLow == named.nFileIndexLow;
}

}  // namespace

bool FileIsSame(FileHandle handle, const char* path) {
  return IsSame(handle, path);
}

bool FileIsSame(FileHandle handle, const wchar_t* path) {
  return IsSame(handle, path);
}

int FileLastError() {
  return ErrnoFromWin32(GetLastError());
}

namespace {
// A slim reader/writer lock needs no initialisation call, so loading the
// module does no work; this toolchain's thread model has no std::mutex.
SRWLOCK g_call_lock = SRWLOCK_INIT;
}  // namespace

void LockCalls() {
  AcquireSRWLockExclusive(&g_call_lock);
}
void UnlockCalls() {
  ReleaseSRWLockExclusive(&g_call_lock);
}

}  // namespace lzring
