// Real failures of the file system, without any test seam: a destination on
// a file-size limit or on a full device, sources that cannot be read (no
// permission, a failing read); and FIFOs as source and destination.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <thread>

#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/ring_trees.h"
#include "lzring.h"
#include "tests/support/memory_codec.h"
#include "tests/support/test_util.h"

namespace lzring {
namespace {

using test::DecodeInMemory;
using test::EncodeInMemory;

using test::Bytes;

// Lowers the soft file-size limit for its lifetime, with SIGXFSZ ignored so
// that a write past the limit fails with EFBIG instead of killing the process.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved_limit_);
    saved_handler_ = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved_limit_;
    limit.rlim_cur = bytes;
    ok_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved_limit_);
    std::signal(SIGXFSZ, saved_handler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  bool ok() const { return ok_; }

 private:
  rlimit saved_limit_{};
  void (*saved_handler_)(int) = SIG_DFL;
  bool ok_ = false;
};

struct LimitRow {
  const char* name;
  rlim_t limit;          // bytes the destination may reach
  std::size_t expected;  // bytes it holds after the failed call
};

// gtest prints parameters by name; its default would print their bytes,
// padding included, which memory checkers report as uninitialised.
void PrintTo(const LimitRow& row, std::ostream* os) {
  *os << row.name;
}

class FileSizeLimitTest : public ::testing::TestWithParam<LimitRow> {};

// On a block boundary the first write past the limit fails whole, so the
// destination keeps exactly the blocks before it; elsewhere the kernel takes
// the part of the block that fits and refuses the rest.
TEST_P(FileSizeLimitTest, EncodeFailsMidStream) {
  test::TempDir dir;
  const std::string src = dir / "source";
  const std::string dst = dir / "destination";
  const Bytes source = test::RandomBytes(40000, 3);
  const Bytes expected = EncodeInMemory(source);
  ASSERT_GT(expected.size(), GetParam().limit);
  test::WriteFile(src, source);
  const int fds_before = test::CountOpenFds();
  {
    FileSizeLimit limit(GetParam().limit);
    ASSERT_TRUE(limit.ok());
    EXPECT_EQ(_Encode(src.c_str(), dst.c_str()), -1);
  }
  EXPECT_EQ(test::CountOpenFds(), fds_before);
  EXPECT_EQ(test::ReadFile(dst), Bytes(expected.begin(), expected.begin() + GetParam().expected));
  EXPECT_EQ(_Encode(src.c_str(), dst.c_str()), 0);
  EXPECT_EQ(test::ReadFile(dst), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Limits, FileSizeLimitTest,
    ::testing::Values(LimitRow{"Nothing", 0, 0}, LimitRow{"ThreeBlocks", 3 * 4096, 3 * 4096},
                      LimitRow{"InsideFourthBlock", 3 * 4096 + 100, 3 * 4096 + 100}),
    [](const ::testing::TestParamInfo<LimitRow>& info) { return std::string(info.param.name); });

struct DeviceRow {
  const char* name;
  std::int32_t (*call)(const char*, const char*);
  std::size_t source_size;
};

void PrintTo(const DeviceRow& row, std::ostream* os) {
  *os << row.name;
}

class FullDeviceTest : public ::testing::TestWithParam<DeviceRow> {};

// /dev/full refuses every write with ENOSPC: the final flush for a short
// output, the first block write for a long one.
TEST_P(FullDeviceTest, WritesFail) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full here";
  test::TempDir dir;
  const std::string src = dir / "source";
  test::WriteFile(src, EncodeInMemory(test::TextBytes(GetParam().source_size, 4)));
  const int fds_before = test::CountOpenFds();
  EXPECT_EQ(GetParam().call(src.c_str(), "/dev/full"), -1);
  EXPECT_EQ(test::CountOpenFds(), fds_before);
}

INSTANTIATE_TEST_SUITE_P(Calls, FullDeviceTest,
                         ::testing::Values(DeviceRow{"EncodeFlush", _Encode, 100},
                                           DeviceRow{"EncodeBlock", _Encode, 50000},
                                           DeviceRow{"DecodeFlush", _Decode, 100},
                                           DeviceRow{"DecodeBlock", _Decode, 50000}),
                         [](const ::testing::TestParamInfo<DeviceRow>& info) {
                           return std::string(info.param.name);
                         });

TEST(FullDeviceTest, NothingToWriteSucceeds) {
  if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no writable /dev/full here";
  test::TempDir dir;
  const std::string src = dir / "empty";
  test::WriteFile(src, {});
  EXPECT_EQ(_Encode(src.c_str(), "/dev/full"), 0);
  EXPECT_EQ(_Decode(src.c_str(), "/dev/full"), 0);
}

// Checks a source that cannot be opened: -1, the destination untouched, no
// descriptor left open. Returns true when all held.
bool RefusedWithDestinationUntouched(const std::string& src, const std::string& dst) {
  const Bytes before = test::ReadFile(dst);
  const int fds_before = test::CountOpenFds();
  bool ok = true;
  for (auto call : {_Encode, _Decode}) {
    ok = ok && call(src.c_str(), dst.c_str()) == -1;
    ok = ok && test::ReadFile(dst) == before;
    ok = ok && test::CountOpenFds() == fds_before;
  }
  return ok && _GetFileSize(src.c_str()) == -1;
}

TEST(UnreadableSourceTest, PermissionDenied) {
  test::TempDir dir;
  const std::string src = dir / "secret";
  const std::string dst = dir / "destination";
  test::WriteFile(src, test::TextBytes(5000, 1));
  test::WriteFile(dst, test::FromText("keep me"));
  ASSERT_EQ(::chmod(src.c_str(), 0), 0);
  if (::geteuid() != 0) {
    EXPECT_TRUE(RefusedWithDestinationUntouched(src, dst));
    return;
  }
  // Permissions do not bind root; check in a child that has given up root.
  // The child reports through a pipe rather than its exit status, which a
  // memory checker running the tests may replace.
  ASSERT_EQ(::chmod(dir.path().c_str(), 0777), 0);
  ASSERT_EQ(::chmod(dst.c_str(), 0666), 0);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    char verdict = 'r';  // cannot give up root here
    if (::setgid(65534) == 0 && ::setuid(65534) == 0 && ::access(src.c_str(), R_OK) != 0) {
      verdict = RefusedWithDestinationUntouched(src, dst) ? 'y' : 'n';
    }
    (void)!::write(report[1], &verdict, 1);
    ::_exit(0);
  }
  ::close(report[1]);
  char verdict = 0;
  const ssize_t got = ::read(report[0], &verdict, 1);
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_EQ(got, 1) << "the child reported nothing";
  if (verdict == 'r') GTEST_SKIP() << "cannot drop root here to make a file unreadable";
  EXPECT_EQ(verdict, 'y');
}

// A source that opens but whose first read fails (EIO): the start of this
// process's own memory, which is never mapped.
TEST(UnreadableSourceTest, ReadFailsIsNotSuccess) {
  if (::access("/proc/self/mem", R_OK) != 0) GTEST_SKIP() << "no /proc/self/mem here";
  test::TempDir dir;
  const std::string dst = dir / "destination";
  const int fds_before = test::CountOpenFds();
  EXPECT_EQ(_Encode("/proc/self/mem", dst.c_str()), -1);
  EXPECT_EQ(_Decode("/proc/self/mem", dst.c_str()), -1);
  EXPECT_EQ(test::CountOpenFds(), fds_before);
  EXPECT_EQ(test::ReadFile(dst), Bytes{});
}

// A FIFO is opened as every program opens one: the call waits for the other
// end, however late it comes, and then reads or writes the whole stream.
struct FifoRow {
  const char* name;
  std::int32_t (*call)(const char*, const char*);
  bool fifo_is_source;
  Bytes (*input)(const Bytes&);     // the source made of `data`
  Bytes (*expected)(const Bytes&);  // what the destination gets
};

void PrintTo(const FifoRow& row, std::ostream* os) {
  *os << row.name;
}

class FifoTest : public ::testing::TestWithParam<FifoRow> {};

TEST_P(FifoTest, WaitsForTheOtherEndAndMovesEverything) {
  const FifoRow& row = GetParam();
  test::TempDir dir;
  const std::string fifo = dir / "fifo";
  const std::string file = dir / "file";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const Bytes data = test::TextBytes(100000, 9);
  const Bytes input = row.input(data);
  if (!row.fifo_is_source) test::WriteFile(file, input);
  // A write to a FIFO whose reader has gone fails instead of killing us.
  const auto saved_pipe = std::signal(SIGPIPE, SIG_IGN);
  std::int32_t status = 1;
  std::thread caller([&] {
    status = row.fifo_is_source ? row.call(fifo.c_str(), file.c_str())
                                : row.call(file.c_str(), fifo.c_str());
    // Both ends at once, so that this never waits: it releases an open of
    // ours still waiting because the call never opened its end.
    const int fd = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  });
  Bytes received;
  int fd = -1;
  if (row.fifo_is_source) {
    // The writer comes only once the call is opening the FIFO: a
    // non-blocking open for writing succeeds only when a reader is there.
    while ((fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) < 0 && errno == ENXIO) {
      std::this_thread::yield();
    }
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  } else {
    fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
  }
  if (fd >= 0 && row.fifo_is_source) {
    for (std::size_t done = 0; done < input.size();) {
      const ssize_t n =
          ::write(fd, input.data() + done, std::min<std::size_t>(1000, input.size() - done));
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
  } else if (fd >= 0) {
    std::uint8_t block[1000];
    for (ssize_t n; (n = ::read(fd, block, sizeof block)) > 0;)
      received.insert(received.end(), block, block + n);
  }
  if (fd >= 0) ::close(fd);
  caller.join();
  std::signal(SIGPIPE, saved_pipe);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(row.fifo_is_source ? test::ReadFile(file) : received, row.expected(data));
}

Bytes Compressed(const Bytes& data) {
  return EncodeInMemory(data);
}
Bytes Same(const Bytes& data) {
  return data;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FifoTest,
    ::testing::Values(FifoRow{"EncodeFromFifo", _Encode, true, Same, Compressed},
                      FifoRow{"DecodeFromFifo", _Decode, true, Compressed, Same},
                      FifoRow{"EncodeIntoFifo", _Encode, false, Same, Compressed},
                      FifoRow{"DecodeIntoFifo", _Decode, false, Compressed, Same}),
    [](const ::testing::TestParamInfo<FifoRow>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lzring
