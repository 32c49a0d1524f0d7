// Drives the encoder and decoder objects with piece sizes drawn from the
// input and compares them with the one-shot functions: compression in
// pieces gives the one-shot bytes; expansion in pieces, of arbitrary bytes
// and of the compressed input, gives the one-shot output; and expansion in
// pieces up to a limit gives what expand_bounded gives, with the same count
// of compressed bytes used.
//
// The encoder object gathers 64 KiB before each call of the encoder loop,
// more than most inputs here; so the loop is also driven directly, over
// pieces whose length comes from the input, to stop and resume it anywhere.
//
// Input: one byte choosing the limit, eight bytes of piece sizes (used in
// turn; below 128 the size itself, 0 included, above it larger pieces),
// then the data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/memory_source.h"
#include "codec/ring_trees.h"
#include "codec/run_index.h"
#include "fuzz/fuzz_util.h"
#include "lzring/lzring.hpp"

using lzring::fuzz::Bytes;
using lzring::fuzz::Check;

namespace {

constexpr std::size_t kHeader = 9;

// Writes `data` to `object` in pieces of the sizes in `sizes`, in turn.
template <class Object>
void Feed(Object& object, std::span<const std::uint8_t> data, const std::uint8_t* sizes,
          const std::function<void()>& before_finish = {}) {
  const bool all_empty = std::all_of(sizes, sizes + 8, [](std::uint8_t b) { return b == 0; });
  for (std::size_t k = 0; !data.empty(); ++k) {
    const std::uint8_t b = sizes[k % 8];
    std::size_t n = b < 128 ? b : std::size_t{b - 127u} * 257;
    if (all_empty) n = 1;
    n = std::min(n, data.size());
    Check(object.write(data.first(n)), "write failed");
    data = data.subspan(n);
  }
  Check(object.write({}), "empty write failed");
  if (before_finish) before_finish();
  Check(object.finish(), "finish failed");
}

lzring::sink_fn Into(Bytes& out) {
  return [&out](std::span<const std::uint8_t> bytes) {
    out.insert(out.end(), bytes.begin(), bytes.end());
    return true;
  };
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  static lzring::codec codec;
  const std::uint8_t limit_choice = data[0];
  const std::uint8_t* const sizes = data + 1;
  const std::span<const std::uint8_t> payload(data + kHeader, size - kHeader);

  // Compression, into the object and drained.
  const Bytes packed = codec.compress(payload);
  {
    lzring::encoder e;
    Feed(e, payload, sizes);
    Check(Bytes(e.output().begin(), e.output().end()) == packed,
          "compression in pieces differs from compress()");
    Check(e.bytes_out() == packed.size(), "encoder bytes_out");
  }

  // The encoder loop over pieces of 18 bytes or more, as the object calls it.
  {
    static const auto ws = std::make_unique<lzring::RingTrees>();
    static const auto runs = std::make_unique<lzring::RunIndex>();
    lzring::EncoderState st;
    lzring::StartEncoder(*ws, *runs, st);
    const std::size_t piece_bytes = 18 + std::size_t{sizes[0]} * 8;
    Bytes gathered;
    Bytes out;
    {
      lzring::VectorSink sink(out);
      auto code = [&](bool final) {
        lzring::PieceSource source(gathered.data(), gathered.size(), final);
        const lzring::EncodeStatus status = lzring::EncodeSpan<true>(*ws, *runs, st, source, sink);
        Check(status == (final ? lzring::EncodeStatus::kDone : lzring::EncodeStatus::kNeedInput),
              "encoder loop status");
        Check(final || source.Available() < 18, "an encoder loop call left a unit's bytes");
        gathered.erase(
            gathered.begin(),
            gathered.begin() + static_cast<std::ptrdiff_t>(gathered.size() - source.Available()));
      };
      for (std::size_t at = 0; at < payload.size();) {
        const std::size_t n = std::min(piece_bytes - gathered.size(), payload.size() - at);
        gathered.insert(gathered.end(), payload.begin() + static_cast<std::ptrdiff_t>(at),
                        payload.begin() + static_cast<std::ptrdiff_t>(at + n));
        at += n;
        if (gathered.size() == piece_bytes) code(false);
      }
      code(true);
    }
    Check(out == packed, "the encoder loop over short pieces differs from compress()");
  }

  // Expansion of the compressed data, to a sink.
  {
    Bytes out;
    lzring::decoder d(Into(out));
    Feed(d, packed, sizes);
    Check(out.size() == payload.size() && std::equal(out.begin(), out.end(), payload.begin()),
          "expansion in pieces does not give the source back");
    Check(d.bytes_used() == packed.size(), "decoder bytes_used of a whole stream");
  }

  // Expansion of arbitrary bytes, whole and up to a limit.
  const Bytes expanded = codec.expand(payload);
  {
    Bytes out;
    lzring::decoder d(Into(out));
    // Every unit is out once its bytes are in: finish() adds nothing.
    Feed(d, payload, sizes, [&] { Check(out == expanded, "output held back until finish()"); });
    Check(out == expanded, "expansion in pieces differs from expand()");
    Check(d.bytes_used() <= payload.size() &&
              codec.expanded_size(payload.first(d.bytes_used())) == expanded.size(),
          "decoder bytes_used does not cover the output");
  }
  {
    const std::uint64_t limit = (expanded.size() + 2) * limit_choice / 255;
    Bytes bounded(limit);
    const lzring::bounded_result r = codec.expand_bounded(payload, bounded);
    bounded.resize(r.bytes_out);
    Check(std::equal(bounded.begin(), bounded.end(), expanded.begin()) &&
              r.bytes_out == std::min<std::uint64_t>(limit, expanded.size()),
          "expand_bounded is not the start of expand()");
    Check(r.ended == (limit > expanded.size()), "expand_bounded ended");

    Bytes out;
    lzring::decoder d(Into(out), limit);
    Feed(d, payload, sizes, [&] {
      Check(d.at_limit() == !r.ended && out.size() == r.bytes_out,
            "the limit is not reached until finish()");
    });
    Check(out == bounded, "bounded expansion in pieces differs from expand_bounded()");
    Check(d.bytes_used() == r.bytes_used, "bytes_used differs from expand_bounded()");
    Check(d.at_limit() == !r.ended && d.ended_early() == r.ended, "limit flags");
  }
  return 0;
}
