// The encoder on several threads against the one-thread encoder. The first
// bytes of the input choose the number of workers (1 to 16), the piece size
// (18 bytes up) and how many bytes each write hands over; the rest is the
// source. The compressed bytes must be the same.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "api/workspace.h"
#include "codec/encoder.h"
#include "codec/parallel_encoder.h"
#include "fuzz/fuzz_util.h"
#include "io/memory_stream.h"

using lzring::fuzz::Bytes;
using lzring::fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  static const auto ws = std::make_unique<lzring::Workspace>();
  static const auto runs = std::make_unique<lzring::RunIndex>();
  lzring::ParallelOptions options;
  options.workers = 1 + data[0] % 16;
  options.piece_size = lzring::MAX_MATCH + (data[1] | (data[2] & 0x0F) << 8);
  options.min_parallel = 0;
  options.min_gain = 0;
  const std::size_t write = 1 + (data[3] % 64) * (data[3] % 64);
  data += 4;
  size -= 4;

  Bytes expected;
  {
    lzring::MemorySource source(data, size);
    lzring::VectorSink sink(expected);
    Check(lzring::EncodeStream(*ws, *runs, source, sink), "one-thread compression failed");
  }
  Bytes got;
  {
    lzring::VectorSink sink(got);
    lzring::ParallelEncoder encoder(*ws, *runs, options);
    for (std::size_t i = 0; i < size; i += write) {
      Check(encoder.Write(data + i, std::min(write, size - i), sink) == 0, "write failed");
    }
    Check(encoder.Finish(sink) == 0, "finish failed");
  }
  Check(got == expected, "several threads and one thread differ");
  return 0;
}
