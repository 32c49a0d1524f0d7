// The match tree: every ring position in the encoder's window sits in one of
// 256 binary search trees, chosen by the first byte of its 18-byte string and
// ordered by bytes 1..17. Inserting the current position walks its tree and,
// as a side effect, reports the longest string on the walk that shares a
// prefix with it (best_length, best_position).
//
// The shape of each tree, and so which of several equally long matches is
// reported, follows from the exact order of insertions and removals; the
// compressed bytes depend on it, so these operations must not be changed,
// only made faster.
//
// Links are the RingTrees arrays parent, left and right, indexed by ring
// position. NO_NODE (4096) is the null link; parent[NO_NODE] is a sink that
// absorbs writes made for a missing child, so no branch is needed for them.
// Tree c hangs from the pseudo-node ROOT_BASE + c as its right child.
#ifndef LZRING_CODEC_MATCH_TREE_H
#define LZRING_CODEC_MATCH_TREE_H

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

#include "codec/format.h"
#include "codec/ring_trees.h"
#include "codec/run_index.h"

namespace lzring {

// Empties all trees. Child links of nodes are left as they are: InsertString
// sets them before they are read.
inline void ResetTrees(RingTrees& ws) {
  for (std::int32_t c = 0; c < 256; ++c) ws.right[ROOT_BASE + c] = NO_NODE;
  for (std::int32_t n = 0; n < RING_SIZE; ++n) ws.parent[n] = NO_NODE;
}

inline void ResetTrees(RingTrees& ws, RunIndex& index) {
  ResetTrees(ws);
  index.Reset();
}

namespace match_tree_detail {

// Eight bytes as one number whose order is the order of the bytes compared
// one by one as unsigned values, first byte most significant.
inline std::uint64_t Ordered64(const std::uint8_t* p) {
#if defined(__wasm_simd128__)
  // WebAssembly has no byte swap: the compiler spells one out in about
  // twenty shifts and masks, on every node a walk visits. A shuffle of the
  // loaded bytes is one instruction.
  const v128_t v = wasm_v128_load64_zero(p);
  return wasm_u64x2_extract_lane(
      wasm_i8x16_shuffle(v, v, 7, 6, 5, 4, 3, 2, 1, 0, 8, 9, 10, 11, 12, 13, 14, 15), 0);
#else
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
#endif
}

// Compares bytes 1..17 of a node's string with a key held as two ordered
// words and a last byte. Returns the index (1..17) of the first byte that
// differs, or MAX_MATCH when none does; `greater` tells whether the key is
// the greater there. Two words that differ order like their first differing
// byte, and the count of equal leading bits gives its index.
struct Key {
  std::uint64_t head;  // bytes 1..8
  std::uint64_t tail;  // bytes 9..16
  std::uint8_t last;   // byte 17
};

inline Key MakeKey(const std::uint8_t* s) {
  return {Ordered64(s + 1), Ordered64(s + 9), s[17]};
}

inline std::int32_t Compare(const Key& key, const std::uint8_t* node, bool& greater) {
  const std::uint64_t head = Ordered64(node + 1);
  if (head != key.head) {
    greater = key.head > head;
    return 1 + (std::countl_zero(head ^ key.head) >> 3);
  }
  const std::uint64_t tail = Ordered64(node + 9);
  if (tail != key.tail) {
    greater = key.tail > tail;
    return 9 + (std::countl_zero(tail ^ key.tail) >> 3);
  }
  greater = key.last > node[17];
  return key.last != node[17] ? 17 : MAX_MATCH;
}

// Makes the link of node (or pseudo-node) `parent` that leads to `child`
// lead to `replacement` instead.
//
// Which side `child` hangs on is a coin toss, so both links are rewritten,
// each with its old value or the new one, without a branch. A pseudo-node
// has no left link; the sink's left link stands in for it, and nothing
// reads that.
inline void Relink(RingTrees& ws, std::int32_t parent, std::int32_t child,
                   std::int32_t replacement) {
  const std::int32_t left_index = parent < NO_NODE ? parent : NO_NODE;
  const std::int32_t smaller = ws.left[left_index];
  const std::int32_t larger = ws.right[parent];
  ws.left[left_index] = smaller == child ? replacement : smaller;
  ws.right[parent] = larger == child ? replacement : larger;
}

// Puts r in the place of p, whose string equals r's in all 18 bytes; p
// leaves its tree.
template <class Index>
inline void ReplaceNode(RingTrees& ws, Index& index, std::int32_t r, std::int32_t p) {
  index.Replaced(p, r);
  std::int32_t* const left = ws.left;
  std::int32_t* const right = ws.right;
  std::int32_t* const parent = ws.parent;
  parent[r] = parent[p];
  left[r] = left[p];
  right[r] = right[p];
  parent[left[p]] = r;
  parent[right[p]] = r;
  Relink(ws, parent[p], p, r);
  parent[p] = NO_NODE;
  // Empty links for a position in no tree (see RemoveStringAny).
  left[p] = NO_NODE;
  right[p] = NO_NODE;
}

}  // namespace match_tree_detail

namespace match_tree_detail {

// `if_above` when a > b as unsigned numbers, else `otherwise`, without a
// branch: on text the walks' directions are a coin toss, and a branch would
// be mispredicted at half of the nodes.
inline std::int32_t SelectAbove(std::uint64_t a, std::uint64_t b, std::int32_t if_above,
                                std::int32_t otherwise) {
#if defined(__x86_64__) && defined(__GNUC__)
  // Written out because the compiler makes a branch of the conditional, and
  // of a select by mask a chain of four instructions after the comparison;
  // a conditional move is one.
  __asm__("cmpq %[b], %[a]\n\tcmova %[if_above], %[result]"
          : [result] "+r"(otherwise)
          : [a] "r"(a), [b] "r"(b), [if_above] "r"(if_above)
          : "cc");
  return otherwise;
#else
  const std::int32_t mask = -static_cast<std::int32_t>(a > b);
  return (if_above & mask) | (otherwise & ~mask);
#endif
}

// One insertion's walk down its tree, advanced a node at a time so that two
// walks in different trees can run interleaved. Small on purpose: two of
// them and the loop's own values must fit the registers.
struct Walk {
  std::uint64_t head;  // the key's bytes 1..8, ordered
  std::int32_t r;      // the position being inserted
  std::int32_t n;      // the node to visit next
  // Longest prefix shared with a visited node, times 65536, plus the first
  // visited node sharing that much. 0 before any node is visited.
  std::uint32_t best;
  bool hang;  // r is to hang from n, whose link on its side is empty
};

// Starts the insertion of r. Returns true when that is already complete:
// the tree was empty and r is now its root.
inline bool StartWalk(RingTrees& ws, Walk& w, std::int32_t r) {
  w.head = Ordered64(ws.ring + r + 1);
  w.r = r;
  w.best = 0;
  w.hang = false;
  ws.left[r] = NO_NODE;
  ws.right[r] = NO_NODE;
  const std::int32_t root = ROOT_BASE + ws.ring[r];
  w.n = ws.right[root];
  if (w.n != NO_NODE) return false;
  ws.right[root] = r;
  ws.parent[r] = root;
  return true;
}

// Visits node n, counting it in `visited`. Returns true when the insertion
// is complete: r hung from an empty link, or r took the place of a node
// equal in all 18 bytes.
//
// Both child links of n are loaded along with n's bytes, before the
// comparison that picks one of them has finished. The critical path per node
// is then one load of the node's first eight compared bytes, the comparison
// and a conditional move. The order of the differing bytes comes from the
// words, so the bytes themselves are never reloaded.
template <class Index>
inline bool StepWalk(RingTrees& ws, Index& index, Walk& w, std::int32_t& visited) {
  const std::int32_t n = w.n;
  const std::int32_t smaller = ws.left[n];
  const std::int32_t larger = ws.right[n];
  ++visited;
  const std::uint64_t head = Ordered64(ws.ring + n + 1);
  std::uint64_t x = head ^ w.head;
  // Opaque to the compiler, which would otherwise test for equal words on
  // the unswapped bytes, keeping a second copy of the key in a register.
  __asm__("" : "+r"(x));
  std::uint32_t i;
  std::int32_t next;
  if (x != 0) [[likely]] {
    // The usual case, free of branches on the data: a difference in bytes
    // 1..8.
    i = 1 + (static_cast<std::uint32_t>(std::countl_zero(x)) >> 3);
    next = SelectAbove(w.head, head, larger, smaller);
  } else {
    const Key key{w.head, Ordered64(ws.ring + w.r + 9), ws.ring[w.r + 17]};
    bool greater;
    i = static_cast<std::uint32_t>(Compare(key, ws.ring + n, greater));
    if (i == MAX_MATCH) {  // longer than anything met before
      w.best = (MAX_MATCH << 16) | static_cast<std::uint32_t>(n);
      ReplaceNode(ws, index, w.r, n);
      return true;
    }
    next = greater ? larger : smaller;
  }
  // Longer than the best exactly when i x 65536 exceeds the packed best.
  const std::uint32_t candidate = (i << 16) | static_cast<std::uint32_t>(n);
  w.best = (i << 16) > w.best ? candidate : w.best;
  if (next == NO_NODE) {
    w.hang = true;
    return true;
  }
  w.n = next;
  return false;
}

// Completes a walk: hangs r from the empty link it ended at, if any, and
// stores the result; an empty tree leaves best_position as it was.
//
// The side is compared anew rather than carried through every step. It is
// a coin toss on text, so both links are stored: the link on the side taken
// is NO_NODE, and adding r - NO_NODE to it, and 0 to the other, gives both
// without a branch.
template <class Index>
inline void Report(RingTrees& ws, Index& index, const Walk& w) {
  if (w.hang) {
    const std::int32_t n = w.n;
    const std::uint64_t head = Ordered64(ws.ring + n + 1);
    bool greater = w.head > head;
    if (head == w.head) {
      const Key key{w.head, Ordered64(ws.ring + w.r + 9), ws.ring[w.r + 17]};
      Compare(key, ws.ring + n, greater);
    }
    const std::int32_t to_r = w.r - NO_NODE;
    const std::int32_t on_right = -static_cast<std::int32_t>(greater);
    ws.left[n] += to_r & ~on_right;
    ws.right[n] += to_r & on_right;
    ws.parent[w.r] = n;
    index.Hung(n, w.r, greater);
  }
  const std::int32_t length = static_cast<std::int32_t>(w.best >> 16);
  ws.best_length = length;
  if (length > 0) ws.best_position = static_cast<std::int32_t>(w.best & 0xFFFF);
}

}  // namespace match_tree_detail

// InsertString (below), returning the number of nodes visited, and keeping
// `index` up to date with the tree.
template <class Index>
inline std::int32_t InsertStringCounted(RingTrees& ws, Index& index, std::int32_t r) {
  using namespace match_tree_detail;
  Walk w;
  std::int32_t visited = 0;
  if (!StartWalk(ws, w, r)) {
    while (!StepWalk(ws, index, w, visited)) {
    }
  }
  Report(ws, index, w);
  return visited;
}

inline std::int32_t InsertStringCounted(RingTrees& ws, std::int32_t r) {
  NoRunIndex none;
  return InsertStringCounted(ws, none, r);
}

// Enters ring position r (key ring[r..r+17]) into the tree of its first byte
// and reports the best match met on the way: the longest common prefix, the
// node nearest the root winning among equally long ones. A node that equals
// the key in all 18 bytes is older than r and is replaced by it, so no two
// nodes of a tree are ever equal.
template <class Index>
inline void InsertString(RingTrees& ws, Index& index, std::int32_t r) {
  InsertStringCounted(ws, index, r);
}

inline void InsertString(RingTrees& ws, std::int32_t r) {
  InsertStringCounted(ws, r);
}

// Inserts r1 and then r2, whose first bytes differ, with the same result as
// InsertString(r1) followed by InsertString(r2). Trees never share nodes, so
// the two walks are independent; interleaving them lets the memory loads of
// one overlap those of the other. Returns the number of nodes visited; the
// result of r1's insertion alone goes to `first_length` and `first_position`
// when given, and the nodes its walk visited to `first_visits`.
//
// That pays where walks wait on memory (short walks over nodes scattered in
// the ring, as in text). Long walks down chain-like trees go faster with
// InsertStringChainPair.
template <class Index>
inline std::int32_t InsertStringPair(RingTrees& ws, Index& index, std::int32_t r1, std::int32_t r2,
                                     std::int32_t* first_length = nullptr,
                                     std::int32_t* first_position = nullptr,
                                     std::int32_t* first_visits = nullptr) {
  using namespace match_tree_detail;
  Walk a;
  Walk b;
  bool a_done = StartWalk(ws, a, r1);
  bool b_done = StartWalk(ws, b, r2);
  // One counter unless the walks are to be told apart: where the call is
  // built in with no `first_visits`, the second is the first.
  std::int32_t visited = 0;
  std::int32_t b_visited = 0;
  std::int32_t& b_count = first_visits != nullptr ? b_visited : visited;
  while (!a_done && !b_done) {
    a_done = StepWalk(ws, index, a, visited);
    b_done = StepWalk(ws, index, b, b_count);
  }
  while (!a_done) a_done = StepWalk(ws, index, a, visited);
  while (!b_done) b_done = StepWalk(ws, index, b, b_count);
  Report(ws, index, a);
  if (first_length != nullptr) {
    *first_length = ws.best_length;
    *first_position = ws.best_position;
  }
  Report(ws, index, b);
  if (first_visits != nullptr) *first_visits = visited;
  return visited + b_visited;
}

inline std::int32_t InsertStringPair(RingTrees& ws, std::int32_t r1, std::int32_t r2,
                                     std::int32_t* first_length = nullptr,
                                     std::int32_t* first_position = nullptr) {
  NoRunIndex none;
  return InsertStringPair(ws, none, r1, r2, first_length, first_position);
}

namespace match_tree_detail {

// A walk down a chain-like tree, where the direction taken at each node is
// nearly always the same. A predicted branch then lets the next link load
// start before the comparison that decides it has finished, so the critical
// path per node is the link load alone; choosing the child without a branch
// would wait for the node's bytes too.
//
// A node differing from the key in bytes 1..8 is longer than the best so far
// exactly when the xor of the two words is at most `below` (at least
// 8 x best leading zero bits), so the length itself is worked out only for a
// new best. Any node beats a best of 0, even one that differs in every bit.
// Once a node matches 9 bytes or more, `below` is 0 and the length is kept
// in `long_best`.
struct ChainWalk {
  std::int32_t* link;          // the link to follow next
  std::uint64_t head;          // the key's bytes 1..8, ordered
  std::uint64_t below;         // see above; all ones until a node is met
  std::int32_t best_position;  // the first node sharing the longest prefix
  std::int32_t long_best;      // a match of 9..17 bytes, once one is met
  std::int32_t r;              // the position being inserted
  std::int32_t skipped;        // nodes passed by SkipRun without a visit
};

[[gnu::always_inline]] inline void StartChainWalk(RingTrees& ws, ChainWalk& w, std::int32_t r) {
  w.link = ws.right + ROOT_BASE + ws.ring[r];
  w.head = Ordered64(ws.ring + r + 1);
  w.below = ~std::uint64_t{0};
  w.best_position = 0;
  w.long_best = 0;
  w.r = r;
  w.skipped = 0;
  ws.left[r] = NO_NODE;
  ws.right[r] = NO_NODE;
}

// The `below` of a best whose bytes 1..8 differ from the key's by x != 0.
inline std::uint64_t BelowFor(std::uint64_t x) {
  return (~std::uint64_t{0} >> (std::countl_zero(x) & ~7)) >> 8;
}

inline Key KeyOf(const RingTrees& ws, const ChainWalk& w) {
  return {w.head, Ordered64(ws.ring + w.r + 9), ws.ring[w.r + 17]};
}

// Moves a walk that has just gone right (kRight) or left at node x, a member
// of an indexed run of that kind, down the run at once: to the last member
// the walk would pass the same way, from which it goes on. Down a right run
// the members passed are all below the key and their shared prefixes with it
// never shrink (for strings a < b < key, the prefix a shares with key is no
// longer than b's); a left run is the mirror image. So the best over them is
// the first that shares as much as the last; visiting that one gives the
// walk the best that visiting them all would.
template <bool kRight>
inline void SkipRun(RingTrees& ws, const RunSet& set, ChainWalk& w, std::int32_t x) {
  const RunSet::Run& run = set.RunOf(x);
  const std::uint32_t k = set.index_of[x];
  const std::uint32_t last = run.Last();
  // Below a few members a search costs more than the walk.
  constexpr std::uint32_t kMinSkip = 4;
  if (last - k < kMinSkip) return;
  const Key key = KeyOf(ws, w);
  const std::uint8_t* const ring = ws.ring;
  // Whether the walk passes member i the same way as x.
  auto passes = [&](std::uint32_t i) {
    bool greater;
    const std::int32_t length = Compare(key, ring + run.At(i), greater);
    if constexpr (kRight) return greater;  // false for an equal node
    return !greater && length != MAX_MATCH;
  };
  auto shared = [&](std::uint32_t i) {
    bool greater;
    return Compare(key, ring + run.At(i), greater);
  };
  // The last member passed: members k..to are, the rest are not. A string
  // greater (smaller) than all before it passes the whole run, so the last
  // member is tried first.
  std::uint32_t to = last;
  if (!passes(last)) {
    to = k;
    for (std::uint32_t size = last - k; size > 1;) {
      const std::uint32_t half = size / 2;
      to = passes(to + half) ? to + half : to;
      size -= half;
    }
    if (to == k) return;
  }
  const std::int32_t length = shared(to);
  const std::int32_t best = w.long_best > 0 ? w.long_best : std::countl_zero(w.below) >> 3;
  if (length > best) {
    // The first member after k sharing `length` bytes.
    std::uint32_t from = k + 1;
    for (std::uint32_t size = to - k; size > 1;) {
      const std::uint32_t half = size / 2;
      from = shared(from + half - 1) >= length ? from : from + half;
      size -= half;
    }
    w.best_position = run.At(from);
    if (length > 8) {
      w.long_best = length;
      w.below = 0;
    } else {
      w.below = length < 8 ? ~std::uint64_t{0} >> (8 * length) : 0;
    }
  }
  w.link = (kRight ? ws.right : ws.left) + run.At(to);
  w.skipped += static_cast<std::int32_t>(to - k);
}

// After the walk has gone right (kRight) or left at x: crosses x's run of
// that kind, if it has one.
template <bool kRight>
inline void CrossRun(RingTrees& ws, RunIndex& index, ChainWalk& w, std::int32_t x) {
  const RunSet& set = kRight ? index.right : index.left;
  if (set.Indexed(x)) [[unlikely]]
    SkipRun<kRight>(ws, set, w, x);
}

template <bool kRight>
inline void CrossRun(RingTrees&, NoRunIndex&, ChainWalk&, std::int32_t) {}

template <class Index>
inline void FollowChain(RingTrees& ws, Index& index, ChainWalk& w, const std::uint64_t head,
                        std::int32_t next) {
  if (w.head > head) {
    w.link = ws.right + next;
    // Keeps this a branch: without it the compiler selects the link
    // without one, which puts the comparison back on the critical path.
    __asm__ volatile("");
    CrossRun<true>(ws, index, w, next);
  } else {
    w.link = ws.left + next;
    CrossRun<false>(ws, index, w, next);
  }
}

// Visits node `next`, which equals the key in bytes 1..8. Returns false,
// leaving the walk as it was, when it equals the key in all 18 bytes.
template <class Index>
inline bool StepEqualHead(RingTrees& ws, Index& index, ChainWalk& w, std::int32_t next) {
  bool greater;
  const std::int32_t i = Compare(KeyOf(ws, w), ws.ring + next, greater);
  if (i == MAX_MATCH) return false;
  if (i > w.long_best) {
    w.long_best = i;
    w.best_position = next;
    w.below = 0;  // no difference in bytes 1..8 beats a match of 9 or more
  }
  if (greater) {
    w.link = ws.right + next;
    CrossRun<true>(ws, index, w, next);
  } else {
    w.link = ws.left + next;
    CrossRun<false>(ws, index, w, next);
  }
  return true;
}

// Visits the next node. Returns false, leaving the walk as it was, when the
// walk is over: the link is empty, or its node equals the key in all 18
// bytes. FinishChainWalk then completes the insertion.
template <class Index>
[[gnu::always_inline]] inline bool StepChainWalk(RingTrees& ws, Index& index, ChainWalk& w) {
  const std::int32_t next = *w.link;
  if (next == NO_NODE) return false;
  const std::uint64_t head = Ordered64(ws.ring + next + 1);
  const std::uint64_t x = head ^ w.head;
  if (x == 0) [[unlikely]]
    return StepEqualHead(ws, index, w, next);
  if (x <= w.below) {
    w.best_position = next;
    w.below = BelowFor(x);
  }
  FollowChain(ws, index, w, head, next);
  return true;
}

// Walks on to the end and completes the insertion; returns the number of
// nodes visited, not counting those skipped.
template <class Index>
inline std::int32_t FinishChainWalk(RingTrees& ws, Index& index, ChainWalk& w) {
  std::int32_t visited = 0;
  while (StepChainWalk(ws, index, w)) ++visited;
  const std::int32_t r = w.r;
  const std::int32_t next = *w.link;
  if (next != NO_NODE) {
    // Equal in all 18 bytes: r takes the node's place.
    ws.best_length = MAX_MATCH;
    ws.best_position = next;
    ReplaceNode(ws, index, r, next);
    return visited + 1;
  }
  *w.link = r;
  // The link belongs to the node last visited (or to a tree's root).
  const bool on_right = w.link >= ws.right && w.link < ws.right + RIGHT_COUNT;
  const std::int32_t n = static_cast<std::int32_t>(on_right ? w.link - ws.right : w.link - ws.left);
  ws.parent[r] = n;
  index.Hung(n, r, on_right);
  // `below` has 8 x (8 - best) one bits while the best is 0..8 bytes long.
  const std::int32_t best = w.long_best > 0 ? w.long_best : std::countl_zero(w.below) >> 3;
  ws.best_length = best;
  if (best > 0) ws.best_position = w.best_position;
  return visited;
}

}  // namespace match_tree_detail

// InsertStringCounted for long walks down chain-like trees; same result and
// same trees as InsertString. The nodes skipped through `index` count as
// visited.
template <class Index>
inline std::int32_t InsertStringChain(RingTrees& ws, Index& index, std::int32_t r) {
  using namespace match_tree_detail;
  ChainWalk w;
  StartChainWalk(ws, w, r);
  const std::int32_t steps = FinishChainWalk(ws, index, w);
  index.AfterWalk(ws, r, steps);
  return steps + w.skipped;
}

inline std::int32_t InsertStringChain(RingTrees& ws, std::int32_t r) {
  NoRunIndex none;
  return InsertStringChain(ws, none, r);
}

// InsertStringPair for long walks down chain-like trees: both walks advance
// in step until one of them is over, so the two link-load chains overlap and
// a pair costs little more than one walk. Same result as
// InsertStringChain(r1) followed by InsertStringChain(r2), given that their
// first bytes differ; returns the nodes visited (r1's walk alone to
// `first_visits` when given).
template <class Index>
inline std::int32_t InsertStringChainPair(RingTrees& ws, Index& index, std::int32_t r1,
                                          std::int32_t r2, std::int32_t* first_length,
                                          std::int32_t* first_position,
                                          std::int32_t* first_visits = nullptr) {
  using namespace match_tree_detail;
  ChainWalk a;
  ChainWalk b;
  StartChainWalk(ws, a, r1);
  StartChainWalk(ws, b, r2);
  std::int32_t in_step = 0;  // steps each walk took in step with the other
  std::int32_t a_ahead = 0;  // 1 when a took one more
  for (;;) {
    if (!StepChainWalk(ws, index, a)) break;
    if (!StepChainWalk(ws, index, b)) {
      a_ahead = 1;
      break;
    }
    ++in_step;
  }
  const std::int32_t a_steps = in_step + a_ahead + FinishChainWalk(ws, index, a);
  *first_length = ws.best_length;
  *first_position = ws.best_position;
  const std::int32_t b_steps = in_step + FinishChainWalk(ws, index, b);
  index.AfterWalk(ws, r1, a_steps);
  index.AfterWalk(ws, r2, b_steps);
  if (first_visits != nullptr) *first_visits = a_steps + a.skipped;
  return a_steps + b_steps + a.skipped + b.skipped;
}

inline std::int32_t InsertStringChainPair(RingTrees& ws, std::int32_t r1, std::int32_t r2,
                                          std::int32_t* first_length,
                                          std::int32_t* first_position) {
  NoRunIndex none;
  return InsertStringChainPair(ws, none, r1, r2, first_length, first_position);
}

// Which walk an encoder uses: the branchless ones (InsertStringPair) while
// its insertions visit fewer than this many nodes on average, the chain
// walks (InsertStringChainPair) with the run index from there on. Pairing
// branchless walks overlaps the memory waits of short walks; long walks
// down chains run faster on predicted branches and only get more
// instructions from pairing. Text averages about 9 nodes and chain-like
// data over 100, so a value well between the two keeps each on its own
// side. The one-thread encoder and the tree workers judge by this one
// value; only the speed depends on it.
inline constexpr std::int32_t kShortWalkNodes = 24;

// Takes ring position p out of its tree. A node with two children is
// replaced by the rightmost node of its left subtree.
//
// Also right for a p in no tree whose child links are both NO_NODE: it then
// takes the path of a leaf with no parent, whose writes all land in the
// sink entries (parent[NO_NODE], left[NO_NODE], right[NO_NODE]) that
// nothing reads, and changes no tree. A caller that keeps the links of such
// positions empty can remove without testing first.
template <class Index>
inline void RemoveStringAny(RingTrees& ws, Index& index, std::int32_t p) {
  std::int32_t* const left = ws.left;
  std::int32_t* const right = ws.right;
  std::int32_t* const parent = ws.parent;
  const std::int32_t smaller = left[p];
  const std::int32_t larger = right[p];
  std::int32_t q;
  // "At most one child" in one test, where two would each be mispredicted:
  // of all link values only NO_NODE (4096) has that bit set.
  static_assert(NO_NODE == RING_SIZE && (RING_SIZE & RING_MASK) == 0);
  if (((smaller | larger) & NO_NODE) != 0) {
    // The only child takes p's place; a leaf leaves an empty link. With
    // one link NO_NODE, the sum less NO_NODE is the other (a select the
    // compiler would make a branch).
    q = smaller + larger - NO_NODE;
    index.Closed(p);
  } else {
    // The rightmost node of the left subtree takes p's place.
    q = smaller;
    while (right[q] != NO_NODE) q = right[q];
    if (q != smaller) {
      right[parent[q]] = left[q];
      parent[left[q]] = parent[q];
      left[q] = smaller;
      parent[smaller] = q;
    }
    right[q] = larger;
    parent[larger] = q;
    index.Moved(q, p);
  }
  parent[q] = parent[p];
  match_tree_detail::Relink(ws, parent[p], p, q);
  parent[p] = NO_NODE;
}

// Takes ring position p out of its tree; does nothing when p is in none.
template <class Index>
inline void RemoveString(RingTrees& ws, Index& index, std::int32_t p) {
  if (ws.parent[p] == NO_NODE) return;
  RemoveStringAny(ws, index, p);
}

inline void RemoveString(RingTrees& ws, std::int32_t p) {
  NoRunIndex none;
  RemoveString(ws, none, p);
}

}  // namespace lzring

#endif  // LZRING_CODEC_MATCH_TREE_H
