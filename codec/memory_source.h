// Byte sources in memory, for the codec loops: a span, whole or as one piece
// of a longer input. They have the same shape as the stream layer's
// FileSource; the threaded encoder codes its gathered pieces through them.
#ifndef LZRING_CODEC_MEMORY_SOURCE_H
#define LZRING_CODEC_MEMORY_SOURCE_H

#include <cstddef>
#include <cstdint>

#include "codec/byte_source_sink.h"

namespace lzring {

class MemorySource {
 public:
  MemorySource(const std::uint8_t* data, std::size_t size) : next_(data), end_(data + size) {}

  bool Next(std::uint8_t& b) {
    if (next_ == end_) return false;
    b = *next_++;
    return true;
  }
  std::size_t Available() const { return static_cast<std::size_t>(end_ - next_); }
  const std::uint8_t* Data() const { return next_; }
  void Advance(std::size_t n) { next_ += n; }

 private:
  const std::uint8_t* next_;
  const std::uint8_t* end_;
};

// One piece of an input that arrives in pieces; Final() tells whether it is
// the last. The loops built for pieces stop where such a piece runs short
// and leave the rest of it to the caller.
class PieceSource : public MemorySource {
 public:
  PieceSource(const std::uint8_t* data, std::size_t size, bool final)
      : MemorySource(data, size), final_(final) {}
  bool Final() const { return final_; }

 private:
  bool final_;
};

static_assert(ByteSource<MemorySource>);
static_assert(PieceByteSource<PieceSource>);

}  // namespace lzring

#endif  // LZRING_CODEC_MEMORY_SOURCE_H
