// The group of up to eight units that the encoders assemble before it goes
// out: a flag byte with one bit per unit (set for a literal), then the
// units' bytes. The one-thread loop keeps one in its state (and a copy in
// registers while it runs); the threaded encoder's coder takes it over from
// there and hands it back. Both turn the match found at a position into a
// unit by the one rule here, CodeUnit.
#ifndef LZRING_CODEC_UNIT_GROUP_H
#define LZRING_CODEC_UNIT_GROUP_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/byte_source_sink.h"
#include "codec/format.h"

namespace lzring {

class UnitGroup {
 public:
  // Adds a literal unit. Returns true when the group now has eight units.
  bool Literal(std::uint8_t b) {
    bytes_[0] |= static_cast<std::uint8_t>(flag_);
    bytes_[size_++] = b;
    return Advance();
  }
  // Adds a reference to ring position `position` of `length` bytes
  // (MIN_MATCH..MAX_MATCH). Returns true when the group now has eight units.
  bool Reference(std::int32_t position, std::int32_t length) {
    bytes_[size_++] = static_cast<std::uint8_t>(position & 0xFF);
    bytes_[size_++] = static_cast<std::uint8_t>(((position >> 4) & 0xF0) | (length - MIN_MATCH));
    return Advance();
  }
  bool Empty() const { return size_ == 1; }

  // Hands the group to `out` and starts the next one; false when the sink
  // failed. The flag bits of missing units stay clear.
  template <ByteSink Sink>
  bool Put(Sink& out) {
    const std::size_t length = size_;
    size_ = 1;
    flag_ = 1;
    bool ok = true;
    if (out.Room() >= length) {
      std::memcpy(out.Space(), bytes_, length);
      ok = out.Commit(length);
    } else {
      for (std::size_t k = 0; k < length && ok; ++k) ok = out.Put(bytes_[k]);
    }
    bytes_[0] = 0;
    return ok;
  }

 private:
  // Moves to the next unit's flag bit; true once all eight are used.
  bool Advance() {
    flag_ = (flag_ << 1) & 0xFF;
    return flag_ == 0;
  }

  std::uint8_t bytes_[MAX_GROUP_BYTES] = {0};
  std::size_t size_ = 1;
  unsigned flag_ = 1;
};

// Codes the unit at a source position whose longest earlier match is
// `length` bytes at ring position `position`, with `left` source bytes from
// that position to the end of the source: the match cut to `left` (near the
// end of the source it can run past the real data), sent as a reference,
// or as the literal `byte` when the cut match is shorter than MIN_MATCH.
// Adds the unit to `group`, sets `full` when the group now has eight units,
// and returns how many source bytes the unit covers. The output bytes
// depend on this rule more than on any other; the one-thread loop and the
// threaded encoder's coder both code through it.
inline std::int32_t CodeUnit(UnitGroup& group, std::int32_t length, std::int32_t position,
                             std::uint64_t left, std::uint8_t byte, bool& full) {
  if (static_cast<std::uint64_t>(length) > left) length = static_cast<std::int32_t>(left);
  if (length < MIN_MATCH) {
    full = group.Literal(byte);
    return 1;
  }
  full = group.Reference(position, length);
  return length;
}

}  // namespace lzring

#endif  // LZRING_CODEC_UNIT_GROUP_H
