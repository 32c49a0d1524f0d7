// Known compressed bytes for known sources, in both directions.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/ring_trees.h"

#include "tests/support/known_vectors.h"
#include "tests/support/memory_codec.h"

namespace lzring {
namespace {

using test::DecodeInMemory;
using test::EncodeInMemory;

using vectors::Bytes;
using vectors::DecodeCase;
using vectors::EncodeCase;
using vectors::FromText;

class EncodeVectors : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeVectors, GivesExactBytesAndDecodesBack) {
  auto ws = std::make_unique<RingTrees>();
  const EncodeCase& c = GetParam();
  EXPECT_EQ(EncodeInMemory(*ws, c.source), c.compressed);
  EXPECT_EQ(DecodeInMemory(*ws, c.compressed), c.source);
}

TEST_P(EncodeVectors, SameBytesWhateverCameBefore) {
  // A workspace that has just coded other data must give the same bytes.
  auto ws = std::make_unique<RingTrees>();
  EncodeInMemory(*ws, Bytes(5, ' '));
  DecodeInMemory(*ws, FromText("\x00\xEE\xF0xyz"));
  EncodeInMemory(*ws, FromText("zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz"));
  EXPECT_EQ(EncodeInMemory(*ws, GetParam().source), GetParam().compressed);
}

INSTANTIATE_TEST_SUITE_P(Table, EncodeVectors, ::testing::ValuesIn(vectors::EncodeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

class DecodeVectors : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeVectors, GivesExactOutput) {
  auto ws = std::make_unique<RingTrees>();
  // Leave data of an earlier stream in the ring first: it must not show.
  DecodeInMemory(*ws, EncodeInMemory(*ws, Bytes(5000, 0xAB)));
  EXPECT_EQ(DecodeInMemory(*ws, GetParam().compressed), GetParam().output);
}

INSTANTIATE_TEST_SUITE_P(Table, DecodeVectors, ::testing::ValuesIn(vectors::DecodeCases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace lzring
