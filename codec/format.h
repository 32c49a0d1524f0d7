// Constants of the compressed format and of the ring it is coded over.
//
// A compressed stream is a sequence of groups: one flag byte, then up to
// eight units. Bit k of the flag (least significant first) describes unit k:
// set for a literal (one byte, copied to the output), clear for a reference
// (two bytes A, B: ring position A | (B & 0xF0) << 4, length (B & 0x0F) + 3).
// Positions are absolute indices into a 4096-byte ring whose first 4078 bytes
// start as spaces and whose write position starts at 4078. There is no
// header, length or checksum: the stream ends where the file ends.
#ifndef LZRING_CODEC_FORMAT_H
#define LZRING_CODEC_FORMAT_H

#include <cstdint>

namespace lzring {

inline constexpr std::int32_t RING_SIZE = 4096;  // ring positions; advances mask with RING_MASK
inline constexpr std::int32_t RING_MASK = RING_SIZE - 1;
inline constexpr std::int32_t MAX_MATCH = 18;  // look-ahead size and longest reference
inline constexpr std::int32_t MIN_MATCH = 3;   // shorter matches are sent as literals
inline constexpr std::int32_t RING_START = RING_SIZE - MAX_MATCH;  // 4078: first write position
inline constexpr std::int32_t NO_NODE = RING_SIZE;                 // null tree link

// Byte that fills ring positions 0..RING_START-1 at the start of every stream.
inline constexpr std::uint8_t RING_FILL = 0x20;

// Longest group: a flag byte and eight two-byte references.
inline constexpr int MAX_GROUP_BYTES = 1 + 8 * 2;

// Worst-case compressed size of n source bytes: every unit a literal, one flag
// byte per eight of them.
constexpr std::uint64_t EncodeBound(std::uint64_t n) {
  return n + (n + 7) / 8;
}

}  // namespace lzring

#endif  // LZRING_CODEC_FORMAT_H
