// Windows rendering of the tool's file system calls: files opened by their
// wide-character names, and their Win32 handles wrapped in the C runtime's
// descriptors that the codec's functions take.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <system_error>

#include "cli/error_win32.h"
#include "cli/file_system.h"
#include "cli/utf8_win32.h"

namespace lzring::cli {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000;  // FILETIME counts 100 ns

HANDLE HandleOf(int fd) {
  return reinterpret_cast<HANDLE>(_get_osfhandle(fd));
}

std::string ErrorText() {
  return std::error_code(errno, std::generic_category()).message();
}

FileTime TimeOf(const FILETIME& t) {
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  return FileTime{static_cast<std::int64_t>(ticks / kTicksPerSecond),
                  static_cast<std::int32_t>(ticks % kTicksPerSecond * 100)};
}

FILETIME FiletimeOf(const FileTime& t) {
  const std::uint64_t ticks = static_cast<std::uint64_t>(t.seconds) * kTicksPerSecond +
                              static_cast<std::uint64_t>(t.nanoseconds / 100);
  FILETIME f;
  f.dwLowDateTime = static_cast<DWORD>(ticks);
  f.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return f;
}

// What the open handle is. `as_link`: it was opened without following a
// link, so a reparse point (a symbolic link) is the name itself.
bool Fill(HANDLE handle, bool as_link, FileInfo& info) {
  info = FileInfo{};
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
    SetErrnoFromWin32();
    return false;
  }
  if (type == FILE_TYPE_CHAR) {
    info.kind = FileKind::kCharDevice;
    return true;
  }
  if (type == FILE_TYPE_PIPE) {
    info.kind = FileKind::kFifo;
    return true;
  }
  if (type != FILE_TYPE_DISK) return true;
  BY_HANDLE_FILE_INFORMATION bh;
  if (!GetFileInformationByHandle(handle, &bh)) {
    // Some handles to files tell their size but not the rest (wine's
    // standard input redirected from a file): a file without identity or
    // times, which is all that standard input needs.
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle, &size)) {
      SetErrnoFromWin32();
      return false;
    }
    info.kind = FileKind::kRegular;
    info.size = static_cast<std::uint64_t>(size.QuadPart);
    return true;
  }
  if ((bh.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    info.kind = FileKind::kDirectory;
  } else if (as_link && (bh.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    info.kind = FileKind::kOther;
  } else {
    info.kind = FileKind::kRegular;
  }
  info.size = (static_cast<std::uint64_t>(bh.nFileSizeHigh) << 32) | bh.nFileSizeLow;
  info.links = bh.nNumberOfLinks;
  info.volume = bh.dwVolumeSerialNumber;
  info.index = (static_cast<std::uint64_t>(bh.nFileIndexHigh) << 32) | bh.nFileIndexLow;
  info.access_time = TimeOf(bh.ftLastAccessTime);
  info.write_time = TimeOf(bh.ftLastWriteTime);
  info.attributes = bh.dwFileAttributes;
  return true;
}

// Wraps `handle` in a descriptor, or closes it.
int Descriptor(HANDLE handle, int flags) {
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), flags | _O_BINARY);
  if (fd < 0) {
    CloseHandle(handle);
    SetErrno(EMFILE);
  }
  return fd;
}

// The last component of a path, after its last separator.
std::wstring LastComponent(const std::wstring& path) {
  const std::size_t cut = path.find_last_of(L"\\/:");
  return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

// Whether the handle, opened on `path` without following a link, is of a
// file of another name: a symbolic link that was followed all the same, as
// wine follows those of the system below it (they are no reparse points
// there). The long name of `path` is compared, so that a short 8.3 name is
// not taken for a link.
bool LeadsElsewhere(HANDLE handle, const std::wstring& path) {
  std::wstring final_path(MAX_PATH, L'\0');
  DWORD n = GetFinalPathNameByHandleW(handle, final_path.data(),
                                      static_cast<DWORD>(final_path.size()), 0);
  if (n >= final_path.size()) {
    final_path.resize(n);
    n = GetFinalPathNameByHandleW(handle, final_path.data(), n, 0);
  }
  if (n == 0 || n >= final_path.size()) return false;
  final_path.resize(n);
  std::wstring long_path(MAX_PATH, L'\0');
  DWORD m = GetLongPathNameW(path.c_str(), long_path.data(), static_cast<DWORD>(long_path.size()));
  if (m >= long_path.size()) {
    long_path.resize(m);
    m = GetLongPathNameW(path.c_str(), long_path.data(), m);
  }
  long_path = m == 0 || m >= long_path.size() ? path : long_path.substr(0, m);
  const std::wstring a = LastComponent(final_path);
  const std::wstring b = LastComponent(long_path);
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                              static_cast<int>(b.size()), TRUE) != CSTR_EQUAL;
}

// Others may read and write a file while it is read, as on other systems
// (the tool sees a change by its size and time), and remove it.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

}  // namespace

bool StatPath(const std::string& path, bool follow_links, FileInfo& info) {
  // No access to the data: this neither waits for nor disturbs the file.
  // Backup semantics open directories too.
  const HANDLE handle = CreateFileW(
      Wide(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
      FILE_FLAG_BACKUP_SEMANTICS | (follow_links ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetErrnoFromWin32();
    return false;
  }
  const bool ok = Fill(handle, !follow_links, info);
  CloseHandle(handle);
  return ok;
}

bool IsOpenFileLink(const std::string&) {
  return false;
}

bool StatOpen(int fd, FileInfo& info) {
  const HANDLE handle = HandleOf(fd);
  if (handle == INVALID_HANDLE_VALUE || handle == reinterpret_cast<HANDLE>(-2)) {
    SetErrno(EBADF);
    return false;
  }
  return Fill(handle, false, info);
}

int OpenInput(const std::string& path, bool no_follow) {
  const HANDLE handle =
      CreateFileW(Wide(path).c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN |
                      (no_follow ? FILE_FLAG_OPEN_REPARSE_POINT : 0),
                  nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetErrnoFromWin32();
    return -1;
  }
  if (no_follow) {
    BY_HANDLE_FILE_INFORMATION bh;
    if ((GetFileInformationByHandle(handle, &bh) &&
         (bh.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) ||
        LeadsElsewhere(handle, Wide(path))) {
      CloseHandle(handle);
      SetErrno(ELOOP);
      return -1;
    }
  }
  return Descriptor(handle, _O_RDONLY);
}

int OpenInPlace(const std::string& path) {
  const HANDLE handle =
      CreateFileW(Wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    SetErrnoFromWin32();
    return -1;
  }
  return Descriptor(handle, _O_WRONLY);
}

bool CloseFile(int fd) {
  return _close(fd) == 0;
}

bool IsTerminal(int fd) {
  DWORD mode = 0;
  return GetConsoleMode(HandleOf(fd), &mode) != 0;
}

std::size_t TerminalWidth(int fd) {
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (!GetConsoleScreenBufferInfo(HandleOf(fd), &info)) return 0;
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? static_cast<std::size_t>(columns) : 0;
}

void CopyAttributes(int fd, const FileInfo* from, std::vector<std::string>& warnings) {
  // A new file's attributes and times are already those of standard input's
  // output.
  if (from == nullptr) return;
  const HANDLE handle = HandleOf(fd);
  const FILETIME access = FiletimeOf(from->access_time);
  const FILETIME write = FiletimeOf(from->write_time);
  if (!SetFileTime(handle, nullptr, &access, &write)) {
    SetErrnoFromWin32();
    warnings.push_back("times not copied: " + ErrorText());
  }
  if ((from->attributes & FILE_ATTRIBUTE_READONLY) == 0) return;
  // Set on the open file, before it has its name: the output is never
  // writable under its name when its input was not. Times of 0 are left as
  // they are.
  FILE_BASIC_INFO basic{};
  BY_HANDLE_FILE_INFORMATION now;
  basic.FileAttributes = FILE_ATTRIBUTE_READONLY;
  if (GetFileInformationByHandle(handle, &now)) basic.FileAttributes |= now.dwFileAttributes;
  basic.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL);
  if (!SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic)) {
    SetErrnoFromWin32();
    warnings.push_back("read-only attribute not set: " + ErrorText());
  }
}

bool SyncFile(int fd) {
  if (FlushFileBuffers(HandleOf(fd))) return true;
  SetErrnoFromWin32();
  return false;
}

bool RemoveFile(const std::string& path) {
  const std::wstring name = Wide(path);
  // Where a link is followed whatever the flags (wine), removing its name
  // would remove the file it leads to: it stays, with -f too.
  BY_HANDLE_FILE_INFORMATION bh{};
  const HANDLE handle =
      CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (handle != INVALID_HANDLE_VALUE) {
    const bool elsewhere = GetFileInformationByHandle(handle, &bh) &&
                           (bh.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 &&
                           LeadsElsewhere(handle, name);
    CloseHandle(handle);
    if (elsewhere) {
      SetErrno(ELOOP);
      return false;
    }
  }
  if (DeleteFileW(name.c_str())) return true;
  SetErrnoFromWin32();
  // A read-only file refuses removal where a POSIX system would remove the
  // name (the directory allows it): --rm asked for it, so the attribute
  // goes first, and comes back if the removal still fails.
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (errno != EACCES || attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
      !SetFileAttributesW(name.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    return false;
  }
  if (DeleteFileW(name.c_str())) return true;
  SetErrnoFromWin32();
  SetFileAttributesW(name.c_str(), attributes);
  return false;
}

std::int64_t CurrentOffset(int fd) {
  const HANDLE handle = HandleOf(fd);
  LARGE_INTEGER zero{};
  LARGE_INTEGER here{};
  if (GetFileType(handle) != FILE_TYPE_DISK ||
      !SetFilePointerEx(handle, zero, &here, FILE_CURRENT)) {
    return -1;
  }
  return here.QuadPart;
}

bool SetOffset(int fd, std::int64_t offset) {
  LARGE_INTEGER to{};
  to.QuadPart = offset;
  if (SetFilePointerEx(HandleOf(fd), to, nullptr, FILE_BEGIN)) return true;
  SetErrnoFromWin32();
  return false;
}

std::int64_t ReadSome(int fd, void* buffer, std::size_t size) {
  DWORD n = 0;
  const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  if (ReadFile(HandleOf(fd), buffer, want, &n, nullptr)) return n;
  // A pipe whose writer has gone: the end of the input.
  if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
  SetErrnoFromWin32();
  return -1;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD n = 0;
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!WriteFile(HandleOf(fd), p, chunk, &n, nullptr)) {
      SetErrnoFromWin32();
      return false;
    }
    if (n == 0) {
      SetErrno(EIO);
      return false;
    }
    p += n;
    size -= n;
  }
  return true;
}

// A file gets holes only once marked sparse, and a sparse file has costs
// of its own on NTFS: every byte is written.
bool MakesHoles() {
  return false;
}

bool SkipForward(int fd, std::uint64_t count) {
  LARGE_INTEGER by{};
  by.QuadPart = static_cast<LONGLONG>(count);
  if (SetFilePointerEx(HandleOf(fd), by, nullptr, FILE_CURRENT)) return true;
  SetErrnoFromWin32();
  return false;
}

bool SetFileSize(int fd, std::uint64_t size) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (SetFileInformationByHandle(HandleOf(fd), FileEndOfFileInfo, &end, sizeof end)) return true;
  SetErrnoFromWin32();
  return false;
}

std::size_t SuffixLength(const std::string& name, const std::string& suffix) {
  const std::wstring wide = Wide(name);
  const std::wstring end = Wide(suffix);
  const std::size_t n = end.size();
  if (wide.size() <= n) return 0;
  const wchar_t before = wide[wide.size() - n - 1];
  if (before == L'/' || before == L'\\' || before == L':') return 0;
  if (CompareStringOrdinal(wide.data() + wide.size() - n, static_cast<int>(n), end.data(),
                           static_cast<int>(n), TRUE) != CSTR_EQUAL) {
    return 0;
  }
  return Utf8(wide.c_str() + wide.size() - n).size();
}

bool ValidSuffix(const std::string& suffix) {
  return !suffix.empty() && suffix.find_first_of("/\\:") == std::string::npos;
}

bool WriteStdout(const std::string& text) {
  const HANDLE handle = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE || !GetConsoleMode(handle, &mode)) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  }
  // A console shows UTF-16 whatever its code page; what the C runtime holds
  // goes first.
  std::fflush(stdout);
  const std::wstring wide = Wide(text);
  DWORD written = 0;
  if (WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr)) {
    return true;
  }
  SetErrnoFromWin32();
  return false;
}

void WriteStderr(const char* text, std::size_t size) {
  const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  if (GetConsoleMode(handle, &mode)) {
    // A console shows UTF-16 whatever its code page.
    try {
      const std::wstring wide = Wide(std::string(text, size));
      DWORD written = 0;
      WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
      return;
    } catch (const std::exception&) {
      // Out of memory: the bytes as they are.
    }
  }
  while (size > 0) {
    DWORD n = 0;
    const DWORD chunk = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
    if (!WriteFile(handle, text, chunk, &n, nullptr) || n == 0) return;
    text += n;
    size -= n;
  }
}

}  // namespace lzring::cli
