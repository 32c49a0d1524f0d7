// The thread policy: when a source is coded on several threads, and in
// pieces of what size. It is written here once; the parallel encoder asks
// it at every piece, so a source whose first part does not pay for the
// threads (a long run of one byte value, say) gets them once a later part
// does, and one that stops paying is coded on one thread from there on.
// None of it changes the output, only how long it takes.
#ifndef LZRING_CODEC_PARALLEL_THREAD_POLICY_H
#define LZRING_CODEC_PARALLEL_THREAD_POLICY_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "codec/format.h"
#include "codec/parallel/tree_split.h"
#include "codec/parallel/tree_worker.h"
#include "platform/thread.h"

namespace lzring {

// The policy's settings; the defaults are the policy. Tests and the fuzz
// target change them to force every path.
struct ParallelOptions {
  // Tree workers, the thread that feeds the encoder among them (it also
  // reads and codes); the others are threads of their own.
  unsigned workers = 2;
  // The largest piece of source, in bytes. Two pieces and their records (4
  // bytes per byte) are held at a time.
  std::size_t piece_size = std::size_t{1} << 18;
  // The first piece, and every piece coded on one thread, is this size (or
  // piece_size, if smaller); sources shorter than this are coded on one
  // thread: starting the workers would cost more than they save.
  std::uint64_t min_parallel = std::uint64_t{1} << 16;
  // The least speed-up, expected from a piece's bytes, for which the
  // workers are started.
  double min_gain = 1.25;
  // When two pieces in a row had a smaller speed-up over one thread than
  // this, as their measured work tells (TreePool::Parallelism), the workers
  // stop and the feeding thread codes on alone: their own costs then
  // outweigh what they share.
  double min_parallelism = 1.25;
  ThreadStartFn start_thread = ThreadStart;
  // The clock that weighs each worker's work when the trees are split
  // (TreePool::MeasureCost).
  ThreadTimeFn thread_time = ThreadTime;
};

// Piece size: the first piece of a source, and of each stretch coded on
// several threads, and every piece coded on one thread.
constexpr std::size_t FirstPieceSize(const ParallelOptions& o) {
  const std::size_t largest = std::max<std::size_t>(o.piece_size, MAX_MATCH);
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(o.min_parallel, MAX_MATCH, largest));
}

// Growth: each next piece on several threads is twice the one before, up
// to piece_size, so that a source of a few hundred KiB is several pieces
// and the workers and the coding go on at the same time.
inline std::size_t NextPieceSize(const ParallelOptions& o, std::size_t piece) {
  return std::min(std::max<std::size_t>(o.piece_size, MAX_MATCH), 2 * piece);
}

// A source of `size` bytes (UINT64_MAX when not known) that is never worth
// the threads.
[[nodiscard]] inline bool TooShortForThreads(const ParallelOptions& o, std::uint64_t size) {
  return o.workers <= 1 || size < o.min_parallel;
}

// The one-thread/many-thread decision, for the next piece of `bytes`
// bytes (`final`: the source ends with it), from the insertions `count`
// each tree is to have among the bytes looked at and the work they are
// expected to take (EstimateTreeWork): threads when one thread's work is
// at least min_gain times the busiest worker's. A worker's work is that of
// its trees, its own cost of each of their insertions (kWorkerInsertUnits)
// and a step over every position; one thread's, that of every tree and a
// step over every position. `owner` gets the split.
[[nodiscard]] inline bool WorkersPay(const ParallelOptions& o, std::size_t bytes, bool final,
                                     const std::uint64_t count[kTreeCount],
                                     const std::uint64_t weight[kTreeCount], unsigned workers,
                                     std::uint8_t owner[kTreeCount]) {
  if (workers <= 1 || (final && bytes < o.min_parallel)) return false;
  std::uint64_t on_worker[kTreeCount];
  std::uint64_t one_thread = 0;
  std::uint64_t positions = 0;
  for (int c = 0; c < kTreeCount; ++c) {
    on_worker[c] = weight[c] + kWorkerInsertUnits * count[c];
    one_thread += weight[c];
    positions += count[c];
  }
  const std::uint64_t slide = positions * kStepWorkUnits;
  const std::uint64_t busiest = SplitTrees(on_worker, workers, owner) + slide;
  one_thread += slide;
  return positions > 0 &&
         static_cast<double>(one_thread) >= o.min_gain * static_cast<double>(busiest);
}

// The measured side of the decision: whether the workers go on after a
// piece that kept `parallelism` processors busy, `poor` being the pieces
// in a row before it that kept too few busy. The one place the rule is
// written: the encoder acts on its answer alone.
[[nodiscard]] inline bool WorkersGoOn(const ParallelOptions& o, double parallelism, int& poor) {
  poor = parallelism < o.min_parallelism ? poor + 1 : 0;
  return poor < 2;
}

// After the workers stopped paying `stops` times, the pieces coded on one
// thread before WorkersPay is asked again: more each time, so that a source
// whose bytes look shareable but whose work is not keeps to one thread.
inline std::uint64_t PiecesBeforeRetry(unsigned stops) {
  return std::uint64_t{1} << std::min(stops, 16u);
}

}  // namespace lzring

#endif  // LZRING_CODEC_PARALLEL_THREAD_POLICY_H
