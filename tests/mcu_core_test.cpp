// The small core for microcontrollers (mcu/), built for the host: the known
// vectors in both directions; its encoder and decoder fed and drained in
// pieces of many sizes against the library's one-shot functions; and
// expansion up to an expected size against expand_bounded, with the same
// count of compressed bytes used.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/known_vectors.h"
#include "lzring/lzring.hpp"
#include "mcu/lzring_mcu.h"
#include "tests/support/test_util.h"

namespace lzring {
namespace {

using test::Bytes;

// The RAM each part takes, as promised in the embedded guide; the layout is
// the same on 32-bit targets, where sizeof is what the device reports.
static_assert(sizeof(lzring_mcu_decoder) <= 4096 + 64);
static_assert(sizeof(lzring_mcu_encoder) <= 30 * 1024);

// Input and output piece sizes for one run of the core.
struct Pieces {
  const char* name;
  std::size_t in;
  std::size_t out;
};

std::vector<Pieces> PieceTable() {
  return {
      {"whole", SIZE_MAX, SIZE_MAX}, {"one_byte_each_way", 1, 1},
      {"seven_in_seven_out", 7, 7},  {"block_in_block_out", 4096, 4096},
      {"one_in_block_out", 1, 4096}, {"block_in_one_out", 4096, 1},
      {"seven_in_one_out", 7, 1},    {"around_a_unit", 17, 19},
  };
}

struct Coded {
  Bytes out;
  std::uint32_t used = 0;
  bool end = false;    // LZRING_MCU_END came
  bool stuck = false;  // a call with input and room took and gave nothing
};

// Compresses `src` with the core, in pieces.
Coded McuEncode(const Bytes& src, const Pieces& p) {
  auto e = std::make_unique<lzring_mcu_encoder>();
  lzring_mcu_encoder_init(e.get());
  Coded r;
  Bytes room(std::min<std::size_t>(p.out, src.size() + src.size() / 8 + 64));
  const std::uint8_t none = 0;
  std::size_t pos = 0;
  while (!r.end && !r.stuck) {
    std::size_t n = std::min(p.in, src.size() - pos);
    std::size_t made = room.size();
    const bool finish = pos + n == src.size();
    r.end = lzring_mcu_encode(e.get(), n != 0 ? src.data() + pos : &none, &n, room.data(), &made,
                              finish) == LZRING_MCU_END;
    r.stuck = !r.end && n == 0 && made == 0 && !finish;
    pos += n;
    r.out.insert(r.out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(made));
  }
  return r;
}

// Expands `in` with the core, in pieces, up to `limit` output bytes.
Coded McuDecode(const Bytes& in, const Pieces& p, std::uint32_t limit = LZRING_MCU_NO_LIMIT) {
  auto d = std::make_unique<lzring_mcu_decoder>();
  lzring_mcu_decoder_init(d.get(), limit);
  Coded r;
  Bytes room(std::min<std::size_t>(p.out, 18 * in.size() + 1));
  const std::uint8_t none = 0;
  std::size_t pos = 0;
  for (;;) {
    std::size_t n = std::min(p.in, in.size() - pos);
    std::size_t made = room.size();
    r.end = lzring_mcu_decode(d.get(), n != 0 ? in.data() + pos : &none, &n, room.data(), &made) ==
            LZRING_MCU_END;
    pos += n;
    r.out.insert(r.out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(made));
    // Done at the end, or when the input is all taken and the output
    // did not fill the room (nothing is waiting).
    if (r.end || (pos == in.size() && made < room.size())) break;
    if (n == 0 && made == 0) {
      r.stuck = true;
      break;
    }
  }
  r.used = d->used;
  return r;
}

// ---- Known vectors ----------------------------------------------------------

class McuEncodeVectors : public ::testing::TestWithParam<vectors::EncodeCase> {};

TEST_P(McuEncodeVectors, GivesExactBytes) {
  for (const Pieces& p : PieceTable()) {
    const Coded r = McuEncode(GetParam().source, p);
    EXPECT_TRUE(r.end) << p.name;
    EXPECT_EQ(r.out, GetParam().compressed) << p.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, McuEncodeVectors, ::testing::ValuesIn(vectors::EncodeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

class McuDecodeVectors : public ::testing::TestWithParam<vectors::DecodeCase> {};

TEST_P(McuDecodeVectors, GivesExactOutput) {
  for (const Pieces& p : PieceTable()) {
    const Coded r = McuDecode(GetParam().compressed, p);
    EXPECT_FALSE(r.stuck) << p.name;
    EXPECT_EQ(r.out, GetParam().output) << p.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, McuDecodeVectors, ::testing::ValuesIn(vectors::DecodeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Against the library, in pieces -----------------------------------------

struct Input {
  std::string name;
  Bytes data;
};

void PrintTo(const Input& in, std::ostream* os) {
  *os << in.name;
}

std::vector<Input> Inputs() {
  std::vector<Input> v = {
      {"one_byte", {0x41}},
      {"text_35", test::TextBytes(35, 1)},
      {"text_4095", test::TextBytes(4095, 2)},
      {"text_8193", test::TextBytes(8193, 3)},
      {"text_100k", test::TextBytes(100000, 4)},
      {"random_20k", test::RandomBytes(20000, 5)},
      {"zeros_9000", Bytes(9000, 0)},
      {"spaces_5000", Bytes(5000, ' ')},
  };
  Bytes period;
  for (int k = 0; k < 30000; ++k) period.push_back(static_cast<std::uint8_t>("abcab"[k % 5]));
  v.push_back({"short_period_30k", period});
  for (const char* name : {"canterbury/grammar.lsp", "canterbury/sum", "artificial/aaa.txt"}) {
    const std::string path = test::CorpusFile(name);
    if (!path.empty()) v.push_back({name, test::ReadFile(path)});
  }
  return v;
}

class McuAgainstLibrary : public ::testing::TestWithParam<Input> {};

TEST_P(McuAgainstLibrary, EncodesToTheLibrarysBytes) {
  const Bytes expected = compress(GetParam().data);
  for (const Pieces& p : PieceTable()) {
    // Byte-at-a-time runs over the longest inputs add nothing but time.
    if (p.in < 7 && GetParam().data.size() > 40000) continue;
    const Coded r = McuEncode(GetParam().data, p);
    EXPECT_TRUE(r.end) << p.name;
    EXPECT_FALSE(r.stuck) << p.name;
    EXPECT_EQ(r.out, expected) << p.name;
  }
}

TEST_P(McuAgainstLibrary, ExpandsAsTheLibraryDoes) {
  // The compressed form, and the data itself taken as compressed bytes.
  for (const Bytes& in : {compress(GetParam().data), GetParam().data}) {
    const Bytes expected = expand(in);
    for (const Pieces& p : PieceTable()) {
      const Coded r = McuDecode(in, p);
      EXPECT_FALSE(r.stuck) << p.name;
      EXPECT_EQ(r.out, expected) << p.name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, McuAgainstLibrary, ::testing::ValuesIn(Inputs()),
                         [](const auto& info) {
                           std::string n = info.param.name;
                           std::replace_if(
                               n.begin(), n.end(), [](char c) { return !std::isalnum(c); }, '_');
                           return n;
                         });

// ---- Expected size ------------------------------------------------------------

struct LimitCase {
  const char* name;
  Bytes compressed;
  std::uint32_t limit;
};

void PrintTo(const LimitCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<LimitCase> LimitCases() {
  const Bytes text = compress(test::TextBytes(10000, 7));
  // Two streams back to back: the limit finds the end of the first.
  Bytes two = compress(test::TextBytes(3000, 8));
  const Bytes second = compress(test::TextBytes(500, 9));
  two.insert(two.end(), second.begin(), second.end());
  return {
      {"zero", text, 0},
      {"one_byte", text, 1},
      {"inside_a_reference", text, 5001},
      {"whole_stream", text, 10000},
      {"longer_than_the_stream", text, 10005},
      {"first_of_two_streams", two, 3000},
      {"reference_cut_by_the_limit", {0x00, 0x00, 0x0F, 0xEE, 0xF0}, 10},
      {"limit_after_a_reference_cut_short", {0x01, 0x61, 0xEE}, 2},
      {"empty_input", {}, 4},
  };
}

class McuExpectedSize : public ::testing::TestWithParam<LimitCase> {};

TEST_P(McuExpectedSize, StopsAndUsesAsExpandBounded) {
  const LimitCase& c = GetParam();
  Bytes expected(c.limit);
  codec library;
  const bounded_result b = library.expand_bounded(c.compressed, expected);
  expected.resize(b.bytes_out);
  for (const Pieces& p : PieceTable()) {
    const Coded r = McuDecode(c.compressed, p, c.limit);
    EXPECT_FALSE(r.stuck) << p.name;
    EXPECT_EQ(r.out, expected) << p.name;
    EXPECT_EQ(r.used, b.bytes_used) << p.name;
    EXPECT_EQ(r.end, !b.ended) << p.name;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, McuExpectedSize, ::testing::ValuesIn(LimitCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lzring
