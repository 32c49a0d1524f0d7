// lzring::decoder: expansion of a compressed stream that arrives in pieces.
// Each piece goes straight through the decoder loop built for pieces, which
// expands every unit the piece holds whole and keeps the flags of a group
// the piece cut. A reference cut between its two bytes leaves its first byte
// here; the next piece's first byte completes it, and the pair is decoded
// on its own before the loop goes on in that piece.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "api/piece_sinks.h"
#include "codec/decode_loop.h"
#include "codec/format.h"
#include "codec/memory_sinks.h"
#include "codec/memory_source.h"
#include "lzring/lzring.hpp"

namespace lzring {

struct decoder::state {
  state(sink_fn s, std::uint64_t l) : sink(std::move(s)), limit(l) { Start(); }

  void Start() {
    StartDecoder(dec);
    carried = 0;
    bytes_in = 0;
    queue.Clear();
    // Nothing asked for: the stream ends before its first byte.
    at_limit = limit == 0;
    failed = false;
    finished = false;
  }

  // Expands what `source` holds through the loop. True when it wants more input.
  bool Expand(PieceSource& source) {
    DecodeStatus status;
    std::exception_ptr error;
    if (sink) {
      FunctionSink out(sink);
      status = DecodeSpan<true>(dec, source, out, limit);
      error = out.TakeError();
    } else {
      status = DecodeSpan<true>(dec, source, queue, limit);
      error = queue.TakeError();
    }
    if (status == DecodeStatus::kSinkFailed) {
      failed = true;
      if (error) std::rethrow_exception(error);
    }
    if (status == DecodeStatus::kLimit) at_limit = true;
    return status == DecodeStatus::kNeedInput;
  }

  // Expands what `piece` completes, keeping the first byte of a reference
  // that its end cuts. False when the sink failed.
  bool Write(std::span<const std::uint8_t> piece) {
    if (piece.empty()) return true;
    if (carried > 0) {
      // Complete the cut reference with the piece's first byte.
      carry[1] = piece[0];
      piece = piece.subspan(1);
      PieceSource pair(carry, 2, false);
      carried = 0;
      if (!Expand(pair)) return !failed;
      if (piece.empty()) return true;
    }
    PieceSource source(piece.data(), piece.size(), false);
    if (!Expand(source)) return !failed;
    // The loop leaves at most the first byte of a reference.
    carried = source.Available();
    if (carried > 0) carry[0] = *source.Data();
    return true;
  }

  DecoderState dec;
  std::uint8_t carry[2];  // a reference cut by a piece's end: its first byte
  std::size_t carried = 0;
  OutputQueue queue;
  sink_fn sink;
  std::uint64_t limit;
  std::uint64_t bytes_in = 0;
  bool at_limit = false;
  bool failed = false;
  bool finished = false;
};

decoder::decoder(sink_fn sink, std::uint64_t limit)
    : state_(std::make_unique<state>(std::move(sink), limit)) {}
decoder::~decoder() = default;
decoder::decoder(decoder&& other) noexcept = default;
decoder& decoder::operator=(decoder&& other) noexcept = default;

bool decoder::write(std::span<const std::uint8_t> piece) {
  std::size_t used;
  return write(piece, used);
}

bool decoder::write(std::span<const std::uint8_t> piece, std::size_t& used) {
  used = 0;
  if (!state_) return false;
  state& s = *state_;
  if (s.failed || s.finished) return false;
  if (s.queue.Holds(piece)) {
    // The object's own output, which expanding may move: take a copy.
    const std::vector<std::uint8_t> copy(piece.begin(), piece.end());
    return write(copy, used);
  }
  if (s.at_limit) {
    s.bytes_in += piece.size();
    return true;
  }
  // The loop counts the input it used from the start of the stream, which
  // is where everything written starts: this piece starts at bytes_in.
  const std::uint64_t start = s.bytes_in;
  s.bytes_in += piece.size();
  const bool ok = s.Write(piece);
  if (s.at_limit || s.failed) {
    // The stream ended, or the sink failed, inside this piece: used up to
    // the end of the last unit expanded (which a failure may leave before
    // the piece, in a group it continues).
    used = s.dec.used > start ? static_cast<std::size_t>(s.dec.used - start) : 0;
  } else {
    used = piece.size();
  }
  return ok;
}

bool decoder::finish() {
  if (!state_) return false;
  state& s = *state_;
  if (s.failed) return false;
  if (s.finished) return true;
  if (!s.at_limit) {
    PieceSource rest(s.carry, s.carried, true);
    s.Expand(rest);
    s.carried = 0;
    if (s.failed) return false;
  }
  s.finished = true;
  return true;
}

// A moved-from object has no state: it stays failed, with nothing to give.
void decoder::reset() {
  if (state_) state_->Start();
}

std::span<const std::uint8_t> decoder::output() const noexcept {
  return state_ ? state_->queue.Pending() : std::span<const std::uint8_t>();
}

void decoder::consume(std::size_t n) noexcept {
  if (state_) state_->queue.Drop(n);
}

std::size_t decoder::read(std::span<std::uint8_t> out) noexcept {
  return state_ ? state_->queue.Read(out) : 0;
}

std::uint64_t decoder::bytes_in() const noexcept {
  return state_ ? state_->bytes_in : 0;
}

std::uint64_t decoder::bytes_used() const noexcept {
  return state_ ? state_->dec.used : 0;
}

std::uint64_t decoder::bytes_out() const noexcept {
  return state_ ? Produced(state_->dec) : 0;
}

bool decoder::at_limit() const noexcept {
  return state_ && state_->at_limit;
}

bool decoder::ended_early() const noexcept {
  return state_ && state_->finished && !state_->at_limit && state_->limit != no_limit;
}

bool decoder::failed() const noexcept {
  return !state_ || state_->failed;
}

bool decoder::finished() const noexcept {
  return state_ && state_->finished;
}

}  // namespace lzring
