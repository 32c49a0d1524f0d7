// The C++ API: every path (memory, descriptors, paths) gives the bytes that
// _Encode writes, errors arrive as errno values, and codec objects work
// independently on several threads.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "lzring.h"
#include "lzring/lzring.hpp"
#include "tests/support/test_util.h"

namespace lzring {
namespace {

using test::Bytes;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// What the C entry point writes for `source`.
Bytes EncodeWithC(const TempDir& dir, const Bytes& source) {
  WriteFile(dir / "c_in", source);
  EXPECT_EQ(_Encode((dir / "c_in").c_str(), (dir / "c_out").c_str()), 0);
  return ReadFile(dir / "c_out");
}

struct Shape {
  const char* name;
  Bytes data;
};

std::vector<Shape> Shapes() {
  return {{"empty", {}},
          {"one_byte", {0x41}},
          {"block", test::TextBytes(4096, 1)},
          {"block_plus_one", test::TextBytes(4097, 2)},
          {"text", test::TextBytes(100000, 3)},
          {"random", test::RandomBytes(50000, 4)},
          {"zeros", Bytes(70000, 0)}};
}

class EveryPath : public ::testing::TestWithParam<Shape> {};

TEST_P(EveryPath, MatchesTheCEntryPoints) {
  TempDir dir;
  const Bytes& plain = GetParam().data;
  const Bytes expected = EncodeWithC(dir, plain);
  codec c;

  EXPECT_EQ(c.compress(plain), expected);
  EXPECT_EQ(lzring::compress(plain), expected);
  Bytes reused(3, 0xEE);
  c.compress(plain, reused);
  EXPECT_EQ(reused, expected);

  Bytes buffer(encode_bound(plain.size()));
  std::error_code ec;
  const std::size_t n = c.compress_into(plain, buffer, ec);
  EXPECT_FALSE(ec);
  EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + n), expected);

  EXPECT_EQ(c.expand(expected), plain);
  EXPECT_EQ(lzring::expand(expected), plain);
  EXPECT_EQ(c.expanded_size(expected), plain.size());
  Bytes exact(plain.size());
  EXPECT_EQ(c.expand_into(expected, exact), plain.size());
  EXPECT_EQ(exact, plain);

  // Paths.
  WriteFile(dir / "plain", plain);
  stream_result r = c.compress_file(dir / "plain", dir / "packed");
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r.bytes_in, plain.size());
  EXPECT_EQ(r.bytes_out, expected.size());
  EXPECT_EQ(ReadFile(dir / "packed"), expected);
  ASSERT_TRUE(c.expand_file(dir / "packed", dir / "back"));
  EXPECT_EQ(ReadFile(dir / "back"), plain);
  r = c.measure_file(dir / "packed");
  ASSERT_TRUE(r);
  EXPECT_EQ(r.bytes_out, plain.size());

  // Descriptors, the caller's to close.
  const int in = ::open((dir / "plain").c_str(), O_RDONLY);
  const int out = ::open((dir / "fd_packed").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_TRUE(c.compress_fd(in, out));
  EXPECT_EQ(::close(in), 0);
  EXPECT_EQ(::close(out), 0);
  EXPECT_EQ(ReadFile(dir / "fd_packed"), expected);
}

INSTANTIATE_TEST_SUITE_P(Shapes, EveryPath, ::testing::ValuesIn(Shapes()),
                         [](const auto& info) { return std::string(info.param.name); });

// A stream of `n` bytes that expands as far as any can: whole groups of eight
// references of 18 bytes, and at the end as many such references as fit,
// then a literal for an odd byte left.
Bytes LongestExpansion(std::size_t n) {
  Bytes stream;
  while (stream.size() < n) {
    const std::size_t units = std::min<std::size_t>(n - stream.size() - 1, 16);
    stream.push_back(units % 2 != 0 ? static_cast<std::uint8_t>(1u << (units / 2)) : 0);
    for (std::size_t k = 0; k + 1 < units; k += 2) {
      stream.push_back(static_cast<std::uint8_t>(k));
      stream.push_back(0x0F);  // length 18
    }
    if (units % 2 != 0) stream.push_back('x');
  }
  return stream;
}

TEST(CppApi, BoundsSaturateAndAreReached) {
  struct Row {
    std::uint64_t n, compressed, expanded;
  };
  constexpr std::uint64_t kLastCompress = 16397105843297379213u;
  constexpr std::uint64_t kLastExpand = 2177740619812933177u;
  const Row rows[] = {
      {0, 0, 0},
      {1, 2, 0},      // a flag byte alone
      {2, 3, 1},      // a flag byte and a literal
      {3, 4, 18},     // a flag byte and a reference
      {8, 9, 55},     // three references and a literal
      {9, 11, 72},    // four references
      {17, 20, 144},  // a whole group
      {18, 21, 144},  // and a flag byte
      {19, 22, 145},  // and a literal
      {37, 42, 306},  // two groups and a reference
      {kLastCompress - 8, UINT64_MAX - 9, UINT64_MAX},
      // The largest n whose bounds fit in 64 bits, and past them, saturation.
      {kLastCompress, UINT64_MAX, UINT64_MAX},
      {kLastCompress + 1, UINT64_MAX, UINT64_MAX},
      {kLastExpand, 2449958197289549825u, UINT64_MAX - 14},
      {kLastExpand + 1, 2449958197289549826u, UINT64_MAX},
      {UINT64_MAX, UINT64_MAX, UINT64_MAX},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.n);
    EXPECT_EQ(compress_bound(row.n), row.compressed);
    EXPECT_EQ(encode_bound(row.n), row.compressed);
    EXPECT_EQ(expand_bound(row.n), row.expanded);
  }
  // Every stream up to a few groups long reaches the bound exactly.
  for (std::size_t n = 0; n <= 3 * 17 + 1; ++n) {
    SCOPED_TRACE(n);
    const Bytes stream = LongestExpansion(n);
    ASSERT_EQ(stream.size(), n);
    EXPECT_EQ(expanded_size(stream), expand_bound(n));
  }
  const Bytes random = test::RandomBytes(10001, 9);
  EXPECT_LE(compress(random).size(), compress_bound(random.size()));
  EXPECT_LE(expanded_size(random), expand_bound(random.size()));
}

TEST(CppApi, TooSmallBufferIsNoBufferSpace) {
  codec c;
  const Bytes plain = test::TextBytes(5000, 5);
  const Bytes packed = c.compress(plain);
  Bytes small(packed.size() - 1);
  std::error_code ec;
  EXPECT_EQ(c.compress_into(plain, small, ec), 0u);
  EXPECT_EQ(ec, std::errc::no_buffer_space);
  Bytes short_out(plain.size() - 1);
  EXPECT_EQ(c.expand_into(packed, short_out, ec), 0u);
  EXPECT_EQ(ec, std::errc::no_buffer_space);
  EXPECT_THROW(c.expand_into(packed, short_out), std::system_error);
  // The codec is still good after a failure.
  EXPECT_EQ(c.expand(packed), plain);
}

// Spans that share a byte are refused before anything is written: the loops
// would read their own output. Spans that only touch are fine.
TEST(CppApi, OverlappingSpansAreInvalid) {
  codec c;
  const Bytes plain = test::TextBytes(5000, 5);
  const Bytes packed = c.compress(plain);
  constexpr std::ptrdiff_t kIn = 8000;   // where the input lies in the buffer
  constexpr std::ptrdiff_t kOut = 6000;  // output span size, room for either result
  enum Call { kCompressInto, kExpandInto, kExpandBounded };
  for (const Call call : {kCompressInto, kExpandInto, kExpandBounded}) {
    const bool expanding = call != kCompressInto;
    const Bytes& in = expanding ? packed : plain;
    const Bytes& result = expanding ? plain : packed;
    const auto size = static_cast<std::ptrdiff_t>(in.size());
    const struct {
      std::ptrdiff_t out_from_in;  // start of the output minus start of the input
      bool overlap;
    } rows[] = {{0, true}, {1 - kOut, true}, {-kOut, false}, {size - 1, true}, {size, false}};
    for (const auto& row : rows) {
      Bytes buffer(20000, 0xEE);
      std::copy(in.begin(), in.end(), buffer.begin() + kIn);
      const std::span<const std::uint8_t> source(buffer.data() + kIn, in.size());
      const std::span<std::uint8_t> out(buffer.data() + kIn + row.out_from_in, kOut);
      std::error_code ec;
      std::size_t n = 0;
      if (call == kExpandBounded) {
        const bounded_result r = c.expand_bounded(source, out);
        ec = r.read_error;
        n = r.bytes_out;
      } else {
        n = expanding ? c.expand_into(source, out, ec) : c.compress_into(source, out, ec);
      }
      const std::string label = std::to_string(call) + " at " + std::to_string(row.out_from_in);
      if (row.overlap) {
        EXPECT_EQ(ec, std::errc::invalid_argument) << label;
        EXPECT_EQ(n, 0u) << label;
        EXPECT_TRUE(std::equal(in.begin(), in.end(), buffer.begin() + kIn)) << label;
      } else {
        EXPECT_FALSE(ec) << label;
        EXPECT_EQ(Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)), result)
            << label;
      }
    }
  }
}

TEST(CppApi, PathErrorsCarryErrno) {
  TempDir dir;
  codec c;
  WriteFile(dir / "plain", test::TextBytes(100, 6));
  stream_result r = c.compress_file(dir / "missing", dir / "out");
  EXPECT_EQ(r.read_error, std::errc::no_such_file_or_directory);
  EXPECT_FALSE(std::filesystem::exists(dir / "out"));
  r = c.compress_file(dir.path(), dir / "out");
  EXPECT_EQ(r.read_error, std::errc::is_a_directory);
  r = c.compress_file(dir / "plain", dir.path());
  EXPECT_EQ(r.write_error, std::errc::is_a_directory);
  // The same file on both sides is refused before it is truncated.
  r = c.expand_file(dir / "plain", dir / "plain");
  EXPECT_EQ(r.write_error, std::errc::invalid_argument);
  EXPECT_EQ(ReadFile(dir / "plain").size(), 100u);
  EXPECT_THROW(r.throw_if_failed("expand"), std::system_error);
}

TEST(CppApi, DescriptorErrorsCarryErrno) {
  codec c;
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  ASSERT_EQ(::close(fds[0]), 0);
  const int full = ::open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  const int zero = ::open("/dev/zero", O_RDONLY);
  // An endless source into a full device fails on the first block written.
  stream_result r = c.compress_fd(zero, full);
  EXPECT_EQ(r.write_error, std::errc::no_space_on_device);
  EXPECT_FALSE(r.read_error);
  r = c.expand_fd(fds[1], full);  // reading the write end of a pipe
  EXPECT_EQ(r.read_error, std::errc::bad_file_descriptor);
  ::close(fds[1]);
  ::close(full);
  ::close(zero);
}

TEST(CppApi, ProgressSeesEverySourceBlock) {
  TempDir dir;
  const Bytes plain = test::TextBytes(3 * 4096 + 5, 7);
  WriteFile(dir / "plain", plain);
  std::vector<std::uint64_t> seen;
  codec c;
  const stream_result r = c.compress_file(
      dir / "plain", dir / "packed", [&](std::uint64_t in, std::uint64_t) { seen.push_back(in); });
  ASSERT_TRUE(r);
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{4096, 8192, 12288, plain.size()}));
}

TEST(CppApi, IndependentCodecsRunOnThreadsAtOnce) {
  std::vector<Bytes> inputs;
  for (std::uint32_t k = 0; k < 4; ++k) inputs.push_back(test::TextBytes(200000 + k * 77, k));
  std::vector<Bytes> expected;
  codec reference;
  for (const Bytes& in : inputs) expected.push_back(reference.compress(in));

  std::vector<int> ok(inputs.size(), 0);
  {
    std::vector<std::jthread> threads;
    for (std::size_t k = 0; k < inputs.size(); ++k) {
      threads.emplace_back([&, k] {
        codec c;
        for (int round = 0; round < 3; ++round) {
          if (c.compress(inputs[k]) != expected[k] || c.expand(expected[k]) != inputs[k]) return;
        }
        ok[k] = 1;
      });
    }
  }
  EXPECT_EQ(ok, std::vector<int>(inputs.size(), 1));
}

// The forms that cannot report an overlap work through a copy when the
// input is a view of their own output: a vector's storage, or the output
// of an encoder or decoder written back to it.
TEST(CppApi, InputsThatAreViewsOfTheOutputWorkThroughACopy) {
  codec c;
  const Bytes plain = test::TextBytes(200000, 6);
  const Bytes packed = c.compress(plain);
  for (const bool expanding : {false, true}) {
    for (const std::size_t spare : {0, 1 << 20}) {  // room to grow in place, or none
      Bytes v = expanding ? packed : plain;
      v.reserve(v.size() + spare);
      const std::span<const std::uint8_t> view(v.data() + 1, v.size() - 1);
      const Bytes copy(view.begin(), view.end());
      const Bytes expected = expanding ? c.expand(copy) : c.compress(copy);
      if (expanding) {
        c.expand(view, v);
      } else {
        c.compress(view, v);
      }
      EXPECT_EQ(v, expected) << expanding << " " << spare;
    }
  }
  decoder d;
  ASSERT_TRUE(d.write(packed));
  ASSERT_TRUE(d.write(d.output()));
  ASSERT_TRUE(d.finish());
  Bytes joined = packed;
  joined.insert(joined.end(), plain.begin(), plain.end());
  EXPECT_EQ(Bytes(d.output().begin(), d.output().end()), expand(joined));

  encoder e;
  ASSERT_TRUE(e.write(plain));
  const Bytes first(e.output().begin(), e.output().end());
  ASSERT_FALSE(first.empty());
  ASSERT_TRUE(e.write(e.output()));
  ASSERT_TRUE(e.finish());
  joined = plain;
  joined.insert(joined.end(), first.begin(), first.end());
  const Bytes packed_joined = compress(joined);
  EXPECT_EQ(Bytes(e.output().begin(), e.output().end()), packed_joined);
  // read() into its own output.
  std::span<std::uint8_t> own(const_cast<std::uint8_t*>(e.output().data()) + 3, 100);
  EXPECT_EQ(e.read(own), 100u);
  EXPECT_TRUE(std::equal(own.begin(), own.end(), packed_joined.begin()));
}

// Every call on a moved-from object is valid and fails; assigned to, the
// object works again.
TEST(CppApi, MovedFromObjectsAreValidAndFailed) {
  const Bytes plain = test::TextBytes(1000, 9);
  const auto invalid = std::make_error_code(std::errc::invalid_argument);
  Bytes out(5000);
  std::error_code ec;
  codec a;
  codec b(std::move(a));
  EXPECT_THROW(a.compress(plain), std::system_error);
  EXPECT_THROW(a.expand(plain), std::system_error);
  EXPECT_EQ(a.compress_into(plain, out, ec), 0u);
  EXPECT_EQ(ec, invalid);
  EXPECT_EQ(a.expand_into(plain, out, ec), 0u);
  EXPECT_EQ(ec, invalid);
  EXPECT_EQ(a.expanded_size(plain), 0u);
  EXPECT_EQ(a.expand_bounded(plain, out).read_error, invalid);
  a.set_threads(2);
  EXPECT_EQ(a.threads(), 0u);
  EXPECT_EQ(a.threads_not_started(), 0u);
  EXPECT_EQ(a.compress_fd(0, 1).read_error, invalid);
  EXPECT_EQ(a.expand_fd(0, 1).read_error, invalid);
  EXPECT_EQ(a.expand_fd_bounded(0, 1, 10).read_error, invalid);
  EXPECT_EQ(a.measure_fd(0).read_error, invalid);
  EXPECT_EQ(a.compress_file("in", "out").read_error, invalid);
  EXPECT_EQ(a.expand_file("in", "out").read_error, invalid);
  EXPECT_EQ(a.measure_file("in").read_error, invalid);
  a = std::move(b);
  EXPECT_EQ(a.expand(a.compress(plain)), plain);

  auto check = [&](auto& moved) {
    EXPECT_TRUE(moved.failed());
    EXPECT_FALSE(moved.finished());
    EXPECT_FALSE(moved.write(plain));
    EXPECT_FALSE(moved.finish());
    moved.reset();
    moved.consume(1);
    EXPECT_TRUE(moved.output().empty());
    EXPECT_EQ(moved.read(out), 0u);
    EXPECT_EQ(moved.bytes_in(), 0u);
    EXPECT_EQ(moved.bytes_out(), 0u);
  };
  encoder e;
  encoder e2(std::move(e));
  check(e);
  EXPECT_EQ(e.threads_not_started(), 0u);
  decoder d;
  decoder d2(std::move(d));
  check(d);
  EXPECT_FALSE(d.at_limit() || d.ended_early());
  EXPECT_EQ(d.bytes_used(), 0u);
  d = std::move(d2);
  ASSERT_TRUE(d.write(compress(plain)) && d.finish());
  EXPECT_EQ(Bytes(d.output().begin(), d.output().end()), plain);
}

TEST(CppApi, MovedCodecKeepsWorking) {
  codec a;
  codec b(std::move(a));
  const Bytes plain = test::TextBytes(1000, 8);
  EXPECT_EQ(b.expand(b.compress(plain)), plain);
  a = std::move(b);
  EXPECT_EQ(a.expand(a.compress(plain)), plain);
}

}  // namespace
}  // namespace lzring
