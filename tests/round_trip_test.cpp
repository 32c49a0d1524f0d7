// Round trips through the exported functions: files of many sizes and
// shapes compressed with _Encode and expanded with _Decode, compared with the
// in-memory codec, and mixed sequences of calls that must not influence one
// another.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "codec/format.h"
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
using test::FromText;
using test::ReadFile;
using test::TempDir;
using test::WriteFile;

// What the codec gives in a workspace of its own, with no call before.

enum class Shape { kText, kBinary, kEqual, kRandom, kRepetitive };

Bytes Make(Shape shape, std::size_t n) {
  const auto seed = static_cast<std::uint32_t>(n);
  switch (shape) {
    case Shape::kText:
      return test::TextBytes(n, seed);
    case Shape::kRandom:
      return test::RandomBytes(n, seed);
    case Shape::kEqual:
      return Bytes(n, 0x5A);
    case Shape::kBinary: {
      // Little-endian records: a counter, its square, a small random field.
      std::mt19937 gen(seed);
      Bytes out;
      for (std::uint32_t i = 0; out.size() < n; ++i) {
        const std::uint32_t fields[3] = {i, i * i, static_cast<std::uint32_t>(gen() % 4)};
        for (const std::uint32_t f : fields) {
          for (int k = 0; k < 4; ++k) out.push_back(static_cast<std::uint8_t>(f >> (8 * k)));
        }
      }
      out.resize(n);
      return out;
    }
    case Shape::kRepetitive: {
      // A 37-byte block over and over, with a rare changed byte.
      const Bytes block = test::RandomBytes(37, seed);
      std::mt19937 gen(seed);
      Bytes out(n);
      for (std::size_t i = 0; i < n; ++i) {
        out[i] = gen() % 500 == 0 ? static_cast<std::uint8_t>(gen()) : block[i % 37];
      }
      return out;
    }
  }
  return {};
}

struct SizeCase {
  Shape shape;
  std::size_t size;
};

std::string CaseName(const SizeCase& c) {
  static const char* const kShapes[] = {"text", "binary", "equal", "random", "repetitive"};
  return std::string(kShapes[static_cast<int>(c.shape)]) + "_" + std::to_string(c.size);
}

std::vector<SizeCase> SizeCases() {
  std::vector<SizeCase> cases;
  for (const Shape shape :
       {Shape::kText, Shape::kBinary, Shape::kEqual, Shape::kRandom, Shape::kRepetitive}) {
    for (const std::size_t n : {0, 1, 2, 3, 17, 18, 19, 35, 4095, 4096, 4097, 4113, 8192, 8193,
                                69649, 100000, 135185, 200003}) {
      cases.push_back({shape, n});
    }
  }
  return cases;
}

// Compresses the file `src` and expands it again; returns the
// compressed bytes.
Bytes RoundTrip(const TempDir& dir, const std::string& src) {
  const std::string z = dir / "z";
  const std::string out = dir / "out";
  EXPECT_EQ(_Encode(src.c_str(), z.c_str()), 0);
  EXPECT_EQ(_Decode(z.c_str(), out.c_str()), 0);
  EXPECT_EQ(ReadFile(out), ReadFile(src));
  const Bytes compressed = ReadFile(z);
  EXPECT_EQ(_GetFileSize(z.c_str()), static_cast<std::int32_t>(compressed.size()));
  return compressed;
}

// gtest would otherwise print the case's bytes, padding included.
void PrintTo(const SizeCase& c, std::ostream* os) {
  *os << CaseName(c);
}

class RoundTripSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(RoundTripSizes, FileComesBackAndMatchesMemoryCodec) {
  TempDir dir;
  const Bytes data = Make(GetParam().shape, GetParam().size);
  WriteFile(dir / "src", data);
  const Bytes compressed = RoundTrip(dir, dir / "src");
  EXPECT_LE(compressed.size(), EncodeBound(data.size()));
  EXPECT_EQ(compressed, EncodeInMemory(data));

  // The smallest stream: no larger, the same bytes however the source
  // arrives (whole, in a pipe's reads, byte by byte, in reads that straddle
  // the parse's pieces) and on any number of threads, and _Decode expands
  // it. The sizes 69649 and 135185 fill the gathered bytes exactly on one
  // thread and on two.
  const Bytes best = test::BestEncodeInMemory(data);
  EXPECT_LE(best.size(), compressed.size());
  const struct {
    std::size_t feed;
    unsigned threads;
  } ways[] = {{1, 1}, {4096, 1}, {70001, 1}, {SIZE_MAX, 2}, {1, 2}, {4095, 3}, {70001, 4}};
  for (const auto& way : ways) {
    EXPECT_EQ(test::BestEncodeInMemory(data, way.feed, way.threads), best)
        << "fed " << way.feed << " on " << way.threads << " threads";
  }
  WriteFile(dir / "best", best);
  ASSERT_EQ(_Decode((dir / "best").c_str(), (dir / "best_out").c_str()), 0);
  EXPECT_EQ(ReadFile(dir / "best_out"), data);
}

INSTANTIATE_TEST_SUITE_P(Table, RoundTripSizes, ::testing::ValuesIn(SizeCases()),
                         [](const auto& info) { return CaseName(info.param); });

// The benchmark corpus, when it is beside the project: every kind of file it
// has. Its two large texts add length but no new kind of data, and would
// take most of the time of an unoptimised sanitizer build; the benchmarks
// run them.
class RoundTripCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(RoundTripCorpus, FileComesBack) {
  const std::string src = test::CorpusFile(GetParam());
  if (src.empty()) GTEST_SKIP() << "corpus not present";
  TempDir dir;
  const Bytes compressed = RoundTrip(dir, src);
  EXPECT_LE(compressed.size(), EncodeBound(std::filesystem::file_size(src)));
}

INSTANTIATE_TEST_SUITE_P(
    Files, RoundTripCorpus,
    ::testing::Values("artificial/a.txt", "artificial/aaa.txt", "artificial/alphabet.txt",
                      "artificial/random.txt", "canterbury/alice29.txt", "canterbury/asyoulik.txt",
                      "canterbury/cp.html", "canterbury/fields.c", "canterbury/grammar.lsp",
                      "canterbury/kennedy.xls", "canterbury/lcet10.txt", "canterbury/plrabn12.txt",
                      "canterbury/ptt5", "canterbury/sum", "canterbury/xargs.1"),
    [](const auto& info) {
      std::string name = info.param;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

// Bytes in which no three-byte sequence occurs twice and no space occurs
// (the ring starts as spaces): the encoder can find no match of 3 or more.
Bytes NoRepeatedTriples(std::size_t n) {
  std::vector<bool> used(1 << 24, false);
  std::mt19937 gen(99);
  Bytes out;
  while (out.size() < n) {
    std::uint8_t b = static_cast<std::uint8_t>(gen());
    const auto triple = [&out](std::uint8_t next) {
      const std::size_t k = out.size();
      return (std::uint32_t{out[k - 2]} << 16) | (std::uint32_t{out[k - 1]} << 8) | next;
    };
    if (out.size() >= 2) {
      for (int tries = 0; tries < 256 && (b == ' ' || used[triple(b)]); ++tries) ++b;
      if (b == ' ' || used[triple(b)]) break;  // nothing fits: the caller sees a short result
      used[triple(b)] = true;
    } else if (b == ' ') {
      continue;
    }
    out.push_back(b);
  }
  return out;
}

class NoMatchSizes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(NoMatchSizes, AllLiteralsGiveExactBound) {
  const std::size_t n = GetParam();
  const Bytes data = NoRepeatedTriples(n);
  ASSERT_EQ(data.size(), n);
  TempDir dir;
  WriteFile(dir / "src", data);
  const Bytes compressed = RoundTrip(dir, dir / "src");
  EXPECT_EQ(compressed.size(), n + (n + 7) / 8);
  EXPECT_EQ(compressed.size(), EncodeBound(n));
}

INSTANTIATE_TEST_SUITE_P(Sizes, NoMatchSizes,
                         ::testing::Values(1, 2, 7, 8, 9, 4095, 4096, 4097, 4113, 20000));

TEST(RoundTripCalls, EncodingTwiceGivesIdenticalFiles) {
  TempDir dir;
  const std::string names[] = {"short", "long"};
  WriteFile(dir / "short", FromText("a   b   "));
  WriteFile(dir / "long", test::TextBytes(50000, 8));
  WriteFile(dir / "other", test::RandomBytes(7000, 9));
  for (const std::string& name : names) {
    const std::string src = dir / name;
    ASSERT_EQ(_Encode(src.c_str(), (dir / "first").c_str()), 0);
    ASSERT_EQ(_Encode(src.c_str(), (dir / "again").c_str()), 0);
    EXPECT_EQ(ReadFile(dir / "again"), ReadFile(dir / "first")) << name;
    ASSERT_EQ(_Encode((dir / "other").c_str(), (dir / "x").c_str()), 0);
    ASSERT_EQ(_Decode((dir / "other").c_str(), (dir / "x").c_str()), 0);
    ASSERT_EQ(_Encode(src.c_str(), (dir / "after").c_str()), 0);
    EXPECT_EQ(ReadFile(dir / "after"), ReadFile(dir / "first")) << name;
  }
}

// Calls of all three kinds, some failing, one after another in one process:
// each successful output equals what the codec gives with no call before.
TEST(RoundTripCalls, MixedSequenceGivesSameOutputsAsEachCallAlone) {
  TempDir dir;
  WriteFile(dir / "text", test::TextBytes(10000, 11));
  WriteFile(dir / "five", Bytes(5, ' '));
  WriteFile(dir / "short", FromText("a   "));
  WriteFile(dir / "zeros", Bytes(18, 0));
  WriteFile(dir / "noise", test::RandomBytes(3000, 12));
  // Refers to ring positions 4078..4080 before anything is written there.
  WriteFile(dir / "early", {0x00, 0xEE, 0xF0});

  enum Op { kEncode, kDecode, kSize };
  const struct {
    Op op;
    std::string src;
    std::string dst;
    std::int32_t status;
  } steps[] = {
      {kEncode, "text", "text.z", 0},      {kEncode, "five", "five.z", 0},
      {kEncode, "short", "short.z", 0},    {kDecode, "missing", "x", -1},
      {kDecode, "noise", "noise.out", 0},  {kDecode, "early", "early.out", 0},
      {kEncode, "text", "/dev/full", -1},  {kSize, "text.z", "", 0},
      {kDecode, "text.z", "text.out", 0},  {kEncode, "zeros", "zeros.z", 0},
      {kDecode, "text.z", "text.z", -1},   {kEncode, "short", "short2.z", 0},
      {kSize, "missing", "", -1},          {kDecode, "short.z", "short.out", 0},
      {kEncode, "noise", "noise.z", 0},    {kDecode, "zeros.z", "zeros.out", 0},
      {kEncode, "missing", "short.z", -1}, {kDecode, "noise.z", "noise.back", 0},
  };
  for (const auto& step : steps) {
    const std::string src = dir / step.src;
    const std::string dst = step.dst.front() == '/' ? step.dst : dir / step.dst;
    const Bytes input = ReadFile(src);
    SCOPED_TRACE(step.src + " -> " + step.dst);
    switch (step.op) {
      case kEncode:
        ASSERT_EQ(_Encode(src.c_str(), dst.c_str()), step.status);
        if (step.status == 0) {
          EXPECT_EQ(ReadFile(dst), EncodeInMemory(input));
        }
        break;
      case kDecode:
        ASSERT_EQ(_Decode(src.c_str(), dst.c_str()), step.status);
        if (step.status == 0) {
          EXPECT_EQ(ReadFile(dst), DecodeInMemory(input));
        }
        break;
      case kSize:
        EXPECT_EQ(_GetFileSize(src.c_str()),
                  step.status == 0 ? static_cast<std::int32_t>(input.size()) : -1);
        break;
    }
    EXPECT_EQ(ReadFile(src), input);
  }
  // The short source right after five spaces, and a stream referring to
  // unwritten positions after a long one, give the bytes of a fresh module.
  EXPECT_EQ(ReadFile(dir / "short.z"), Bytes({0x01, 0x61, 0xEB, 0xF0}));
  EXPECT_EQ(ReadFile(dir / "short2.z"), Bytes({0x01, 0x61, 0xEB, 0xF0}));
  EXPECT_EQ(ReadFile(dir / "early.out"), Bytes(3, 0));
  EXPECT_EQ(ReadFile(dir / "text.out"), ReadFile(dir / "text"));
  EXPECT_EQ(ReadFile(dir / "noise.back"), ReadFile(dir / "noise"));
}

}  // namespace
}  // namespace lzring
