// Compresses arbitrary bytes and expands them again, in memory and through
// the file path of the C entry points. The expansion must return the input
// exactly, the compressed size must stay within n + ceil(n/8), and _Encode
// must write the same bytes as the in-memory encoder. The smallest stream
// (best_encoder.h) must expand to the input through both, be no larger than
// the exact one, and be the same when the input comes in two pieces.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/best_encoder.h"
#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "codec/format.h"
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
  static const auto runs = std::make_unique<lzring::RunIndex>();

  Bytes compressed;
  {
    lzring::MemorySource source(data, size);
    lzring::VectorSink sink(compressed);
    Check(lzring::EncodeStream(*ws, *runs, source, sink), "in-memory compression reported failure");
  }
  Check(compressed.size() <= size + (size + 7) / 8, "compressed size above n + ceil(n/8)");
  Check(compressed.size() <= lzring::EncodeBound(size), "compressed size above EncodeBound");

  Bytes expanded;
  {
    lzring::MemorySource source(compressed.data(), compressed.size());
    lzring::VectorSink sink(expanded);
    Check(lzring::DecodeStream(ws->ring, source, sink), "in-memory expansion reported failure");
  }
  Check(
      expanded.size() == size && (size == 0 || std::equal(expanded.begin(), expanded.end(), data)),
      "expansion differs from the input");

  const ScratchDir& dir = ScratchDir::Get();
  const std::string in_path = dir / "in";
  const std::string out_path = dir / "out";
  lzring::fuzz::WriteWholeFile(in_path, data, size);
  Check(_Encode(in_path.c_str(), out_path.c_str()) == 0, "_Encode failed");
  Check(lzring::fuzz::ReadWholeFile(out_path) == compressed,
        "_Encode and the in-memory encoder differ");
  Check(_Decode(out_path.c_str(), in_path.c_str()) == 0, "_Decode failed");
  const Bytes back = lzring::fuzz::ReadWholeFile(in_path);
  Check(back.size() == size && (size == 0 || std::equal(back.begin(), back.end(), data)),
        "_Decode of _Encode's output differs from the input");

  Bytes best;
  {
    lzring::MemorySource source(data, size);
    lzring::VectorSink sink(best);
    Check(lzring::BestEncodeStream(source, sink) == 0, "smallest stream reported failure");
  }
  Check(best.size() <= compressed.size(), "smallest stream larger than the exact one");
  Bytes split;
  {
    const std::size_t first = size == 0 ? 0 : data[0] % size;
    lzring::VectorSink sink(split);
    const auto encoder = std::make_unique<lzring::BestEncoder>();
    Check(encoder->Write(data, first, sink) == 0 &&
              encoder->Write(data + first, size - first, sink) == 0 && encoder->Finish(sink) == 0,
          "smallest stream in two pieces reported failure");
  }
  Check(split == best, "smallest stream differs when the input comes in two pieces");
  Bytes best_expanded;
  {
    lzring::MemorySource source(best.data(), best.size());
    lzring::VectorSink sink(best_expanded);
    Check(lzring::DecodeStream(ws->ring, source, sink), "expansion of the smallest stream failed");
  }
  Check(best_expanded.size() == size &&
            (size == 0 || std::equal(best_expanded.begin(), best_expanded.end(), data)),
        "expansion of the smallest stream differs from the input");
  lzring::fuzz::WriteWholeFile(out_path, best.data(), best.size());
  Check(_Decode(out_path.c_str(), in_path.c_str()) == 0, "_Decode of the smallest stream failed");
  const Bytes best_back = lzring::fuzz::ReadWholeFile(in_path);
  Check(best_back.size() == size &&
            (size == 0 || std::equal(best_back.begin(), best_back.end(), data)),
        "_Decode of the smallest stream differs from the input");
  return 0;
}
