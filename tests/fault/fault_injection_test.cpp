// Faults under the file layer: open, read, write and close failing on a
// chosen call, returning short counts or reporting EINTR. For _Encode and
// _Decode, and for the path functions of the C++ API, each fault must give the right status, leave
// no descriptor open, leave the destination holding exactly the bytes written before the failure,
// and not keep the next call from succeeding. Short counts and interrupted calls must still give a
// complete, correct file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "lzring.h"
#include "platform/system_calls.h"
#include "streams/file_stream.h"
#ifdef LZRING_FAULT_CPP_API
#include "lzring/lzring.hpp"
#endif
#include "tests/support/memory_codec.h"
#include "tests/support/test_util.h"

namespace lzring {
namespace {

using test::DecodeInMemory;
using test::EncodeInMemory;

using test::Bytes;

// ------------------------------------------------------------------ hooks

enum class Op { kOpen, kRead, kWrite, kClose };

enum class Kind {
  kNone,
  kFailNth,   // the nth call fails with `error`; a close still releases the descriptor
  kZeroNth,   // the nth call transfers nothing and returns 0
  kShortAll,  // every call transfers at most `limit` bytes
  kEintrAll,  // every other call is interrupted (EINTR) before it does anything;
              // a close is interrupted after releasing the descriptor, as on Linux
};

// Stands for "the write of the last, partial block" in Fault::nth.
constexpr int kLastWrite = -1;

struct Fault {
  Op op = Op::kOpen;
  Kind kind = Kind::kNone;
  int nth = 0;
  int error = 0;
  std::size_t limit = 0;
};

// The fault in force, the calls made per operation, and every descriptor
// opened and closed through the table.
struct HookState {
  Fault fault;
  int calls[4] = {};
  std::vector<int> opened;
  std::vector<int> closed;
};
HookState g_hooks;

int Count(Op op) {
  return ++g_hooks.calls[static_cast<int>(op)];
}
bool Is(Op op, Kind kind) {
  return g_hooks.fault.op == op && g_hooks.fault.kind == kind;
}

int HookOpen(const char* path, int flags, mode_t mode) {
  const int n = Count(Op::kOpen);
  if (Is(Op::kOpen, Kind::kFailNth) && n == g_hooks.fault.nth) {
    errno = g_hooks.fault.error;
    return -1;
  }
  const int fd = sys::RealCalls().open(path, flags, mode);
  if (fd >= 0) g_hooks.opened.push_back(fd);
  return fd;
}

template <class Buffer, class Real>
ssize_t Transfer(Op op, int fd, Buffer buffer, std::size_t count, Real real) {
  const int n = Count(op);
  if (Is(op, Kind::kFailNth) && n == g_hooks.fault.nth) {
    errno = g_hooks.fault.error;
    return -1;
  }
  if (Is(op, Kind::kZeroNth) && n == g_hooks.fault.nth) return 0;
  if (Is(op, Kind::kEintrAll) && n % 2 == 1) {
    errno = EINTR;
    return -1;
  }
  if (Is(op, Kind::kShortAll)) count = std::min(count, g_hooks.fault.limit);
  return real(fd, buffer, count);
}

ssize_t HookRead(int fd, void* buffer, std::size_t count) {
  return Transfer(Op::kRead, fd, buffer, count, sys::RealCalls().read);
}
ssize_t HookWrite(int fd, const void* buffer, std::size_t count) {
  return Transfer(Op::kWrite, fd, buffer, count, sys::RealCalls().write);
}

int HookClose(int fd) {
  const int n = Count(Op::kClose);
  g_hooks.closed.push_back(fd);
  const int rc = sys::RealCalls().close(fd);
  if ((Is(Op::kClose, Kind::kFailNth) && n == g_hooks.fault.nth) ||
      Is(Op::kClose, Kind::kEintrAll)) {
    errno = Is(Op::kClose, Kind::kEintrAll) ? EINTR : g_hooks.fault.error;
    return -1;
  }
  return rc;
}

// Routes the library's system calls through the hooks with `fault` in force
// for the lifetime of the object.
class Armed {
 public:
  explicit Armed(const Fault& fault) {
    g_hooks = HookState{};
    g_hooks.fault = fault;
    sys::Calls() = sys::Table{HookOpen, HookRead, HookWrite, HookClose};
  }
  ~Armed() { sys::Calls() = sys::RealCalls(); }
  Armed(const Armed&) = delete;
  Armed& operator=(const Armed&) = delete;
};

// Every descriptor opened through the table was closed exactly once.
void ExpectAllClosed() {
  std::vector<int> opened = g_hooks.opened;
  std::vector<int> closed = g_hooks.closed;
  std::sort(opened.begin(), opened.end());
  std::sort(closed.begin(), closed.end());
  EXPECT_EQ(opened, closed) << "descriptors opened and closed differ";
}

// ------------------------------------------------------------------ data

struct Direction {
  const char* name;
  std::int32_t (*call)(const char*, const char*);
  Bytes (*codec)(const Bytes&);
  Bytes source;
  Bytes expected;
};

#ifdef LZRING_FAULT_CPP_API
// The C++ API's path functions, as 0 or -1.
std::int32_t CppCompressFile(const char* source, const char* destination) {
  lzring::codec codec;
  return codec.compress_file(source, destination) ? 0 : -1;
}
std::int32_t CppExpandFile(const char* source, const char* destination) {
  lzring::codec codec;
  return codec.expand_file(source, destination) ? 0 : -1;
}
#endif

// Both sources span several read blocks and both outputs several write
// blocks plus a partial one, so that a fault can strike in the middle.
#ifdef LZRING_FAULT_CPP_API
constexpr int kDirections = 4;
#else
constexpr int kDirections = 2;
#endif

const Direction& GetDirection(int which) {
  static const std::vector<Direction> directions = [] {
    const Bytes random = test::RandomBytes(36000, 6);
    const Bytes compressed_text = EncodeInMemory(test::TextBytes(120000, 6));
    std::vector<Direction> all = {
        {"Encode", _Encode, EncodeInMemory, random, {}},
        {"Decode", _Decode, DecodeInMemory, compressed_text, {}},
#ifdef LZRING_FAULT_CPP_API
        {"CppCompressFile", CppCompressFile, EncodeInMemory, random, {}},
        {"CppExpandFile", CppExpandFile, DecodeInMemory, compressed_text, {}},
#endif
    };
    for (Direction& d : all) d.expected = d.codec(d.source);
    return all;
  }();
  return directions[static_cast<std::size_t>(which)];
}

// ------------------------------------------------------------------ rows

// What the destination holds after the faulty call.
enum class Dest {
  kUntouched,    // the previous contents, untouched
  kBlocks,       // the first `blocks` full blocks of the expected output
  kAllBlocks,    // every full block of the expected output, not the partial one
  kInputBlocks,  // the output of the first `blocks` blocks of the source
  kComplete,     // the whole expected output
};

struct Row {
  const char* name;
  Fault fault;
  std::int32_t status;
  Dest dest;
  std::size_t blocks;
};

Fault FailNth(Op op, int nth, int error) {
  return Fault{op, Kind::kFailNth, nth, error, 0};
}
Fault Short(Op op, std::size_t limit) {
  return Fault{op, Kind::kShortAll, 0, 0, limit};
}

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"SourceOpenFails", FailNth(Op::kOpen, 1, EACCES), -1, Dest::kUntouched, 0},
      {"DestinationCreateFails", FailNth(Op::kOpen, 2, ENOSPC), -1, Dest::kUntouched, 0},
      {"FirstBlockWriteFails", FailNth(Op::kWrite, 1, EIO), -1, Dest::kBlocks, 0},
      {"ThirdBlockWriteFails", FailNth(Op::kWrite, 3, ENOSPC), -1, Dest::kBlocks, 2},
      {"FinalFlushFails", FailNth(Op::kWrite, kLastWrite, EDQUOT), -1, Dest::kAllBlocks, 0},
      {"WriteMakesNoProgress", Fault{Op::kWrite, Kind::kZeroNth, 2, 0, 0}, -1, Dest::kBlocks, 1},
      {"FirstReadFails", FailNth(Op::kRead, 1, EIO), -1, Dest::kInputBlocks, 0},
      {"ReadFailsMidStream", FailNth(Op::kRead, 3, EIO), -1, Dest::kInputBlocks, 2},
      // A failed close of the source loses nothing; a failed close of the
      // destination may mean its data were not all stored, so the call fails.
      {"SourceCloseFails", FailNth(Op::kClose, 1, EIO), 0, Dest::kComplete, 0},
      {"DestinationCloseFails", FailNth(Op::kClose, 2, EIO), -1, Dest::kComplete, 0},
      {"CloseInterrupted", Fault{Op::kClose, Kind::kEintrAll, 0, 0, 0}, 0, Dest::kComplete, 0},
      {"ShortWritesOf1000", Short(Op::kWrite, 1000), 0, Dest::kComplete, 0},
      {"ShortWritesOf1", Short(Op::kWrite, 1), 0, Dest::kComplete, 0},
      {"ShortReadsOf1", Short(Op::kRead, 1), 0, Dest::kComplete, 0},
      {"ShortReadsOf100", Short(Op::kRead, 100), 0, Dest::kComplete, 0},
      {"ShortReadsOf4095", Short(Op::kRead, 4095), 0, Dest::kComplete, 0},
      {"InterruptedReads", Fault{Op::kRead, Kind::kEintrAll, 0, 0, 0}, 0, Dest::kComplete, 0},
      {"InterruptedWrites", Fault{Op::kWrite, Kind::kEintrAll, 0, 0, 0}, 0, Dest::kComplete, 0},
  };
  return rows;
}

Bytes ExpectedDestination(const Direction& d, const Row& row, const Bytes& previous) {
  const std::size_t full = d.expected.size() / IO_BLOCK;
  switch (row.dest) {
    case Dest::kUntouched:
      return previous;
    case Dest::kBlocks:
      return Bytes(d.expected.begin(), d.expected.begin() + row.blocks * IO_BLOCK);
    case Dest::kAllBlocks:
      return Bytes(d.expected.begin(), d.expected.begin() + full * IO_BLOCK);
    case Dest::kInputBlocks:
      return d.codec(Bytes(d.source.begin(), d.source.begin() + row.blocks * IO_BLOCK));
    case Dest::kComplete:
      break;
  }
  return d.expected;
}

class FaultTest : public ::testing::TestWithParam<std::tuple<int, std::size_t>> {};

TEST_P(FaultTest, StatusDescriptorsAndDestination) {
  const Direction& d = GetDirection(std::get<0>(GetParam()));
  const Row& row = Rows()[std::get<1>(GetParam())];
  ASSERT_NE(d.expected.size() % IO_BLOCK, 0u);
  ASSERT_GE(d.expected.size(), 3u * IO_BLOCK);
  ASSERT_GE(d.source.size(), 3u * IO_BLOCK);

  test::TempDir dir;
  const std::string src = dir / "source";
  const std::string dst = dir / "destination";
  test::WriteFile(src, d.source);
  const Bytes previous = test::FromText("previous contents of the destination");
  test::WriteFile(dst, previous);

  Fault fault = row.fault;
  if (fault.nth == kLastWrite) fault.nth = static_cast<int>(d.expected.size() / IO_BLOCK) + 1;

  const int fds_before = test::CountOpenFds();
  {
    Armed armed(fault);
    EXPECT_EQ(d.call(src.c_str(), dst.c_str()), row.status);
    ExpectAllClosed();
  }
  EXPECT_EQ(test::CountOpenFds(), fds_before);
  EXPECT_EQ(test::ReadFile(dst), ExpectedDestination(d, row, previous));
  EXPECT_EQ(test::ReadFile(src), d.source) << "the source was changed";

  // The next call, with the same hooks but no fault, succeeds.
  {
    Armed armed(Fault{});
    EXPECT_EQ(d.call(src.c_str(), dst.c_str()), 0);
    ExpectAllClosed();
  }
  EXPECT_EQ(test::CountOpenFds(), fds_before);
  EXPECT_EQ(test::ReadFile(dst), d.expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultTest,
                         ::testing::Combine(::testing::Range(0, kDirections),
                                            ::testing::Range<std::size_t>(0, Rows().size())),
                         [](const ::testing::TestParamInfo<FaultTest::ParamType>& info) {
                           return std::string(GetDirection(std::get<0>(info.param)).name) + "_" +
                                  Rows()[std::get<1>(info.param)].name;
                         });

// _GetFileSize opens and closes one file through the same layer.
struct SizeRow {
  const char* name;
  Fault fault;
  std::int32_t result;  // -2: the file's size
};

// Printed by name: the default prints the bytes, padding included.
void PrintTo(const SizeRow& row, std::ostream* os) {
  *os << row.name;
}

class GetFileSizeFaultTest : public ::testing::TestWithParam<SizeRow> {};

TEST_P(GetFileSizeFaultTest, ResultAndDescriptors) {
  test::TempDir dir;
  const std::string path = dir / "file";
  test::WriteFile(path, test::RandomBytes(5000, 1));
  const int fds_before = test::CountOpenFds();
  {
    Armed armed(GetParam().fault);
    EXPECT_EQ(_GetFileSize(path.c_str()), GetParam().result == -2 ? 5000 : GetParam().result);
    ExpectAllClosed();
  }
  EXPECT_EQ(test::CountOpenFds(), fds_before);
  EXPECT_EQ(_GetFileSize(path.c_str()), 5000);
}

INSTANTIATE_TEST_SUITE_P(Rows, GetFileSizeFaultTest,
                         ::testing::Values(SizeRow{"OpenFails", FailNth(Op::kOpen, 1, EACCES), -1},
                                           SizeRow{"CloseFails", FailNth(Op::kClose, 1, EIO), -2},
                                           SizeRow{"NoFault", Fault{}, -2}),
                         [](const ::testing::TestParamInfo<SizeRow>& info) {
                           return std::string(info.param.name);
                         });

}  // namespace
}  // namespace lzring
