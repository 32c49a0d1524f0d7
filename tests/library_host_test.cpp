// The shared library as a host sees it: loaded with dlopen, its three entry
// points found by name, called with paths, answered with status codes.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/test_util.h"

namespace lzring {
namespace {

using test::Bytes;
using test::CountOpenFds;
using test::FromText;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

using PairCall = std::int32_t (*)(const char*, const char*);
using SizeCall = std::int32_t (*)(const char*);

class Host : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    handle_ = ::dlopen(LZRING_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << ::dlerror();
    encode_ = reinterpret_cast<PairCall>(::dlsym(handle_, "_Encode"));
    decode_ = reinterpret_cast<PairCall>(::dlsym(handle_, "_Decode"));
    size_ = reinterpret_cast<SizeCall>(::dlsym(handle_, "_GetFileSize"));
  }
  static void TearDownTestSuite() {
    if (handle_ != nullptr) ::dlclose(handle_);
    handle_ = nullptr;
  }
  void SetUp() override {
    ASSERT_NE(encode_, nullptr);
    ASSERT_NE(decode_, nullptr);
    ASSERT_NE(size_, nullptr);
  }

  std::string Path(const std::string& name) const { return dir_ / name; }
  std::string Write(const std::string& name, const Bytes& data) const {
    WriteFile(Path(name), data);
    return Path(name);
  }

  static inline void* handle_ = nullptr;
  static inline PairCall encode_ = nullptr;
  static inline PairCall decode_ = nullptr;
  static inline SizeCall size_ = nullptr;
  TempDir dir_;
};

TEST_F(Host, EncodeAndDecodeReturnZeroAndRoundTrip) {
  const Bytes data = test::TextBytes(20000, 1);
  const std::string src = Write("src", data);
  // Destinations that do not exist yet, and existing (sparse) files of
  // 5 GiB, whose size a 32-bit offset cannot hold, that the calls replace.
  for (const off_t existing : {off_t{-1}, off_t{5} << 30}) {
    SCOPED_TRACE(existing);
    for (const char* name : {"z", "out"}) {
      std::filesystem::remove(Path(name));
      if (existing < 0) continue;
      const int fd = ::open(Path(name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
      ASSERT_GE(fd, 0);
      EXPECT_EQ(::ftruncate(fd, existing), 0);
      ::close(fd);
    }
    ASSERT_EQ(encode_(src.c_str(), Path("z").c_str()), 0);
    ASSERT_EQ(decode_(Path("z").c_str(), Path("out").c_str()), 0);
    EXPECT_EQ(ReadFile(Path("out")), data);
    EXPECT_LT(std::filesystem::file_size(Path("z")), data.size());
  }
}

TEST_F(Host, GetFileSize) {
  Write("empty", {});
  Write("5000", Bytes(5000, 'x'));
  std::filesystem::create_directory(Path("dir"));
  // Sparse files: only the length is stored.
  const auto sparse = [this](const std::string& name, off_t length) {
    const int fd = ::open(Path(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const bool ok = fd >= 0 && ::ftruncate(fd, length) == 0;
    if (fd >= 0) ::close(fd);
    return ok;
  };
  ASSERT_TRUE(sparse("largest", INT32_MAX));
  ASSERT_TRUE(sparse("2GiB", off_t{1} << 31));
  ASSERT_TRUE(sparse("5GiB", off_t{5} << 30));

  const struct {
    std::string path;
    std::int32_t size;
  } cases[] = {
      {Path("empty"), 0},
      {Path("5000"), 5000},
      {Path("missing"), -1},
      {Path("dir"), -1},
      {"", -1},
      {Path("largest"), INT32_MAX},
      {Path("2GiB"), -1},
      {Path("5GiB"), -1},
      {Path("missing/dir/file"), -1},
  };
  for (const auto& c : cases) EXPECT_EQ(size_(c.path.c_str()), c.size) << c.path;
  EXPECT_EQ(size_(nullptr), -1);
}

// _GetFileSize never waits: not for a FIFO's writer nor a device, whose
// sizes it refuses, and not for another thread's call that waits for one.
TEST_F(Host, GetFileSizeNeverWaits) {
  const std::string fifo = Path("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string file = Write("5000", Bytes(5000, 'x'));
  // This call waits until a writer opens the FIFO.
  std::atomic<bool> encoded{false};
  std::thread waiting([&] {
    encode_(fifo.c_str(), Path("z").c_str());
    encoded = true;
  });
  auto sizes = std::async(std::launch::async, [&] {
    return std::vector<std::int32_t>{size_(fifo.c_str()), size_("/dev/null"), size_(file.c_str())};
  });
  // A wait this long is a call that waits for good, not a slow machine.
  const bool answered = sizes.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
  // Writers come and go until every call that waited for one has gone on.
  while (!encoded || sizes.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
    const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0) ::close(writer);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  waiting.join();
  ASSERT_TRUE(answered);
  EXPECT_EQ(sizes.get(), (std::vector<std::int32_t>{-1, -1, 5000}));
}

TEST_F(Host, NullPathsFailWithoutTouchingFiles) {
  const std::string src = Write("src", FromText("data"));
  const std::string dst = Path("dst");
  for (const PairCall call : {encode_, decode_}) {
    EXPECT_EQ(call(nullptr, dst.c_str()), -1);
    EXPECT_EQ(call(src.c_str(), nullptr), -1);
    EXPECT_EQ(call(nullptr, nullptr), -1);
  }
  EXPECT_FALSE(std::filesystem::exists(dst));
  EXPECT_EQ(ReadFile(src), FromText("data"));
}

TEST_F(Host, MissingSourceLeavesDestinationUntouched) {
  const std::string dst = Write("dst", FromText("keep me"));
  for (const PairCall call : {encode_, decode_}) {
    EXPECT_EQ(call(Path("missing").c_str(), dst.c_str()), -1);
    EXPECT_EQ(call(Path("dir-missing/src").c_str(), dst.c_str()), -1);
    EXPECT_EQ(ReadFile(dst), FromText("keep me"));
  }
  // A directory is not a readable source either.
  std::filesystem::create_directory(Path("dir"));
  EXPECT_EQ(encode_(Path("dir").c_str(), dst.c_str()), -1);
  EXPECT_EQ(ReadFile(dst), FromText("keep me"));
}

TEST_F(Host, UncreatableDestinationClosesTheSource) {
  const std::string src = Write("src", test::TextBytes(5000, 2));
  const int fds_before = CountOpenFds();
  for (const PairCall call : {encode_, decode_}) {
    EXPECT_EQ(call(src.c_str(), Path("no/such/dir/out").c_str()), -1);
    EXPECT_EQ(call(src.c_str(), dir_.path().c_str()), -1);  // a directory
  }
  EXPECT_EQ(CountOpenFds(), fds_before);
  EXPECT_TRUE(std::filesystem::remove(src));
}

TEST_F(Host, FailedWritesReturnMinusOneAndCloseEverything) {
  const std::string small = Write("small", FromText("abc"));  // decodes to "b"
  const std::string large = Write("large", test::RandomBytes(20000, 3));
  const int fds_before = CountOpenFds();
  for (const PairCall call : {encode_, decode_}) {
    EXPECT_EQ(call(small.c_str(), "/dev/full"), -1);  // the final flush fails
    EXPECT_EQ(call(large.c_str(), "/dev/full"), -1);  // a full block fails
  }
  EXPECT_EQ(CountOpenFds(), fds_before);
}

// A source that opens but cannot be read (this process's memory at address
// 0) must not pass for a short, successful one.
TEST_F(Host, UnreadableSourceFails) {
  for (const PairCall call : {encode_, decode_}) {
    EXPECT_EQ(call("/proc/self/mem", Path("out").c_str()), -1);
  }
}

TEST_F(Host, FailedCallsDoNotHinderLaterOnes) {
  const Bytes data = test::TextBytes(9000, 4);
  const std::string src = Write("src", data);
  ASSERT_EQ(encode_(src.c_str(), Path("first").c_str()), 0);
  EXPECT_EQ(encode_(Path("missing").c_str(), Path("x").c_str()), -1);
  EXPECT_EQ(encode_(src.c_str(), "/dev/full"), -1);
  EXPECT_EQ(decode_(src.c_str(), "/dev/full"), -1);
  EXPECT_EQ(encode_(src.c_str(), src.c_str()), -1);
  EXPECT_EQ(size_(Path("missing").c_str()), -1);
  ASSERT_EQ(encode_(src.c_str(), Path("second").c_str()), 0);
  EXPECT_EQ(ReadFile(Path("second")), ReadFile(Path("first")));
  ASSERT_EQ(decode_(Path("second").c_str(), Path("out").c_str()), 0);
  EXPECT_EQ(ReadFile(Path("out")), data);
}

// A destination that is the source itself, by any name, would be truncated
// before it is read.
TEST_F(Host, SameFileIsRefusedAndTheSourceKept) {
  const Bytes data = test::TextBytes(6000, 5);
  const std::string src = Write("src", data);
  std::filesystem::create_hard_link(src, Path("hard"));
  std::filesystem::create_symlink(src, Path("soft"));
  std::filesystem::create_directory(Path("sub"));
  const std::string names[] = {src, Path("hard"), Path("soft"), Path("sub/../src")};
  const int fds_before = CountOpenFds();
  for (const PairCall call : {encode_, decode_}) {
    for (const std::string& dst : names) {
      EXPECT_EQ(call(src.c_str(), dst.c_str()), -1) << dst;
      EXPECT_EQ(call(dst.c_str(), src.c_str()), -1) << dst;
      EXPECT_EQ(ReadFile(src), data) << dst;
    }
  }
  EXPECT_EQ(CountOpenFds(), fds_before);
}

// Calls from several threads take turns; each gets the output it would get
// alone.
TEST_F(Host, ConcurrentCallsEachGiveCorrectOutput) {
  constexpr int kThreads = 4;
  constexpr int kRounds = 5;
  std::vector<Bytes> sources;
  std::vector<Bytes> expected;
  for (int t = 0; t < kThreads; ++t) {
    sources.push_back(t % 2 == 0 ? test::TextBytes(30000 + 1000 * t, 10 + t)
                                 : test::RandomBytes(30000 + 1000 * t, 10 + t));
    const std::string src = Write("src" + std::to_string(t), sources.back());
    ASSERT_EQ(encode_(src.c_str(), Path("ref" + std::to_string(t)).c_str()), 0);
    expected.push_back(ReadFile(Path("ref" + std::to_string(t))));
  }

  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const std::string id = std::to_string(t);
      for (int round = 0; round < kRounds; ++round) {
        const std::string z = Path("z" + id);
        const std::string out = Path("out" + id);
        if (encode_(Path("src" + id).c_str(), z.c_str()) != 0 || ReadFile(z) != expected[t] ||
            size_(z.c_str()) != static_cast<std::int32_t>(expected[t].size()) ||
            decode_(z.c_str(), out.c_str()) != 0 || ReadFile(out) != sources[t]) {
          ++failures[t];
        }
      }
    });
  }
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

}  // namespace
}  // namespace lzring
