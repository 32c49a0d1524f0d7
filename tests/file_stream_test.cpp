// The buffered file streams over real files: block boundaries on both sides,
// the number of system reads and writes they make, the end of input, read
// failures and short writes.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include "api/call_frame.h"
#include "api/workspace.h"
#include "codec/decode_loop.h"
#include "streams/file_stream.h"
#include "tests/support/test_util.h"

namespace lzring {
namespace {

using test::Bytes;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// System reads and writes made by this process so far, from the kernel's
// per-process accounting. Sampling costs a fixed number of calls of its own,
// which IoCounter measures once and subtracts.
struct IoCalls {
  std::uint64_t reads = 0;
  std::uint64_t writes = 0;
};

bool SampleIo(IoCalls& io) {
  const int fd = ::open("/proc/self/io", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char text[512];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return false;
  text[n] = '\0';
  const char* r = std::strstr(text, "syscr:");
  const char* w = std::strstr(text, "syscw:");
  if (r == nullptr || w == nullptr) return false;
  io.reads = std::strtoull(r + 6, nullptr, 10);
  io.writes = std::strtoull(w + 6, nullptr, 10);
  return true;
}

class IoCounter {
 public:
  IoCounter() {
    IoCalls a;
    IoCalls b;
    available_ = SampleIo(a) && SampleIo(b);
    overhead_ = {b.reads - a.reads, b.writes - a.writes};
    Restart();
  }
  bool available() const { return available_; }
  void Restart() { SampleIo(start_); }
  IoCalls Since() const {
    IoCalls now;
    SampleIo(now);
    return {now.reads - start_.reads - overhead_.reads,
            now.writes - start_.writes - overhead_.writes};
  }

 private:
  bool available_ = false;
  IoCalls overhead_;
  IoCalls start_;
};

off_t FileOffset(FileHandle handle) {
  return ::lseek(handle, 0, SEEK_CUR);
}

class FileStreams : public ::testing::TestWithParam<std::size_t> {
 protected:
  void SetUp() override {
    ws_ = std::make_unique<Workspace>();
    if (!counter_.available()) GTEST_SKIP() << "no per-process I/O accounting";
  }
  std::unique_ptr<Workspace> ws_;
  StreamStatus status_;
  TempDir dir_;
  IoCounter counter_;
};

// Every byte, then the end; one read per block and one more that delivers
// nothing; after that no read at all, even when the file grows.
TEST_P(FileStreams, SourceYieldsEveryByteThenTheEnd) {
  const std::size_t n = GetParam();
  const Bytes data = test::RandomBytes(n, static_cast<std::uint32_t>(n));
  WriteFile(dir_ / "src", data);
  ASSERT_EQ(OpenFilePair(*ws_, (dir_ / "src").c_str(), (dir_ / "dst").c_str(), status_), 0);

  counter_.Restart();
  Bytes got;
  for (;;) {
    const std::uint8_t b = ReadByte(*ws_, status_);
    if (ws_->in_eof) break;
    got.push_back(b);
    ASSERT_LE(got.size(), n);
  }
  EXPECT_EQ(got, data);
  EXPECT_EQ(counter_.Since().reads, (n + IO_BLOCK - 1) / IO_BLOCK + 1);

  {
    // Grow the source behind the open handle: a further read would see it.
    const Bytes more(100, 'x');
    const int fd = ::open((dir_ / "src").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, more.data(), more.size()), 100);
    ::close(fd);
  }
  counter_.Restart();
  for (int k = 0; k < 3; ++k) {
    ReadByte(*ws_, status_);
    EXPECT_EQ(ws_->in_eof, 1);
  }
  EXPECT_EQ(counter_.Since().reads, 0u);
  EXPECT_EQ(FileOffset(ws_->in_handle), static_cast<off_t>(n));
  EXPECT_EQ(status_.read_error, 0);
  CloseFilePair(*ws_, status_);
}

// Full blocks go out as soon as they fill, one write each; the flush writes
// the rest in one write, or nothing. An existing destination is truncated,
// so no output leaves an empty file.
TEST_P(FileStreams, DestinationGetsFullBlocksThenTheRest) {
  const std::size_t n = GetParam();
  const Bytes data = test::RandomBytes(n, static_cast<std::uint32_t>(n) + 1);
  WriteFile(dir_ / "src", {});
  WriteFile(dir_ / "dst", Bytes(10000, 'o'));
  ASSERT_EQ(OpenFilePair(*ws_, (dir_ / "src").c_str(), (dir_ / "dst").c_str(), status_), 0);

  counter_.Restart();
  for (const std::uint8_t b : data) ASSERT_EQ(WriteByte(*ws_, b, status_), 0);
  EXPECT_EQ(counter_.Since().writes, n / IO_BLOCK);
  EXPECT_EQ(std::filesystem::file_size(dir_ / "dst"), n / IO_BLOCK * IO_BLOCK);

  counter_.Restart();
  EXPECT_EQ(FlushOutput(*ws_, status_), 0);
  EXPECT_EQ(counter_.Since().writes, n % IO_BLOCK != 0 ? 1u : 0u);
  CloseFilePair(*ws_, status_);
  EXPECT_EQ(ReadFile(dir_ / "dst"), data);
  EXPECT_EQ(status_.write_error, 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, FileStreams, ::testing::Values(0, 1, 4095, 4096, 4097, 8192, 8193));

// A source that opens but cannot be read: the memory of this process at
// address 0, which is never mapped. The failure ends the input like the end
// of the file, is recorded, and fails the call.
TEST(FileStreamFailures, FailedReadEndsInputAndIsRecorded) {
  auto ws = std::make_unique<Workspace>();
  TempDir dir;
  StreamStatus status;
  ASSERT_EQ(OpenFilePair(*ws, "/proc/self/mem", (dir / "dst").c_str(), status), 0);
  ReadByte(*ws, status);
  EXPECT_EQ(ws->in_eof, 1);
  EXPECT_EQ(status.read_error, EIO);
  CloseFilePair(*ws, status);

  StreamStatus call_status;
  const auto decode = [&ws](FileSource& in, FileSink& out) {
    return DecodeStream(ws->ring, in, out);
  };
  EXPECT_EQ(RunCallFrame(*ws, "/proc/self/mem", (dir / "dst2").c_str(), call_status, decode), -1);
  EXPECT_EQ(call_status.read_error, EIO);
  EXPECT_TRUE(std::filesystem::exists(dir / "dst2"));
}

// A destination that accepts no byte: the block write fails, WriteByte says
// so and keeps the block; the flush of a partial block fails likewise.
TEST(FileStreamFailures, FailedWritesAreReported) {
  auto ws = std::make_unique<Workspace>();
  TempDir dir;
  WriteFile(dir / "src", {});
  StreamStatus status;
  ASSERT_EQ(OpenFilePair(*ws, (dir / "src").c_str(), "/dev/full", status), 0);
  for (int k = 0; k < IO_BLOCK - 1; ++k) ASSERT_EQ(WriteByte(*ws, 'x', status), 0);
  EXPECT_EQ(WriteByte(*ws, 'x', status), -1);
  EXPECT_EQ(ws->out_count, IO_BLOCK);
  EXPECT_EQ(status.write_error, ENOSPC);
  CloseFilePair(*ws, status);

  StreamStatus flush_status;
  ASSERT_EQ(OpenFilePair(*ws, (dir / "src").c_str(), "/dev/full", flush_status), 0);
  ASSERT_EQ(WriteByte(*ws, 'x', flush_status), 0);
  EXPECT_EQ(FlushOutput(*ws, flush_status), -1);
  EXPECT_EQ(flush_status.write_error, ENOSPC);
  CloseFilePair(*ws, flush_status);
}

}  // namespace
}  // namespace lzring
