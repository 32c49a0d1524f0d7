// A MinGW-w64 program that uses lzring-cpp.dll through its import library,
// as a C++ host on Windows does: paths with non-ASCII names, the system's
// failures as std::error_code values that compare equal to std::errc
// constants, the C runtime's descriptors (files and pipes), and an exception
// thrown inside the DLL and caught here.
//
// Usage: cpp_host_test. Prints one line per failure and a closing
// "N passed, N failed" line; exits with 1 when anything failed.
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "lzring/lzring.hpp"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

int g_passed = 0;
int g_failed = 0;

void Check(bool ok, const std::string& what) {
  if (ok) {
    ++g_passed;
  } else {
    ++g_failed;
    std::printf("FAIL: %s\n", what.c_str());
  }
}

void CheckError(const std::error_code& got, std::errc expected, const std::string& what) {
  Check(got == expected, what + ": got " + std::to_string(got.value()) + " (" + got.message() +
                             "), expected " + std::to_string(static_cast<int>(expected)));
}

// Files by their wide names, through the C runtime, not through the DLL.
Bytes ReadFile(const fs::path& path) {
  Bytes out;
  std::FILE* f = _wfopen(path.c_str(), L"rb");
  if (f == nullptr) return out;
  std::uint8_t block[65536];
  std::size_t n;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0) out.insert(out.end(), block, block + n);
  std::fclose(f);
  return out;
}

void WriteFile(const fs::path& path, const Bytes& data) {
  std::FILE* f = _wfopen(path.c_str(), L"wb");
  if (f == nullptr) return;
  if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
}

Bytes TextBytes(std::size_t n) {
  static const char* const kWords[] = {"ring ", "buffer ", "match ", "tree ", "of ", "file\n"};
  std::mt19937 gen(17);
  Bytes out;
  while (out.size() < n) {
    for (const char* w = kWords[gen() % 6]; *w != '\0' && out.size() < n; ++w) out.push_back(*w);
  }
  return out;
}

void PathRoundTrip(lzring::codec& c, const fs::path& dir, const Bytes& plain) {
  const fs::path source = dir / fs::path(u8"r\u00e9sum\u00e9 \u65e5\u672c.txt");
  const fs::path packed = dir / fs::path(u8"r\u00e9sum\u00e9 \u65e5\u672c.txt.lzr");
  const fs::path restored = dir / fs::path(u8"\u00e9 restored.txt");
  WriteFile(source, plain);
  Check(static_cast<bool>(c.compress_file(source, packed)), "compress_file, non-ASCII names");
  Check(ReadFile(packed) == c.compress(plain), "compress_file writes compress()'s bytes");
  Check(static_cast<bool>(c.expand_file(packed, restored)), "expand_file, non-ASCII names");
  Check(ReadFile(restored) == plain, "expand_file restores the source");
  const lzring::stream_result m = c.measure_file(packed);
  Check(m && m.bytes_out == plain.size(), "measure_file, non-ASCII name");
}

void PathErrors(lzring::codec& c, const fs::path& dir) {
  const fs::path plain = dir / "plain";
  WriteFile(plain, TextBytes(100));
  const struct {
    const char* name;
    fs::path source;
    fs::path destination;
    bool read_side;
    std::errc expected;
  } rows[] = {
      {"missing source", dir / "missing", dir / "out", true, std::errc::no_such_file_or_directory},
      {"directory as source", dir, dir / "out", true, std::errc::is_a_directory},
      {"directory as destination", plain, dir, false, std::errc::is_a_directory},
      {"destination in a missing directory", plain, dir / "none" / "out", false,
       std::errc::no_such_file_or_directory},
      {"same file on both sides", plain, plain, false, std::errc::invalid_argument},
  };
  for (const auto& row : rows) {
    const lzring::stream_result r = c.compress_file(row.source, row.destination);
    CheckError(row.read_side ? r.read_error : r.write_error, row.expected, row.name);
  }
  Check(ReadFile(plain).size() == 100, "same file on both sides: source intact");
}

void Descriptors(lzring::codec& c, const fs::path& dir, const Bytes& plain) {
  const Bytes packed = c.compress(plain);
  WriteFile(dir / "fd.src", plain);
  const int in = _wopen((dir / "fd.src").c_str(), _O_RDONLY | _O_BINARY);
  const int out =
      _wopen((dir / "fd.lzr").c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0666);
  Check(in >= 0 && out >= 0 && c.compress_fd(in, out), "compress_fd over _wopen descriptors");
  _close(in);
  _close(out);
  Check(ReadFile(dir / "fd.lzr") == packed, "compress_fd writes compress()'s bytes");

  // A pipe whose writer has closed its end ends the input, as on Linux.
  int fds[2];
  Check(_pipe(fds, 1 << 20, _O_BINARY) == 0, "_pipe");
  _write(fds[1], packed.data(), static_cast<unsigned>(packed.size()));
  _close(fds[1]);
  const int restored =
      _wopen((dir / "fd.out").c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0666);
  const lzring::stream_result r = c.expand_fd(fds[0], restored);
  Check(r && r.bytes_out == plain.size(), "expand_fd from a pipe whose writer has gone");
  _close(fds[0]);
  _close(restored);
  Check(ReadFile(dir / "fd.out") == plain, "expand_fd restores the source");

  // Writing into a pipe that nobody reads any more.
  Check(_pipe(fds, 4096, _O_BINARY) == 0, "_pipe");
  _close(fds[0]);
  const int source = _wopen((dir / "fd.src").c_str(), _O_RDONLY | _O_BINARY);
  CheckError(c.compress_fd(source, fds[1]).write_error, std::errc::broken_pipe,
             "compress_fd into a pipe without reader");
  _close(source);
  _close(fds[1]);
  CheckError(c.compress_fd(-1, 1).read_error, std::errc::bad_file_descriptor,
             "compress_fd from a descriptor that is not open");
}

// Thrown inside the DLL, caught here with the code intact.
void Exceptions(lzring::codec& c) {
  const Bytes plain = TextBytes(1000);
  std::vector<std::uint8_t> small(10);
  try {
    c.compress_into(plain, small);
    Check(false, "compress_into a small buffer throws");
  } catch (const std::system_error& e) {
    CheckError(e.code(), std::errc::no_buffer_space, "compress_into a small buffer");
  }
}

}  // namespace

int main() {
  std::error_code ec;
  const fs::path dir =
      fs::temp_directory_path(ec) / ("lzring-cpp-" + std::to_string(std::random_device()()));
  if (ec || !fs::create_directory(dir, ec)) {
    std::printf("cannot make a scratch directory\n");
    return 2;
  }
  lzring::codec c;
  const Bytes plain = TextBytes(100000);
  PathRoundTrip(c, dir, plain);
  PathErrors(c, dir);
  Descriptors(c, dir, plain);
  Exceptions(c);
  fs::remove_all(dir, ec);
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
