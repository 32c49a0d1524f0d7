// POSIX rendering of the tool's file system calls.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "cli/file_calls.h"
#include "cli/file_system.h"

namespace lzring::cli {
namespace {

std::string ErrorText() {
  return std::error_code(errno, std::generic_category()).message();
}

FileKind KindOf(mode_t mode) {
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISDIR(mode)) return FileKind::kDirectory;
  if (S_ISCHR(mode)) return FileKind::kCharDevice;
  if (S_ISBLK(mode)) return FileKind::kBlockDevice;
  if (S_ISFIFO(mode)) return FileKind::kFifo;
  if (S_ISSOCK(mode)) return FileKind::kSocket;
  return FileKind::kOther;
}

FileTime TimeOf(const struct timespec& t) {
  return FileTime{static_cast<std::int64_t>(t.tv_sec), static_cast<std::int32_t>(t.tv_nsec)};
}

struct timespec TimespecOf(const FileTime& t) {
  struct timespec ts {};
  ts.tv_sec = static_cast<time_t>(t.seconds);
  ts.tv_nsec = t.nanoseconds;
  return ts;
}

void Fill(const struct stat& st, FileInfo& info) {
  info.kind = KindOf(st.st_mode);
  info.size = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  info.links = static_cast<std::uint64_t>(st.st_nlink);
  info.volume = static_cast<std::uint64_t>(st.st_dev);
  info.index = static_cast<std::uint64_t>(st.st_ino);
  info.access_time = TimeOf(st.st_atim);
  info.write_time = TimeOf(st.st_mtim);
  info.attributes = static_cast<std::uint32_t>(st.st_mode);
  info.owner = static_cast<std::uint32_t>(st.st_uid);
  info.group = static_cast<std::uint32_t>(st.st_gid);
}

mode_t CurrentUmask() {
  static const mode_t mask = [] {
    const mode_t m = ::umask(0);
    ::umask(m);
    return m;
  }();
  return mask;
}

}  // namespace

bool IsOpenFileLink(const std::string& path) {
  // Each step: the real directory of the name, then where the name leads if
  // it is a symbolic link. /dev/stderr is caught at its second step, in the
  // directory of /proc/self/fd/2, before the link the kernel resolves by
  // itself.
  std::string name = path;
  for (int hops = 0; hops < 40; ++hops) {
    const std::size_t slash = name.rfind('/');
    const std::string dir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : name.substr(0, slash));
    char* real = ::realpath(dir.c_str(), nullptr);
    if (real == nullptr) return false;
    std::string full = real;
    std::free(real);
    if (InProcessTree(full.c_str())) return true;
    const std::string real_dir = full;
    if (full != "/") full += '/';
    full += slash == std::string::npos ? name : name.substr(slash + 1);
    char target[4096];
    const ssize_t n = ::readlink(full.c_str(), target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    name = target[0] == '/' ? std::string(target) : real_dir + "/" + target;
  }
  // A chain of links this long is not replaced either.
  return true;
}

bool StatPath(const std::string& path, bool follow_links, FileInfo& info) {
  struct stat st;
  const int r = follow_links ? ::stat(path.c_str(), &st) : ::lstat(path.c_str(), &st);
  if (r != 0) return false;
  Fill(st, info);
  return true;
}

bool StatOpen(int fd, FileInfo& info) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return false;
  Fill(st, info);
  return true;
}

int OpenInput(const std::string& path, bool no_follow) {
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | (no_follow ? O_NOFOLLOW : 0));
}

int OpenInPlace(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY);
}

bool CloseFile(int fd) {
  return ::close(fd) == 0 || errno == EINTR;
}

bool IsTerminal(int fd) {
  return ::isatty(fd) != 0;
}

std::size_t TerminalWidth(int fd) {
  struct winsize size {};
  if (::ioctl(fd, TIOCGWINSZ, &size) != 0) return 0;
  return size.ws_col;
}

void CopyAttributes(int fd, const FileInfo* from, std::vector<std::string>& warnings) {
  if (from != nullptr) {
    // Keeping the owner only works for a privileged user; others keep their
    // own ownership, as with any file they create.
    if (::fchown(fd, from->owner, from->group) != 0) {
    }
    const struct timespec times[2] = {TimespecOf(from->access_time), TimespecOf(from->write_time)};
    if (::futimens(fd, times) != 0) warnings.push_back("times not copied: " + ErrorText());
  }
  // Until here the file was 0600, so that no one else could read a private
  // input's data through it.
  const mode_t mode = from == nullptr ? (0666 & ~CurrentUmask()) : (from->attributes & 0777);
  if (::fchmod(fd, mode) != 0) warnings.push_back("permissions not set: " + ErrorText());
}

bool SyncFile(int fd) {
  return ::fsync(fd) == 0;
}

bool RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0;
}

std::int64_t CurrentOffset(int fd) {
  return static_cast<std::int64_t>(::lseek(fd, 0, SEEK_CUR));
}

bool SetOffset(int fd, std::int64_t offset) {
  return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0;
}

std::int64_t ReadSome(int fd, void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, size);
    if (n >= 0 || errno != EINTR) return static_cast<std::int64_t>(n);
  }
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, p, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool MakesHoles() {
  return true;
}

bool SkipForward(int fd, std::uint64_t count) {
  return ::lseek(fd, static_cast<off_t>(count), SEEK_CUR) >= 0;
}

bool SetFileSize(int fd, std::uint64_t size) {
  for (;;) {
    if (::ftruncate(fd, static_cast<off_t>(size)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

std::size_t SuffixLength(const std::string& name, const std::string& suffix) {
  const std::size_t n = suffix.size();
  const bool ends = name.size() > n && name.compare(name.size() - n, n, suffix) == 0 &&
                    name[name.size() - n - 1] != '/';
  return ends ? n : 0;
}

bool ValidSuffix(const std::string& suffix) {
  return !suffix.empty() && suffix.find('/') == std::string::npos;
}

std::string LastErrorText() {
  return ErrorText();
}

bool WriteStdout(const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

void WriteStderr(const char* text, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(STDERR_FILENO, text, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text += n;
    size -= static_cast<std::size_t>(n);
  }
}

}  // namespace lzring::cli
