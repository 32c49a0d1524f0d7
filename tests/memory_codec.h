// One-shot compression and expansion in memory, through the same codec loops
// as the C functions: the results that file-based tests compare against.
#ifndef LZRING_TESTS_MEMORY_CODEC_H
#define LZRING_TESTS_MEMORY_CODEC_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "api/workspace.h"
#include "codec/decoder.h"
#include "codec/encoder.h"
#include "io/memory_stream.h"

namespace lzring::test {

// Compresses `src` in `ws`, which may hold what earlier calls left.
inline std::vector<std::uint8_t> EncodeInMemory(Workspace& ws,
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
inline std::vector<std::uint8_t> DecodeInMemory(Workspace& ws,
                                                const std::vector<std::uint8_t>& src) {
  std::vector<std::uint8_t> out;
  MemorySource in(src.data(), src.size());
  {
    VectorSink sink(out);
    EXPECT_TRUE(DecodeStream(ws, in, sink));
  }
  return out;
}

// The same in a workspace of their own.
inline std::vector<std::uint8_t> EncodeInMemory(const std::vector<std::uint8_t>& src) {
  auto ws = std::make_unique<Workspace>();
  return EncodeInMemory(*ws, src);
}
inline std::vector<std::uint8_t> DecodeInMemory(const std::vector<std::uint8_t>& src) {
  auto ws = std::make_unique<Workspace>();
  return DecodeInMemory(*ws, src);
}

}  // namespace lzring::test

#endif  // LZRING_TESTS_MEMORY_CODEC_H
