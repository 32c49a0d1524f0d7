// The tree worker's loop: the encoder's slide, one position at a time, with
// the tree operations of other workers' trees left out.
#include "codec/parallel/tree_worker.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "codec/cpu_clones.h"
#include "codec/match_tree.h"
#include "codec/parallel/tree_split.h"

namespace lzring {
namespace {

// Ring slots stored at once by a tree worker (see SlideGroup): one 16-byte
// copy, which every x86-64 and WebAssembly does in one instruction.
constexpr std::uint32_t kSlotCopy = 16;

inline void CopySlots(std::uint8_t* to, const std::uint8_t* from) {
  std::memcpy(to, from, kSlotCopy);
}

// A held insertion must be done before the slide stores into its string:
// the bytes it compares start 4078 positions behind the one being stored.
constexpr std::uint64_t kMaxHoldSteps = RING_START - 1;

// Steps from the one that enters a position to the one that takes it out:
// the position entering at step e takes ring slot e - 17, and step j
// empties slot j.
constexpr std::uint64_t kEnterToLeave = RING_SIZE - (MAX_MATCH - 1);

// The work units of an insertion besides its walk, on a worker.
constexpr std::uint64_t kPerInsert = kInsertWorkUnits + kWorkerInsertUnits;

MatchRecord RecordOf(std::int32_t length, std::int32_t position) {
  return static_cast<MatchRecord>(length) << kRecordLengthShift |
         static_cast<MatchRecord>(position & RING_MASK);
}

// Counts the walks' nodes and, every kInsertsPerVerdict insertions, decides
// how the next ones walk.
void Count(TreeWorker& w, std::int32_t visited, std::int32_t inserts) {
  w.visited_total += visited;
  w.inserts_counted += inserts;
  if (w.inserts_counted < kInsertsPerVerdict) return;
  const bool were_short = w.short_walks;
  w.short_walks = w.visited_total < static_cast<std::int64_t>(kShortWalkNodes) * w.inserts_counted;
  // Short walks do without the run index; emptied now, it stays true to the
  // trees without upkeep until long walks take it up again.
  if (w.short_walks && !were_short) w.runs.Reset();
  w.visited_total = 0;
  w.inserts_counted = 0;
}

// The insertions, each out of line with its walks built in and built for
// several instruction sets (see cpu_clones.h): inside the loop below they
// would leave the loop's own values no registers.

// Takes `node`, a position whose first byte is that of an owned tree, out
// of its tree (a position in none goes through as a leaf with no parent and
// changes nothing, see RemoveStringAny). Removal walks no strings, so it
// stays in the loop.
inline void RemoveNode(TreeWorker& w, std::int32_t node) {
  if (w.short_walks) {
    NoRunIndex none;
    RemoveStringAny(w.ws, none, node);
  } else {
    RemoveStringAny(w.ws, w.runs, node);
  }
  w.ws.left[node] = NO_NODE;
  w.ws.right[node] = NO_NODE;
}

[[gnu::noinline, gnu::flatten]] LZRING_CPU_CLONES void InsertOne(TreeWorker& w, std::int32_t node,
                                                                 MatchRecord* record,
                                                                 std::uint64_t visits[256]) {
  NoRunIndex none;
  const std::int32_t visited =
      w.short_walks ? InsertStringCounted(w.ws, none, node) : InsertStringChain(w.ws, w.runs, node);
  if (record != nullptr) *record = RecordOf(w.ws.best_length, w.ws.best_position);
  visits[w.ws.ring[node]] += static_cast<std::uint64_t>(visited) + kPerInsert;
  w.inserted += 1;
  Count(w, visited, 1);
}

// Inserts `first` and then `second`, whose trees differ, walking side by
// side so that their memory loads overlap.
[[gnu::noinline, gnu::flatten]] LZRING_CPU_CLONES void InsertTwo(TreeWorker& w, std::int32_t first,
                                                                 MatchRecord* first_record,
                                                                 std::int32_t second,
                                                                 MatchRecord* second_record,
                                                                 std::uint64_t visits[256]) {
  NoRunIndex none;
  std::int32_t first_length;
  std::int32_t first_position;
  std::int32_t first_visits;
  const std::int32_t visited =
      w.short_walks ? InsertStringPair(w.ws, none, first, second, &first_length, &first_position,
                                       &first_visits)
                    : InsertStringChainPair(w.ws, w.runs, first, second, &first_length,
                                            &first_position, &first_visits);
  if (first_record != nullptr) *first_record = RecordOf(first_length, first_position);
  *second_record = RecordOf(w.ws.best_length, w.ws.best_position);
  visits[w.ws.ring[first]] += static_cast<std::uint64_t>(first_visits) + kPerInsert;
  visits[w.ws.ring[second]] += static_cast<std::uint64_t>(visited - first_visits) + kPerInsert;
  w.inserted += 2;
  Count(w, visited, 2);
}

// No insertion held back, and the tree of none (a value no byte has).
constexpr std::uint64_t kNoneHeld = ~std::uint64_t{0};
constexpr unsigned kNoTree = kTreeCount;

// Groups of up to 64 steps, aligned so that none goes past the end of the
// ring, and that only the first of a revolution stores into the mirror.
constexpr std::uint32_t kGroup = 64;
static_assert(RING_SIZE % kGroup == 0 && kGroup < kMaxHoldSteps / 2 && kGroup >= MAX_MATCH);
static_assert(kGroup % kSlotCopy == 0 && RING_SIZE + kSlotCopy <= sizeof RingTrees::ring);

// The steps below `to` of a group, as a mask: 1 <= to <= 64.
[[gnu::always_inline]] inline std::uint64_t StepsBelow(std::uint32_t to) {
  return ~std::uint64_t{0} >> (kGroup - to);
}

// One call of RecordMatches: the worker, the piece, where the matches go,
// and the insertion held back.
struct PieceSlide {
  TreeWorker& w;
  const SourcePiece& piece;
  MatchRecord* records;
  std::uint64_t records_begin;
  std::uint64_t* visits;
  std::uint8_t* ring;
  const bool* own;
  std::uint64_t held = kNoneHeld;  // the position whose insertion is held back
  unsigned held_tree = kNoTree;    // its tree

  static std::int32_t NodeOf(std::uint64_t position) {
    return static_cast<std::int32_t>((position + RING_START) & RING_MASK);
  }
  MatchRecord* RecordOf(std::uint64_t position) const {
    return records + (position - records_begin);
  }

  // Does the held insertion, if any.
  [[gnu::always_inline]] void Flush() {
    if (held == kNoneHeld) return;
    InsertOne(w, NodeOf(held), RecordOf(held), visits);
    held = kNoneHeld;
    held_tree = kNoTree;
  }

  // Enters `position` into its owned tree: together with the held one when
  // their trees differ, else after it, held in its turn.
  [[gnu::always_inline]] void Enter(std::uint64_t position) {
    const std::int32_t node = NodeOf(position);
    if (held != kNoneHeld && held_tree != ring[node]) {
      InsertTwo(w, NodeOf(held), RecordOf(held), node, RecordOf(position), visits);
      held = kNoneHeld;
      held_tree = kNoTree;
      return;
    }
    Flush();
    held = position;
    held_tree = ring[node];
  }
};

// The steps j0 .. j0 + size - 1 of one group, as its second pass goes
// through them.
struct StepGroup {
  std::uint64_t j0;
  std::uint32_t size;                    // 1 .. kGroup
  std::int32_t o0;                       // the ring slot of step j0
  const std::uint8_t* entering;          // per step, source byte j + 1: the tree it enters into
  const std::uint8_t* bytes;             // per step, source byte j + 18: what it stores
  std::uint64_t enters = 0;              // bit k: step j0 + k enters into an owned tree
  std::uint64_t leaves = 0;              // bit k: step j0 + k takes out of one, not yet done
  std::uint32_t done = 0;                // the steps before this one have stored their bytes
  std::uint8_t old[kGroup + kSlotCopy];  // blended groups: the slots before any store
};

// The first pass over a group: marks the steps that enter a position into
// an owned tree, and those that take one out, without a branch per step,
// and keeps the entering marks for the steps that take those positions out.
[[gnu::always_inline]] inline void MarkSteps(PieceSlide& s, StepGroup& g) {
  TreeWorker& w = s.w;
  const std::uint64_t group_mask = StepsBelow(g.size);
  for (std::uint32_t k = 0; k < g.size; ++k) {
    g.enters |= static_cast<std::uint64_t>(s.own[g.entering[k]]) << k;
  }
  // A position leaves kEnterToLeave steps after it entered: when the marks
  // of those steps were made under the trees owned now, the leaving marks
  // are those; otherwise they come from the bytes in the window.
  if (g.j0 >= w.marks_from + kEnterToLeave) {
    const std::uint64_t e0 = g.j0 - kEnterToLeave;
    const std::uint32_t off = static_cast<std::uint32_t>(e0 % kGroup);
    const std::uint64_t block = e0 / kGroup;
    g.leaves = w.enter_marks[block % TreeWorker::kMarkBlocks] >> off;
    if (off != 0) {
      g.leaves |= w.enter_marks[(block + 1) % TreeWorker::kMarkBlocks] << (kGroup - off);
    }
    g.leaves &= group_mask;
  } else {
    const std::uint8_t* const leaving = s.ring + g.o0;
    for (std::uint32_t k = 0; k < g.size; ++k) {
      g.leaves |= static_cast<std::uint64_t>(s.own[leaving[k]]) << k;
    }
  }
  const std::uint32_t off = static_cast<std::uint32_t>(g.j0 % kGroup);  // off + size <= 64
  std::uint64_t& marks = w.enter_marks[(g.j0 / kGroup) % TreeWorker::kMarkBlocks];
  marks = (marks & ~(group_mask << off)) | (g.enters << off);
}

// The stores of the group's steps before `to`.
template <bool storing, bool mirrored, bool blended>
[[gnu::always_inline]] inline void StoreTo(PieceSlide& s, StepGroup& g, std::uint32_t to) {
  std::uint8_t* const ring = s.ring;
  const std::int32_t o0 = g.o0;
  if constexpr (blended) {
    // Slots done..to-1 get their new bytes by whole copies of 16, from
    // done on (or the group's last 16); the slots that this stores too
    // far, from `to` on, get their old bytes back in one more copy.
    std::uint8_t* const slots = ring + o0;
    std::uint32_t at = std::min(g.done, kGroup - kSlotCopy);
    CopySlots(slots + at, g.bytes + at);
    while (at + kSlotCopy < to) {
      at = std::min(at + kSlotCopy, kGroup - kSlotCopy);
      CopySlots(slots + at, g.bytes + at);
    }
    CopySlots(slots + to, g.old + to);
  } else if constexpr (storing) {
    // A few bytes at a time: a call to copy them would cost more.
    for (std::uint32_t k = g.done; k < to; ++k)
      ring[o0 + static_cast<std::int32_t>(k)] = g.bytes[k];
    if constexpr (mirrored) {
      for (std::uint32_t k = g.done; k < to && o0 + static_cast<std::int32_t>(k) < MAX_MATCH - 1;
           ++k) {
        ring[RING_SIZE + o0 + static_cast<std::int32_t>(k)] = g.bytes[k];
      }
    }
  }
  g.done = to;
}

// The removals and stores of the group's steps before `to`.
template <bool storing, bool mirrored, bool blended>
[[gnu::always_inline]] inline void SlideTo(PieceSlide& s, StepGroup& g, std::uint32_t to) {
  const std::uint64_t below = StepsBelow(to);
  for (std::uint64_t todo = g.leaves & below; todo != 0; todo &= todo - 1) {
    const std::int32_t o = g.o0 + std::countr_zero(todo);
    if (s.ring[o] == s.held_tree) s.Flush();
    RemoveNode(s.w, o);
  }
  g.leaves &= ~below;
  StoreTo<storing, mirrored, blended>(s, g, to);
}

// In a blended group, the removals of the steps before `to`, its stores
// left for later. A removal after the held position's step from its tree
// does the held insertion first; one at or before that step just goes
// ahead of it, as in the one-thread order. The tree of a position leaving
// is its byte before the group's stores.
[[gnu::always_inline]] inline void RemoveTo(PieceSlide& s, StepGroup& g, std::uint32_t to) {
  const std::uint64_t below = StepsBelow(to);
  for (std::uint64_t todo = g.leaves & below; todo != 0; todo &= todo - 1) {
    const std::uint32_t k = static_cast<std::uint32_t>(std::countr_zero(todo));
    if (g.old[k] == s.held_tree && g.j0 + k >= s.held) s.Flush();
    RemoveNode(s.w, g.o0 + static_cast<std::int32_t>(k));
  }
  g.leaves &= ~below;
}

// The steps j0 .. j0 + size - 1: `storing`, they store source bytes (the
// source goes on past them); `mirrored`, the group starts the ring, whose
// first slots are mirrored past its end; `blended`, a whole group away
// from the mirror, stored by copies of 16 bytes.
//
// Whether a step takes a position out of an owned tree, or puts one into
// one, is a coin toss for each worker when several share the trees; a
// branch per step on it would be mispredicted at half of the steps. So a
// first pass marks such steps (MarkSteps), and the second goes from marked
// step to marked step: between two insertions, the removals of owned
// positions, then the stores of all the steps in one copy (a removal reads
// no bytes), then the insertion. Each insertion sees the ring as it is at
// its step; positions of other workers' trees cost only their byte's copy.
//
// A blended group stores by copies of 16 bytes before each insertion: the
// new bytes up to the insertion's step in one copy (rarely more), then the
// old bytes from it on in another. A byte loop there would end at a
// different count each time, and mispredict its end. There an insertion
// that finds none held is held at once, with the removals before it left
// for the next one: one pass over the removals for each pair of insertions.
template <bool storing, bool mirrored, bool blended>
[[gnu::always_inline]] inline void SlideGroup(PieceSlide& s, std::uint64_t j0, std::uint32_t size) {
  StepGroup g;  // `old` is filled only where it is used
  g.j0 = j0;
  g.size = size;
  g.o0 = static_cast<std::int32_t>(j0 & RING_MASK);
  g.entering = &s.piece.At(j0 + 1);
  g.bytes = nullptr;
  MarkSteps(s, g);
  if constexpr (storing) g.bytes = &s.piece.At(j0 + MAX_MATCH);
  // The group's slots as they were, and the 16 after them (in the ring, or
  // its mirror for the last group), which are not stored before the next
  // group.
  if constexpr (blended) std::memcpy(g.old, s.ring + g.o0, sizeof g.old);
  for (std::uint64_t todo = g.enters; todo != 0; todo &= todo - 1) {
    const std::uint32_t k = static_cast<std::uint32_t>(std::countr_zero(todo));
    if constexpr (blended) {
      if (s.held == kNoneHeld) {
        StoreTo<storing, mirrored, blended>(s, g, k + 1);
        s.held = j0 + k + 1;
        s.held_tree = g.entering[k];
        continue;
      }
      RemoveTo(s, g, k + 1);
      StoreTo<storing, mirrored, blended>(s, g, k + 1);
    } else {
      SlideTo<storing, mirrored, blended>(s, g, k + 1);
    }
    s.Enter(j0 + k + 1);
  }
  if constexpr (blended) {
    RemoveTo(s, g, size);
    StoreTo<storing, mirrored, blended>(s, g, size);
  } else {
    SlideTo<storing, mirrored, blended>(s, g, size);
  }
}

// The first step of a stream, once the piece allows it: empty trees, the
// ring with the prefilled positions and the look-ahead, the prefilled
// positions entered. False when the piece does not allow it yet, or the
// source is empty.
bool StartStream(TreeWorker& w, const SourcePiece& piece, std::uint64_t visits[256]) {
  const std::uint64_t known = piece.end;
  // The first unit needs the look-ahead full, or the whole source.
  if (!piece.final && known < static_cast<std::uint64_t>(MAX_MATCH)) return false;
  w.started = true;
  ResetTrees(w.ws, w.runs);
  ResetRing(w.ws);
  // Positions in no tree keep empty links (see RemoveNode).
  std::fill(w.ws.left, w.ws.left + RING_SIZE, NO_NODE);
  std::fill(w.ws.right, w.ws.right + RING_SIZE, NO_NODE);
  const std::int32_t first =
      known < static_cast<std::uint64_t>(MAX_MATCH) ? static_cast<std::int32_t>(known) : MAX_MATCH;
  for (std::int32_t s = 0; s < first; ++s) w.ws.ring[RING_START + s] = piece.At(s);
  if (first == 0) return false;
  // The prefilled positions before the look-ahead, nearest first (all in
  // one tree, so one at a time); then the caller enters the look-ahead
  // itself, position 0.
  if (w.own[RING_FILL]) {
    for (std::int32_t k = 1; k <= MAX_MATCH; ++k) InsertOne(w, RING_START - k, nullptr, visits);
  }
  return true;
}

}  // namespace

void TreeWorker::Reset(const bool owned[256]) {
  std::memcpy(own, owned, sizeof own);
  started = false;
  next_step = 0;
  marks_from = kNoMarks;
  short_walks = true;
  visited_total = 0;
  inserts_counted = 0;
}

void TreeWorker::StartFrom(const RingTrees& from, const bool owned[256], std::uint64_t step) {
  Reset(owned);
  started = true;
  next_step = step;
  ResetTrees(ws, runs);
  // Positions in no owned tree keep empty links (see RemoveNode).
  std::fill(ws.left, ws.left + RING_SIZE, NO_NODE);
  std::fill(ws.right, ws.right + RING_SIZE, NO_NODE);
  std::memcpy(ws.ring, from.ring, sizeof ws.ring);
  for (int c = 0; c < kTreeCount; ++c) {
    if (own[c]) CopyLinks(from, ws, c);
  }
}

template <class Fn>
void TreeWorker::ForEachNode(const RingTrees& links, int tree, Fn&& fn) {
  std::int32_t depth = 0;
  const std::int32_t root = links.right[ROOT_BASE + tree];
  if (root != NO_NODE) stack[depth++] = root;
  while (depth > 0) {
    const std::int32_t n = stack[--depth];
    if (links.left[n] != NO_NODE) stack[depth++] = links.left[n];
    if (links.right[n] != NO_NODE) stack[depth++] = links.right[n];
    fn(n);  // after the links are taken: it may clear them
  }
}

void TreeWorker::Take(const TreeWorker& from, int tree) {
  // Walked with this worker's stack: several may take from one at once.
  CopyLinks(from.ws, ws, tree);
  own[tree] = true;
  marks_from = kNoMarks;
  // The index of long runs covers the trees as they were.
  runs.Reset();
}

void TreeWorker::CopyLinks(const RingTrees& from, RingTrees& to, int tree) {
  ForEachNode(from, tree, [&](std::int32_t n) {
    to.parent[n] = from.parent[n];
    to.left[n] = from.left[n];
    to.right[n] = from.right[n];
  });
  to.right[ROOT_BASE + tree] = from.right[ROOT_BASE + tree];
}

void TreeWorker::CopyTree(RingTrees& to, int tree) {
  CopyLinks(ws, to, tree);
}

void TreeWorker::Drop(int tree) {
  // Positions in no tree keep empty links (see RemoveNode).
  ForEachNode(ws, tree, [&](std::int32_t n) {
    ws.parent[n] = NO_NODE;
    ws.left[n] = NO_NODE;
    ws.right[n] = NO_NODE;
  });
  ws.right[ROOT_BASE + tree] = NO_NODE;
  own[tree] = false;
  marks_from = kNoMarks;
  runs.Reset();
}

// Everything the one-thread encoder does to the trees and the ring, in the
// same order, for positions 0 .. PositionsReady(piece) - 1.
//
// Step j drops position j - 4096 (ring slot j mod 4096) from its tree,
// stores source byte j + 18 there and enters position j + 1 (ring slot
// j + 4079 mod 4096). Once the source has ended nothing is stored: the ring
// keeps its old bytes beyond the end, and the last step, which enters
// nothing, is of no use.
//
// The steps go in groups (SlideGroup). A first pass marks the steps of a
// group that touch an owned tree: the position leaving is the one its slot
// holds before the group's stores, and the position entering starts with
// source byte j + 1. The second pass does those steps' operations: before
// each insertion the removals of the steps up to it, then their stores, so
// that every insertion sees the ring as it is at its step. A removal reads
// no bytes, and the byte stored at a step lies in no string in a tree but
// that of the position leaving.
//
// Two insertions into different trees walk side by side. An owned insertion
// is held back until the next one comes; doing it then gives the trees and
// results of doing it at once because nothing in between touches its tree:
// it is done before any removal from its tree, and the bytes stored
// meanwhile lie in no string of that tree until the slide has gone round the
// ring (kMaxHoldSteps).
void RecordMatches(TreeWorker& w, const SourcePiece& piece, MatchRecord* records,
                   std::uint64_t records_begin, std::uint64_t visits[256]) {
  const std::uint64_t known = piece.end;
  // The marks made from here on are under the trees owned now.
  if (w.marks_from == TreeWorker::kNoMarks) w.marks_from = w.next_step;
  PieceSlide s{w, piece, records, records_begin, visits, w.ws.ring, w.own};
  if (!w.started) {
    if (!StartStream(w, piece, visits)) return;
    if (s.own[s.ring[RING_START]]) s.Enter(0);
  }
  const std::uint64_t limit =
      piece.final ? (known > 0 ? known - 1 : 0)
                  : (known > static_cast<std::uint64_t>(MAX_MATCH) ? known - MAX_MATCH : 0);
  const std::uint64_t store_limit =
      std::min(limit, known > static_cast<std::uint64_t>(MAX_MATCH) ? known - MAX_MATCH : 0);
  for (std::uint64_t j0 = w.next_step; j0 < limit;) {
    std::uint32_t size = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(kGroup - (j0 & (kGroup - 1)), limit - j0));
    const bool storing = j0 < store_limit;
    if (storing) size = static_cast<std::uint32_t>(std::min<std::uint64_t>(size, store_limit - j0));
    if (!storing) {
      SlideGroup<false, false, false>(s, j0, size);
    } else if ((j0 & RING_MASK) < static_cast<std::uint64_t>(MAX_MATCH - 1)) {
      SlideGroup<true, true, false>(s, j0, size);
    } else if (size == kGroup) {
      SlideGroup<true, false, true>(s, j0, size);
    } else {
      SlideGroup<true, false, false>(s, j0, size);
    }
    j0 += size;
    // No held insertion may be older than kMaxHoldSteps by the next
    // group's end.
    if (s.held != kNoneHeld && j0 + 1 - s.held >= kMaxHoldSteps - kGroup) s.Flush();
  }
  if (limit > w.next_step) w.next_step = limit;
  // The records of this piece are complete when it returns.
  s.Flush();
}

}  // namespace lzring
