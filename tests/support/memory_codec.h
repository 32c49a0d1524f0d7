// One-shot compression and expansion in memory, through the same codec loops
// as the C functions: the results that file-based tests compare against.
#ifndef LZRING_TESTS_MEMORY_CODEC_H
#define LZRING_TESTS_MEMORY_CODEC_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "codec/best_encoder.h"
#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/memory_source.h"
#include "codec/ring_trees.h"

namespace lzring::test {

// Compresses `src` in `ws`, which may hold what earlier calls left.
inline std::vector<std::uint8_t> EncodeInMemory(RingTrees& ws,
                                                const std::vector<std::uint8_t>& src) {
  std::vector<std::uint8_t> out;
  MemorySource in(src.data(), src.size());
  {
    VectorSink sink(out);  // trims `out` to the bytes written when it goes
    const auto runs = std::make_unique<RunIndex>();
    EXPECT_TRUE(EncodeStream(ws, *runs, in, sink));
  }
  return out;
}

// Expands `src` in `ws`, which may hold what earlier calls left.
inline std::vector<std::uint8_t> DecodeInMemory(RingTrees& ws,
                                                const std::vector<std::uint8_t>& src) {
  std::vector<std::uint8_t> out;
  MemorySource in(src.data(), src.size());
  {
    VectorSink sink(out);
    EXPECT_TRUE(DecodeStream(ws.ring, in, sink));
  }
  return out;
}

// The smallest stream for `src` (best_encoder.h), its bytes handed over in
// pieces of `feed` bytes, on `threads` threads.
inline std::vector<std::uint8_t> BestEncodeInMemory(const std::vector<std::uint8_t>& src,
                                                    std::size_t feed = SIZE_MAX,
                                                    unsigned threads = 1) {
  std::vector<std::uint8_t> out;
  {
    VectorSink sink(out);
    const auto encoder = std::make_unique<BestEncoder>(threads);
    for (std::size_t at = 0; at < src.size(); at += feed) {
      const std::size_t size = std::min(feed, src.size() - at);
      EXPECT_EQ(encoder->Write(src.data() + at, size, sink), 0);
    }
    EXPECT_EQ(encoder->Finish(sink), 0);
  }
  return out;
}

// The same in a workspace of their own.
inline std::vector<std::uint8_t> EncodeInMemory(const std::vector<std::uint8_t>& src) {
  auto ws = std::make_unique<RingTrees>();
  return EncodeInMemory(*ws, src);
}
inline std::vector<std::uint8_t> DecodeInMemory(const std::vector<std::uint8_t>& src) {
  auto ws = std::make_unique<RingTrees>();
  return DecodeInMemory(*ws, src);
}

}  // namespace lzring::test

#endif  // LZRING_TESTS_MEMORY_CODEC_H
