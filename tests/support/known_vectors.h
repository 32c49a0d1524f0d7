// Known compressed bytes for known sources, in both directions: the tables
// that the unit tests and the Windows host test both check.
#ifndef LZRING_TESTS_KNOWN_VECTORS_H
#define LZRING_TESTS_KNOWN_VECTORS_H

#include <cstdint>
#include <string>
#include <vector>

namespace lzring::vectors {

using Bytes = std::vector<std::uint8_t>;

inline Bytes FromText(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

struct EncodeCase {
  const char* name;
  Bytes source;
  Bytes compressed;
};

inline std::vector<EncodeCase> EncodeCases() {
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

struct DecodeCase {
  const char* name;
  Bytes compressed;
  Bytes output;
};

inline std::vector<DecodeCase> DecodeCases() {
  Bytes wrapped(18, ' ');
  wrapped[0] = 0;  // position 4095 (zero), then 0..16 (prefilled spaces)
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
      {"reference_wrapping_the_ring", {0x00, 0xFF, 0xFF}, wrapped},
  };
}

}  // namespace lzring::vectors

#endif  // LZRING_TESTS_KNOWN_VECTORS_H
