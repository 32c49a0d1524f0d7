// Portable rendering of the tool's platform file calls: no unnamed files, so
// outputs always get a temporary name, and link() to name them without
// replacing anything.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/file_calls.h"

namespace lzring::cli {

int OpenDirectory(const char* path) {
  return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

int OpenUnnamed(int) {
  errno = EOPNOTSUPP;
  return -1;
}

bool LinkUnnamed(int, int, const char*) {
  errno = EOPNOTSUPP;
  return false;
}

bool SyncEntry(int dir_fd, const char*) {
  // EINVAL: a file system that has nothing to sync for a directory.
  return ::fsync(dir_fd) == 0 || errno == EINVAL;
}

bool RenameNoReplace(int dir_fd, const char* from, const char* to) {
  if (::linkat(dir_fd, from, dir_fd, to, 0) != 0) return false;
  ::unlinkat(dir_fd, from, 0);
  return true;
}

bool InProcessTree(const char* real_dir) {
  // Where the file system's type cannot be told: the usual places of the
  // links to open files.
  return std::strcmp(real_dir, "/dev/fd") == 0 || std::strncmp(real_dir, "/proc/", 6) == 0;
}

}  // namespace lzring::cli
