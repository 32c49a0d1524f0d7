// The work each match tree is expected to take on a piece of source, from
// its bytes alone, before any walk has been measured: what the thread
// policy decides from when the workers have not run yet.
//
// A tree's work is its insertions times the depth of its walks, and the
// depth grows with the nodes the tree holds. Those are at most its share of
// the window's positions, but fewer where the source repeats itself: a
// string met again replaces the older node, so a source with a short period
// (an alphabet over and over, a table of equal records) keeps its trees
// tiny and its walks a node long, whatever its byte counts say. So the
// nodes of each tree are counted in one window of the piece, as the distinct
// strings that start with its byte.
#ifndef LZRING_CODEC_PARALLEL_TREE_ESTIMATE_H
#define LZRING_CODEC_PARALLEL_TREE_ESTIMATE_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/format.h"
#include "codec/parallel/thread_policy.h"
#include "codec/parallel/tree_split.h"

namespace lzring {

// The insertions each tree is to have among data[0, size): the count of
// each byte value, from every fourth byte of a long piece, which tells the
// shares well enough. Four tables, so that a run of one value does not
// make each count wait for the one before.
inline void CountTreeBytes(const std::uint8_t* data, std::size_t size,
                           std::uint64_t count[kTreeCount]) {
  std::uint32_t part[4][kTreeCount] = {};
  std::size_t i = 0;
  if (size >= kSampledCountFrom) {
    for (; i + 16 <= size; i += 16) {
      ++part[0][data[i]];
      ++part[1][data[i + 4]];
      ++part[2][data[i + 8]];
      ++part[3][data[i + 12]];
    }
  } else {
    for (; i + 4 <= size; i += 4) {
      ++part[0][data[i]];
      ++part[1][data[i + 1]];
      ++part[2][data[i + 2]];
      ++part[3][data[i + 3]];
    }
    for (; i < size; ++i) ++part[0][data[i]];
  }
  for (int c = 0; c < kTreeCount; ++c) {
    count[c] = std::uint64_t{part[0][c]} + part[1][c] + part[2][c] + part[3][c];
  }
}

// The slots of the table that counts the window's strings (kCensusPositions
// in thread_policy.h): twice as many, so that probes stay short.
inline constexpr std::size_t kCensusSlots = 2 * kCensusPositions;

// The nodes counted in a window: the distinct strings of each tree, and
// the window's positions of each tree.
struct TreeCensus {
  std::uint32_t distinct[kTreeCount] = {};
  std::uint32_t positions[kTreeCount] = {};
  std::uint32_t window = 0;  // positions counted
};

// Counts, among the positions of up to kCensusPositions from the middle of
// data[0, size), the distinct strings of 16 bytes that start with each byte
// value. Strings are told apart by 32-bit fingerprints: among 4096 of them
// two collide in about one call of 500, and then one node goes uncounted.
// Strings longer than 16 bytes that differ only beyond them count as one
// too: slight underestimates, where only the order of magnitude matters.
inline TreeCensus CountTreeNodes(const std::uint8_t* data, std::size_t size) {
  constexpr std::size_t kKey = 16;
  TreeCensus census;
  if (size < kKey) return census;
  const std::size_t window = std::min(size - kKey + 1, kCensusPositions);
  const std::uint8_t* const first = data + (size - kKey + 1 - window) / 2;
  // 32 KiB, on the stack: the call that needs it is short and rare.
  std::uint32_t slots[kCensusSlots] = {};
  for (std::size_t i = 0; i < window; ++i) {
    std::uint64_t a;
    std::uint64_t b;
    std::memcpy(&a, first + i, sizeof a);
    std::memcpy(&b, first + i + 8, sizeof b);
    // A multiplicative mix of both words; its top bits pick the slot, the
    // next 32 (never 0, which marks an empty slot) are the fingerprint.
    const std::uint64_t f = (a * 0x9E3779B97F4A7C15u) ^ (b * 0xC2B2AE3D27D4EB4Fu);
    const std::uint64_t h = f ^ (f >> 29);
    const std::uint32_t print = static_cast<std::uint32_t>(h >> 13) | 1;
    std::size_t s = static_cast<std::size_t>(h >> 51) & (kCensusSlots - 1);
    while (slots[s] != 0 && slots[s] != print) s = (s + 1) & (kCensusSlots - 1);
    const std::uint8_t tree = first[i];
    ++census.positions[tree];
    if (slots[s] == 0) {
      slots[s] = print;
      ++census.distinct[tree];
    }
  }
  census.window = static_cast<std::uint32_t>(window);
  return census;
}

// Work expected of each tree from the byte counts of a piece: its
// insertions times the depth of a random binary tree holding its nodes.
// Those are its share of the 4079 positions of the window, or, for a tree
// that `census` met, at most the distinct strings counted there (scaled to
// a full window).
inline void EstimateTreeWork(const std::uint64_t count[kTreeCount], const TreeCensus& census,
                             std::uint64_t weight[kTreeCount]) {
  constexpr double kWindow = RING_SIZE - (MAX_MATCH - 1);
  std::uint64_t total = 0;
  for (int c = 0; c < kTreeCount; ++c) total += count[c];
  for (int c = 0; c < kTreeCount; ++c) {
    if (count[c] == 0) {
      weight[c] = 0;
      continue;
    }
    double nodes = kWindow * static_cast<double>(count[c]) / static_cast<double>(total);
    if (census.positions[c] > 0) {
      nodes = std::min(nodes, kWindow * census.distinct[c] / census.window);
    }
    weight[c] =
        static_cast<std::uint64_t>(static_cast<double>(count[c]) *
                                   (kWalkBaseNodes + kWalkNodesPerLevel * std::log2(1.0 + nodes)));
  }
}

}  // namespace lzring

#endif  // LZRING_CODEC_PARALLEL_TREE_ESTIMATE_H
