// The coding state of one stream: the ring, the match trees over it and the
// result of the last match search. The encoder uses all of it; the decoder
// only the ring. Every codec owns one; the C entry points keep theirs in the
// one static record of api/workspace.h.
//
// Sizes are fixed because the code indexes past the obvious ends on
// purpose: parent[NO_NODE] and left[NO_NODE] are sinks that absorb writes
// made for missing children, right[] carries the 256 tree roots after the
// node links (right[RING_SIZE + 1 + c]), and the 17 mirror bytes after the
// ring let an 18-byte string start anywhere without wrapping. No code
// relies on the order of the fields.
#ifndef LZRING_CODEC_RING_TREES_H
#define LZRING_CODEC_RING_TREES_H

#include <cstdint>
#include <cstring>

#include "codec/format.h"

namespace lzring {

// Ring positions RING_SIZE..RING_SIZE+16 mirror positions 0..16 so that an
// 18-byte string starting anywhere in the ring can be read without wrapping.
inline constexpr std::int32_t RING_BYTES = RING_SIZE + MAX_MATCH - 1;
// Node links 0..4095, the sink 4096, and (right only) 256 tree roots.
inline constexpr std::int32_t LINK_COUNT = RING_SIZE + 1;
inline constexpr std::int32_t ROOT_BASE = RING_SIZE + 1;  // root of tree c is right[ROOT_BASE + c]
inline constexpr std::int32_t RIGHT_COUNT = ROOT_BASE + 256;

// The ring with its mirror bytes.
using Ring = std::uint8_t[RING_BYTES];

struct RingTrees {
  std::int32_t parent[LINK_COUNT];  // parent link; NO_NODE when not in a tree
  std::int32_t left[LINK_COUNT];    // left child (smaller strings)
  Ring ring;                        // ring positions 0..4095 and the mirror 4096..4112
  std::int32_t best_length;         // length of the match found by the last insertion (0..18)
  std::int32_t best_position;       // ring position where that match starts
  std::int32_t right[RIGHT_COUNT];  // right child (greater strings); tree roots at ROOT_BASE..
};

// Sets what every stream starts from: ring positions 0..4077 to spaces, the
// rest of the ring (4078..4095 and the mirror) to zero. Clearing the tail is
// what a freshly loaded module has; doing it at the start of every call keeps
// bytes of one call's data out of the next call's output and makes the
// encoder's choices depend on the source alone.
inline void ResetRing(Ring& ring) {
  std::memset(ring, RING_FILL, RING_START);
  std::memset(ring + RING_START, 0, RING_BYTES - RING_START);
}

inline void ResetRing(RingTrees& ws) {
  ResetRing(ws.ring);
}

}  // namespace lzring

#endif  // LZRING_CODEC_RING_TREES_H
