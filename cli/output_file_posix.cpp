// POSIX rendering of the output file: an unnamed file linked into place (or,
// to replace a name, linked under a temporary name and renamed into place),
// or a temporary name renamed into place (see output_file.h).
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "cli/file_calls.h"
#include "cli/output_file.h"
#include "cli/temp_file_posix.h"

namespace lzring::cli {
namespace {

struct Descriptor {
  int fd = -1;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

struct OutputFile::State {
  // Members go in reverse order: the temporary name is removed while the
  // directory it is in is still open.
  Descriptor dir;
  Descriptor unnamed;
  TempFile temp;
  std::string name;
  bool replace = false;
};

OutputFile::OutputFile() = default;
OutputFile::~OutputFile() = default;

int OutputFile::fd() const {
  if (!state_) return -1;
  return state_->unnamed.fd >= 0 ? state_->unnamed.fd : state_->temp.fd();
}

bool OutputFile::Create(const std::string& destination, bool replace) {
  state_ = std::make_unique<State>();
  State& s = *state_;
  s.replace = replace;
  const std::size_t slash = destination.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : destination.substr(0, slash + 1);
  s.name = slash == std::string::npos ? destination : destination.substr(slash + 1);
  if (s.name.empty()) {
    errno = EISDIR;
    return false;
  }
  s.dir.fd = OpenDirectory(dir.c_str());
  if (s.dir.fd < 0) return false;
  s.unnamed.fd = OpenUnnamed(s.dir.fd);
  if (s.unnamed.fd >= 0) return true;
  return s.temp.Create(s.dir.fd);
}

bool OutputFile::Commit() {
  State& s = *state_;
  if (s.unnamed.fd < 0) return s.temp.Close() && s.temp.Rename(s.name.c_str(), s.replace);
  if (s.replace) {
    // A link cannot replace a name: the file gets a temporary name of its
    // own, registered for removal like a named output, and is renamed over
    // the destination once closed without error.
    if (!s.temp.Link(s.dir.fd, s.unnamed.fd)) return false;
    if (::close(std::exchange(s.unnamed.fd, -1)) != 0 && errno != EINTR) return false;
    return s.temp.Rename(s.name.c_str(), true);
  }
  if (!LinkUnnamed(s.unnamed.fd, s.dir.fd, s.name.c_str())) return false;
  // A delayed write error reported by close means the named file may not
  // hold what was written: the name goes again.
  if (::close(std::exchange(s.unnamed.fd, -1)) == 0 || errno == EINTR) return true;
  const int saved = errno;
  ::unlinkat(s.dir.fd, s.name.c_str(), 0);
  errno = saved;
  return false;
}

bool OutputFile::SyncDirectory() {
  return SyncEntry(state_->dir.fd, state_->name.c_str());
}

}  // namespace lzring::cli
