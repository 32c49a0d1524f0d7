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

inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Index of the first byte in 1..17 where strings a and b differ, or
// MAX_MATCH when bytes 1..17 are all equal. Compares eight bytes at a time:
// on a little-endian machine the lowest set bit of the xor is in the first
// differing byte.
inline std::int32_t FirstDifference(const std::uint8_t* a, const std::uint8_t* b) {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint64_t x = Load64(a + 1) ^ Load64(b + 1);
    if (x != 0) return 1 + (std::countr_zero(x) >> 3);
    x = Load64(a + 9) ^ Load64(b + 9);
    if (x != 0) return 9 + (std::countr_zero(x) >> 3);
    return a[17] != b[17] ? 17 : MAX_MATCH;
  } else {
    std::int32_t i = 1;
    while (i < MAX_MATCH && a[i] == b[i]) ++i;
    return i;
  }
}

}  // namespace match_tree_detail

// Enters ring position r (key ring[r..r+17]) into the tree of its first byte
// and reports the best match met on the way: the longest common prefix, the
// node nearest the root winning among equally long ones. A node that equals
// the key in all 18 bytes is older than r and is replaced by it, so no two
// nodes of a tree are ever equal.
inline void InsertString(Workspace& ws, std::int32_t r) {
  using match_tree_detail::FirstDifference;
  const std::uint8_t* const key = ws.ring + r;
  std::int32_t* const left = ws.left;
  std::int32_t* const right = ws.right;
  std::int32_t* const parent = ws.parent;
  std::int32_t p = ROOT_BASE + key[0];
  int cmp = 1;  // the pseudo-node's only child hangs on its right
  std::int32_t best = 0;
  left[r] = NO_NODE;
  right[r] = NO_NODE;

  for (;;) {
    std::int32_t* const link = cmp >= 0 ? &right[p] : &left[p];
    if (*link == NO_NODE) {
      *link = r;
      parent[r] = p;
      ws.best_length = best;
      return;
    }
    p = *link;
    const std::uint8_t* const node = ws.ring + p;
    const std::int32_t i = FirstDifference(key, node);
    if (i > best) {
      best = i;
      ws.best_position = p;
      if (i == MAX_MATCH) break;
    }
    cmp = i < MAX_MATCH ? static_cast<int>(key[i]) - static_cast<int>(node[i]) : 0;
  }

  // Full match: r takes p's place in the tree, and p leaves it.
  ws.best_length = MAX_MATCH;
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
