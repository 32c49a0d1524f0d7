// A structural check of the 256 match trees of a RingTrees, for tests.
//
// CheckTrees walks every tree in order from its root and verifies what the
// encoder relies on: links in range and agreeing in both directions, every
// node in the tree of its first byte, the order by bytes 1..17 (unsigned,
// strictly increasing: no two nodes equal), no node reached twice, exactly
// the expected positions present, and every other position marked as in no
// tree. It returns "" when all holds, else a description of the
// first fault found.
#ifndef LZRING_TESTS_MATCH_TREE_CHECK_H
#define LZRING_TESTS_MATCH_TREE_CHECK_H

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "codec/format.h"
#include "codec/ring_trees.h"

namespace lzring::test {

// Sign of the comparison of the strings at positions a and b over bytes
// 1..17, the order of a tree.
inline int CompareKeys(const RingTrees& ws, std::int32_t a, std::int32_t b) {
  // memcmp compares as unsigned bytes, the order of the trees.
  return std::memcmp(ws.ring + a + 1, ws.ring + b + 1, MAX_MATCH - 1);
}

// Number of leading bytes (0..18) that the strings at a and b share.
inline std::int32_t CommonPrefix(const RingTrees& ws, std::int32_t a, std::int32_t b) {
  const std::uint8_t* const x = ws.ring + a;
  const std::uint8_t* const y = ws.ring + b;
  std::int32_t i = 0;
  while (i < MAX_MATCH && x[i] == y[i]) ++i;
  return i;
}

template <class... Parts>
std::string Describe(const Parts&... parts) {
  std::ostringstream text;
  (text << ... << parts);
  return text.str();
}

// `in_tree[n]` is nonzero when position n is expected in a tree. (Plain
// byte arrays keep the check quick in unoptimised sanitizer builds, where it
// runs after every one of many thousand operations.)
inline std::string CheckTrees(const RingTrees& ws, const std::vector<std::uint8_t>& expected) {
  std::string fault;
  const std::uint8_t* const in_tree = expected.data();
  std::vector<std::uint8_t> seen_store(RING_SIZE, 0);
  std::uint8_t* const seen = seen_store.data();
  std::vector<std::int32_t> stack;
  std::int32_t tree = 0;

  // A link from `from` to `child` must be in range and agree with the
  // child's parent link.
  const auto check_link = [&](std::int32_t from, std::int32_t child, const char* side) {
    if (child < 0 || child >= RING_SIZE) {
      fault = Describe(side, " link of ", from, " is out of range: ", child);
    } else if (ws.parent[child] != from) {
      fault = Describe(side, " child ", child, " of ", from, " has parent ", ws.parent[child]);
    } else if (seen[child]) {
      fault = Describe("node ", child, " is reached twice");
    }
    return fault.empty();
  };
  // Stacks n and its chain of left children, the in-order walk's next steps.
  const auto push_left_chain = [&](std::int32_t n) {
    for (;;) {
      seen[n] = 1;
      if (ws.ring[n] != tree) {
        fault =
            Describe("node ", n, " starts with byte ", int{ws.ring[n]}, " but is in tree ", tree);
        return false;
      }
      stack.push_back(n);
      const std::int32_t child = ws.left[n];
      if (child == NO_NODE) return true;
      if (!check_link(n, child, "left")) return false;
      n = child;
    }
  };

  // An in-order walk of each tree must meet strictly increasing keys.
  for (; tree < 256; ++tree) {
    const std::int32_t root = ws.right[ROOT_BASE + tree];
    if (root == NO_NODE) continue;
    if (!check_link(ROOT_BASE + tree, root, "root") || !push_left_chain(root)) return fault;
    std::int32_t previous = NO_NODE;
    while (!stack.empty()) {
      const std::int32_t n = stack.back();
      stack.pop_back();
      if (previous != NO_NODE && CompareKeys(ws, previous, n) >= 0) {
        return Describe("node ", n, " is not greater than ", previous,
                        ", which comes before it in tree ", tree);
      }
      previous = n;
      const std::int32_t child = ws.right[n];
      if (child != NO_NODE && (!check_link(n, child, "right") || !push_left_chain(child))) {
        return fault;
      }
    }
  }

  for (std::int32_t n = 0; n < RING_SIZE; ++n) {
    if (seen[n] && !in_tree[n]) return Describe("position ", n, " is in a tree but should not be");
    if (!seen[n] && in_tree[n]) return Describe("position ", n, " is missing from the trees");
    if (!seen[n] && ws.parent[n] != NO_NODE) {
      // Else a later removal would unlink a stranger.
      return Describe("position ", n, " is in no tree but has parent ", ws.parent[n]);
    }
  }
  return "";
}

}  // namespace lzring::test

#endif  // LZRING_TESTS_MATCH_TREE_CHECK_H
