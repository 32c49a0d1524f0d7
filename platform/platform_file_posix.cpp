// POSIX rendering of the platform file layer: open/read/write/lseek/close
// on plain descriptors. Descriptors are opened close-on-exec so that a host
// that spawns processes during a call does not leak them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/platform_file.h"
#include "platform/system_calls.h"

namespace lzring {

// Files are opened in blocking mode, as every program opens them: the open
// of a FIFO waits for the other end, so that a writer that connects after
// the call began is read whole, and a reader gets the whole output. A FIFO
// without another end makes the call wait; that is the caller's choice of
// file, not a failure.
FileHandle FileOpenRead(const char* path) {
  const int fd = sys::Open(path, O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return kBadHandle;
  // A directory opens for reading here but not on every platform; refuse it
  // so that a directory fails the same way everywhere.
  struct stat st;
  const int error = ::fstat(fd, &st) != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : 0;
  if (error != 0) {
    sys::Close(fd);
    errno = error;
    return kBadHandle;
  }
  return static_cast<FileHandle>(fd);
}

FileHandle FileOpenRegular(const char* path) {
  // Told from the name first, so that nothing but a regular file is opened:
  // opening a FIFO waits for a writer, and opening a device can act on it.
  struct stat st;
  if (::stat(path, &st) != 0) return kBadHandle;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return kBadHandle;
  }
  // The name may have been replaced since: the open does not wait, and what
  // it opened is checked again.
  const int fd = sys::Open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0);
  if (fd < 0) return kBadHandle;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    sys::Close(fd);
    errno = EINVAL;
    return kBadHandle;
  }
  return static_cast<FileHandle>(fd);
}

FileHandle FileCreate(const char* path) {
  const int fd = sys::Open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  return fd < 0 ? kBadHandle : static_cast<FileHandle>(fd);
}

std::int32_t FileRead(FileHandle handle, void* buffer, std::int32_t count) {
  for (;;) {
    const ssize_t n = sys::Read(handle, buffer, static_cast<size_t>(count));
    if (n >= 0) return static_cast<std::int32_t>(n);
    if (errno != EINTR) return -1;
  }
}

std::int32_t FileWrite(FileHandle handle, const void* buffer, std::int32_t count) {
  for (;;) {
    const ssize_t n = sys::Write(handle, buffer, static_cast<size_t>(count));
    if (n >= 0) return static_cast<std::int32_t>(n);
    if (errno != EINTR) return -1;
  }
}

std::int64_t FileSeekEnd(FileHandle handle) {
  const off_t end = ::lseek(handle, 0, SEEK_END);
  return end < 0 ? -1 : static_cast<std::int64_t>(end);
}

int FileClose(FileHandle handle) {
  // On Linux the descriptor is released even when close reports EINTR, so
  // retrying could close a descriptor another thread has just opened.
  return sys::Close(handle) == 0 || errno == EINTR ? 0 : -1;
}

bool FileIsSame(FileHandle handle, const char* path) {
  struct stat open_file;
  struct stat named;
  if (::fstat(handle, &open_file) != 0 || ::stat(path, &named) != 0) return false;
  return open_file.st_dev == named.st_dev && open_file.st_ino == named.st_ino;
}

FileHandle FileFromDescriptor(int fd) {
  return fd < 0 ? kBadHandle : static_cast<FileHandle>(fd);
}

int FileLastError() {
  return errno;
}

namespace {
std::mutex g_call_lock;
}

void LockCalls() {
  g_call_lock.lock();
}
void UnlockCalls() {
  g_call_lock.unlock();
}

}  // namespace lzring
