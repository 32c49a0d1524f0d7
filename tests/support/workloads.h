// Generated inputs that make the match trees deep: data whose strings keep
// increasing (or decreasing), so that each new position lands at the far end
// of a long chain of nodes with the same first byte, or that zigzag down
// ever deeper paths. Used by the benchmark's worst-case rows and by the
// tests.
#ifndef LZRING_BENCH_WORKLOADS_H
#define LZRING_BENCH_WORKLOADS_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace lzring::workloads {

// n bytes of text records: `format` filled with number(k), for k = 0, 1,
// 2, ... (`format` takes one unsigned long long).
template <class Number>
std::vector<std::uint8_t> Records(std::size_t n, const char* format, Number number) {
  std::vector<std::uint8_t> out;
  out.reserve(n + 40);
  char line[40];
  for (unsigned long long k = 0; out.size() < n; ++k) {
    const int len = std::snprintf(line, sizeof line, format, number(k));
    out.insert(out.end(), line, line + len);
  }
  out.resize(n);
  return out;
}

// Sorted fixed-width text records: "key=0000000000\n", counting up.
inline std::vector<std::uint8_t> SortedRecords(std::size_t n) {
  return Records(n, "key=%010llu\n", [](unsigned long long k) { return k; });
}

// The same records counting down: chains of left links instead.
inline std::vector<std::uint8_t> DescendingRecords(std::size_t n) {
  return Records(n, "key=%010llu\n", [](unsigned long long k) { return 9999999999ULL - k; });
}

// Records from two counters taken in turn, one counting up from the bottom
// and one down from the top: each new string falls between the last two, so
// walks zigzag down a path that turns at every node. No run of one kind of
// link is long there, and every node is visited.
inline std::vector<std::uint8_t> AlternatingRecords(std::size_t n) {
  return Records(n, "a%07llu", [](unsigned long long k) {
    return (k % 2 == 0 ? k / 2 : 9999999 - k / 2) % 10000000;
  });
}

// Log-style timestamps one millisecond apart:
// "2026-12-08 17:19:45.123\n", counting up.
inline std::vector<std::uint8_t> Timestamps(std::size_t n) {
  std::vector<std::uint8_t> out;
  out.reserve(n + 32);
  char line[40];
  for (unsigned long long ms = 0; out.size() < n; ++ms) {
    const unsigned long long s = ms / 1000;
    const int len =
        std::snprintf(line, sizeof line, "2026-12-%02llu %02llu:%02llu:%02llu.%03llu\n",
                      1 + (s / 86400) % 28, (s / 3600) % 24, (s / 60) % 60, s % 60, ms % 1000);
    out.insert(out.end(), line, line + len);
  }
  out.resize(n);
  return out;
}

// Four-byte binary records: a marker byte and a 24-bit big-endian counter.
// Strings at the markers and at the high counter bytes all increase, so
// about a thousand positions of the window share one chain: the deepest
// trees this generator knows how to make.
inline std::vector<std::uint8_t> BinaryCounter(std::size_t n) {
  std::vector<std::uint8_t> out;
  out.reserve(n + 4);
  for (std::uint32_t k = 0; out.size() < n; ++k) {
    out.push_back(0xA5);
    out.push_back(static_cast<std::uint8_t>(k >> 16));
    out.push_back(static_cast<std::uint8_t>(k >> 8));
    out.push_back(static_cast<std::uint8_t>(k));
  }
  out.resize(n);
  return out;
}

}  // namespace lzring::workloads

#endif  // LZRING_BENCH_WORKLOADS_H
