// Linux rendering of the tool's platform file calls: O_TMPFILE for unnamed
// outputs, linkat() to name them, renameat2(RENAME_NOREPLACE) for named ones.
#include <fcntl.h>
#include <linux/magic.h>
#include <stdio.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "cli/file_calls.h"

namespace lzring::cli {
namespace {

// link() refuses an existing name as well; the second name then goes.
bool LinkThenUnlink(int dir_fd, const char* from, const char* to) {
  if (::linkat(dir_fd, from, dir_fd, to, 0) != 0) return false;
  ::unlinkat(dir_fd, from, 0);
  return true;
}

}  // namespace

int OpenDirectory(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  // A directory that may be written and searched but not listed still takes
  // new files; it is then synced through them (SyncEntry).
  if (fd < 0 && errno == EACCES) return ::open(path, O_PATH | O_DIRECTORY | O_CLOEXEC);
  return fd;
}

int OpenUnnamed(int dir_fd) {
  // Without the privilege to link a descriptor by itself (AT_EMPTY_PATH),
  // the file is named through /proc; where that is missing it could never
  // be named, so a named temporary file is used instead.
  if (::access("/proc/self/fd", X_OK) != 0) {
    errno = EOPNOTSUPP;
    return -1;
  }
  return ::openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
}

bool LinkUnnamed(int fd, int dir_fd, const char* name) {
  if (::linkat(fd, "", dir_fd, name, AT_EMPTY_PATH) == 0) return true;
  if (errno != ENOENT && errno != EPERM) return false;
  char self[32];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return ::linkat(AT_FDCWD, self, dir_fd, name, AT_SYMLINK_FOLLOW) == 0;
}

bool SyncEntry(int dir_fd, const char* name) {
  // EINVAL: a file system that has nothing to sync for a directory.
  if (::fsync(dir_fd) == 0 || errno == EINVAL) return true;
  if (errno != EBADF) return false;
  // A directory that may be written and searched but not read was opened
  // O_PATH, which fsync() refuses: the file system that holds it is synced
  // instead, through the new file, which its owner may open.
  int fd = ::openat(dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0 && errno == EACCES)
    fd = ::openat(dir_fd, name, O_WRONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = ::syncfs(fd) == 0;
  const int saved = errno;
  ::close(fd);
  errno = saved;
  return synced;
}

bool RenameNoReplace(int dir_fd, const char* from, const char* to) {
  if (::renameat2(dir_fd, from, dir_fd, to, RENAME_NOREPLACE) == 0) return true;
  // File systems (and kernels) without the flag.
  if (errno != EINVAL && errno != ENOSYS) return false;
  return LinkThenUnlink(dir_fd, from, to);
}

bool InProcessTree(const char* real_dir) {
  // The proc file system wherever it is mounted, and only it.
  struct statfs fs;
  return ::statfs(real_dir, &fs) == 0 && fs.f_type == PROC_SUPER_MAGIC;
}

}  // namespace lzring::cli
