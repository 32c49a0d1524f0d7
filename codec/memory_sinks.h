// Byte sinks in memory, for the codec loops: a caller's fixed buffer, a
// growing vector, and a counter that keeps nothing. With the sources in
// memory (memory_source.h) they let the codec run as a library, without
// files; the stream layer's FileSink has the same shape.
#ifndef LZRING_CODEC_MEMORY_SINKS_H
#define LZRING_CODEC_MEMORY_SINKS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/byte_source_sink.h"

namespace lzring {

// Writes into [data, data + capacity); fails once that is full.
class BufferSink {
 public:
  BufferSink(std::uint8_t* data, std::size_t capacity)
      : begin_(data), next_(data), end_(data + capacity) {}

  bool Put(std::uint8_t b) {
    if (next_ == end_) {
      overflow_ = true;
      return false;
    }
    *next_++ = b;
    return true;
  }
  std::size_t Room() const { return static_cast<std::size_t>(end_ - next_); }
  std::uint8_t* Space() { return next_; }
  bool Commit(std::size_t n) {
    next_ += n;
    return true;
  }
  std::size_t size() const { return static_cast<std::size_t>(next_ - begin_); }
  bool overflow() const { return overflow_; }

 private:
  std::uint8_t* begin_;
  std::uint8_t* next_;
  std::uint8_t* end_;
  bool overflow_ = false;
};

// Appends to a vector, growing it geometrically (never once per byte).
class VectorSink {
 public:
  explicit VectorSink(std::vector<std::uint8_t>& out) : out_(out), size_(out.size()) {
    if (out_.size() < size_ + kMinRoom) out_.resize(size_ + kMinRoom);
  }
  ~VectorSink() { out_.resize(size_); }
  VectorSink(const VectorSink&) = delete;
  VectorSink& operator=(const VectorSink&) = delete;

  bool Put(std::uint8_t b) {
    if (size_ == out_.size()) Grow();
    out_[size_++] = b;
    return true;
  }
  std::size_t Room() {
    if (out_.size() - size_ < kMinRoom) Grow();
    return out_.size() - size_;
  }
  std::uint8_t* Space() { return out_.data() + size_; }
  bool Commit(std::size_t n) {
    size_ += n;
    return true;
  }

 private:
  // Enough for the decoder's whole-group path (8 x 18 bytes) to run.
  static constexpr std::size_t kMinRoom = 256;
  void Grow() { out_.resize(out_.size() * 2 + kMinRoom); }

  std::vector<std::uint8_t>& out_;
  std::size_t size_;
};

// Counts bytes and keeps only the last block's worth of them.
class CountingSink {
 public:
  bool Put(std::uint8_t) {
    ++count_;
    return true;
  }
  std::size_t Room() const { return sizeof scratch_; }
  std::uint8_t* Space() { return scratch_; }
  bool Commit(std::size_t n) {
    count_ += n;
    return true;
  }
  std::uint64_t count() const { return count_; }

 private:
  std::uint64_t count_ = 0;
  std::uint8_t scratch_[256];
};

static_assert(ByteSink<BufferSink>);
static_assert(ByteSink<VectorSink>);
static_assert(ByteSink<CountingSink>);

}  // namespace lzring

#endif  // LZRING_CODEC_MEMORY_SINKS_H
