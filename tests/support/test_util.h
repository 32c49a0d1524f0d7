// Helpers shared by the tests: scratch directories, whole-file reads and
// writes, open-descriptor counts and deterministic test data.
#ifndef LZRING_TESTS_TEST_UTIL_H
#define LZRING_TESTS_TEST_UTIL_H

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace lzring::test {

using Bytes = std::vector<std::uint8_t>;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lzring-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

inline void WriteFile(const std::string& path, const Bytes& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

inline Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline Bytes FromText(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// Number of descriptors this process has open: the entries of
// /proc/self/fd, or, where that cannot be listed, every descriptor number
// below the process's limit that fcntl() knows.
inline int CountOpenFds() {
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count - 1;  // the directory stream itself
  }
  rlimit limit{};
  const rlim_t top = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                         ? limit.rlim_cur
                         : 1 << 20;
  int count = 0;
  for (rlim_t fd = 0; fd < top; ++fd) count += ::fcntl(static_cast<int>(fd), F_GETFD) != -1;
  return count;
}

// Deterministic data of several shapes.
inline Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen());
  return out;
}

// Text-like data: words from a small vocabulary, so that matches of all
// lengths and positions occur.
inline Bytes TextBytes(std::size_t n, std::uint32_t seed) {
  static const char* const kWords[] = {"the ",    "ring ",   "buffer ", "match ",    "tree ",
                                       "of ",     "and ",    "a ",      "encoder\n", "decoder, ",
                                       "lzring ", "window ", "byte ",   "18 ",       "4096 "};
  std::mt19937 gen(seed);
  Bytes out;
  out.reserve(n + 16);
  while (out.size() < n) {
    const char* w = kWords[gen() % std::size(kWords)];
    while (*w != '\0' && out.size() < n) out.push_back(static_cast<std::uint8_t>(*w++));
  }
  return out;
}

// Path of a file in the shared benchmark corpus, or "" when the corpus is not
// beside the project.
inline std::string CorpusFile(const std::string& relative) {
#ifdef LZRING_SOURCE_DIR
  const std::filesystem::path p =
      std::filesystem::path(LZRING_SOURCE_DIR) / ".." / "shared" / "corpus" / relative;
  if (std::filesystem::exists(p)) return p.string();
#endif
  (void)relative;
  return "";
}

}  // namespace lzring::test

#endif  // LZRING_TESTS_TEST_UTIL_H
