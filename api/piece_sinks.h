// The sinks of the encoder and decoder objects: a queue inside the object
// that the caller drains, and the caller's sink function. Both have the
// shape the codec loops expect (see codec/memory_sinks.h).
//
// The loops must not be left by an exception: their state would not be
// saved. So these sinks catch what they meet (an allocation failure, an
// exception of the caller's function), keep it, and fail instead; the
// object then rethrows it once the loop has returned.
#ifndef LZRING_API_PIECE_SINKS_H
#define LZRING_API_PIECE_SINKS_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <span>
#include <utility>

#include "codec/byte_source_sink.h"
#include "lzring/lzring.hpp"

namespace lzring {

// Output waiting to be taken: bytes [head, tail) of one growing block.
// Taken bytes are dropped from the front; the rest moves to the front only
// when room is needed, so draining costs no copy.
class OutputQueue {
 public:
  bool Put(std::uint8_t b) {
    if (!Reserve(1)) return false;
    data_[tail_++] = b;
    return true;
  }
  std::size_t Room() {
    Reserve(kMinRoom);
    return capacity_ - tail_;
  }
  std::uint8_t* Space() { return data_.get() + tail_; }
  bool Commit(std::size_t n) {
    tail_ += n;
    total_ += n;
    return true;
  }
  bool PutBytes(const std::uint8_t* data, std::size_t n) {
    if (n == 0) return true;
    if (!Reserve(n)) return false;
    std::memcpy(data_.get() + tail_, data, n);
    return Commit(n);
  }

  std::span<const std::uint8_t> Pending() const { return {data_.get() + head_, tail_ - head_}; }
  // True when `bytes` lie in the queue's block (a piece taken from the
  // object's own output), which the next pass may move or free.
  bool Holds(std::span<const std::uint8_t> bytes) const {
    if (bytes.empty() || data_ == nullptr) return false;
    const std::less<const std::uint8_t*> before;
    return before(bytes.data(), data_.get() + capacity_) &&
           before(data_.get(), bytes.data() + bytes.size());
  }
  void Drop(std::size_t n) {
    head_ += n < tail_ - head_ ? n : tail_ - head_;
    if (head_ == tail_) head_ = tail_ = 0;
  }
  std::size_t Read(std::span<std::uint8_t> out) {
    const std::span<const std::uint8_t> pending = Pending();
    const std::size_t n = out.size() < pending.size() ? out.size() : pending.size();
    // `out` may overlap the queue itself.
    if (n > 0) std::memmove(out.data(), pending.data(), n);
    Drop(n);
    return n;
  }
  void Clear() {
    head_ = tail_ = 0;
    total_ = 0;
  }
  std::uint64_t Total() const { return total_; }
  // An allocation that failed in a loop, to be rethrown after it.
  std::exception_ptr TakeError() { return std::exchange(error_, nullptr); }

 private:
  // Enough for a whole group of the encoder, and more.
  static constexpr std::size_t kMinRoom = 256;

  // Makes room for `n` more bytes; false (the error kept) when that fails.
  bool Reserve(std::size_t n) {
    if (capacity_ - tail_ >= n) return true;
    const std::size_t pending = tail_ - head_;
    if (head_ > 0 && capacity_ - pending >= n) {
      std::memmove(data_.get(), data_.get() + head_, pending);
      head_ = 0;
      tail_ = pending;
      return true;
    }
    try {
      const std::size_t capacity = 2 * capacity_ + n + kMinRoom;
      std::unique_ptr<std::uint8_t[]> grown(new std::uint8_t[capacity]);
      if (pending > 0) std::memcpy(grown.get(), data_.get() + head_, pending);
      data_ = std::move(grown);
      capacity_ = capacity;
      head_ = 0;
      tail_ = pending;
      return true;
    } catch (...) {
      error_ = std::current_exception();
      return false;
    }
  }

  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  std::uint64_t total_ = 0;
  std::exception_ptr error_;
};

// Hands each run of output bytes to the caller's function.
class FunctionSink {
 public:
  explicit FunctionSink(const sink_fn& sink) : sink_(sink) {}

  bool PutBytes(const std::uint8_t* data, std::size_t n) {
    if (n == 0) return true;
    try {
      if (!sink_(std::span<const std::uint8_t>(data, n))) return false;
    } catch (...) {
      error_ = std::current_exception();
      return false;
    }
    total_ += n;
    return true;
  }
  std::uint64_t Total() const { return total_; }
  std::exception_ptr TakeError() { return std::exchange(error_, nullptr); }

 private:
  const sink_fn& sink_;
  std::uint64_t total_ = 0;
  std::exception_ptr error_;
};

// The encoder writes groups to the queue; the decoder writes to either.
static_assert(ByteSink<OutputQueue> && BulkByteSink<OutputQueue>);
static_assert(DecoderSink<FunctionSink>);

}  // namespace lzring

#endif  // LZRING_API_PIECE_SINKS_H
