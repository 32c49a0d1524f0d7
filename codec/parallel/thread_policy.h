// The thread policy: when a source is coded on several threads, and in
// pieces of what size. It is written here once; the parallel encoder asks
// it at every piece, so a source whose first part does not pay for the
// threads (a long run of one byte value, say) gets them once a later part
// does, and one that stops paying is coded on one thread from there on.
// None of it changes the output, only how long it takes.
//
// The whole cost model of the threaded encoder is here too: the work units
// in which the workers, the coding and the estimate from a piece's bytes
// are weighed, and the constants that say when the trees change owner,
// when the trees' nodes are counted, and when the workers stop.
#ifndef LZRING_CODEC_PARALLEL_THREAD_POLICY_H
#define LZRING_CODEC_PARALLEL_THREAD_POLICY_H

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "codec/format.h"
#include "codec/parallel/tree_split.h"
#include "platform/thread.h"

namespace lzring {

// Work units, against one node visited by a walk. They count the same on
// every platform; whether the workers pay is judged in them alone.
//
// An insertion besides its walk: the call, its first compare, the links.
inline constexpr std::uint64_t kInsertWorkUnits = 2;
// A worker's step over one position of the slide: every worker steps over
// every position, whichever trees it owns.
inline constexpr std::uint64_t kStepWorkUnits = 1;
// What an insertion costs a worker beyond what it costs the one-thread
// loop: the call, the hold and pairing, the marks and the record. Measured
// at about 5 ns an insertion against one-thread insertions of 9.5 ns on a
// period of 26 bytes (a node a walk) and 70 ns on text: on sources whose
// walks are that short, two workers each take as long as one thread.
inline constexpr std::uint64_t kWorkerInsertUnits = 2;
// The coding thread's turning of one record into a unit (and its share of
// the group's output).
inline constexpr std::uint64_t kCodingWorkUnits = 2;

// The estimate of a piece's work from its bytes (tree_estimate.h).
//
// From this many bytes on, a piece's byte counts sample every fourth byte:
// the shares of the trees come out the same, at a quarter of the reads.
inline constexpr std::size_t kSampledCountFrom = 4096;
// The positions of the window whose distinct strings are counted: one
// ring's worth, the nodes a tree can hold at the most.
inline constexpr std::size_t kCensusPositions = RING_SIZE;
// The nodes a walk visits in a tree of n nodes, kWalkBaseNodes +
// kWalkNodesPerLevel * log2(1 + n): 1.39 log2 n (2 ln n) is the mean depth
// of a random binary search tree, and the base the root and the last step.
inline constexpr double kWalkBaseNodes = 2.0;
inline constexpr double kWalkNodesPerLevel = 1.39;

// The decisions between pieces (parallel_encoder.h).
//
// A new split of the trees must make the busiest worker's share at least
// this much smaller (its share times kResplitGain): moving trees costs a
// meeting of all workers and the copy of the trees that move.
inline constexpr double kResplitGain = 0.95;
// After a count of the trees' nodes said no, the pieces before the next
// count: 1, 2, 4, up to this many. A source that repeats itself is fast on
// one thread, where a count at every piece would cost a few per cent.
inline constexpr unsigned kMaxCensusWait = 8;
// The workers stop after this many pieces in a row that kept fewer than
// min_parallelism processors busy: one poor piece may be one worked under
// a split made for other bytes.
inline constexpr int kPoorPiecesToStop = 2;
// The pieces on one thread before the policy is asked again, after the
// workers stopped paying n times, are 2^n, n at most this: a source whose
// bytes look shareable but whose work is not keeps to one thread, and one
// that changes is asked again within 65536 pieces.
inline constexpr unsigned kMaxRetryDoublings = 16;
// A worker judges whether its walks are short (kShortWalkNodes) every this
// many insertions: as often as the one-thread encoder does (4096 pairs).
// Only the speed depends on it.
inline constexpr std::int32_t kInsertsPerVerdict = 8192;

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
  return poor < kPoorPiecesToStop;
}

// After the workers stopped paying `stops` times, the pieces coded on one
// thread before WorkersPay is asked again: more each time (see
// kMaxRetryDoublings).
inline std::uint64_t PiecesBeforeRetry(unsigned stops) {
  return std::uint64_t{1} << std::min(stops, kMaxRetryDoublings);
}

}  // namespace lzring

#endif  // LZRING_CODEC_PARALLEL_THREAD_POLICY_H
