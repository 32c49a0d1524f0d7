// Sharing the 256 match trees out among worker threads by their work.
//
// The work of a tree is about the number of nodes its walks visit; the
// parallel encoder measures it per piece of the source and gives each tree
// to one worker so that the busiest worker has as little as can be had.
// The split never changes the output, only how long it takes.
#ifndef LZRING_CODEC_PARALLEL_TREE_SPLIT_H
#define LZRING_CODEC_PARALLEL_TREE_SPLIT_H

#include <algorithm>
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
  // Trees of no work change no load: they all go, after the others, to
  // the worker with the least.
  std::uint16_t order[kTreeCount];
  int weighed = 0;
  for (int c = 0; c < kTreeCount; ++c) {
    if (weight[c] > 0) order[weighed++] = static_cast<std::uint16_t>(c);
  }
  // Heaviest first, equal weights in tree order: the order of a stable
  // sort, from a sort that needs no memory of its own (the split is made at
  // every piece, and a codec allocates nothing after its first call).
  std::sort(order, order + weighed, [&](std::uint16_t a, std::uint16_t b) {
    return weight[a] > weight[b] || (weight[a] == weight[b] && a < b);
  });
  Weight load[kTreeCount] = {};
  load[0] = base;
  auto least = [&]() {
    unsigned at = 0;
    for (unsigned w = 1; w < workers; ++w) {
      if (load[w] < load[at]) at = w;
    }
    return at;
  };
  for (int k = 0; k < weighed; ++k) {
    const unsigned w = least();
    owner[order[k]] = static_cast<std::uint8_t>(w);
    load[w] += weight[order[k]];
  }
  const auto idle = static_cast<std::uint8_t>(least());
  for (int c = 0; c < kTreeCount; ++c) {
    if (!(weight[c] > 0)) owner[c] = idle;
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

}  // namespace lzring

#endif  // LZRING_CODEC_PARALLEL_TREE_SPLIT_H
