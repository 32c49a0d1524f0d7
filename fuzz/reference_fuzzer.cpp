// Checks the optimised codec against the plain byte-wise rendering in
// tests/reference_codec.h. The input is both a source to compress and a
// stream to expand: the encoders must write identical bytes, and the decoders
// must produce identical output, including into a buffer that is one byte
// too small (the sink then fails and must hold exactly the bytes that fit).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/memory_source.h"
#include "codec/ring_trees.h"
#include "fuzz/fuzz_util.h"
#include "tests/support/reference_codec.h"

using lzring::fuzz::Bytes;
using lzring::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Both keep whatever the previous input left in them, as a long-lived
  // codec does.
  static const auto ws = std::make_unique<lzring::RingTrees>();
  static const auto runs = std::make_unique<lzring::RunIndex>();
  static const auto ref = std::make_unique<lzring::reference::State>();

  Bytes compressed;
  {
    lzring::MemorySource source(data, size);
    lzring::VectorSink sink(compressed);
    Check(lzring::EncodeStream(*ws, *runs, source, sink), "compression reported failure");
  }
  Check(compressed == lzring::reference::EncodeBuffer(*ref, data, size),
        "compressed bytes differ from the reference encoder");

  const Bytes expected = lzring::reference::DecodeBuffer(*ref, data, size);
  Bytes expanded;
  {
    lzring::MemorySource source(data, size);
    lzring::VectorSink sink(expanded);
    Check(lzring::DecodeStream(ws->ring, source, sink), "expansion reported failure");
  }
  Check(expanded == expected, "expanded bytes differ from the reference decoder");

  // A fixed buffer of exactly the right size succeeds; one byte less fails
  // once it is full, holding the first size - 1 bytes.
  Bytes exact(expected.size() + 1);
  {
    lzring::MemorySource source(data, size);
    lzring::BufferSink sink(exact.data(), expected.size());
    Check(lzring::DecodeStream(ws->ring, source, sink), "expansion into an exact buffer failed");
    Check(sink.size() == expected.size() && !sink.overflow(), "exact buffer not filled");
    Check(std::equal(expected.begin(), expected.end(), exact.begin()),
          "expansion into an exact buffer differs");
  }
  if (!expected.empty()) {
    Bytes small(expected.size());
    lzring::MemorySource source(data, size);
    lzring::BufferSink sink(small.data(), expected.size() - 1);
    Check(!lzring::DecodeStream(ws->ring, source, sink), "expansion into a short buffer succeeded");
    Check(sink.overflow() && sink.size() == expected.size() - 1, "short buffer not filled");
    Check(std::equal(small.begin(), small.end() - 1, expected.begin()),
          "expansion into a short buffer differs");
  }
  return 0;
}
