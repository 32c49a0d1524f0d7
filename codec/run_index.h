// An index of long runs in the match trees, kept beside them by the encoder.
//
// A run is a stretch of a right chain: nodes each of which is the right
// child of the one before. Down a run the strings grow, so a walk that goes
// right at a run's node goes right at every later one until the first that
// is above its key, and the prefixes it shares with the nodes it passes only
// grow. Where trees degenerate into long chains (increasing records,
// counters, some binary formats), a walk passes hundreds of such nodes; with
// the run held as an array, a binary search finds where it turns and which
// passed node it reports, in a handful of comparisons. The trees and every
// result stay exactly what the plain walk gives.
//
// The index is a cache over the trees: each tree operation that changes a
// right link tells it (Append, Substitute, Remove), which keeps every run a
// run. A node is in at most one run; runs are made by the walks that find
// long ones and dropped when their slot is needed.
#ifndef LZRING_CODEC_RUN_INDEX_H
#define LZRING_CODEC_RUN_INDEX_H

#include <cstdint>
#include <cstring>

#include "api/workspace.h"
#include "codec/format.h"

namespace lzring {

struct RunIndex {
  // Runs shorter than this are not worth an array.
  static constexpr std::uint32_t kMinRun = 16;
  static constexpr std::int32_t kSlots = 32;
  // Longer chains are indexed as several runs.
  static constexpr std::uint32_t kCapacity = 1024;

  struct Run {
    // Members sit at consecutive absolute indices first, first + 1, ...;
    // index i is stored at nodes[i % kCapacity], so both ends can grow and
    // shrink in place.
    std::uint32_t first;
    std::uint32_t count;  // 0: the slot is free
    std::uint16_t nodes[kCapacity];

    std::int32_t At(std::uint32_t i) const { return nodes[i % kCapacity]; }
    std::uint32_t Last() const { return first + count - 1; }
  };

  // For each node: its run's slot + 1, or 0 when it is in none. The entries
  // of the sink and of the trees' pseudo-roots stay 0.
  std::uint8_t run_of[RIGHT_COUNT];
  std::uint32_t index_of[RING_SIZE];  // absolute index within its run
  std::int32_t next_victim;           // slot to drop when all are taken
  Run runs[kSlots];


  // Empties the index; the trees are empty at the start of every stream.
  void Reset() {
    std::memset(run_of, 0, sizeof run_of);
    for (Run& run : runs) run.count = 0;
    next_victim = 0;
  }

  bool Indexed(std::int32_t n) const { return run_of[n] != 0; }
  Run& RunOf(std::int32_t n) { return runs[run_of[n] - 1]; }

  // r has been hung as the right child of n, which is indexed. n has no
  // right child before, so it is its run's last member, and r extends it
  // unless the run is full.
  void Append(std::int32_t n, std::int32_t r) {
    Run& run = RunOf(n);
    if (run.count == kCapacity) return;
    const std::uint32_t i = run.first + run.count;
    Put(run, i, r);
    run_of[r] = run_of[n];
    ++run.count;
  }

  // r has taken the place of the indexed node p, with p's links.
  void Substitute(std::int32_t p, std::int32_t r) {
    const std::uint32_t i = index_of[p];
    Put(RunOf(p), i, r);
    run_of[r] = run_of[p];
    run_of[p] = 0;
  }

  // The indexed node p has left its place: it had no right child (it was
  // the run's last), or its right child took its place (the chain closes
  // over it). The shorter side of the run moves up by one.
  void Remove(std::int32_t p) {
    Run& run = RunOf(p);
    const std::uint32_t i = index_of[p];
    if (i - run.first < run.Last() - i) {
      for (std::uint32_t k = i; k != run.first; --k) Put(run, k, run.At(k - 1));
      ++run.first;
    } else {
      for (std::uint32_t k = i; k != run.Last(); ++k) Put(run, k, run.At(k + 1));
    }
    --run.count;
    run_of[p] = 0;
  }

  // Indexes the long runs on the path from the root down to n, after a
  // walk that passed nodes one by one for long. Climbing from n, each
  // stretch of right links not yet indexed is measured; an indexed run is
  // jumped over in one step.
  void IndexPath(const Workspace& ws, std::int32_t n) {
    std::uint32_t length = 0;
    while (n < NO_NODE) {
      if (Indexed(n)) {
        const Run& run = RunOf(n);
        n = ws.parent[run.At(run.first)];
        length = 0;
        continue;
      }
      ++length;
      const std::int32_t p = ws.parent[n];
      if (p >= NO_NODE || ws.right[p] != n || Indexed(p)) {
        // n heads its stretch.
        if (length >= kMinRun) Build(ws, n);
        length = 0;
      }
      n = p;
    }
  }

  // Indexes the right chain that starts at `head`, down to its end or to the
  // first node already indexed, when that is at least kMinRun long.
  void Build(const Workspace& ws, std::int32_t head) {
    if (Indexed(head)) return;
    std::int32_t slot = 0;
    while (slot < kSlots && runs[slot].count != 0) ++slot;
    if (slot == kSlots) {
      slot = next_victim;
      next_victim = (next_victim + 1) % kSlots;
      Clear(runs[slot]);
    }
    Run& run = runs[slot];
    for (std::int32_t n = head; n != NO_NODE && !Indexed(n) && run.count < kCapacity;
         n = ws.right[n]) {
      Put(run, run.first + run.count, n);
      run_of[n] = static_cast<std::uint8_t>(slot + 1);
      ++run.count;
    }
    if (run.count < kMinRun) Clear(run);
  }

 private:
  void Put(Run& run, std::uint32_t i, std::int32_t n) {
    run.nodes[i % kCapacity] = static_cast<std::uint16_t>(n);
    index_of[n] = i;
  }

  void Clear(Run& run) {
    for (std::uint32_t i = run.first; i != run.first + run.count; ++i) run_of[run.At(i)] = 0;
    run.count = 0;
  }
};

// What the plain tree operations use: no index at all.
struct NoRunIndex {
  static constexpr bool Indexed(std::int32_t) { return false; }
  void Append(std::int32_t, std::int32_t) {}
  void Substitute(std::int32_t, std::int32_t) {}
  void Remove(std::int32_t) {}
};

}  // namespace lzring

#endif  // LZRING_CODEC_RUN_INDEX_H
