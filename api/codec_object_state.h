// The working state behind one lzring::codec object: a Workspace of its own,
// zero-filled when the object is made, so that objects never share state and
// every stream starts as a freshly loaded module would, the encoder's index
// of long runs in the match trees, the number of threads to compress on, and
// the encoder on several threads with the threads and pieces it keeps.
#ifndef LZRING_API_CODEC_OBJECT_STATE_H
#define LZRING_API_CODEC_OBJECT_STATE_H

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>

#include "api/workspace.h"
#include "codec/best_encoder.h"
#include "codec/encode_loop.h"
#include "codec/parallel/parallel_encoder.h"
#include "codec/run_index.h"
#include "lzring/lzring.hpp"
#include "platform/thread.h"

namespace lzring {

// The number of tree workers a thread count asks for: 0 is one per
// processor; more than a pool can use are as many as it can.
inline unsigned ResolveThreads(unsigned threads) {
  if (threads == 0) threads = ProcessorCount();
  return std::min(threads, TreePool::kMaxWorkers);
}

// How a stream of `size` bytes (UINT64_MAX when not known) is compressed on
// `threads` threads: pieces no larger than the source needs.
inline ParallelOptions ParallelOptionsFor(unsigned threads, std::uint64_t size) {
  ParallelOptions options;
  options.workers = threads;
  if (size < options.piece_size) {
    options.piece_size = static_cast<std::size_t>(std::max<std::uint64_t>(size, MAX_MATCH));
  }
  return options;
}

}  // namespace lzring

struct lzring::codec::state {
  Workspace ws{};
  RunIndex runs{};
  unsigned threads = 1;  // 1: the calling thread alone
  std::uint64_t threads_not_started = 0;
  bool best = false;  // the smallest stream instead of the exact one
  // The encoder on several threads, made at the first call that uses it
  // and kept, with its threads and pieces, for the calls after it.
  std::unique_ptr<ParallelEncoder> parallel;

  // Compresses `in`, of `size` bytes when known (UINT64_MAX otherwise),
  // into `out`. Returns 0, kParallelSinkFailed when the sink failed, or
  // ENOMEM, before anything is read, when the state for several threads,
  // or the smallest stream's arrays, could not be allocated.
  template <class Source, class Sink>
  int Compress(Source& in, Sink& out, std::uint64_t size) {
    static_assert(kBestSinkFailed == kParallelSinkFailed);
    if (best) {
      unsigned missing = 0;
      const int result = BestEncodeStream(in, out, threads, ThreadStart, &missing);
      threads_not_started += missing;
      return result;
    }
    const ParallelOptions options = ParallelOptionsFor(threads, size);
    if (TooShortForThreads(options, size)) {
      return EncodeStream(ws, runs, in, out) ? 0 : kParallelSinkFailed;
    }
    if (parallel) {
      parallel->Reset(options);
    } else {
      parallel.reset(new (std::nothrow) ParallelEncoder(ws, runs, options));
      if (!parallel) return ENOMEM;
    }
    const int result = ParallelEncodeStream(*parallel, in, out);
    threads_not_started += parallel->ThreadsNotStarted();
    return result;
  }
};

#endif  // LZRING_API_CODEC_OBJECT_STATE_H
