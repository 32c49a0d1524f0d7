// The working state of one codec: ring, match trees, match result and both
// file buffers. The C entry points share one static instance (zero at load,
// about 61 KiB, with the run index beside it about 230 KiB); each C++ codec
// object, and each thread of a compression spread over several, owns one of
// its own.
//
// Sizes are fixed because the code indexes past the obvious ends on
// purpose: parent[NO_NODE] and left[NO_NODE] are sinks that absorb writes
// made for missing children, right[] carries the 256 tree roots after the
// node links (right[RING_SIZE + 1 + c]), and the 17 mirror bytes after the
// ring let an 18-byte string start anywhere without wrapping. No code
// relies on the order of the fields.
#ifndef LZRING_API_WORKSPACE_H
#define LZRING_API_WORKSPACE_H

#include <cstdint>
#include <cstring>

#include "codec/format.h"
#include "io/platform_file.h"

namespace lzring {

// Ring positions RING_SIZE..RING_SIZE+16 mirror positions 0..16 so that an
// 18-byte string starting anywhere in the ring can be read without wrapping.
inline constexpr std::int32_t RING_BYTES = RING_SIZE + MAX_MATCH - 1;
// Node links 0..4095, the sink 4096, and (right only) 256 tree roots.
inline constexpr std::int32_t LINK_COUNT = RING_SIZE + 1;
inline constexpr std::int32_t ROOT_BASE = RING_SIZE + 1;  // root of tree c is right[ROOT_BASE + c]
inline constexpr std::int32_t RIGHT_COUNT = ROOT_BASE + 256;

struct Workspace {
  std::int32_t parent[LINK_COUNT];  // parent link; NO_NODE when not in a tree
  std::int32_t left[LINK_COUNT];    // left child (smaller strings)
  FileHandle in_handle;             // open source (or the file _GetFileSize measures)
  std::int32_t in_eof;              // 1 once a source read delivered nothing
  std::int32_t out_count;           // bytes waiting in out_buf
  std::int32_t in_pos;              // next byte of in_buf; 0 = read a new block first
  std::int32_t in_count;            // bytes the last block read delivered
  FileHandle out_handle;            // open destination
  std::uint8_t ring[RING_BYTES];    // ring positions 0..4095 and the mirror 4096..4112
  std::uint8_t in_buf[IO_BLOCK];    // current source block
  std::uint8_t out_buf[IO_BLOCK];   // output not yet written
  std::int32_t best_length;         // length of the match found by the last insertion (0..18)
  std::int32_t best_position;       // ring position where that match starts
  std::int32_t right[RIGHT_COUNT];  // right child (greater strings); tree roots at ROOT_BASE..
};

// Sets what every stream starts from: ring positions 0..4077 to spaces, the
// rest of the ring (4078..4095 and the mirror) to zero. Clearing the tail is
// what a freshly loaded module has; doing it at the start of every call keeps
// bytes of one call's data out of the next call's output and makes the
// encoder's choices depend on the source alone.
inline void ResetRing(Workspace& ws) {
  std::memset(ws.ring, RING_FILL, RING_START);
  std::memset(ws.ring + RING_START, 0, RING_BYTES - RING_START);
}

}  // namespace lzring

#endif  // LZRING_API_WORKSPACE_H
