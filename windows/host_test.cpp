// A host program that loads the library at run time, as a real host does, and
// checks its three entry points through the files they read and write:
// known compressed bytes in both directions, round trips over the files named
// on the command line and over generated data, the failure cases and the file
// size query.
//
// Built for 32-bit Windows (LoadLibraryA/GetProcAddress on lzring.dll) and
// for Linux (dlopen/dlsym on liblzring.so), so that the compressed files of
// both builds can be kept and compared byte for byte.
//
// Usage: host_test [--library PATH] [--keep DIR] [--expand STREAM SOURCE]... [FILE...]
//   --library  the library to load (default: lzring.dll or ./liblzring.so)
//   --keep     write the compressed form of every round-trip input to DIR
//   --expand   check that _Decode expands STREAM, made by another encoder
//              (the tool's --best, say), to exactly the bytes of SOURCE
// Prints one line per failure and a closing "N passed, N failed" line; exits
// with 1 when anything failed, 2 when the library cannot be used at all.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <thread>
#endif

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "lzring.h"
#include "tests/support/known_vectors.h"

namespace {

using lzring::vectors::DecodeCase;
using lzring::vectors::DecodeCases;
using lzring::vectors::EncodeCase;
using lzring::vectors::EncodeCases;

namespace fs = std::filesystem;
using lzring::vectors::Bytes;
using lzring::vectors::FromText;

// The entry points as the header declares them, called through pointers.
using EncodeFn = decltype(&_Encode);
using SizeFn = decltype(&_GetFileSize);

struct Library {
  EncodeFn encode = nullptr;
  EncodeFn decode = nullptr;
  SizeFn size = nullptr;
};

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

// ---------------------------------------------------------------------------
// Platform pieces: loading the library, a second thread, sparse files.

#ifdef _WIN32
bool LoadEntryPoints(const std::string& path, Library& lib) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    std::printf("cannot load %s (error %lu)\n", path.c_str(), GetLastError());
    return false;
  }
  // GetProcAddress returns a generic function pointer; the cast to the real
  // signature goes through void* as the loader's interface intends.
  lib.encode =
      reinterpret_cast<EncodeFn>(reinterpret_cast<void*>(GetProcAddress(module, "_Encode")));
  lib.decode =
      reinterpret_cast<EncodeFn>(reinterpret_cast<void*>(GetProcAddress(module, "_Decode")));
  lib.size =
      reinterpret_cast<SizeFn>(reinterpret_cast<void*>(GetProcAddress(module, "_GetFileSize")));
  return true;
}
const char* const kDefaultLibrary = "lzring.dll";

template <class A>
DWORD WINAPI RunOnThread(LPVOID arg) {
  (*static_cast<A*>(arg))();
  return 0;
}

// Runs `a` on a second thread and `b` on this one, and waits for both.
template <class A, class B>
void RunTogether(A& a, B& b) {
  HANDLE thread = CreateThread(nullptr, 0, &RunOnThread<A>, &a, 0, nullptr);
  b();
  if (thread == nullptr) {
    a();
    return;
  }
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
}

// Makes `path` a file of `size` bytes without writing them (sparse where the
// file system allows).
bool MakeLongFile(const std::string& path, std::int64_t size) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER end;
  end.QuadPart = size;
  const bool ok = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  return ok;
}
#else
bool LoadEntryPoints(const std::string& path, Library& lib) {
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    std::printf("cannot load %s (%s)\n", path.c_str(), ::dlerror());
    return false;
  }
  lib.encode = reinterpret_cast<EncodeFn>(::dlsym(module, "_Encode"));
  lib.decode = reinterpret_cast<EncodeFn>(::dlsym(module, "_Decode"));
  lib.size = reinterpret_cast<SizeFn>(::dlsym(module, "_GetFileSize"));
  return true;
}
const char* const kDefaultLibrary = "./liblzring.so";

template <class A, class B>
void RunTogether(A& a, B& b) {
  std::thread thread(a);
  b();
  thread.join();
}

bool MakeLongFile(const std::string& path, std::int64_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return false;
  const bool ok = ::ftruncate(fd, static_cast<off_t>(size)) == 0;
  ::close(fd);
  return ok;
}
#endif

// ---------------------------------------------------------------------------
// Files.

void WriteFile(const std::string& path, const Bytes& data) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return;
  if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
  std::fclose(f);
}

// The file's bytes; `ok` false when it cannot be read.
Bytes ReadFile(const std::string& path, bool* ok = nullptr) {
  Bytes out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (ok != nullptr) *ok = f != nullptr;
  if (f == nullptr) return out;
  std::uint8_t block[65536];
  std::size_t n;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0) out.insert(out.end(), block, block + n);
  std::fclose(f);
  return out;
}

bool Exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

// Removing a file fails on Windows while any handle to it is open, so a
// successful removal shows that the library closed it.
bool Remove(const std::string& path) {
  std::error_code ec;
  return fs::remove(path, ec) && !ec;
}

std::string Describe(const Bytes& b) {
  std::string s = std::to_string(b.size()) + " bytes:";
  char hex[4];
  for (std::size_t i = 0; i < b.size() && i < 24; ++i) {
    std::snprintf(hex, sizeof hex, " %02X", b[i]);
    s += hex;
  }
  if (b.size() > 24) s += " ...";
  return s;
}

// ---------------------------------------------------------------------------
// Test data: the same bytes on every platform (the engine's sequence is fixed
// by the language).

Bytes RandomBytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen() >> 24);
  return out;
}

Bytes TextBytes(std::size_t n, std::uint32_t seed) {
  static const char* const kWords[] = {"the ", "ring ", "buffer ", "match ",  "tree ",
                                       "of ",  "and ",  "a ",      "coder\n", "window ",
                                       "18 ",  "4096 ", "byte ",   "file ",   "header, "};
  std::mt19937 gen(seed);
  Bytes out;
  while (out.size() < n) {
    const char* w = kWords[gen() % (sizeof kWords / sizeof kWords[0])];
    while (*w != '\0' && out.size() < n) out.push_back(static_cast<std::uint8_t>(*w++));
  }
  return out;
}

// ---------------------------------------------------------------------------
// The checks.

class HostTest {
 public:
  HostTest(const Library& lib, std::string dir, std::string keep)
      : lib_(lib), dir_(std::move(dir)), keep_(std::move(keep)) {}

  std::string Path(const std::string& name) const { return (fs::path(dir_) / name).string(); }

  void EncoderVectors(const char* pass) {
    for (const EncodeCase& c : EncodeCases()) {
      const std::string name = std::string("encode ") + c.name + " (" + pass + ")";
      WriteFile(Path("vec.src"), c.source);
      Check(lib_.encode(Path("vec.src").c_str(), Path("vec.lz").c_str()) == 0, name + ": status");
      const Bytes got = ReadFile(Path("vec.lz"));
      Check(got == c.compressed, name + ": got " + Describe(got));
      Check(lib_.decode(Path("vec.lz").c_str(), Path("vec.out").c_str()) == 0,
            name + ": decode status");
      Check(ReadFile(Path("vec.out")) == c.source, name + ": decodes back");
    }
  }

  void DecoderVectors() {
    for (const DecodeCase& c : DecodeCases()) {
      const std::string name = std::string("decode ") + c.name;
      // Leave an earlier stream's data in the ring first: it must not show.
      WriteFile(Path("dirty.src"), Bytes(5000, 0xAB));
      lib_.encode(Path("dirty.src").c_str(), Path("dirty.lz").c_str());
      lib_.decode(Path("dirty.lz").c_str(), Path("dirty.out").c_str());
      WriteFile(Path("vec.lz"), c.compressed);
      Check(lib_.decode(Path("vec.lz").c_str(), Path("vec.out").c_str()) == 0, name + ": status");
      const Bytes got = ReadFile(Path("vec.out"));
      Check(got == c.output, name + ": got " + Describe(got));
    }
  }

  // Compresses and expands `source`; `label` names the kept compressed file.
  void RoundTrip(const std::string& source, const std::string& label) {
    bool readable = false;
    const Bytes original = ReadFile(source, &readable);
    Check(readable, "round trip " + label + ": cannot read " + source);
    if (!readable) return;
    const std::string packed = Path("rt.lz");
    const std::string unpacked = Path("rt.out");
    Check(lib_.size(source.c_str()) == static_cast<std::int32_t>(original.size()),
          "round trip " + label + ": _GetFileSize");
    Check(lib_.encode(source.c_str(), packed.c_str()) == 0, "round trip " + label + ": encode");
    Check(lib_.decode(packed.c_str(), unpacked.c_str()) == 0, "round trip " + label + ": decode");
    Check(ReadFile(unpacked) == original, "round trip " + label + ": restores the source");
    if (!keep_.empty()) WriteFile((fs::path(keep_) / (label + ".lz")).string(), ReadFile(packed));
  }

  // A stream that another encoder made: _Decode gives back its source.
  void Expand(const std::string& stream, const std::string& source) {
    const std::string label = "expand " + fs::path(stream).filename().string();
    bool readable = false;
    const Bytes original = ReadFile(source, &readable);
    Check(readable, label + ": cannot read " + source);
    if (!readable) return;
    const std::string unpacked = Path("ex.out");
    Check(lib_.decode(stream.c_str(), unpacked.c_str()) == 0, label + ": decode");
    Check(ReadFile(unpacked) == original,
          label + ": restores " + fs::path(source).filename().string());
  }

  void GeneratedRoundTrips() {
    const struct {
      const char* name;
      Bytes data;
    } inputs[] = {
        {"gen_empty", {}},
        {"gen_one", Bytes(1, 'x')},
        {"gen_4095", TextBytes(4095, 1)},
        {"gen_4096", TextBytes(4096, 2)},
        {"gen_4097", TextBytes(4097, 3)},
        {"gen_8193", RandomBytes(8193, 4)},
        {"gen_text_300k", TextBytes(300000, 5)},
        {"gen_random_100k", RandomBytes(100000, 6)},
        {"gen_zeros_70k", Bytes(70000, 0)},
        {"gen_spaces_5000", Bytes(5000, ' ')},
    };
    for (const auto& input : inputs) {
      const std::string path = Path(std::string(input.name) + ".src");
      WriteFile(path, input.data);
      RoundTrip(path, input.name);
    }
  }

  void FailureRows() {
    const std::string src = Path("fail.src");
    const std::string dst = Path("fail.dst");
    const Bytes data = TextBytes(9000, 7);
    const Bytes kept = FromText("keep me");
    WriteFile(src, data);
    const EncodeFn calls[] = {lib_.encode, lib_.decode};
    const char* const names[] = {"_Encode", "_Decode"};
    for (int i = 0; i < 2; ++i) {
      const std::string n = names[i];
      // A missing source leaves an existing destination untouched.
      WriteFile(dst, kept);
      Check(calls[i](Path("missing.src").c_str(), dst.c_str()) == -1, n + " missing source: -1");
      Check(ReadFile(dst) == kept, n + " missing source: destination untouched");
      // A directory is not a source.
      Check(calls[i](dir_.c_str(), dst.c_str()) == -1, n + " directory source: -1");
      Check(ReadFile(dst) == kept, n + " directory source: destination untouched");
      // A destination in a missing directory: -1, and the source is closed.
      const std::string nowhere = Path("no-such-dir/out.lz");
      Check(calls[i](src.c_str(), nowhere.c_str()) == -1, n + " destination in missing dir: -1");
      Check(!Exists(nowhere), n + " destination in missing dir: nothing created");
      Check(Remove(src), n + " destination in missing dir: source closed (removable)");
      WriteFile(src, data);
      // The same file as source and destination: refused before truncation,
      // under the same spelling and under another one.
      Check(calls[i](src.c_str(), src.c_str()) == -1, n + " same file: -1");
      Check(ReadFile(src) == data, n + " same file: source intact");
      const std::string other_spelling = (fs::path(dir_) / "." / "fail.src").string();
      Check(calls[i](src.c_str(), other_spelling.c_str()) == -1, n + " same file, other path: -1");
      Check(ReadFile(src) == data, n + " same file, other path: source intact");
      // Null paths.
      Check(calls[i](nullptr, dst.c_str()) == -1, n + " null source: -1");
      Check(calls[i](src.c_str(), nullptr) == -1, n + " null destination: -1");
      Check(calls[i](nullptr, nullptr) == -1, n + " both null: -1");
      Check(ReadFile(dst) == kept, n + " null paths: destination untouched");
      // A failed call does not keep the next one from succeeding, and every
      // file is closed afterwards.
      Check(calls[i](src.c_str(), dst.c_str()) == 0, n + " after failures: succeeds");
      Check(Remove(dst), n + " after success: destination closed (removable)");
      Check(Remove(src), n + " after success: source closed (removable)");
      WriteFile(src, data);
    }
  }

  void FileSizes() {
    WriteFile(Path("size0"), {});
    WriteFile(Path("size5000"), Bytes(5000, 'q'));
    Check(lib_.size(Path("size0").c_str()) == 0, "_GetFileSize empty file: 0");
    Check(lib_.size(Path("size5000").c_str()) == 5000, "_GetFileSize 5000-byte file: 5000");
    Check(lib_.size(Path("missing").c_str()) == -1, "_GetFileSize missing file: -1");
    Check(lib_.size(dir_.c_str()) == -1, "_GetFileSize directory: -1");
    Check(lib_.size(nullptr) == -1, "_GetFileSize null path: -1");
    Check(Remove(Path("size5000")), "_GetFileSize: file closed (removable)");
    // Sizes around the 32-bit limit, in files whose bytes are never written.
    const struct {
      std::int64_t size;
      std::int32_t expected;
    } longs[] = {
        {INT64_C(0x7FFFFFFF), INT32_C(0x7FFFFFFF)},
        {INT64_C(0x80000000), -1},
        {INT64_C(0xC0000000), -1},
        {INT64_C(0x100001388), -1},  // 4 GiB + 5000: a wrapped offset would be 5000
    };
    for (const auto& l : longs) {
      const std::string path = Path("long");
      const std::string name = "_GetFileSize of " + std::to_string(l.size) + " bytes";
      if (!MakeLongFile(path, l.size)) {
        Check(false, name + ": cannot make the file");
        continue;
      }
      const std::int32_t got = lib_.size(path.c_str());
      Check(got == l.expected, name + ": got " + std::to_string(got));
      Check(Remove(path), name + ": file closed (removable)");
    }
  }

  // Two threads calling at once must take turns, not share the workspace.
  void ConcurrentCalls() {
    const Bytes a = TextBytes(200000, 8);
    const Bytes b = RandomBytes(150000, 9);
    WriteFile(Path("t1.src"), a);
    WriteFile(Path("t2.src"), b);
    lib_.encode(Path("t1.src").c_str(), Path("t1.expected").c_str());
    lib_.encode(Path("t2.src").c_str(), Path("t2.expected").c_str());
    // Failed calls are counted over all rounds, so that a failure in an
    // early round is not hidden by later ones that succeed.
    int failed[2] = {0, 0};
    auto first = [&] {
      for (int i = 0; i < 3; ++i) {
        failed[0] += lib_.encode(Path("t1.src").c_str(), Path("t1.lz").c_str()) != 0;
        failed[0] += lib_.decode(Path("t1.lz").c_str(), Path("t1.out").c_str()) != 0;
      }
    };
    auto second = [&] {
      for (int i = 0; i < 3; ++i) {
        failed[1] += lib_.encode(Path("t2.src").c_str(), Path("t2.lz").c_str()) != 0;
        failed[1] += lib_.decode(Path("t2.lz").c_str(), Path("t2.out").c_str()) != 0;
      }
    };
    RunTogether(first, second);
    Check(failed[0] == 0 && failed[1] == 0,
          "concurrent calls: all succeed (" + std::to_string(failed[0] + failed[1]) + " failed)");
    Check(ReadFile(Path("t1.lz")) == ReadFile(Path("t1.expected")) &&
              ReadFile(Path("t2.lz")) == ReadFile(Path("t2.expected")),
          "concurrent calls: same compressed bytes as alone");
    Check(ReadFile(Path("t1.out")) == a && ReadFile(Path("t2.out")) == b,
          "concurrent calls: both restore their sources");
  }

 private:
  const Library& lib_;
  std::string dir_;
  std::string keep_;
};

// A fresh scratch directory under the system's temporary directory.
std::string MakeScratchDir() {
  std::error_code ec;
  const fs::path base = fs::temp_directory_path(ec);
  if (ec) return "";
  std::random_device seed;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path dir = base / ("lzring-host-" + std::to_string(seed() % 1000000000u));
    if (fs::create_directory(dir, ec) && !ec) return dir.string();
  }
  return "";
}

std::string BaseName(const std::string& path) {
  return fs::path(path).filename().string();
}

}  // namespace

int main(int argc, char** argv) {
  std::string library = kDefaultLibrary;
  std::string keep;
  std::vector<std::string> files;
  std::vector<std::pair<std::string, std::string>> streams;  // stream, its source
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--library" || arg == "--keep") && i + 1 < argc) {
      (arg == "--library" ? library : keep) = argv[++i];
    } else if (arg == "--expand" && i + 2 < argc) {
      streams.emplace_back(argv[i + 1], argv[i + 2]);
      i += 2;
    } else if (arg.rfind("--", 0) == 0) {
      std::printf("usage: %s [--library PATH] [--keep DIR] [--expand STREAM SOURCE]... [FILE...]\n",
                  argv[0]);
      return 2;
    } else {
      files.push_back(arg);
    }
  }

  Library lib;
  if (!LoadEntryPoints(library, lib)) return 2;
  Check(lib.encode != nullptr, "export _Encode found");
  Check(lib.decode != nullptr, "export _Decode found");
  Check(lib.size != nullptr, "export _GetFileSize found");
  if (lib.encode == nullptr || lib.decode == nullptr || lib.size == nullptr) {
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return 1;
  }
  const std::string dir = MakeScratchDir();
  if (dir.empty()) {
    std::printf("cannot make a scratch directory\n");
    return 2;
  }

  HostTest test(lib, dir, keep);
  test.EncoderVectors("fresh");
  test.DecoderVectors();
  // Again, now that earlier calls have left their data in the workspace.
  test.EncoderVectors("after other calls");
  test.FailureRows();
  test.FileSizes();
  test.ConcurrentCalls();
  test.GeneratedRoundTrips();
  for (const std::string& file : files) test.RoundTrip(file, BaseName(file));
  for (const auto& [stream, source] : streams) test.Expand(stream, source);

  std::error_code ec;
  fs::remove_all(dir, ec);
  std::printf("%d passed, %d failed\n", g_passed, g_failed);
  return g_failed == 0 ? 0 : 1;
}
