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
// Links are the Workspace arrays parent, left and right, indexed by ring
// position. NO_NODE (4096) is the null link; parent[NO_NODE] is a sink that
// absorbs writes made for a missing child, so no branch is needed for them.
// Tree c hangs from the pseudo-node ROOT_BASE + c as its right child.
#ifndef LZRING_CODEC_MATCH_TREE_H
#define LZRING_CODEC_MATCH_TREE_H

#include <bit>
#include <cstdint>
#include <cstring>

#include "api/workspace.h"
#include "codec/format.h"

namespace lzring {

// Empties all trees. Child links of nodes are left as they are: InsertString
// sets them before they are read.
inline void ResetTrees(Workspace& ws) {
  for (std::int32_t c = 0; c < 256; ++c) ws.right[ROOT_BASE + c] = NO_NODE;
  for (std::int32_t n = 0; n < RING_SIZE; ++n) ws.parent[n] = NO_NODE;
}

namespace match_tree_detail {

// Eight bytes as one number whose order is the order of the bytes compared
// one by one as unsigned values, first byte most significant.
inline std::uint64_t Ordered64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) v = __builtin_bswap64(v);
  return v;
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

// Puts r in the place of p, whose string equals r's in all 18 bytes; p
// leaves its tree.
inline void ReplaceNode(Workspace& ws, std::int32_t r, std::int32_t p) {
  std::int32_t* const left = ws.left;
  std::int32_t* const right = ws.right;
  std::int32_t* const parent = ws.parent;
  parent[r] = parent[p];
  left[r] = left[p];
  right[r] = right[p];
  parent[left[p]] = r;
  parent[right[p]] = r;
  if (right[parent[p]] == p) {
    right[parent[p]] = r;
  } else {
    left[parent[p]] = r;
  }
  parent[p] = NO_NODE;
}

}  // namespace match_tree_detail

// Enters ring position r (key ring[r..r+17]) into the tree of its first byte
// and reports the best match met on the way: the longest common prefix, the
// node nearest the root winning among equally long ones. A node that equals
// the key in all 18 bytes is older than r and is replaced by it, so no two
// nodes of a tree are ever equal.
//
// The walk's critical path is one load of the node's first eight compared
// bytes and one load of the chosen child link per node; the key's bytes are
// loaded once, and the differing bytes' order comes from the words, so the
// bytes themselves are never reloaded.
inline void InsertString(Workspace& ws, std::int32_t r) {
  using namespace match_tree_detail;
  const std::uint8_t* const ring = ws.ring;
  const Key key = MakeKey(ring + r);
  std::int32_t* const left = ws.left;
  std::int32_t* const right = ws.right;
  std::int32_t p = ROOT_BASE + ring[r];
  std::int32_t* side = right;  // the pseudo-node's only child hangs on its right
  std::int32_t best = 0;
  std::int32_t best_position = ws.best_position;
  left[r] = NO_NODE;
  right[r] = NO_NODE;

  for (;;) {
    const std::int32_t next = side[p];
    if (next == NO_NODE) {
      side[p] = r;
      ws.parent[r] = p;
      ws.best_length = best;
      ws.best_position = best_position;
      return;
    }
    p = next;
    const std::uint64_t head = Ordered64(ring + p + 1);
    std::int32_t i;
    bool greater;
    if (head != key.head) [[likely]] {
      // The usual case, kept free of branches on the data: a difference in
      // bytes 1..8.
      i = 1 + (std::countl_zero(head ^ key.head) >> 3);
      greater = key.head > head;
    } else {
      i = Compare(key, ring + p, greater);
      if (i == MAX_MATCH) break;  // longer than anything met before
    }
    const bool longer = i > best;
    best = longer ? i : best;
    best_position = longer ? p : best_position;
    side = greater ? right : left;
  }
  ws.best_length = MAX_MATCH;
  ws.best_position = p;
  ReplaceNode(ws, r, p);
}

// Takes ring position p out of its tree; does nothing when p is in none.
// A node with two children is replaced by the rightmost node of its left
// subtree.
inline void RemoveString(Workspace& ws, std::int32_t p) {
  std::int32_t* const left = ws.left;
  std::int32_t* const right = ws.right;
  std::int32_t* const parent = ws.parent;
  if (parent[p] == NO_NODE) return;

  std::int32_t q;
  if (right[p] == NO_NODE) {
    q = left[p];
  } else if (left[p] == NO_NODE) {
    q = right[p];
  } else {
    q = left[p];
    if (right[q] != NO_NODE) {
      while (right[q] != NO_NODE) q = right[q];
      right[parent[q]] = left[q];
      parent[left[q]] = parent[q];
      left[q] = left[p];
      parent[left[p]] = q;
    }
    right[q] = right[p];
    parent[right[p]] = q;
  }
  parent[q] = parent[p];
  if (right[parent[p]] == p) {
    right[parent[p]] = q;
  } else {
    left[parent[p]] = q;
  }
  parent[p] = NO_NODE;
}

}  // namespace lzring

#endif  // LZRING_CODEC_MATCH_TREE_H
