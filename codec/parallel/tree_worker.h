// One thread's share of the match trees, for the parallel encoder.
//
// Which operations the 256 match trees undergo does not depend on the
// parse: every source position enters its tree once and leaves it once, in
// source order, whatever units the encoder emits. Nor do the bytes that
// each operation compares: they are the ring as the source has filled it up
// to that moment. And the trees never touch each other. So the trees can be
// shared out among threads, each replaying the ring and doing, in order,
// every operation of the trees it owns, while another thread turns the
// results into units. The trees end up exactly as one thread would leave
// them, and every insertion reports exactly the same match.
//
// A TreeWorker keeps a full copy of the ring (stores cost a byte each) and
// link arrays of its own, so that workers write no shared cache lines. The
// links of positions in trees it does not own stay empty (parent NO_NODE),
// so a removal of such a position would do nothing anyway.
#ifndef LZRING_CODEC_PARALLEL_TREE_WORKER_H
#define LZRING_CODEC_PARALLEL_TREE_WORKER_H

#include <cstddef>
#include <cstdint>

#include "codec/format.h"
#include "codec/parallel/thread_policy.h"
#include "codec/ring_trees.h"
#include "codec/run_index.h"

namespace lzring {

// What the insertion of one source position found: best_length << 12 |
// best_position. A length below MIN_MATCH means a literal (the position is
// then meaningless).
using MatchRecord = std::uint32_t;

inline constexpr int kRecordLengthShift = 12;

// A piece of the source as the workers and the coder see it: the bytes of
// source indices [data_begin, end), where [begin, end) is new in this piece
// and up to MAX_MATCH bytes before `begin` are repeated in front of it.
struct SourcePiece {
  const std::uint8_t* data;
  std::uint64_t data_begin;
  std::uint64_t begin;
  std::uint64_t end;
  bool final;  // the source ends at `end`

  const std::uint8_t& At(std::uint64_t s) const { return data[s - data_begin]; }
};

// The source positions whose insertions a worker can do once the source is
// known up to `piece.end`: position 0 comes with the first 18 bytes, and
// position i + 1 with byte i + 18, or with the end of the source.
inline std::uint64_t PositionsReady(const SourcePiece& piece) {
  if (piece.final) return piece.end;
  return piece.end >= static_cast<std::uint64_t>(MAX_MATCH) ? piece.end - (MAX_MATCH - 1) : 0;
}

class TreeWorker;

// Does every tree operation that the source known up to `piece.end` allows
// and that falls in a tree `worker` owns. The match found for source
// position p goes to records[p - records_begin], for every p it inserts;
// the work of each tree (nodes visited, and kInsertWorkUnits plus
// kWorkerInsertUnits per insertion) is added to visits[], and the
// insertions to worker.inserted.
void RecordMatches(TreeWorker& worker, const SourcePiece& piece, MatchRecord* records,
                   std::uint64_t records_begin, std::uint64_t visits[256]);

// The state of one worker. Internal to the tree worker's loop (tree_worker.cpp)
// but for the calls below. One thread at a time touches it: its worker while
// it works a piece; the coding thread and the other workers only while it is
// stopped (TreePool::Worker::trees says what orders them).
class TreeWorker {
 public:
  // Starts a stream owning the trees c with own[c] true.
  void Reset(const bool own[256]);
  // Goes on with a stream that the one-thread encoder has begun, owning the
  // trees c with own[c] true: `from` holds its ring and trees once it has
  // done every step before `next_step`.
  void StartFrom(const RingTrees& from, const bool own[256], std::uint64_t next_step);

  // Ownership changes between pieces, with every worker stopped: first each
  // worker copies in the trees it gains (from their old owners, which are
  // not running), then each drops the trees it lost.
  void Take(const TreeWorker& from, int tree);
  void Drop(int tree);
  bool Owns(int tree) const { return own[tree]; }
  // Copies the links of tree `tree` into `to`, whose own links of that
  // tree's positions are then this worker's.
  void CopyTree(RingTrees& to, int tree);

  // Copies the links of tree `tree` in `from` into `to`, walking it with
  // this worker's stack.
  void CopyLinks(const RingTrees& from, RingTrees& to, int tree);
  // Calls fn(n) for every node of tree c in `links`.
  template <class Fn>
  void ForEachNode(const RingTrees& links, int tree, Fn&& fn);

  RingTrees ws;
  RunIndex runs;
  bool own[256];
  bool started = false;
  std::uint64_t next_step = 0;  // step j enters position j + 1
  // How walks go: without the run index while they are short, along it down
  // chain-like trees. Only the speed depends on it.
  bool short_walks = true;
  std::uint64_t inserted = 0;  // insertions done, ever
  std::int64_t visited_total = 0;
  std::int32_t inserts_counted = 0;
  std::int32_t stack[RING_SIZE];
  // Bit j % 64 of enter_marks[j / 64 % kMarkBlocks]: whether step j, from
  // marks_from on, entered a position into an owned tree (see
  // RecordMatches). kNoMarks: none since the owned trees last changed.
  static constexpr std::uint64_t kMarkBlocks = 128;
  static constexpr std::uint64_t kNoMarks = ~std::uint64_t{0};
  std::uint64_t enter_marks[kMarkBlocks];
  std::uint64_t marks_from = kNoMarks;
};

}  // namespace lzring

#endif  // LZRING_CODEC_PARALLEL_TREE_WORKER_H
