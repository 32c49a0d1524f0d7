// The encoder on several threads against the one-thread encoder. The first
// bytes of the input choose the number of workers (1 to 16), the piece size
// (18 bytes up), the clock that weighs the workers' work (the real one,
// none, or one at random), how many bytes each write hands over, whether the workers
// hand the rest over to the feeding thread (and take it back later), a
// thread start that fails, and a prefix put in front of the rest (a run of
// one byte value, a skewed stretch, or a short period repeated) with the
// thread policy as it stands or always starting the workers; the rest is
// the source. The compressed bytes must be the same, and every call must
// succeed.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/memory_source.h"
#include "codec/parallel/parallel_encoder.h"
#include "codec/ring_trees.h"
#include "fuzz/fuzz_util.h"
#include "platform/thread.h"

using lzring::fuzz::Bytes;
using lzring::fuzz::Check;

namespace {

int starts;
int fail_at;  // the start that fails, counted from 0; -1: none

int FailingStart(lzring::ThreadHandle& handle, void (*fn)(void*), void* arg) {
  return starts++ == fail_at ? EAGAIN : lzring::ThreadStart(handle, fn, arg);
}

// Clocks for the split of the trees besides the real one: none, and one
// that reads at random, so that the trees change owner at many pieces.
std::uint64_t NoClock() {
  return 0;
}

std::uint64_t RandomClock() {
  thread_local std::uint64_t x = 0x9E3779B97F4A7C15u;
  x ^= x << 13;
  x ^= x >> 7;
  x ^= x << 17;
  return x;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 6) return 0;
  static const auto ws = std::make_unique<lzring::RingTrees>();
  static const auto runs = std::make_unique<lzring::RunIndex>();
  lzring::ParallelOptions options;
  options.workers = 1 + data[0] % 16;
  options.piece_size = lzring::MAX_MATCH + (data[1] | (data[2] & 0x0F) << 8);
  // The third byte's top bits: the clock that weighs the workers' work.
  const int clock = (data[2] >> 4) % 3;
  options.thread_time = clock == 0 ? lzring::ThreadTime : clock == 1 ? NoClock : RandomClock;
  options.min_parallel = 0;
  options.min_gain = 0;
  // The top bit of the fourth byte: the workers hand over to the feeding
  // thread after two pieces.
  options.min_parallelism = (data[3] & 0x80) != 0 ? 1000 : 0;
  const std::size_t write = 1 + (data[3] % 64) * (data[3] % 64);
  // The fifth byte: the failing start (15: none), the prefix's shape (and
  // with the top bit, a period of 26, 100 or 7 bytes), and whether the
  // policy decides (first pieces of 1000 bytes).
  starts = 0;
  fail_at = (data[4] & 0x0F) == 0x0F ? -1 : data[4] & 0x0F;
  options.start_thread = FailingStart;
  const int shape = (data[4] >> 4) & 3;
  const std::size_t period = (data[4] & 0x80) == 0 ? 0 : shape == 1 ? 26 : shape == 2 ? 100 : 7;
  if ((data[4] & 0x40) != 0) {
    options.min_parallel = 1000;
    options.min_gain = lzring::ParallelOptions{}.min_gain;
  }
  // The sixth byte: the prefix's length, in steps of 97 bytes.
  const std::size_t prefix = shape == 0 ? 0 : data[5] * std::size_t{97};
  data += 6;
  size -= 6;

  Bytes src(prefix);
  for (std::size_t i = 0; i < prefix; ++i) {
    if (period != 0) {
      src[i] = static_cast<std::uint8_t>(i % period * 167 + 13);
    } else {
      src[i] = shape == 1    ? 0
               : shape == 2  ? 'a'
               : i % 10 != 0 ? 0xFF
                             : static_cast<std::uint8_t>(i);
    }
  }
  src.insert(src.end(), data, data + size);

  Bytes expected;
  {
    lzring::MemorySource source(src.data(), src.size());
    lzring::VectorSink sink(expected);
    Check(lzring::EncodeStream(*ws, *runs, source, sink), "one-thread compression failed");
  }
  Bytes got;
  {
    lzring::VectorSink sink(got);
    lzring::ParallelEncoder encoder(*ws, *runs, options);
    for (std::size_t i = 0; i < src.size(); i += write) {
      Check(encoder.Write(src.data() + i, std::min(write, src.size() - i), sink) == 0,
            "write failed");
    }
    Check(encoder.Finish(sink) == 0, "finish failed");
    Check((fail_at >= 0 && fail_at < starts) == (encoder.ThreadsNotStarted() > 0),
          "a failed start not counted, or one counted that did not fail");
  }
  Check(got == expected, "several threads and one thread differ");
  return 0;
}
