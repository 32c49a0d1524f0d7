#include "cli/output_file.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "cli/file_calls.h"

namespace lzring::cli {

OutputFile::Descriptor::~Descriptor() {
  if (fd >= 0) ::close(fd);
}

bool OutputFile::Create(const std::string& destination, bool replace) {
  replace_ = replace;
  const std::size_t slash = destination.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : destination.substr(0, slash + 1);
  name_ = slash == std::string::npos ? destination : destination.substr(slash + 1);
  if (name_.empty()) {
    errno = EISDIR;
    return false;
  }
  dir_.fd = OpenDirectory(dir.c_str());
  if (dir_.fd < 0) return false;
  if (!replace) {
    unnamed_.fd = OpenUnnamed(dir_.fd);
    if (unnamed_.fd >= 0) return true;
  }
  return temp_.Create(dir_.fd);
}

bool OutputFile::Commit() {
  if (unnamed_.fd < 0) return temp_.Close() && temp_.Rename(name_.c_str(), replace_);
  if (!LinkUnnamed(unnamed_.fd, dir_.fd, name_.c_str())) return false;
  // A delayed write error reported by close means the named file may not
  // hold what was written: the name goes again.
  if (::close(std::exchange(unnamed_.fd, -1)) == 0 || errno == EINTR) return true;
  const int saved = errno;
  ::unlinkat(dir_.fd, name_.c_str(), 0);
  errno = saved;
  return false;
}

bool OutputFile::SyncDirectory() {
  // EINVAL: a file system that has nothing to sync for a directory.
  return ::fsync(dir_.fd) == 0 || errno == EINVAL;
}

}  // namespace lzring::cli
