// Sharing the 256 match trees out among worker threads by their work.
//
// The work of a tree is about the number of nodes its walks visit; the
// parallel encoder measures it per piece of the source and gives each tree
// to one worker so that the busiest worker has as little as can be had.
// The split never changes the output, only how long it takes.
#ifndef LZRING_CODEC_TREE_SPLIT_H
#define LZRING_CODEC_TREE_SPLIT_H

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace lzring {

inline constexpr int kTreeCount = 256;

// Gives each tree to a worker, heaviest tree first to the worker with the
// least work so far (never worse than 4/3 of the best split), and returns
// the work of the busiest worker. Worker 0 starts with `base` work of its
// own (the coding thread's coding). Ties go to the lower numbered worker
// and the lower numbered tree, so the same weights always give the same
// split.
template <class Weight>
Weight SplitTrees(const Weight weight[kTreeCount], unsigned workers, std::uint8_t owner[kTreeCount],
                  Weight base = 0) {
  std::uint16_t order[kTreeCount];
  for (int c = 0; c < kTreeCount; ++c) order[c] = static_cast<std::uint16_t>(c);
  std::stable_sort(order, order + kTreeCount,
                   [&](std::uint16_t a, std::uint16_t b) { return weight[a] > weight[b]; });
  Weight load[kTreeCount] = {};
  load[0] = base;
  for (const std::uint16_t c : order) {
    unsigned least = 0;
    for (unsigned w = 1; w < workers; ++w) {
      if (load[w] < load[least]) least = w;
    }
    owner[c] = static_cast<std::uint8_t>(least);
    load[least] += weight[c];
  }
  return *std::max_element(load, load + workers);
}

// The work of the busiest worker under a given split, worker 0 with `base`
// besides.
template <class Weight>
Weight BusiestLoad(const Weight weight[kTreeCount], unsigned workers,
                   const std::uint8_t owner[kTreeCount], Weight base = 0) {
  Weight load[kTreeCount] = {};
  load[0] = base;
  for (int c = 0; c < kTreeCount; ++c) load[owner[c]] += weight[c];
  return *std::max_element(load, load + workers);
}

// The best speed-up that any split among `workers` could give: the total
// work over the larger of the heaviest tree and an even share, since no
// tree can be split.
inline double SplitCeiling(const std::uint64_t weight[kTreeCount], unsigned workers) {
  std::uint64_t total = 0;
  std::uint64_t heaviest = 0;
  for (int c = 0; c < kTreeCount; ++c) {
    total += weight[c];
    heaviest = std::max(heaviest, weight[c]);
  }
  if (total == 0) return 1.0;
  const double even = static_cast<double>(total) / workers;
  return static_cast<double>(total) / std::max(even, static_cast<double>(heaviest));
}

// Work expected of each tree from the bytes of a piece of source before any
// has been measured: its insertions times the depth of a random binary
// tree holding its share of the 4079 positions of the window.
inline void EstimateTreeWork(const std::uint64_t count[kTreeCount],
                             std::uint64_t weight[kTreeCount]) {
  std::uint64_t total = 0;
  for (int c = 0; c < kTreeCount; ++c) total += count[c];
  for (int c = 0; c < kTreeCount; ++c) {
    if (count[c] == 0) {
      weight[c] = 0;
      continue;
    }
    const double nodes = 4079.0 * static_cast<double>(count[c]) / static_cast<double>(total);
    weight[c] = static_cast<std::uint64_t>(static_cast<double>(count[c]) *
                                           (2.0 + 1.39 * std::log2(1.0 + nodes)));
  }
}

}  // namespace lzring

#endif  // LZRING_CODEC_TREE_SPLIT_H
