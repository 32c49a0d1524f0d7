// The system calls under the POSIX file layer. Release builds call the
// system directly; a build with LZRING_FAULT_INJECTION routes them through a
// table that tests replace to make open, read, write or close fail, return
// short counts or report EINTR on chosen calls.
#ifndef LZRING_PLATFORM_SYSTEM_CALLS_H
#define LZRING_PLATFORM_SYSTEM_CALLS_H

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace lzring::sys {

#ifdef LZRING_FAULT_INJECTION

struct Table {
  int (*open)(const char* path, int flags, mode_t mode);
  ssize_t (*read)(int fd, void* buffer, size_t count);
  ssize_t (*write)(int fd, const void* buffer, size_t count);
  int (*close)(int fd);
};

// The table in force; starts as the real system calls.
Table& Calls();
// The real system calls, for hooks that pass a call through.
const Table& RealCalls();

inline int Open(const char* path, int flags, mode_t mode) {
  return Calls().open(path, flags, mode);
}
inline ssize_t Read(int fd, void* buffer, size_t count) {
  return Calls().read(fd, buffer, count);
}
inline ssize_t Write(int fd, const void* buffer, size_t count) {
  return Calls().write(fd, buffer, count);
}
inline int Close(int fd) {
  return Calls().close(fd);
}

#else

inline int Open(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}
inline ssize_t Read(int fd, void* buffer, size_t count) {
  return ::read(fd, buffer, count);
}
inline ssize_t Write(int fd, const void* buffer, size_t count) {
  return ::write(fd, buffer, count);
}
inline int Close(int fd) {
  return ::close(fd);
}

#endif

}  // namespace lzring::sys

#endif  // LZRING_PLATFORM_SYSTEM_CALLS_H
