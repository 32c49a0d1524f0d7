// Expands arbitrary bytes twice: in memory, and through the file path of the
// C entry point _Decode. Every byte sequence must expand to something, the
// two outputs must be equal, and no two input bytes can produce more than 18
// output bytes (one reference), so the output is at most 9 bytes per input
// byte.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/decode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/memory_source.h"
#include "codec/ring_trees.h"
#include "fuzz/fuzz_util.h"
#include "lzring.h"

using lzring::fuzz::Bytes;
using lzring::fuzz::Check;
using lzring::fuzz::ScratchDir;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto ws = std::make_unique<lzring::RingTrees>();

  Bytes in_memory;
  {
    lzring::MemorySource source(data, size);
    lzring::VectorSink sink(in_memory);
    Check(lzring::DecodeStream(ws->ring, source, sink), "in-memory expansion reported failure");
  }
  Check(in_memory.size() <= 9 * size + 18, "output larger than 9 bytes per input byte + 18");
  Check(in_memory.size() <= 9 * size, "output larger than 9 bytes per input byte");

  const ScratchDir& dir = ScratchDir::Get();
  const std::string in_path = dir / "in";
  const std::string out_path = dir / "out";
  lzring::fuzz::WriteWholeFile(in_path, data, size);
  Check(_Decode(in_path.c_str(), out_path.c_str()) == 0, "_Decode failed");
  Check(lzring::fuzz::ReadWholeFile(out_path) == in_memory,
        "_Decode and the in-memory expansion differ");
  return 0;
}
