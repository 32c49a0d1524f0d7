// The optimised decoder, match tree and encoder against the plain byte-wise
// rendering in reference_codec.h: identical compressed bytes and identical
// expansions on random, text, deep-tree and corpus data of many lengths
// (block boundaries included), through memory streams, through streams that
// hand over data in small irregular pieces, and through the C entry points.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "codec/match_tree.h"
#include "codec/memory_sinks.h"
#include "codec/memory_source.h"
#include "codec/ring_trees.h"
#include "lzring.h"
#include "tests/support/memory_codec.h"
#include "tests/support/reference_codec.h"
#include "tests/support/test_util.h"
#include "tests/support/workloads.h"

namespace lzring {
namespace {

using test::Bytes;

// A source that delivers its data in blocks of `block` bytes, like a file
// read block by block: Available() never reaches past the current block.
class ChunkedSource {
 public:
  ChunkedSource(const Bytes& data, std::size_t block) : data_(data), block_(block) {}

  bool Next(std::uint8_t& b) {
    if (pos_ == end_) {
      if (pos_ == data_.size()) return false;
      end_ = std::min(data_.size(), pos_ + block_);
    }
    b = data_[pos_++];
    return true;
  }
  std::size_t Available() const { return end_ - pos_; }
  const std::uint8_t* Data() const { return data_.data() + pos_; }
  void Advance(std::size_t n) { pos_ += n; }

 private:
  const Bytes& data_;
  std::size_t block_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
};

// A sink whose room runs out every `block` bytes, like a file's output
// buffer, so that every way of storing bytes meets a block end.
class ChunkedSink {
 public:
  ChunkedSink(Bytes& out, std::size_t block) : out_(out), block_(block) {}

  bool Put(std::uint8_t b) {
    out_.push_back(b);
    if (++used_ == block_) used_ = 0;
    return true;
  }
  std::size_t Room() const { return block_ - used_; }
  std::uint8_t* Space() {
    scratch_.resize(Room());
    return scratch_.data();
  }
  bool Commit(std::size_t n) {
    out_.insert(out_.end(), scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(n));
    used_ += n;
    if (used_ == block_) used_ = 0;
    return true;
  }

 private:
  Bytes& out_;
  std::size_t block_;
  std::size_t used_ = 0;
  Bytes scratch_;
};

Bytes ReferenceEncode(const Bytes& src) {
  auto s = std::make_unique<reference::State>();
  return reference::EncodeBuffer(*s, src.data(), src.size());
}

Bytes ReferenceDecode(const Bytes& src) {
  auto s = std::make_unique<reference::State>();
  return reference::DecodeBuffer(*s, src.data(), src.size());
}

Bytes ChunkedEncode(RingTrees& ws, const Bytes& src, std::size_t in_block, std::size_t out_block) {
  Bytes out;
  ChunkedSource in(src, in_block);
  ChunkedSink sink(out, out_block);
  const auto runs = std::make_unique<RunIndex>();
  EXPECT_TRUE(EncodeStream(ws, *runs, in, sink));
  return out;
}

Bytes ChunkedDecode(RingTrees& ws, const Bytes& src, std::size_t in_block, std::size_t out_block) {
  Bytes out;
  ChunkedSource in(src, in_block);
  ChunkedSink sink(out, out_block);
  EXPECT_TRUE(DecodeStream(ws.ring, in, sink));
  return out;
}

// `n` bytes of a random block of `period` bytes, over and over.
Bytes Periodic(std::size_t n, std::size_t period) {
  const Bytes block = test::RandomBytes(period, static_cast<std::uint32_t>(period));
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = block[i % period];
  return out;
}

struct Shape {
  const char* name;
  Bytes (*make)(std::size_t n, std::uint32_t seed);
};

void PrintTo(const Shape& s, std::ostream* os) {
  *os << s.name;
}

const Shape kShapes[] = {
    {"random", [](std::size_t n, std::uint32_t seed) { return test::RandomBytes(n, seed); }},
    {"text", [](std::size_t n, std::uint32_t seed) { return test::TextBytes(n, seed); }},
    {"sorted_records", [](std::size_t n, std::uint32_t) { return workloads::SortedRecords(n); }},
    {"timestamps", [](std::size_t n, std::uint32_t) { return workloads::Timestamps(n); }},
    {"binary_counter", [](std::size_t n, std::uint32_t) { return workloads::BinaryCounter(n); }},
    {"descending_records",
     [](std::size_t n, std::uint32_t) { return workloads::DescendingRecords(n); }},
    {"alternating_records",
     [](std::size_t n, std::uint32_t) { return workloads::AlternatingRecords(n); }},
    // Ascending records, each eight times over and one in five replaced by
    // a random one: long chains with full matches, turns and nodes leaving
    // from their middles.
    {"shuffled_repeats",
     [](std::size_t n, std::uint32_t seed) {
       std::mt19937 gen(seed);
       return workloads::Records(n, "n%05llu,", [&gen](unsigned long long k) {
         return gen() % 5 == 0 ? gen() % 100000ULL : k / 8;
       });
     }},
    {"zeros", [](std::size_t n, std::uint32_t) { return Bytes(n, 0); }},
    {"spaces", [](std::size_t n, std::uint32_t) { return Bytes(n, ' '); }},
    // Few distinct bytes: long matches, many full-match replacements.
    {"two_letters",
     [](std::size_t n, std::uint32_t seed) {
       Bytes b = test::RandomBytes(n, seed);
       for (auto& c : b) c = (c & 1) ? 'a' : 'b';
       return b;
     }},
    // Random bytes repeated with a period just inside, at and just beyond
    // the reach of a reference (4096 back); the trees reach 4078.
    {"period_4095", [](std::size_t n, std::uint32_t) { return Periodic(n, 4095); }},
    {"period_4096", [](std::size_t n, std::uint32_t) { return Periodic(n, 4096); }},
    {"period_4097", [](std::size_t n, std::uint32_t) { return Periodic(n, 4097); }},
};

// Lengths around the look-ahead, the ring and the 4096-byte blocks.
const std::size_t kLengths[] = {0,    1,    2,    3,     17,    18,    19,   34,   35,
                                36,   100,  4077, 4078,  4095,  4096,  4097, 4113, 8191,
                                8192, 8193, 9000, 12288, 12289, 40000, 65543};

class ShapeTest : public ::testing::TestWithParam<Shape> {};

TEST_P(ShapeTest, EncoderGivesReferenceBytesAndDecoderExpandsThem) {
  auto ws = std::make_unique<RingTrees>();  // reused across lengths on purpose
  for (const std::size_t n : kLengths) {
    SCOPED_TRACE("length " + std::to_string(n));
    const Bytes src = GetParam().make(n, static_cast<std::uint32_t>(n) + 7);
    const Bytes expected = ReferenceEncode(src);
    ASSERT_EQ(test::EncodeInMemory(*ws, src), expected);
    ASSERT_EQ(ChunkedEncode(*ws, src, 4096, 4096), expected);
    ASSERT_EQ(ChunkedEncode(*ws, src, 7, 20), expected);
    ASSERT_EQ(ReferenceDecode(expected), src);
    ASSERT_EQ(test::DecodeInMemory(*ws, expected), src);
    ASSERT_EQ(ChunkedDecode(*ws, expected, 4096, 4096), src);
    ASSERT_EQ(ChunkedDecode(*ws, expected, 17, 18), src);
    ASSERT_EQ(ChunkedDecode(*ws, expected, 18, 17), src);
  }
}

// The smallest stream (best_encoder.h): what the plain dynamic program of
// reference_codec.h says is smallest, never larger than the exact stream,
// the same bytes however the source is fed, and expanded by both decoders.
// The plain program is slow, so it checks the short lengths, one just past
// the ring, and a few periods of the periodic shapes.
TEST_P(ShapeTest, BestStreamIsSmallestAndExpands) {
  auto ws = std::make_unique<RingTrees>();
  const bool periodic = std::string(GetParam().name).starts_with("period_");
  for (const std::size_t n : kLengths) {
    SCOPED_TRACE("length " + std::to_string(n));
    const Bytes src = GetParam().make(n, static_cast<std::uint32_t>(n) + 7);
    const Bytes best = test::BestEncodeInMemory(src);
    ASSERT_EQ(test::BestEncodeInMemory(src, 7), best);
    ASSERT_EQ(test::DecodeInMemory(*ws, best), src);
    ASSERT_EQ(ReferenceDecode(best), src);
    ASSERT_LE(best.size(), test::EncodeInMemory(*ws, src).size());
    if (n <= 100 || n == 4097 || (periodic && n == 12289)) {
      ASSERT_EQ(best.size(), reference::SmallestStreamSize(src));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, ShapeTest, ::testing::ValuesIn(kShapes),
                         [](const auto& info) { return std::string(info.param.name); });

// Any byte sequence decodes, and to exactly what the reference makes of it;
// with flag bytes forced to zero or to few literals the streams are mostly
// references that overlap their output and wrap the ring.
struct GarbageCase {
  const char* name;
  std::uint8_t flag_and;  // every 17th byte is ANDed with this
};

// Prints the case by name (the default would print the struct's bytes,
// padding included).
void PrintTo(const GarbageCase& c, std::ostream* os) {
  *os << c.name;
}

class GarbageTest : public ::testing::TestWithParam<GarbageCase> {};

TEST_P(GarbageTest, DecoderMatchesReference) {
  auto ws = std::make_unique<RingTrees>();
  std::uint32_t seed = 1;
  for (const std::size_t n : {1, 2, 3, 16, 17, 18, 33, 34, 35, 4095, 4096, 4097, 8193, 30001}) {
    SCOPED_TRACE("length " + std::to_string(n));
    Bytes src = test::RandomBytes(n, seed++);
    for (std::size_t i = 0; i < src.size(); i += 17) src[i] &= GetParam().flag_and;
    const Bytes expected = ReferenceDecode(src);
    ASSERT_EQ(test::DecodeInMemory(*ws, src), expected);
    ASSERT_EQ(ChunkedDecode(*ws, src, 4096, 4096), expected);
    ASSERT_EQ(ChunkedDecode(*ws, src, 5, 19), expected);
    ASSERT_EQ(ChunkedDecode(*ws, src, 1, 1), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(Garbage, GarbageTest,
                         ::testing::Values(GarbageCase{"any_flags", 0xFF},
                                           GarbageCase{"few_literals", 0x11},
                                           GarbageCase{"references_only", 0x00}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TruncatedStreams, EveryCutDecodesLikeTheReference) {
  auto ws = std::make_unique<RingTrees>();
  const Bytes compressed = ReferenceEncode(test::TextBytes(600, 3));
  for (std::size_t cut = 0; cut <= compressed.size(); ++cut) {
    const Bytes part(compressed.begin(), compressed.begin() + static_cast<std::ptrdiff_t>(cut));
    ASSERT_EQ(test::DecodeInMemory(*ws, part), ReferenceDecode(part)) << "cut at " << cut;
  }
}

// A full sink stops both loops after exactly the bytes that fit.
TEST(FullSink, KeepsTheSamePrefixAsTheReference) {
  auto ws = std::make_unique<RingTrees>();
  auto runs = std::make_unique<RunIndex>();
  const Bytes src = test::TextBytes(20000, 9);
  const Bytes compressed = ReferenceEncode(src);
  ASSERT_GT(compressed.size(), 3001u);
  for (const std::size_t capacity : {0, 1, 16, 17, 18, 100, 2049, 3001}) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    Bytes buffer(capacity + 1, 0xEE);
    {
      MemorySource in(src.data(), src.size());
      BufferSink sink(buffer.data(), capacity);
      EXPECT_FALSE(EncodeStream(*ws, *runs, in, sink));
      EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(capacity),
                             compressed.begin()));
      EXPECT_EQ(buffer[capacity], 0xEE);
    }
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    {
      MemorySource in(compressed.data(), compressed.size());
      BufferSink sink(buffer.data(), capacity);
      EXPECT_FALSE(DecodeStream(ws->ring, in, sink));
      EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(capacity),
                             src.begin()));
      EXPECT_EQ(buffer[capacity], 0xEE);
    }
  }
}

// The match tree on its own: after every insertion the optimised tree
// reports the same match and holds the same links as the reference.
TEST(MatchTree, SameMatchesAndLinksAsReference) {
  auto ws = std::make_unique<RingTrees>();
  auto ref = std::make_unique<reference::State>();
  ResetRing(*ws);
  ref->ResetRing();
  ResetTrees(*ws);
  reference::ResetTrees(*ref);
  const Bytes data = test::TextBytes(3 * RING_SIZE, 5);
  std::int32_t oldest = 0;
  std::int32_t cur = RING_START;
  for (std::size_t k = 0; k < data.size(); ++k) {
    RemoveString(*ws, oldest);
    reference::RemoveString(*ref, oldest);
    ws->ring[oldest] = ref->ring[oldest] = data[k];
    if (oldest < MAX_MATCH - 1)
      ws->ring[oldest + RING_SIZE] = ref->ring[oldest + RING_SIZE] = data[k];
    oldest = (oldest + 1) & RING_MASK;
    cur = (cur + 1) & RING_MASK;
    InsertString(*ws, cur);
    reference::InsertString(*ref, cur);
    ASSERT_EQ(ws->best_length, ref->best_length) << "byte " << k;
    if (ref->best_length > 0) {
      ASSERT_EQ(ws->best_position, ref->best_position) << "byte " << k;
    }
  }
  for (std::int32_t n = 0; n < RING_SIZE; ++n) {
    ASSERT_EQ(ws->parent[n], ref->parent[n]) << n;
    if (ref->parent[n] != NO_NODE) {
      ASSERT_EQ(ws->left[n], ref->left[n]) << n;
      ASSERT_EQ(ws->right[n], ref->right[n]) << n;
    }
  }
  for (std::int32_t c = 0; c < 256; ++c)
    ASSERT_EQ(ws->right[ROOT_BASE + c], ref->right[reference::kRoots + c]);
}

// Corpus files (when the corpus is beside the project), at most 256 KiB of
// each, through memory streams and through the C entry points.
class CorpusTest : public ::testing::TestWithParam<const char*> {};

TEST_P(CorpusTest, SameBytesAsReference) {
  const std::string path = test::CorpusFile(GetParam());
  if (path.empty()) GTEST_SKIP() << "corpus not present";
  Bytes src = test::ReadFile(path);
  if (src.size() > 256 * 1024) src.resize(256 * 1024);
  const Bytes expected = ReferenceEncode(src);
  auto ws = std::make_unique<RingTrees>();
  ASSERT_EQ(test::EncodeInMemory(*ws, src), expected);
  ASSERT_EQ(test::DecodeInMemory(*ws, expected), src);

  test::TempDir dir;
  test::WriteFile(dir / "src", src);
  ASSERT_EQ(_Encode((dir / "src").c_str(), (dir / "packed").c_str()), 0);
  ASSERT_EQ(test::ReadFile(dir / "packed"), expected);
  ASSERT_EQ(_Decode((dir / "packed").c_str(), (dir / "back").c_str()), 0);
  ASSERT_EQ(test::ReadFile(dir / "back"), src);

  // The smallest stream, fed as one buffer and as a pipe's reads, expands
  // through both decoders and the C entry point.
  const Bytes best = test::BestEncodeInMemory(src);
  ASSERT_EQ(test::BestEncodeInMemory(src, 4096), best);
  ASSERT_LE(best.size(), expected.size());
  ASSERT_EQ(ReferenceDecode(best), src);
  test::WriteFile(dir / "best", best);
  ASSERT_EQ(_Decode((dir / "best").c_str(), (dir / "best_back").c_str()), 0);
  ASSERT_EQ(test::ReadFile(dir / "best_back"), src);
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusTest,
                         ::testing::Values("canterbury/alice29.txt", "canterbury/kennedy.xls",
                                           "canterbury/ptt5", "canterbury/sum",
                                           "canterbury/xargs.1", "artificial/aaa.txt",
                                           "artificial/random.txt", "large/world192.txt"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (auto& c : name) {
                             if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                           }
                           return name;
                         });

// References that reach fewer than eight bytes back overlap their own
// output and repeat a pattern; every distance 1..8 with every length, after
// eight distinct literals, and again after a long run (the copy then starts
// well inside the window); each at the end of the input and inside it. The literals differ from
// case to case, so that bytes a wrong copy might pick up from an earlier case's output differ too.
TEST(OverlappingReferences, SameExpansionAsReference) {
  auto ws = std::make_unique<RingTrees>();
  for (const std::size_t lead : {8, 304}) {
    for (std::uint32_t back = 1; back <= 8; ++back) {
      for (std::uint32_t length = MIN_MATCH; length <= MAX_MATCH; ++length) {
        SCOPED_TRACE("lead " + std::to_string(lead) + " back " + std::to_string(back) + " length " +
                     std::to_string(length));
        Bytes stream;
        for (std::size_t k = 0; k < lead; k += 8) {
          stream.push_back(0xFF);
          for (std::size_t i = 0; i < 8; ++i) {
            stream.push_back(static_cast<std::uint8_t>('a' + (k + i + 5 * back + length) % 23));
          }
        }
        // Two references of this distance and length in a row, then a
        // literal.
        const std::uint32_t cur = (RING_START + lead) & RING_MASK;
        stream.push_back(0x04);
        for (std::uint32_t at : {cur, (cur + length) & RING_MASK}) {
          const std::uint32_t position = (at - back) & RING_MASK;
          stream.push_back(static_cast<std::uint8_t>(position & 0xFF));
          stream.push_back(
              static_cast<std::uint8_t>(((position >> 4) & 0xF0) | (length - MIN_MATCH)));
        }
        stream.push_back('!');
        const Bytes expected = ReferenceDecode(stream);
        ASSERT_EQ(expected.size(), lead + 2 * length + 1);
        ASSERT_EQ(test::DecodeInMemory(*ws, stream), expected);
        // The same group with more groups after it, so that it is decoded
        // by the whole-group path rather than the careful one at the end:
        // its last five units become literals, then four groups follow.
        Bytes inside = stream;
        inside[inside.size() - 6] = 0xFC;
        inside.insert(inside.end(), 5, '?');
        for (int k = 0; k < 4; ++k) {
          inside.push_back(0xFF);
          inside.insert(inside.end(), 8, static_cast<std::uint8_t>('A' + k));
        }
        const Bytes longer = ReferenceDecode(inside);
        ASSERT_EQ(longer.size(), expected.size() + 5 + 32);
        ASSERT_EQ(Bytes(longer.begin(), longer.begin() + expected.size()), expected);
        ASSERT_EQ(test::DecodeInMemory(*ws, inside), longer);
      }
    }
  }
}

// File to file through the C entry points on deep-tree and random data
// whose lengths straddle the 4096-byte blocks.
TEST(EntryPoints, SameBytesAsReferenceAcrossBlocks) {
  test::TempDir dir;
  for (const std::size_t n : {4095, 4096, 4097, 8192, 8193, 20000}) {
    for (const Bytes& src : {test::RandomBytes(n, 11), workloads::Timestamps(n)}) {
      SCOPED_TRACE("length " + std::to_string(n));
      test::WriteFile(dir / "src", src);
      ASSERT_EQ(_Encode((dir / "src").c_str(), (dir / "packed").c_str()), 0);
      const Bytes expected = ReferenceEncode(src);
      ASSERT_EQ(test::ReadFile(dir / "packed"), expected);
      ASSERT_EQ(_Decode((dir / "packed").c_str(), (dir / "back").c_str()), 0);
      ASSERT_EQ(test::ReadFile(dir / "back"), src);
      // Random bytes as compressed input.
      test::WriteFile(dir / "garbage", src);
      ASSERT_EQ(_Decode((dir / "garbage").c_str(), (dir / "out").c_str()), 0);
      ASSERT_EQ(test::ReadFile(dir / "out"), ReferenceDecode(src));
    }
  }
}

}  // namespace
}  // namespace lzring
