// Known compressed bytes for known sources, in both directions.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "api/workspace.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "io/memory_stream.h"

#include "memory_codec.h"

namespace lzring {
namespace {

using test::DecodeInMemory;
using test::EncodeInMemory;

using Bytes = std::vector<std::uint8_t>;

Bytes FromText(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

struct EncodeCase {
  const char* name;
  Bytes source;
  Bytes compressed;
};

std::vector<EncodeCase> EncodeCases() {
  return {
      {"empty", {}, {}},
      {"one_literal", FromText("a"), {0x01, 0x61}},
      {"three_literals", FromText("abc"), {0x07, 0x61, 0x62, 0x63}},
      {"self_overlapping_reference", FromText("aaaa"), {0x01, 0x61, 0xEE, 0xF0}},
      {"eighteen_spaces", Bytes(18, ' '), {0x00, 0xDC, 0xFF}},
      {"seventeen_spaces", Bytes(17, ' '), {0x00, 0xDC, 0xFE}},
      {"eighteen_zeros", Bytes(18, 0), {0x01, 0x00, 0xEE, 0xFE}},
      {"twenty_zeros", Bytes(20, 0), {0x05, 0x00, 0xEE, 0xFF, 0x00}},
      {"full_group", FromText("abcdefgh"), {0xFF, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68}},
      {"second_group",
       FromText("abcdefghi"),
       {0xFF, 0x61, 0x62, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x01, 0x69}},
      {"repeat_of_nine", FromText("abcabcabcabc"), {0x07, 0x61, 0x62, 0x63, 0xEE, 0xF6}},
      {"match_into_prefill",
       FromText("hello hello hello"),
       {0x1F, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0xED, 0xF9}},
      {"reference_mid_group",
       FromText("hello hello hello world\n"),
       {0xDF, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0xED, 0xFA, 0x77, 0x6F, 0x0F, 0x72, 0x6C, 0x64, 0x0A}},
      {"a_and_three_spaces", FromText("a   "), {0x01, 0x61, 0xEB, 0xF0}},
  };
}

class EncodeVectors : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeVectors, GivesExactBytesAndDecodesBack) {
  auto ws = std::make_unique<Workspace>();
  const EncodeCase& c = GetParam();
  EXPECT_EQ(EncodeInMemory(*ws, c.source), c.compressed);
  EXPECT_EQ(DecodeInMemory(*ws, c.compressed), c.source);
}

TEST_P(EncodeVectors, SameBytesWhateverCameBefore) {
  // A workspace that has just coded other data must give the same bytes.
  auto ws = std::make_unique<Workspace>();
  EncodeInMemory(*ws, Bytes(5, ' '));
  DecodeInMemory(*ws, FromText("\x00\xEE\xF0xyz"));
  EncodeInMemory(*ws, FromText("zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz"));
  EXPECT_EQ(EncodeInMemory(*ws, GetParam().source), GetParam().compressed);
}

INSTANTIATE_TEST_SUITE_P(Table, EncodeVectors, ::testing::ValuesIn(EncodeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

struct DecodeCase {
  const char* name;
  Bytes compressed;
  Bytes output;
};

std::vector<DecodeCase> DecodeCases() {
  return {
      {"empty", {}, {}},
      {"literals", {0x07, 0x61, 0x62, 0x63}, FromText("abc")},
      {"reference_reads_own_output", {0x01, 0x61, 0xEE, 0xF0}, FromText("aaaa")},
      {"reference_into_prefill", {0x00, 0x00, 0x0F}, Bytes(18, ' ')},
      {"hello", {0x1F, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0xED, 0xF9}, FromText("hello hello hello")},
      {"group_cut_short", {0xFF, 0x61, 0x62, 0x63}, FromText("abc")},
      {"reference_cut_after_first_byte", {0x01, 0x61, 0xEE}, FromText("a")},
      {"flag_byte_only", {0x00}, {}},
      {"reference_to_write_position", {0x00, 0xEE, 0xF0}, Bytes(3, 0)},
      // Position 4095 (still zero) and then 0..16 (prefilled spaces).
      {"reference_wrapping_the_ring",
       {0x00, 0xFF, 0xFF},
       [] {
         Bytes b(18, ' ');
         b[0] = 0;
         return b;
       }()},
  };
}

class DecodeVectors : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeVectors, GivesExactOutput) {
  auto ws = std::make_unique<Workspace>();
  // Leave data of an earlier stream in the ring first: it must not show.
  DecodeInMemory(*ws, EncodeInMemory(*ws, Bytes(5000, 0xAB)));
  EXPECT_EQ(DecodeInMemory(*ws, GetParam().compressed), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(Table, DecodeVectors, ::testing::ValuesIn(DecodeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lzring
