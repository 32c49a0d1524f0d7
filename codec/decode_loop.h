// The decoder: expands a compressed stream from any byte source into any
// byte sink, whole or up to a given output size, and from an input given
// whole or in pieces. It works in a 20 KiB history window (on its own stack
// for a whole input, kept between the pieces otherwise) and leaves the
// ring it is given as a byte-by-byte decoder would (see decoder_detail).
//
// Source and sink are template parameters (the stream layer's file and
// memory streams, the codec's own memory sources) so that file, descriptor and
// memory streams all run this one loop with no per-byte indirection.
//
// Every byte sequence decodes to something: there is no check of positions,
// lengths or stream length, and the input ending anywhere (after a flag byte,
// before a literal, between the two bytes of a reference) ends the output
// after the last complete unit.
#ifndef LZRING_CODEC_DECODE_LOOP_H
#define LZRING_CODEC_DECODE_LOOP_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/byte_source_sink.h"
#include "codec/format.h"
#include "codec/ring_trees.h"

namespace lzring {
namespace decoder_detail {

// The decoder keeps the ring as a straight history instead: the output of
// the stream so far, preceded by the ring's starting contents in the order
// the write position meets them. Ring position `position` read when the
// write position is `cur` is then the byte `back` = ((cur - position - 1) &
// RING_MASK) + 1 places before the next output byte (1..4096), so a
// reference is an ordinary backward copy that never wraps, and the copy
// byte k reads the byte k places after its first, as the ring does, also
// when it reaches into the bytes it is producing.
//
// Output collects in a window after the history and goes to the sink when
// the window is full; then the last 4096 bytes move to the front. At the end
// the caller's ring receives the last 4096 bytes at their ring
// positions, so it ends as a byte-by-byte decoder leaves it.
inline constexpr std::size_t kHistory = RING_SIZE;
inline constexpr std::size_t kWindow = 16384;
// A group writes at most 8 x 18 bytes; a word-wise copy may write up to 21
// bytes past its end, which the next unit overwrites.
inline constexpr std::size_t kGroupOutput = 8 * MAX_MATCH;
inline constexpr std::size_t kSlack = kGroupOutput + 24;
// Input the whole-group path needs at hand: a group and the eight bytes the
// word that moves a stretch of literals may read past it.
inline constexpr std::size_t kGroupInput = MAX_GROUP_BYTES + 8;
inline constexpr std::size_t kBufferSize = kHistory + kWindow + kSlack;

inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void Store64(std::uint8_t* p, std::uint64_t v) {
  std::memcpy(p, &v, sizeof v);
}

// Fills the history with the ring's starting contents: positions
// RING_START..4095 (zero), then 0..RING_START-1 (spaces).
inline void StartHistory(std::uint8_t* buffer) {
  std::memset(buffer, 0, RING_SIZE - RING_START);
  std::memset(buffer + (RING_SIZE - RING_START), RING_FILL, RING_START);
}

// Copies 24 bytes from at least eight bytes back, a word at a time, so that
// each word reads only bytes already final.
inline void CopyThreeWords(std::uint8_t* op, const std::uint8_t* from) {
  Store64(op, Load64(from));
  Store64(op + 8, Load64(from + 8));
  Store64(op + 16, Load64(from + 16));
}

// Produces one reference at `op`. Sources at least eight bytes back are
// copied as three eight-byte words whatever the length (each word reads
// only bytes already final; what lies past the length is overwritten by
// what follows). A nearer source overlaps the copy, which then repeats its
// first `back` bytes: runs of one byte, as in images, and short patterns.
inline std::uint8_t* CopyReference(std::uint8_t* op, std::uint32_t back, std::uint32_t length) {
  const std::uint8_t* const from = op - back;
  if (back >= 8) {
    CopyThreeWords(op, from);
  } else {
    // The first eight bytes repeat the `back` final bytes before `op`; the
    // rest are words from a period back that is a multiple of `back` and at
    // least eight, so that each word reads only final bytes.
    static constexpr std::uint8_t kPeriod[8] = {0, 8, 8, 9, 8, 10, 12, 14};
    if constexpr (std::endian::native == std::endian::little) {
      // Byte k of a word is bits 8k..8k+7. The `back` bytes before `op`
      // are the top of the word that ends there; multiplying them by the sum
      // of their shifts by every multiple of `back` below eight lays copies
      // side by side, without overlap and so without carries.
      static constexpr std::uint64_t kSpread[8] = {
          0,           0x0101010101010101, 0x0001000100010001, 0x0001000001000001,
          0x100000001, 0x10000000001,      0x1000000000001,    0x100000000000001};
      Store64(op, (Load64(op - 8) >> (64 - 8 * back)) * kSpread[back]);
    } else {
      for (std::uint32_t k = 0; k < 8; ++k) op[k] = from[k];
    }
    const std::uint32_t period = kPeriod[back];
    Store64(op + 8, Load64(op + 8 - period));
    Store64(op + 16, Load64(op + 16 - period));
  }
  return op + length;
}

// Distance back from the write position `cur` to ring position `position`.
inline std::uint32_t Back(std::uint32_t cur, std::uint32_t position) {
  return ((cur - position - 1) & RING_MASK) + 1;
}

// Decodes whole groups from `ip` into `op` while a whole group of input
// and eight bytes more are left before `in_last` and `op` is before
// `out_limit`. Literals go in stretches: the literals of a stretch of set
// flag bits are moved as one eight-byte word (the bytes past the stretch
// are overwritten by what follows).
// The write position is the output's count modulo the ring size, derived
// from `op` and `base`.
//
// The loop is written for few instructions per reference, which is what
// bounds it: machine-word counters, the group's end as a marker bit instead
// of a unit count, and the distance back kept as `gap` = back - 1, which
// needs no adjustment before the mask. It stays out of line: built into
// the loop around it, it would share the registers with that loop's counts
// and limits and keep one of its own values in memory per reference.
[[gnu::noinline]] inline void DecodeGroups(const std::uint8_t*& ip_ref, const std::uint8_t* in_last,
                                           std::uint8_t*& op_ref, const std::uint8_t* out_limit,
                                           std::uint32_t base) {
  const std::uint8_t* ip = ip_ref;
  std::uint8_t* op = op_ref;
  // Plus the address of `op`: the ring position of the byte before `op`,
  // modulo the ring size.
  const std::size_t before = static_cast<std::size_t>(base) - 1;
  do {
    // Set bits mark references; bit 8, past the last unit, ends the group.
    std::size_t refs = (std::size_t{*ip++} ^ 0xFFu) | 0x100u;
    for (;;) {
      // refs is never zero while the end bit is in it.
      const std::size_t literals = static_cast<unsigned>(__builtin_ctzll(refs));
      Store64(op, Load64(ip));
      ip += literals;
      op += literals;
      refs >>= literals;
      if (refs == 1) break;
      refs >>= 1;
      const std::size_t low = ip[0];
      const std::size_t high = ip[1];
      ip += 2;
      const std::size_t position = low | ((high & 0xF0u) << 4);
      const std::size_t length = (high & 0x0Fu) + MIN_MATCH;
      const std::size_t gap =
          (before + reinterpret_cast<std::uintptr_t>(op) - position) & RING_MASK;
      if (gap >= 7) [[likely]] {
        CopyThreeWords(op, (op - gap) - 1);
        op += length;
      } else {
        op = CopyReference(op, static_cast<std::uint32_t>(gap + 1),
                           static_cast<std::uint32_t>(length));
      }
    }
  } while (ip <= in_last && op < out_limit);
  ip_ref = ip;
  op_ref = op;
}

// One byte to a sink that reports no room: only a fixed buffer that is full
// gets here, and its Put records the overflow and fails. Out of line, being
// rare, and so that the compiler does not follow a file sink into a state
// it never reaches.
template <ByteSink Sink>
[[gnu::noinline]] bool PutWithoutRoom(Sink& out, std::uint8_t b) {
  return out.Put(b);
}

// Hands `n` bytes to the sink, in as large pieces as it takes. False when
// the sink failed.
template <DecoderSink Sink>
inline bool Emit(Sink& out, const std::uint8_t* data, std::size_t n) {
  // A sink that takes bytes in bulk (a file sink writing whole blocks
  // straight from the window) gets them that way.
  if constexpr (BulkByteSink<Sink>) {
    return out.PutBytes(data, n);
  } else {
    while (n > 0) {
      const std::size_t room = out.Room();
      if (room == 0) {
        if (!PutWithoutRoom(out, *data)) return false;
        ++data;
        --n;
        continue;
      }
      const std::size_t chunk = n < room ? n : room;
      std::memcpy(out.Space(), data, chunk);
      if (!out.Commit(chunk)) return false;
      data += chunk;
      n -= chunk;
    }
    return true;
  }
}

}  // namespace decoder_detail

// Where the decoder stands between two calls of its loop: the history
// window with the output not yet handed on, and the counts. A call over a
// complete source keeps it on its stack; an input that comes in pieces keeps it
// between them.
struct DecoderState {
  std::uint64_t window_base;  // output bytes before window[0]
  std::uint64_t used;         // input bytes up to the end of the last complete unit
  std::size_t fill;           // output bytes in the window
  std::size_t sent;           // of those, bytes already handed to the sink
  std::uint32_t group;        // flags of the units left in a group a piece cut, with bit
                              // 8 set past them; 0 between groups
  std::uint32_t pending;      // input bytes of that group read since its last whole unit
  alignas(64) std::uint8_t buffer[decoder_detail::kBufferSize];
};

inline void StartDecoder(DecoderState& st) {
  decoder_detail::StartHistory(st.buffer);
  st.window_base = 0;
  st.used = 0;
  st.fill = 0;
  st.sent = 0;
  st.group = 0;
  st.pending = 0;
}

// Output bytes produced so far.
inline std::uint64_t Produced(const DecoderState& st) {
  return st.window_base + st.fill;
}

// Leaves the ring as the byte-wise decoder would: the last 4096 bytes at
// their ring positions (the starting contents where fewer were written).
inline void LeaveRing(Ring& ring, const DecoderState& st) {
  const auto cur = static_cast<std::uint32_t>((RING_START + Produced(st)) & RING_MASK);
  const std::uint8_t* const last = st.buffer + st.fill;  // the byte now at ring position cur
  std::memcpy(ring + cur, last, RING_SIZE - cur);
  std::memcpy(ring, last + (RING_SIZE - cur), cur);
}

// How a call of the loop ended.
enum class DecodeStatus {
  kEnded,       // the input has ended; every complete unit is out
  kLimit,       // the output limit is reached
  kNeedInput,   // this piece holds no whole unit more; more will follow
  kSinkFailed,  // the sink failed
};

inline constexpr std::uint64_t kNoLimit = UINT64_MAX;

namespace decoder_detail {

// One call of the decoder loop (DecodeSpan), its steps as named members,
// on copies of DecoderState's counts that Stop() puts back.
template <bool kPiecewise, class Source, class Sink>
class DecodeSteps {
 public:
  [[gnu::always_inline]] DecodeSteps(DecoderState& st, Source& in, Sink& out, std::uint64_t limit)
      : st_(st),
        in_(in),
        out_(out),
        limit_(limit),
        buffer_(st.buffer),
        window_(st.buffer + kHistory),
        op_(window_ + st.fill),
        sent_(st.sent),
        emitted_(st.window_base),
        used_(st.used),
        group_(st.group),
        pending_(st.pending),
        cur_base_(Base()) {}

  // Expands units until the input has ended, the limit is reached, the
  // piece holds no whole unit more or the sink fails.
  [[gnu::always_inline]] DecodeStatus Decode() {
    std::uint8_t* const window_end = window_ + kWindow;
    for (;;) {
      if (op_ >= window_end && !Flush()) return Stop(DecodeStatus::kSinkFailed);
      // Output still allowed.
      const std::uint64_t left = limit_ - Produced();
      if (left == 0) return SendAndStop(DecodeStatus::kLimit);
      // Fast path: whole groups while the source's current block holds a
      // whole group (flag byte and up to sixteen unit bytes) and eight bytes
      // more, so no unit can be cut short and no read is needed inside a
      // group, and while a whole group stays below the limit.
      const std::size_t available = in_.Available();
      if (group_ == 0 && available >= kGroupInput && left > kGroupOutput) {
        WholeGroups(available, left);
        continue;
      }
      DecodeStatus stopped;
      if (!UnitByUnit(stopped)) return stopped;
    }
  }

 private:
  // Output bytes produced in all.
  [[gnu::always_inline]] std::uint64_t Produced() const {
    return emitted_ + static_cast<std::size_t>(op_ - window_);
  }
  // Ring position of window[0]: the output count before it plus RING_START.
  [[gnu::always_inline]] std::uint32_t Base() const {
    return static_cast<std::uint32_t>(RING_START + emitted_ -
                                      reinterpret_cast<std::uintptr_t>(window_));
  }

  // Hands the window's bytes not yet sent to the sink.
  [[gnu::always_inline]] bool Send() {
    const auto fill = static_cast<std::size_t>(op_ - window_);
    if (!Emit(out_, window_ + sent_, fill - sent_)) return false;
    sent_ = fill;
    return true;
  }
  // Sends the window to the sink and keeps its last 4096 bytes as history.
  [[gnu::always_inline]] bool Flush() {
    if (!Send()) return false;
    emitted_ += static_cast<std::size_t>(op_ - window_);
    std::memmove(buffer_, op_ - kHistory, kHistory);
    op_ = window_;
    sent_ = 0;
    cur_base_ = Base();
    return true;
  }
  [[gnu::always_inline]] DecodeStatus Stop(DecodeStatus status) {
    st_.window_base = emitted_;
    st_.used = used_;
    st_.fill = static_cast<std::size_t>(op_ - window_);
    st_.sent = sent_;
    st_.group = group_;
    st_.pending = pending_;
    return status;
  }
  // Stops with `status` once the output so far is with the sink.
  [[gnu::always_inline]] DecodeStatus SendAndStop(DecodeStatus status) {
    return Stop(Send() ? status : DecodeStatus::kSinkFailed);
  }

  // The fast path: DecodeGroups over the source's block at hand, up to
  // where the last whole group of output stays within the window and the
  // limit.
  [[gnu::always_inline]] void WholeGroups(std::size_t available, std::uint64_t left) {
    std::uint8_t* const window_end = window_ + kWindow;
    std::uint8_t* op = op_;
    std::uint8_t* out_limit = window_end;
    if (left - kGroupOutput < static_cast<std::uint64_t>(window_end - op)) {
      out_limit = op + (left - kGroupOutput);
    }
    const std::uint8_t* const start = in_.Data();
    const std::uint8_t* ip = start;
    DecodeGroups(ip, start + (available - kGroupInput), op, out_limit, cur_base_);
    op_ = op;
    const auto taken = static_cast<std::size_t>(ip - start);
    in_.Advance(taken);
    used_ += taken;
  }

  // The careful path, unit by unit, to the end of one group: near the end
  // of a block, where a read may come between any two bytes and the input
  // may end anywhere, and for a group that a piece's end cut. A piece that
  // is not the last stops before a unit it does not hold whole (a reference
  // cut between its two bytes leaves its first byte in the piece); the open
  // group's flags wait in `st` for the next piece. False, with the status
  // in `stopped`, when the call ends here.
  [[gnu::always_inline]] bool UnitByUnit(DecodeStatus& stopped) {
    if (group_ == 0) {
      if constexpr (kPiecewise) {
        if (!in_.Final() && in_.Available() == 0) {
          stopped = SendAndStop(DecodeStatus::kNeedInput);
          return false;
        }
      }
      std::uint8_t flag_byte;
      if (!in_.Next(flag_byte)) {
        stopped = SendAndStop(DecodeStatus::kEnded);
        return false;
      }
      // Bit 8, past the last unit, ends the group.
      group_ = flag_byte | 0x100u;
      pending_ = 1;
    }
    while (group_ != 1) {
      const bool literal = (group_ & 1) != 0;
      if constexpr (kPiecewise) {
        if (!in_.Final() && in_.Available() < (literal ? 1u : 2u)) {
          stopped = SendAndStop(DecodeStatus::kNeedInput);
          return false;
        }
      }
      if (!(literal ? Literal() : Reference())) {
        stopped = SendAndStop(DecodeStatus::kEnded);
        return false;
      }
      group_ >>= 1;
      used_ += pending_;
      pending_ = 0;
      // The unit that reaches the limit ends the stream, cut short there.
      if (Produced() >= limit_) {
        op_ = window_ + (limit_ - emitted_);
        stopped = SendAndStop(DecodeStatus::kLimit);
        return false;
      }
    }
    group_ = 0;
    return true;
  }

  // One literal, or one reference, read from the source; false when the
  // input ended before the whole unit.
  [[gnu::always_inline]] bool Literal() {
    if (!in_.Next(*op_)) return false;
    ++op_;
    pending_ += 1;
    return true;
  }
  [[gnu::always_inline]] bool Reference() {
    std::uint8_t a;
    std::uint8_t b;
    if (!in_.Next(a) || !in_.Next(b)) return false;
    const std::uint32_t position = a | ((b & 0xF0u) << 4);
    const std::uint32_t length = (b & 0x0Fu) + MIN_MATCH;
    const std::uint32_t cur =
        (cur_base_ + static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(op_))) & RING_MASK;
    op_ = CopyReference(op_, Back(cur, position), length);
    pending_ += 2;
    return true;
  }

  DecoderState& st_;
  Source& in_;
  Sink& out_;
  const std::uint64_t limit_;
  std::uint8_t* const buffer_;
  std::uint8_t* const window_;
  std::uint8_t* op_;
  std::size_t sent_;
  std::uint64_t emitted_;  // output count at window[0]
  std::uint64_t used_;
  std::uint32_t group_;
  std::uint32_t pending_;
  std::uint32_t cur_base_;
};

}  // namespace decoder_detail

// Expands `in` into `out` from where `st` stands, until the input ends or
// `limit` bytes have been produced in all: one span of the input, the
// whole of it or one piece. At the limit the unit that crossed it is cut
// short, and st.used counts the input up to the end of that unit: a stream
// whose expanded size is known ends there, whatever follows it.
//
// With kPiecewise, `in` may be one piece of a longer input: unless it says
// it is the last (in.Final()), the loop expands every unit the piece holds
// whole, whole groups by the fast path and the piece's tail unit by unit,
// then stops before the first unit it does not hold whole, after handing
// the output so far to the sink. `st` keeps the flags of the group left
// open; the caller keeps the first byte of a reference cut between its two
// bytes (at most one byte) for the next piece. Complete sources build the
// loop without that check.
template <bool kPiecewise, LoopSource<kPiecewise> Source, DecoderSink Sink>
DecodeStatus DecodeSpan(DecoderState& st, Source& in, Sink& out, std::uint64_t limit = kNoLimit) {
  return decoder_detail::DecodeSteps<kPiecewise, Source, Sink>(st, in, out, limit).Decode();
}

// Expands the whole of `in` into `out`, or its first `limit` bytes; `st`
// tells afterwards how much was produced and used.
template <ByteSource Source, DecoderSink Sink>
DecodeStatus DecodeBounded(Ring& ring, DecoderState& st, Source& in, Sink& out,
                           std::uint64_t limit) {
  ResetRing(ring);
  StartDecoder(st);
  const DecodeStatus status = DecodeSpan<false>(st, in, out, limit);
  LeaveRing(ring, st);
  return status;
}

// Expands `in` into `out`. Returns false as soon as the sink fails (the
// caller then ends the call as failed), true when the input has ended.
template <ByteSource Source, DecoderSink Sink>
bool DecodeStream(Ring& ring, Source& in, Sink& out) {
  DecoderState st;
  return DecodeBounded(ring, st, in, out, kNoLimit) == DecodeStatus::kEnded;
}

}  // namespace lzring

#endif  // LZRING_CODEC_DECODE_LOOP_H
