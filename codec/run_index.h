// An index of long runs in the match trees, kept beside them by the encoder.
//
// A run is a stretch of a chain of one kind of link: nodes each of which is
// the right child of the one before (a right run), or each the left child (a
// left run). Down a right run the strings grow, so a walk that goes right at
// one member goes right at every later one until the first that is above its
// key, and the prefixes it shares with the members it passes only grow; a
// left run is the mirror image. Where trees degenerate into long chains
// (increasing or decreasing records, counters, some binary formats), a walk
// passes hundreds of such nodes; with the run held as an array, a binary
// search finds where it turns and which passed node it reports, in a handful
// of comparisons. The trees and every result stay exactly what the plain
// walk gives.
//
// The index is a cache over the trees. Each tree operation that moves a node
// tells it (Hung, Replaced, Closed, Moved), which keeps every run a run. A
// node is in at most one run of each kind; runs are made by the walks that
// find long ones and dropped when their slot is needed.
#ifndef LZRING_CODEC_RUN_INDEX_H
#define LZRING_CODEC_RUN_INDEX_H

#include <cstdint>
#include <cstring>

#include "codec/format.h"
#include "codec/ring_trees.h"

namespace lzring {

// The runs along one kind of link.
class RunSet {
 public:
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

  void Reset() {
    std::memset(run_of, 0, sizeof run_of);
    for (Run& run : runs) run.count = 0;
    next_victim = 0;
  }

  bool Indexed(std::int32_t n) const { return run_of[n] != 0; }
  Run& RunOf(std::int32_t n) { return runs[run_of[n] - 1]; }
  const Run& RunOf(std::int32_t n) const { return runs[run_of[n] - 1]; }

  // r has been hung from n by this set's kind of link. n had no such child
  // before, so it is its run's last member, and r extends the run unless it
  // is full.
  void Append(std::int32_t n, std::int32_t r) {
    Run& run = RunOf(n);
    if (run.count == kCapacity) return;
    Put(run, run.first + run.count, r);
    run_of[r] = run_of[n];
    ++run.count;
  }

  // r has taken the place of the indexed node p, with p's links.
  void Substitute(std::int32_t p, std::int32_t r) {
    Put(RunOf(p), index_of[p], r);
    run_of[r] = run_of[p];
    run_of[p] = 0;
  }

  // The indexed node p has left its place: it had no child of this set's
  // kind (it was its run's last member), or that child took its place (the
  // chain closes over it), or it headed its run. The shorter side of the
  // run moves up by one.
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

  // Indexes the chain of `links` that starts at `head`, down to its end or to
  // the first node already indexed, when that is at least kMinRun long.
  // Returns whether it did.
  bool Build(const std::int32_t* links, std::int32_t head) {
    if (Indexed(head)) return false;
    std::int32_t slot = 0;
    while (slot < kSlots && runs[slot].count != 0) ++slot;
    if (slot == kSlots) {
      slot = next_victim;
      next_victim = (next_victim + 1) % kSlots;
      Clear(runs[slot]);
    }
    Run& run = runs[slot];
    for (std::int32_t n = head; n != NO_NODE && !Indexed(n) && run.count < kCapacity;
         n = links[n]) {
      Put(run, run.first + run.count, n);
      run_of[n] = static_cast<std::uint8_t>(slot + 1);
      ++run.count;
    }
    if (run.count >= kMinRun) return true;
    Clear(run);
    return false;
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

struct RunIndex {
  static constexpr std::uint32_t kMinRun = RunSet::kMinRun;

  RunSet right;  // runs of right links
  RunSet left;   // runs of left links
  // Long walks to let pass before looking for runs again, and how many
  // after the next search that finds none.
  std::int32_t quiet;
  std::int32_t backoff;

  // Empties the index; the trees are empty at the start of every stream.
  void Reset() {
    right.Reset();
    left.Reset();
    quiet = 0;
    backoff = 1;
  }

  // The tree operations report here.

  // r has been hung from n, as its right child when `on_right`.
  void Hung(std::int32_t n, std::int32_t r, bool on_right) {
    RunSet& set = on_right ? right : left;
    if (set.Indexed(n)) [[unlikely]]
      set.Append(n, r);
  }

  // r has taken the place of p, whose links it now has.
  void Replaced(std::int32_t p, std::int32_t r) {
    if (right.Indexed(p)) [[unlikely]]
      right.Substitute(p, r);
    if (left.Indexed(p)) [[unlikely]]
      left.Substitute(p, r);
  }

  // p, with at most one child, has left its tree; the child, if any, took
  // its place. In the run of the child's kind the chain closes over p; in
  // the other, p had no child and was the last member.
  void Closed(std::int32_t p) {
    if (right.Indexed(p)) [[unlikely]]
      right.Remove(p);
    if (left.Indexed(p)) [[unlikely]]
      left.Remove(p);
  }

  // p, with two children, has left its tree, and q, the rightmost node of
  // its left subtree, has taken its place. q had no right child, so it was
  // the last of its right run; it headed its left run or followed p in it,
  // and its left child, if any, took its place there.
  void Moved(std::int32_t q, std::int32_t p) {
    Closed(q);
    Replaced(p, q);
  }

  // After a walk that visited `steps` nodes one at a time: one that long has
  // passed long chains the index lacks, which are indexed then. A search
  // that finds none lets ever more long walks pass before the next, so that
  // trees deep but without long chains cost little more than their walks.
  void AfterWalk(const RingTrees& ws, std::int32_t r, std::int32_t steps) {
    constexpr std::int32_t kLongWalk = 2 * static_cast<std::int32_t>(kMinRun);
    constexpr std::int32_t kMostQuiet = 256;
    if (steps < kLongWalk) [[likely]]
      return;
    if (quiet > 0) {
      --quiet;
      return;
    }
    backoff = IndexPath(ws, r) ? 1 : (backoff < kMostQuiet ? 2 * backoff : kMostQuiet);
    quiet = backoff - 1;
  }

 private:
  // Indexes the long chains on the path from the root down to n. Climbing
  // from n, each stretch of links of one kind is measured, in segments
  // between the runs already indexed; a run met on the way is crossed in
  // one step. Returns whether a run was made.
  bool IndexPath(const RingTrees& ws, std::int32_t n) {
    bool built = false;
    bool started = false;
    bool on_right = false;     // the kind of the current stretch
    std::uint32_t length = 0;  // its nodes climbed since the last run met
    std::int32_t top = n;      // the highest of them
    const auto close = [&] {
      if (length >= kMinRun) {
        built |= on_right ? right.Build(ws.right, top) : left.Build(ws.left, top);
      }
      length = 0;
    };
    for (;;) {
      const std::int32_t p = ws.parent[n];
      if (p >= NO_NODE) break;  // n is the root
      const bool right_link = ws.right[p] == n;
      const RunSet& set = right_link ? right : left;
      if (!started || right_link != on_right) {
        // n ends one stretch and starts the next.
        close();
        started = true;
        on_right = right_link;
        if (!set.Indexed(n)) {
          top = n;
          length = 1;
        }
      }
      if (set.Indexed(p)) {
        // The links from p up to the first member of its run are all of
        // this kind. (Read before close(), which may drop that run.)
        const RunSet::Run& run = set.RunOf(p);
        n = run.At(run.first);
        close();
        continue;
      }
      top = p;
      ++length;
      n = p;
    }
    close();
    return built;
  }
};

// What the plain tree operations use: no index at all.
struct NoRunIndex {
  void Hung(std::int32_t, std::int32_t, bool) {}
  void Replaced(std::int32_t, std::int32_t) {}
  void Closed(std::int32_t) {}
  void Moved(std::int32_t, std::int32_t) {}
  void AfterWalk(const RingTrees&, std::int32_t, std::int32_t) {}
};

}  // namespace lzring

#endif  // LZRING_CODEC_RUN_INDEX_H
