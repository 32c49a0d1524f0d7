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

// Output room that one group can need: eight references of MAX_MATCH bytes.
inline constexpr std::size_t kGroupOutput = 8 * MAX_MATCH;

inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void Store64(std::uint8_t* p, std::uint64_t v) {
  std::memcpy(p, &v, sizeof v);
}
inline std::uint32_t Load32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void Store32(std::uint8_t* p, std::uint32_t v) {
  std::memcpy(p, &v, sizeof v);
}

// Produces one reference's bytes, each read from the ring after the one
// before it was stored, and passes them to `emit`. Returns the new write
// position, or RING_SIZE when `emit` failed.
template <class Emit>
inline std::uint32_t CopyReferenceBytewise(std::uint8_t* ring, std::uint32_t cur,
                                           std::uint32_t position, std::uint32_t length,
                                           Emit&& emit) {
  for (std::uint32_t k = 0; k < length; ++k) {
    const std::uint8_t c = ring[(position + k) & RING_MASK];
    ring[cur] = c;
    cur = (cur + 1) & RING_MASK;
    if (!emit(c)) return RING_SIZE;
  }
  return cur;
}

// Copies one reference of 3..18 bytes into the ring at `cur` and to `out`.
// When neither range wraps the ring and they do not overlap, all loads come
// before all stores, as a few fixed-size word moves: the first and last
// eight (or four) bytes, which overlap each other for lengths in between.
// Otherwise the copy follows the ring byte by byte, since a reference may
// read the bytes it produces. Returns the new write position.
inline std::uint32_t CopyReference(std::uint8_t* ring, std::uint32_t cur, std::uint32_t position,
                                   std::uint32_t length, std::uint8_t* out) {
  const bool apart =
      ((cur - position) & RING_MASK) >= length && ((position - cur) & RING_MASK) >= length;
  if (apart && position + length <= RING_SIZE && cur + length <= RING_SIZE) {
    const std::uint8_t* const from = ring + position;
    std::uint8_t* const to = ring + cur;
    if (length >= 8) {
      const std::uint64_t head = Load64(from);
      const std::uint64_t middle = Load64(from + 8);  // used only for lengths above 16
      const std::uint64_t tail = Load64(from + length - 8);
      if (length > 16) {
        Store64(to + 8, middle);
        Store64(out + 8, middle);
      }
      Store64(to, head);
      Store64(out, head);
      Store64(to + length - 8, tail);
      Store64(out + length - 8, tail);
    } else if (length >= 4) {
      const std::uint32_t head = Load32(from);
      const std::uint32_t tail = Load32(from + length - 4);
      Store32(to, head);
      Store32(out, head);
      Store32(to + length - 4, tail);
      Store32(out + length - 4, tail);
    } else {
      const std::uint8_t b0 = from[0], b1 = from[1], b2 = from[2];
      to[0] = out[0] = b0;
      to[1] = out[1] = b1;
      to[2] = out[2] = b2;
    }
    return cur + length;  // at most RING_SIZE: masked by the caller's next use
  }
  for (std::uint32_t k = 0; k < length; ++k) {
    const std::uint8_t c = ring[(position + k) & RING_MASK];
    ring[cur] = c;
    out[k] = c;
    cur = (cur + 1) & RING_MASK;
  }
  return cur;
}

// Decodes whole groups from `p` to `o` while at least one whole group of
// input (up to `in_last`) and the output of one whole group (up to
// `out_last`) remain, so no unit needs a check of its own. Updates all
// three positions.
inline void DecodeGroups(std::uint8_t* ring, std::uint32_t& cur, const std::uint8_t*& p,
                         const std::uint8_t* in_last, std::uint8_t*& o,
                         const std::uint8_t* out_last) {
  std::uint32_t c = cur;
  const std::uint8_t* ip = p;
  std::uint8_t* op = o;
  do {
    unsigned flag = *ip++;
    if (flag == 0xFF && c <= static_cast<std::uint32_t>(RING_SIZE - 8)) {
      // Eight literals: one word into the ring and one into the output.
      const std::uint64_t v = Load64(ip);
      Store64(ring + c, v);
      Store64(op, v);
      ip += 8;
      op += 8;
      c = (c + 8) & RING_MASK;
      continue;
    }
    for (int unit = 0; unit < 8; ++unit, flag >>= 1) {
      if (flag & 1) {
        const std::uint8_t b = *ip++;
        ring[c] = b;
        *op++ = b;
        c = (c + 1) & RING_MASK;
      } else {
        const std::uint32_t position = ip[0] | ((ip[1] & 0xF0u) << 4);
        const std::uint32_t length = (ip[1] & 0x0Fu) + MIN_MATCH;
        ip += 2;
        c = CopyReference(ring, c, position, length, op) & RING_MASK;
        op += length;
      }
    }
  } while (ip <= in_last && op <= out_last);
  cur = c;
  p = ip;
  o = op;
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
    // the source's current block and the sink has room for the most a group
    // can produce, so no unit can be cut short and no read or write is
    // needed inside a group.
    const std::size_t available = in.Available();
    if (available >= static_cast<std::size_t>(MAX_GROUP_BYTES)) {
      const std::size_t room = out.Room();
      if (room >= kGroupOutput) {
        const std::uint8_t* const start = in.Data();
        const std::uint8_t* p = start;
        std::uint8_t* const space = out.Space();
        std::uint8_t* o = space;
        DecodeGroups(ring, cur, p, start + (available - MAX_GROUP_BYTES), o,
                     space + (room - kGroupOutput));
        in.Advance(static_cast<std::size_t>(p - start));
        if (!out.Commit(static_cast<std::size_t>(o - space))) return false;
        continue;
      }
    }

    // Careful path, one group byte by byte: near the end of a block, where a
    // read or a write may come between any two bytes and the input may end
    // anywhere.
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
