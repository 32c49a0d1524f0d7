// The file system and standard streams as the tool sees them: what a name or
// an open file is, opening inputs, carrying an input's times and permissions
// over to its output, syncing and removing files. One implementation per
// platform (file_system_posix.cpp, file_system_win32.cpp). Open files are
// the C runtime's descriptors, which the codec's functions take; names are
// UTF-8 on Windows. Failures set errno.
#ifndef LZRING_CLI_FILE_SYSTEM_H
#define LZRING_CLI_FILE_SYSTEM_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace lzring::cli {

inline constexpr int kStdin = 0;
inline constexpr int kStdout = 1;
inline constexpr int kStderr = 2;

enum class FileKind { kRegular, kDirectory, kCharDevice, kBlockDevice, kFifo, kSocket, kOther };

// A time as seconds and nanoseconds since the platform's epoch.
struct FileTime {
  std::int64_t seconds = 0;
  std::int32_t nanoseconds = 0;
  bool operator==(const FileTime&) const = default;
};

struct FileInfo {
  FileKind kind = FileKind::kOther;
  std::uint64_t size = 0;   // of a regular file
  std::uint64_t links = 1;  // names the file has
  // Which file it is: device and inode numbers, or volume serial number and
  // file index. Both 0 where the system cannot tell (a Windows device).
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  // What an output takes over from its input: the times, and the mode bits,
  // owner and group on POSIX systems or the file attributes on Windows.
  FileTime access_time;
  FileTime write_time;
  std::uint32_t attributes = 0;
  std::uint32_t owner = 0;
  std::uint32_t group = 0;
};

inline bool SameFile(const FileInfo& a, const FileInfo& b) {
  return (a.volume != 0 || a.index != 0) && a.volume == b.volume && a.index == b.index;
}

// What `path` is: what it leads to when `follow_links`, otherwise the name
// itself (a symbolic link is then kOther). False (errno set) when it cannot
// be told, ENOENT when nothing has the name.
bool StatPath(const std::string& path, bool follow_links, FileInfo& info);
// What the open file `fd` is.
bool StatOpen(int fd, FileInfo& info);
// Whether `path`, or a symbolic link it leads through, is one of the
// system's links to an open file (/proc/self/fd/N, and /dev/stderr or
// /dev/fd/N that lead there): such a name stands for whatever the process
// has open, and is never replaced by a file. Judged by the file system the
// link is on, not by its path. Always false where there are no such links.
bool IsOpenFileLink(const std::string& path);

// Opens an input for reading, as every program does: a FIFO's open waits
// for its writer. `no_follow` refuses a symbolic link (ELOOP). -1 on failure.
int OpenInput(const std::string& path, bool no_follow);
// Opens an existing device or FIFO for writing into it. -1 on failure.
int OpenInPlace(const std::string& path);
// Closes `fd`; false when the system reports a failure (for a file being
// written: its data may not be stored). The descriptor is released either
// way.
bool CloseFile(int fd);

bool IsTerminal(int fd);
// The width in columns of the terminal `fd` is, or 0 when it is not one or
// its width is unknown.
std::size_t TerminalWidth(int fd);

// Gives the output open as `fd` the times and permissions of `from` (of a
// new file when `from` is null: standard input), and its owner where the
// user may. What the file system cannot keep adds a line to `warnings`.
void CopyAttributes(int fd, const FileInfo* from, std::vector<std::string>& warnings);
// Writes the file's data through to the disk.
bool SyncFile(int fd);
// Removes the name `path`.
bool RemoveFile(const std::string& path);

// The offset of `fd`, or -1 where it cannot seek (a pipe).
std::int64_t CurrentOffset(int fd);
bool SetOffset(int fd, std::int64_t offset);
// Reads up to `size` bytes: the count, 0 at the end, -1 on failure.
std::int64_t ReadSome(int fd, void* buffer, std::size_t size);
// Writes all `size` bytes. False (errno set) on failure.
bool WriteAll(int fd, const void* data, std::size_t size);

// Whether a new regular file gets holes where the tool skips over its
// zeros (SkipForward), so that they take no space on disk. Where it does
// not, the tool writes every byte.
bool MakesHoles();
// Moves the offset of `fd` on by `count` bytes, past the end of the file
// if need be: bytes skipped read as zeros.
bool SkipForward(int fd, std::uint64_t count);
// Sets the size of the open file `fd`, which reads as zeros past its old
// end.
bool SetFileSize(int fd, std::uint64_t size);

// Whether `name` ends in `suffix` after at least one character of its last
// component: the length of that ending in bytes, or 0. Exactly on POSIX
// systems; ignoring case on Windows, as its names do.
std::size_t SuffixLength(const std::string& name, const std::string& suffix);
// Whether `suffix` may make output names: not empty, and without a directory
// separator (nor, on Windows, the ':' of drives and streams).
bool ValidSuffix(const std::string& suffix);

// The system's words for the failure that set errno last in this thread
// (on Windows those of the Win32 error behind it).
std::string LastErrorText();

// Writes `text` to standard output (a console shows it in UTF-16 on
// Windows). False (errno set) on failure.
bool WriteStdout(const std::string& text);

// Writes all of `text` to standard error, best effort: a message that
// cannot be shown is not a further error.
void WriteStderr(const char* text, std::size_t size);

}  // namespace lzring::cli

#endif  // LZRING_CLI_FILE_SYSTEM_H
