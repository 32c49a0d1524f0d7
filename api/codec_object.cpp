// The codec object and its in-memory functions: the codec loops run over a
// MemorySource and a caller's buffer, a vector or a byte counter.
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <system_error>
#include <vector>

#include "api/codec_object_state.h"
#include "codec/decode_loop.h"
#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/memory_source.h"
#include "lzring.h"
#include "lzring/lzring.hpp"

namespace lzring {
namespace {

MemorySource SourceOf(std::span<const std::uint8_t> in) {
  return MemorySource(in.data(), in.size());
}

// True when the two spans share a byte. The loops read the input while they
// write the output, so an overlap would feed them their own output.
bool Overlap(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  if (in.empty() || out.empty()) return false;
  // Pointers into different objects are ordered by std::less alone.
  const std::less<const std::uint8_t*> before;
  return before(in.data(), out.data() + out.size()) && before(out.data(), in.data() + in.size());
}

// True when `in` lies in the storage of `out`, which the call resizes and
// writes while it reads `in`.
bool InStorageOf(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
  return Overlap(in, std::span<std::uint8_t>(out.data(), out.capacity()));
}

// What a call on a moved-from codec raises.
[[noreturn]] void ThrowMovedFrom(const char* what) {
  throw std::system_error(std::make_error_code(std::errc::invalid_argument), what);
}

// Runs `loop` into the caller's buffer; a full buffer is the only way a
// memory sink can fail, and overlapping spans are refused before it starts.
template <class Loop>
std::size_t IntoBuffer(bool usable, std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                       std::error_code& ec, Loop&& loop) {
  if (!usable || Overlap(in, out)) {
    ec = std::make_error_code(std::errc::invalid_argument);
    return 0;
  }
  BufferSink sink(out.data(), out.size());
  if (!loop(sink) || sink.overflow()) {
    ec = std::make_error_code(std::errc::no_buffer_space);
    return 0;
  }
  ec.clear();
  return sink.size();
}

std::size_t ThrowOnError(std::size_t n, const std::error_code& ec, const char* what) {
  if (ec) throw std::system_error(ec, what);
  return n;
}

}  // namespace

codec::codec() : state_(std::make_unique<state>()) {}
codec::~codec() = default;
codec::codec(codec&& other) noexcept = default;
codec& codec::operator=(codec&& other) noexcept = default;

codec::codec(unsigned threads) : codec() {
  set_threads(threads);
}

void codec::set_threads(unsigned threads) noexcept {
  if (state_) state_->threads = ResolveThreads(threads);
}

void codec::set_best(bool best) noexcept {
  if (state_) state_->best = best;
}

bool codec::best() const noexcept {
  return state_ && state_->best;
}

unsigned codec::threads() const noexcept {
  return state_ ? state_->threads : 0;
}

std::uint64_t codec::threads_not_started() const noexcept {
  return state_ ? state_->threads_not_started : 0;
}

void codec::compress(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
  if (!state_) ThrowMovedFrom("lzring::codec::compress");
  if (InStorageOf(in, out)) {
    const std::vector<std::uint8_t> copy(in.begin(), in.end());
    compress(copy, out);
    return;
  }
  // Sized for the worst case up front: one allocation at most, and the
  // buffer cannot overflow.
  out.resize(static_cast<std::size_t>(compress_bound(in.size())));
  MemorySource source = SourceOf(in);
  BufferSink sink(out.data(), out.size());
  const int result = state_->Compress(source, sink, in.size());
  if (result > 0) {  // ENOMEM: the pieces for several threads
    out.clear();
    throw std::bad_alloc();
  }
  out.resize(sink.size());
}

std::vector<std::uint8_t> codec::compress(std::span<const std::uint8_t> in) {
  std::vector<std::uint8_t> out;
  compress(in, out);
  return out;
}

std::size_t codec::compress_into(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                 std::error_code& ec) noexcept {
  MemorySource source = SourceOf(in);
  int failed_setup = 0;
  const std::size_t n = IntoBuffer(state_ != nullptr, in, out, ec, [&](BufferSink& sink) {
    const int result = state_->Compress(source, sink, in.size());
    if (result > 0) failed_setup = result;
    return result == 0;
  });
  if (failed_setup != 0) ec = std::error_code(failed_setup, std::generic_category());
  return n;
}

std::size_t codec::compress_into(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  std::error_code ec;
  const std::size_t n = compress_into(in, out, ec);
  return ThrowOnError(n, ec, "lzring::codec::compress_into");
}

void codec::expand(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
  if (!state_) ThrowMovedFrom("lzring::codec::expand");
  if (InStorageOf(in, out)) {
    const std::vector<std::uint8_t> copy(in.begin(), in.end());
    expand(copy, out);
    return;
  }
  out.clear();
  MemorySource source = SourceOf(in);
  VectorSink sink(out);  // grows geometrically; trims to size when it goes
  DecodeStream(state_->ws.ring, source, sink);
}

std::vector<std::uint8_t> codec::expand(std::span<const std::uint8_t> in) {
  std::vector<std::uint8_t> out;
  expand(in, out);
  return out;
}

std::size_t codec::expand_into(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                               std::error_code& ec) noexcept {
  MemorySource source = SourceOf(in);
  return IntoBuffer(state_ != nullptr, in, out, ec,
                    [&](BufferSink& sink) { return DecodeStream(state_->ws.ring, source, sink); });
}

std::size_t codec::expand_into(std::span<const std::uint8_t> in, std::span<std::uint8_t> out) {
  std::error_code ec;
  const std::size_t n = expand_into(in, out, ec);
  return ThrowOnError(n, ec, "lzring::codec::expand_into");
}

std::uint64_t codec::expanded_size(std::span<const std::uint8_t> in) noexcept {
  if (!state_) return 0;
  MemorySource source = SourceOf(in);
  CountingSink sink;
  DecodeStream(state_->ws.ring, source, sink);
  return sink.count();
}

bounded_result codec::expand_bounded(std::span<const std::uint8_t> in,
                                     std::span<std::uint8_t> out) noexcept {
  bounded_result result;
  if (!state_ || Overlap(in, out)) {
    result.read_error = std::make_error_code(std::errc::invalid_argument);
    return result;
  }
  MemorySource source = SourceOf(in);
  BufferSink sink(out.data(), out.size());  // never overflows: the limit is its size
  DecoderState st;
  const DecodeStatus status = DecodeBounded(state_->ws.ring, st, source, sink, out.size());
  result.bytes_out = Produced(st);
  result.bytes_used = st.used;
  result.ended = status == DecodeStatus::kEnded;
  return result;
}

std::vector<std::uint8_t> compress(std::span<const std::uint8_t> in) {
  return codec().compress(in);
}

std::vector<std::uint8_t> compress(std::span<const std::uint8_t> in, unsigned threads) {
  return codec(threads).compress(in);
}

std::vector<std::uint8_t> expand(std::span<const std::uint8_t> in) {
  return codec().expand(in);
}

std::uint64_t expanded_size(std::span<const std::uint8_t> in) {
  return codec().expanded_size(in);
}

const char* version() noexcept {
  return LZRING_VERSION_STRING;
}

}  // namespace lzring
