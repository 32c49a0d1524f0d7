// Helpers shared by the fuzz targets: a scratch directory for the file path
// of the C entry points, and whole-file reads and writes.
#ifndef LZRING_FUZZ_FUZZ_UTIL_H
#define LZRING_FUZZ_FUZZ_UTIL_H

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace lzring::fuzz {

using Bytes = std::vector<std::uint8_t>;

// A directory made once per process, in memory when /dev/shm exists so that
// the file round trip does not slow the fuzzer down. Removed at exit (libFuzzer
// ends with exit(), which runs static destructors).
class ScratchDir {
 public:
  static const ScratchDir& Get() {
    static const ScratchDir dir;
    return dir;
  }
  std::string operator/(const char* name) const { return path_ + "/" + name; }

 private:
  ScratchDir() {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/lzring-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~ScratchDir() {
    for (const char* name : {"in", "out"}) ::unlink((*this / name).c_str());
    ::rmdir(path_.c_str());
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string path_;
};

inline void WriteWholeFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n <= 0) std::abort();
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  ::close(fd);
}

inline Bytes ReadWholeFile(const std::string& path) {
  Bytes out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) std::abort();
  std::uint8_t block[65536];
  for (;;) {
    const ssize_t n = ::read(fd, block, sizeof block);
    if (n < 0) std::abort();
    if (n == 0) break;
    out.insert(out.end(), block, block + n);
  }
  ::close(fd);
  return out;
}

// Stops the run with a message when a property fails; libFuzzer saves the
// input that caused it.
inline void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property failed: %s\n", what);
    std::abort();
  }
}

}  // namespace lzring::fuzz

#endif  // LZRING_FUZZ_FUZZ_UTIL_H
