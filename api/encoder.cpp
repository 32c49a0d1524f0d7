// lzring::encoder: compression of a source that arrives in pieces. The
// pieces are gathered kGatherBytes at a time, and each gathering goes through the
// encoder loop built for pieces, which codes up to the last 17 bytes and
// leaves them for the next pass. Its output collects in a queue, which is
// handed to the caller's sink after every pass when there is one. With
// several threads the pieces go to the parallel encoder instead, which
// gathers them into pieces of its own, and for the smallest stream to the
// encoder of that (best_encoder.h), likewise.
#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "api/codec_object_state.h"
#include "api/piece_sinks.h"
#include "api/workspace.h"
#include "codec/best_encoder.h"
#include "codec/encode_loop.h"
#include "codec/memory_sinks.h"
#include "codec/parallel/parallel_encoder.h"
#include "codec/run_index.h"
#include "lzring/lzring.hpp"

namespace lzring {
namespace {

// Source bytes gathered before a pass of the loop: a piece of the thread
// policy's size, as on several threads. The loop's cost per pass is a few
// hundred bytes of state; this keeps it far below a thousandth.
constexpr std::size_t kGatherBytes = FirstPieceSize(ParallelOptions{});

}  // namespace

struct encoder::state {
  state(sink_fn s, unsigned n, bool b) : threads(ResolveThreads(n)), best(b), sink(std::move(s)) {
    Start();
  }

  void Start() {
    StartEncoder(ws, runs, enc);
    if (parallel) not_started += parallel->ThreadsNotStarted();
    if (smallest) not_started += smallest->ThreadsNotStarted();
    if (best) {
      smallest = std::make_unique<BestEncoder>(threads);
    } else if (parallel) {
      // The threads and pieces stay with the object from stream to stream.
      parallel->Reset(ParallelOptionsFor(threads, UINT64_MAX));
    } else if (threads > 1) {
      parallel =
          std::make_unique<ParallelEncoder>(ws, runs, ParallelOptionsFor(threads, UINT64_MAX));
    }
    gathered = 0;
    bytes_in = 0;
    queue.Clear();
    failed = false;
    finished = false;
  }

  // Codes the gathered bytes; keeps what the loop leaves for the next pass.
  // False (or an exception) when the object fails.
  bool CodeGathered(bool final) {
    if (EncodeGathered(ws, runs, enc, in.get(), gathered, final, queue) ==
        EncodeStatus::kSinkFailed) {
      return Fail(queue.TakeError());
    }
    return Deliver();
  }

  // Takes `piece` into the encoder on several threads, or ends its source
  // (a null piece). False (or an exception) when the object fails.
  bool WriteParallel(const std::uint8_t* piece, std::size_t size) {
    const int result =
        piece != nullptr ? parallel->Write(piece, size, queue) : parallel->Finish(queue);
    if (result == kParallelSinkFailed) return Fail(queue.TakeError());
    if (result != 0) return Fail(std::make_exception_ptr(std::bad_alloc()));  // ENOMEM
    return Deliver();
  }

  // Takes `piece` into the encoder of the smallest stream, or ends its
  // source (a null piece). False (or an exception) when the object fails.
  bool RunBest(const std::uint8_t* piece, std::size_t size) {
    const int result =
        piece != nullptr ? smallest->Write(piece, size, queue) : smallest->Finish(queue);
    if (result == kBestSinkFailed) return Fail(queue.TakeError());
    if (result != 0) return Fail(std::make_exception_ptr(std::bad_alloc()));  // ENOMEM
    return Deliver();
  }

  // Hands the queue to the sink, when there is one.
  bool Deliver() {
    if (!sink) return true;
    const std::span<const std::uint8_t> pending = queue.Pending();
    if (pending.empty()) return true;
    bool taken = false;
    try {
      taken = sink(pending);
    } catch (...) {
      return Fail(std::current_exception());
    }
    queue.Drop(pending.size());
    return taken || Fail(nullptr);
  }

  bool Fail(std::exception_ptr error) {
    failed = true;
    if (error) std::rethrow_exception(error);
    return false;
  }

  Workspace ws{};
  RunIndex runs{};
  EncoderState enc{};
  const unsigned threads;
  const bool best;
  std::unique_ptr<ParallelEncoder> parallel;  // with several threads
  std::unique_ptr<BestEncoder> smallest;      // with `best`
  std::unique_ptr<std::uint8_t[]> in{new std::uint8_t[kGatherBytes]};
  std::size_t gathered = 0;
  OutputQueue queue;
  sink_fn sink;
  std::uint64_t bytes_in = 0;
  std::uint64_t not_started = 0;  // by the parallel encoders before this one
  bool failed = false;
  bool finished = false;
};

encoder::encoder(sink_fn sink, unsigned threads)
    : state_(std::make_unique<state>(std::move(sink), threads, false)) {}
encoder::encoder(sink_fn sink, unsigned threads, bool best)
    : state_(std::make_unique<state>(std::move(sink), threads, best)) {}
encoder::~encoder() = default;
encoder::encoder(encoder&& other) noexcept = default;
encoder& encoder::operator=(encoder&& other) noexcept = default;

bool encoder::write(std::span<const std::uint8_t> piece) {
  if (!state_) return false;
  state& s = *state_;
  if (s.failed || s.finished) return false;
  if (s.queue.Holds(piece)) {
    // The object's own output, which coding may move: take a copy.
    const std::vector<std::uint8_t> copy(piece.begin(), piece.end());
    return write(copy);
  }
  s.bytes_in += piece.size();
  if (s.smallest) return piece.empty() || s.RunBest(piece.data(), piece.size());
  if (s.parallel) return piece.empty() || s.WriteParallel(piece.data(), piece.size());
  while (!piece.empty()) {
    const std::size_t take = std::min(piece.size(), kGatherBytes - s.gathered);
    std::memcpy(s.in.get() + s.gathered, piece.data(), take);
    s.gathered += take;
    piece = piece.subspan(take);
    if (s.gathered == kGatherBytes && !s.CodeGathered(false)) return false;
  }
  return true;
}

bool encoder::finish() {
  if (!state_) return false;
  state& s = *state_;
  if (s.failed) return false;
  if (s.finished) return true;
  const bool done = s.smallest   ? s.RunBest(nullptr, 0)
                    : s.parallel ? s.WriteParallel(nullptr, 0)
                                 : s.CodeGathered(true);
  if (!done) return false;
  s.finished = true;
  return true;
}

// A moved-from object has no state: it stays failed, with nothing to give.
void encoder::reset() {
  if (state_) state_->Start();
}

std::span<const std::uint8_t> encoder::output() const noexcept {
  return state_ ? state_->queue.Pending() : std::span<const std::uint8_t>();
}

void encoder::consume(std::size_t n) noexcept {
  if (state_) state_->queue.Drop(n);
}

std::size_t encoder::read(std::span<std::uint8_t> out) noexcept {
  return state_ ? state_->queue.Read(out) : 0;
}

std::uint64_t encoder::bytes_in() const noexcept {
  return state_ ? state_->bytes_in : 0;
}

std::uint64_t encoder::bytes_out() const noexcept {
  return state_ ? state_->queue.Total() : 0;
}

std::uint64_t encoder::threads_not_started() const noexcept {
  if (!state_) return 0;
  const state& s = *state_;
  return s.not_started + (s.parallel ? s.parallel->ThreadsNotStarted() : 0) +
         (s.smallest ? s.smallest->ThreadsNotStarted() : 0);
}

bool encoder::failed() const noexcept {
  return !state_ || state_->failed;
}

bool encoder::finished() const noexcept {
  return state_ && state_->finished;
}

}  // namespace lzring
