// The smallest parse of a stretch of source: which units, among all that any
// decoder of the format expands back to the source, make the stream
// shortest.
//
// A unit costs its flag bit and its bytes: 9 bits for a literal, 17 for a
// reference. A stream of u units whose bytes number b takes b + ceil(u / 8)
// bytes, which is ceil((8b + u) / 8): the fewest bits give the fewest bytes.
// Any 3..18-byte prefix of a match is a match too, so only the longest
// match at each position matters, and a dynamic program from the end of the
// stretch backwards finds the cheapest way to code every suffix:
//
//   cost[i] = min(cost[i + 1] + 9, min over 3 <= L <= longest[i] of cost[i + L] + 17).
//
// The longest match at a position comes from two places. The match trees,
// driven exactly as the one-thread encoder drives them, hold the 4078
// positions behind it and report the longest among those (records of
// parallel/tree_worker.h). The 18 farther positions that the decoder still holds
// (up to 4096 behind, including the prefilled spaces) are compared here
// directly: each byte with the 18 bytes that far behind it, in one vector
// comparison, and a match as long as those bit masks share a bit.
//
// Ties go one fixed way (the longest unit; the trees' position, then the
// nearest far one), so the parse depends on the source alone.
#ifndef LZRING_CODEC_OPTIMAL_PARSE_H
#define LZRING_CODEC_OPTIMAL_PARSE_H

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__wasm_simd128__)
#include <wasm_simd128.h>
#endif

#include "codec/format.h"
#include "codec/parallel/tree_worker.h"
#include "codec/unit_group.h"

namespace lzring {

// Bits of a literal unit and of a reference unit, flag bit included.
inline constexpr std::uint32_t kLiteralBits = 9;
inline constexpr std::uint32_t kReferenceBits = 17;

// The trees hold the positions 1..RING_START behind the one being coded;
// the decoder resolves kFarDistances more, up to RING_SIZE behind.
inline constexpr std::int32_t kFarDistances = RING_SIZE - RING_START;

namespace optimal_parse_detail {

// Bit k set where p[k] == b, for k < kFarDistances.
inline std::uint32_t EqualBits(const std::uint8_t* p, std::uint8_t b) {
  std::uint32_t bits = 0;
  std::int32_t k = 0;
#if defined(__SSE2__)
  // One comparison of 16 bytes where every x86-64 has it.
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i equal = _mm_cmpeq_epi8(bytes, _mm_set1_epi8(static_cast<char>(b)));
  bits = static_cast<std::uint32_t>(_mm_movemask_epi8(equal));
  k = 16;
#elif defined(__wasm_simd128__)
  const v128_t equal =
      wasm_i8x16_eq(wasm_v128_load(p), wasm_i8x16_splat(static_cast<std::int8_t>(b)));
  bits = wasm_i8x16_bitmask(equal);
  k = 16;
#endif
  for (; k < kFarDistances; ++k) bits |= static_cast<std::uint32_t>(p[k] == b) << k;
  return bits;
}

}  // namespace optimal_parse_detail

// Working arrays for stretches of up to `positions` positions.
class ParseScratch {
 public:
  // False when the arrays could not be allocated.
  bool Allocate(std::size_t positions) {
    cost_.reset(new (std::nothrow) std::uint32_t[positions + 1]);
    choice_.reset(new (std::nothrow) std::uint8_t[positions]);
    far_.reset(new (std::nothrow) std::uint16_t[positions]);
    far_mask_.reset(new (std::nothrow) std::uint32_t[positions]);
    return cost_ && choice_ && far_ && far_mask_;
  }

  std::uint32_t* cost() { return cost_.get(); }
  std::uint8_t* choice() { return choice_.get(); }
  std::uint16_t* far() { return far_.get(); }
  std::uint32_t* far_mask() { return far_mask_.get(); }

 private:
  std::unique_ptr<std::uint32_t[]> cost_;      // bits to code the suffix from each position
  std::unique_ptr<std::uint8_t[]> choice_;     // its first unit: 1 a literal, else a length
  std::unique_ptr<std::uint16_t[]> far_;       // longest far match << 8 | its distance index
  std::unique_ptr<std::uint32_t[]> far_mask_;  // the far distances matching each byte
};

// Parses the n source positions start .. start + n - 1 and codes the units
// that start before position start + commit (commit <= n) into `group`,
// handing full groups to `out`. Units do not reach past the stretch. The
// position after the last unit coded, relative to `start`, goes to `next`.
// Returns false when `out` failed.
//
// bytes[i] is the source byte at start + i for -RING_SIZE <= i < n, the
// prefilled spaces standing before the source (only the RING_START of them
// that the decoder holds are ever used). records[i] is what the insertion of
// position start + i found in the trees.
template <class Sink>
bool ParseStretch(const std::uint8_t* bytes, std::uint64_t start, std::size_t n,
                  const MatchRecord* records, std::size_t commit, ParseScratch& scratch,
                  UnitGroup& group, Sink& out, std::size_t& next) {
  std::uint32_t* const cost = scratch.cost();
  std::uint8_t* const choice = scratch.choice();
  std::uint16_t* const far = scratch.far();
  auto tree_length = [&](std::size_t i) {
    const std::size_t length = records[i] >> kRecordLengthShift;
    return static_cast<std::int32_t>(std::min(length, n - i));
  };

  // Bit k of far_mask[i]: the byte at start + i equals the one RING_SIZE - k
  // behind it. A distance matches L bytes from i when its bit is set in the
  // masks of i .. i + L - 1; the longest far match is the longest such run
  // of masks with a bit in common, and the nearest distance (the highest
  // bit) among those that last it.
  std::uint32_t* const far_mask = scratch.far_mask();
  cost[n] = 0;
  for (std::size_t i = n; i-- > 0;) {
    const std::uint8_t b = bytes[i];
    const std::uint8_t* const behind = bytes + static_cast<std::ptrdiff_t>(i) - RING_SIZE;
    std::uint32_t mask = optimal_parse_detail::EqualBits(behind, b);
    // Before position 18 of the source the farthest distances reach ring
    // positions that hold no prefilled space.
    if (start + i < static_cast<std::uint64_t>(kFarDistances)) {
      mask &= ~std::uint32_t{0} << (kFarDistances - (start + i));
    }
    far_mask[i] = mask;
    std::int32_t far_length = 0;
    std::uint32_t far_bits = mask;
    const std::size_t reach = std::min<std::size_t>(MAX_MATCH, n - i);
    if (mask != 0) {
      far_length = 1;
      while (static_cast<std::size_t>(far_length) < reach) {
        const std::uint32_t longer = far_bits & far_mask[i + static_cast<std::size_t>(far_length)];
        if (longer == 0) break;
        far_bits = longer;
        ++far_length;
      }
    }
    far[i] = static_cast<std::uint16_t>(far_length << 8 |
                                        (far_bits == 0 ? 0 : std::bit_width(far_bits) - 1));

    // Among equally cheap choices the longest unit: what is left to choose
    // then lies towards the end of the stretch, which a piece's parse drops.
    const std::int32_t longest = std::max(tree_length(i), far_length);
    std::uint32_t best = cost[i + 1] + kLiteralBits;
    std::int32_t chosen = 1;
    for (std::int32_t length = MIN_MATCH; length <= longest; ++length) {
      const std::uint32_t c = cost[i + static_cast<std::size_t>(length)] + kReferenceBits;
      if (c <= best) {
        best = c;
        chosen = length;
      }
    }
    cost[i] = best;
    choice[i] = static_cast<std::uint8_t>(chosen);
  }

  std::size_t i = 0;
  while (i < commit) {
    const std::int32_t length = choice[i];
    bool full;
    if (length == 1) {
      full = group.Literal(bytes[i]);
    } else if (tree_length(i) >= length) {
      full = group.Reference(static_cast<std::int32_t>(records[i] & RING_MASK), length);
    } else {
      // Ring position of the source byte RING_SIZE - k behind.
      const std::uint64_t distance = static_cast<std::uint64_t>(RING_SIZE - (far[i] & 0xFF));
      const std::uint64_t at = start + i + RING_START - distance;
      full = group.Reference(static_cast<std::int32_t>(at & RING_MASK), length);
    }
    if (full && !group.Put(out)) return false;
    i += static_cast<std::size_t>(length);
  }
  next = i;
  return true;
}

}  // namespace lzring

#endif  // LZRING_CODEC_OPTIMAL_PARSE_H
