// The decoder: expands a compressed stream from any byte source into any
// byte sink, keeping the ring in a Workspace.
//
// Source and sink are template parameters (see io/file_stream.h and
// io/memory_stream.h) so that file, descriptor and memory streams all run
// this one loop with no per-byte indirection.
//
// Every byte sequence decodes to something: there is no check of positions,
// lengths or stream length, and the input ending anywhere (after a flag byte,
// before a literal, between the two bytes of a reference) ends the output
// after the last complete unit.
#ifndef LZRING_CODEC_DECODER_H
#define LZRING_CODEC_DECODER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "api/workspace.h"
#include "codec/format.h"

namespace lzring {
namespace decoder_detail {

// Produces one reference's bytes, each read from the ring after the one
// before it was stored, and passes them to `emit`. Returns the new write
// position.
template <class Emit>
inline std::uint32_t CopyReferenceBytewise(std::uint8_t* ring, std::uint32_t cur,
                                           std::uint32_t position, std::uint32_t length,
                                           Emit&& emit) {
  for (std::uint32_t k = 0; k < length; ++k) {
    const std::uint8_t c = ring[(position + k) & RING_MASK];
    ring[cur] = c;
    cur = (cur + 1) & RING_MASK;
    if (!emit(c)) return RING_SIZE;  // out of range: tells the caller the sink failed
  }
  return cur;
}

// Copies one reference into the ring and into `out` (which has room for
// MAX_MATCH bytes). When neither range wraps the ring and the two do not
// overlap, the bytes can move as one block; otherwise the copy must follow
// the ring byte by byte, since a reference may read bytes it produces.
inline std::uint32_t CopyReferenceFast(std::uint8_t* ring, std::uint32_t cur,
                                       std::uint32_t position, std::uint32_t length,
                                       std::uint8_t* out) {
  const bool apart =
      ((cur - position) & RING_MASK) >= length && ((position - cur) & RING_MASK) >= length;
  if (apart && position + length <= RING_SIZE && cur + length <= RING_SIZE) {
    std::memcpy(ring + cur, ring + position, length);
    std::memcpy(out, ring + cur, length);
    return (cur + length) & RING_MASK;
  }
  for (std::uint32_t k = 0; k < length; ++k) {
    const std::uint8_t c = ring[(position + k) & RING_MASK];
    ring[cur] = c;
    out[k] = c;
    cur = (cur + 1) & RING_MASK;
  }
  return cur;
}

}  // namespace decoder_detail

// Expands `in` into `out`. Returns false as soon as the sink fails (the
// caller then ends the call as failed), true when the input has ended.
template <class Source, class Sink>
bool DecodeStream(Workspace& ws, Source& in, Sink& out) {
  using namespace decoder_detail;
  ResetRing(ws);
  std::uint8_t* const ring = ws.ring;
  std::uint32_t cur = RING_START;
  auto put = [&out](std::uint8_t c) { return out.Put(c); };

  for (;;) {
    // Fast path: a whole group (flag byte and up to sixteen unit bytes) is in
    // the source's current block, so no unit can be cut short and no read is
    // needed inside the group.
    while (in.Available() >= static_cast<std::size_t>(MAX_GROUP_BYTES)) {
      const std::uint8_t* const start = in.Data();
      const std::uint8_t* p = start;
      unsigned flag = *p++;
      for (int unit = 0; unit < 8; ++unit, flag >>= 1) {
        if (flag & 1) {
          const std::uint8_t c = *p++;
          ring[cur] = c;
          cur = (cur + 1) & RING_MASK;
          if (!out.Put(c)) return false;
        } else {
          const std::uint32_t position = p[0] | ((p[1] & 0xF0u) << 4);
          const std::uint32_t length = (p[1] & 0x0Fu) + MIN_MATCH;
          p += 2;
          if (out.Room() >= static_cast<std::size_t>(MAX_MATCH)) {
            cur = CopyReferenceFast(ring, cur, position, length, out.Space());
            if (!out.Commit(length)) return false;
          } else {
            cur = CopyReferenceBytewise(ring, cur, position, length, put);
            if (cur == RING_SIZE) return false;
          }
        }
      }
      in.Advance(static_cast<std::size_t>(p - start));
    }

    // Careful path, one group byte by byte: near the end of a block, where a
    // read may come between any two bytes and the input may end anywhere.
    std::uint8_t flag_byte;
    if (!in.Next(flag_byte)) return true;
    unsigned flag = flag_byte;
    for (int unit = 0; unit < 8; ++unit, flag >>= 1) {
      if (flag & 1) {
        std::uint8_t c;
        if (!in.Next(c)) return true;
        ring[cur] = c;
        cur = (cur + 1) & RING_MASK;
        if (!out.Put(c)) return false;
      } else {
        std::uint8_t a;
        std::uint8_t b;
        if (!in.Next(a) || !in.Next(b)) return true;
        const std::uint32_t position = a | ((b & 0xF0u) << 4);
        const std::uint32_t length = (b & 0x0Fu) + MIN_MATCH;
        cur = CopyReferenceBytewise(ring, cur, position, length, put);
        if (cur == RING_SIZE) return false;
      }
    }
  }
}

}  // namespace lzring

#endif  // LZRING_CODEC_DECODER_H
