// The encoder on several threads: the same bytes as EncodeStream, for every
// source and every number of threads.
//
// The match trees do nearly all of the encoder's work, and they can be
// shared out among threads, each doing every operation of its own trees in
// order (see tree_worker.h). The thread that feeds the source gathers it
// into pieces, hands them to the workers (tree_pool.h), and turns the
// matches they record into units exactly as the one-thread encoder chooses
// them: at each unit's position the match that position's insertion found,
// cut to the bytes left near the end, a literal below MIN_MATCH bytes. The
// workers' trees and results being those of the one-thread encoder, so are
// the units.
//
// The source comes in any number of writes of any size, so the same object
// serves a whole source in memory, a descriptor read block by block, and a
// stream fed piece by piece.
#ifndef LZRING_CODEC_PARALLEL_ENCODER_H
#define LZRING_CODEC_PARALLEL_ENCODER_H

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "api/workspace.h"
#include "codec/encoder.h"
#include "codec/run_index.h"
#include "codec/tree_pool.h"
#include "codec/tree_split.h"
#include "codec/tree_worker.h"
#include "codec/unit_group.h"
#include "io/memory_stream.h"
#include "io/thread.h"

namespace lzring {

struct ParallelOptions {
  // Tree workers, the thread that feeds the encoder among them (it also
  // reads and codes); the others are threads of their own.
  unsigned workers = 2;
  // Source bytes per piece. Two pieces and their records (4 bytes per
  // byte) are held at a time. The first piece is min_parallel bytes (or
  // piece_size, if smaller) and each next one twice the one before, up to
  // piece_size: a source of a few hundred KiB is then several pieces, which
  // keeps the workers and the coding going at the same time.
  std::size_t piece_size = std::size_t{1} << 18;
  // Sources shorter than this, known from their first piece, are coded on
  // the feeding thread alone: starting the workers would cost more than
  // they save.
  std::uint64_t min_parallel = std::uint64_t{1} << 16;
  // The least speed-up, expected from the first piece's bytes, for which
  // the workers are started; below it the feeding thread codes alone.
  double min_gain = 1.25;
  // When the work of two pieces in a row kept fewer processors than this
  // busy (TreePool::Parallelism), the workers stop and the feeding thread
  // codes the rest alone: the workers' own costs then outweigh what they
  // share, as on a long run of one byte value.
  double min_parallelism = 1.25;
  ThreadStartFn start_thread = ThreadStart;
};

// Results of ParallelEncoder's calls besides 0 (done) and the errno values
// of a failed set-up (ENOMEM, or the error of a thread that could not
// start).
inline constexpr int kParallelSinkFailed = -1;

namespace parallel_detail {

// Turns the records of successive pieces into units.
class UnitCoder {
 public:
  // The position of the next unit, and the group it goes into.
  std::uint64_t next() const { return next_; }
  const UnitGroup& group() const { return group_; }

  // Codes every unit that starts before the piece's last recorded
  // position; a unit may reach into the next piece. False when `out`
  // failed.
  template <class Sink>
  bool Code(const Piece& piece, Sink& out) {
    const SourcePiece& src = piece.view;
    const MatchRecord* const records = piece.records.get();
    std::uint64_t p = next_;
    while (p < piece.records_end) {
      const MatchRecord record = records[p - piece.records_begin];
      std::int32_t length = static_cast<std::int32_t>(record >> kRecordLengthShift);
      // Near the end of the source a match can run past the real data
      // (short of it, every position has 18 bytes ahead).
      if (src.final && static_cast<std::uint64_t>(length) > src.end - p) {
        length = static_cast<std::int32_t>(src.end - p);
      }
      bool full;
      if (length < MIN_MATCH) {
        full = group_.Literal(src.At(p));
        length = 1;
      } else {
        full = group_.Reference(static_cast<std::int32_t>(record & RING_MASK), length);
      }
      p += static_cast<std::uint64_t>(length);
      if (full && !group_.Put(out)) return false;
    }
    next_ = p;
    if (src.final && !group_.Empty()) return group_.Put(out);
    return true;
  }

 private:
  UnitGroup group_;
  std::uint64_t next_ = 0;  // position of the next unit
};

}  // namespace parallel_detail

// Compresses a source written to it in pieces, with `options.workers`
// threads doing the tree work: the bytes EncodeStream gives for the whole
// source. A source that does not pay for the threads (short, or nearly all
// in a few trees, as its first piece shows) is coded by the feeding thread
// alone in `ws` and `runs`; the workers have state of their own.
//
// Write() and Finish() return 0, kParallelSinkFailed as soon as the sink
// failed, or the errno value of a failed set-up; after a failure the object
// only reports it again.
class ParallelEncoder {
 public:
  ParallelEncoder(Workspace& ws, RunIndex& runs, const ParallelOptions& options)
      : ws_(ws),
        runs_(runs),
        options_(options),
        workers_(std::clamp(options.workers, 1u, TreePool::kMaxWorkers)),
        piece_size_(std::max<std::size_t>(options.piece_size, MAX_MATCH)),
        target_(static_cast<std::size_t>(
            std::clamp<std::uint64_t>(options.min_parallel, MAX_MATCH, piece_size_))) {}
  ParallelEncoder(const ParallelEncoder&) = delete;
  ParallelEncoder& operator=(const ParallelEncoder&) = delete;

  // Takes the next `size` bytes of the source.
  template <class Sink>
  int Write(const std::uint8_t* data, std::size_t size, Sink& out) {
    if (result_ != 0 || mode_ == Mode::kDone) return result_;
    if (mode_ == Mode::kNew) {
      if (const int error = pool_.Allocate(workers_, piece_size_)) return Fail(error);
      mode_ = Mode::kFirst;
    }
    while (size > 0) {
      const std::size_t take = std::min(size, target_ - filled_);
      std::memcpy(Filling() + filled_, data, take);
      filled_ += take;
      data += take;
      size -= take;
      if (filled_ == target_) {
        if (const int result = PieceFull(false, out)) return Fail(result);
      }
    }
    return 0;
  }

  // Ends the source and codes the rest of it.
  template <class Sink>
  int Finish(Sink& out) {
    if (result_ != 0 || mode_ == Mode::kDone) return result_;
    if (mode_ == Mode::kNew) {
      if (const int error = pool_.Allocate(workers_, piece_size_)) return Fail(error);
      mode_ = Mode::kFirst;
    }
    if (const int result = PieceFull(true, out)) return Fail(result);
    if (mode_ == Mode::kParallel) {
      for (; coded_ <= filling_; ++coded_) {
        if (!CodePiece(coded_, out)) return Fail(kParallelSinkFailed);
      }
      pool_.Stop();
    }
    mode_ = Mode::kDone;
    return 0;
  }

  // Whether worker threads took part (for tests and the benchmark).
  bool UsedWorkers() const { return used_workers_; }

 private:
  enum class Mode { kNew, kFirst, kParallel, kSerial, kDone };

  std::uint8_t* Filling() { return pool_.PieceFor(filling_).bytes.get() + MAX_MATCH; }

  int Fail(int result) {
    pool_.Stop();
    result_ = result;
    return result;
  }

  // The piece being filled is full, or the source has ended (`final`).
  template <class Sink>
  int PieceFull(bool final, Sink& out) {
    if (mode_ == Mode::kFirst) {
      if (UseWorkers(final)) {
        if (const int error = pool_.Start(owner_, options_.start_thread)) return error;
        used_workers_ = true;
        mode_ = Mode::kParallel;
      } else {
        StartEncoder(ws_, runs_, serial_);
        mode_ = Mode::kSerial;
      }
    }
    if (mode_ == Mode::kSerial) {
      target_ = piece_size_;
      return CodeAlone(final, out);
    }
    if (poor_pieces_ >= 2 && !final) return GoOnAlone(out);
    Publish(final);
    if (final) return 0;
    begin_ += filled_;
    target_ = std::min(piece_size_, 2 * target_);
    // The next piece goes where the one before this was: that one must be
    // worked and coded first.
    if (filling_ >= 1 && !CodePiece(filling_ - 1, out)) return kParallelSinkFailed;
    coded_ = filling_;
    ++filling_;
    filled_ = 0;
    return 0;
  }

  // Decides from the first piece whether workers pay, and how to share the
  // trees among them at first: by the byte counts, until work is measured.
  bool UseWorkers(bool final) {
    const std::uint8_t* const data = Filling();
    if (final && filled_ < options_.min_parallel) return false;
    std::uint64_t count[kTreeCount] = {};
    for (std::size_t i = 0; i < filled_; ++i) ++count[data[i]];
    std::uint64_t weight[kTreeCount];
    EstimateTreeWork(count, weight);
    const std::uint64_t busiest = SplitTrees(weight, workers_, owner_);
    std::uint64_t total = 0;
    for (const std::uint64_t w : weight) total += w;
    return busiest > 0 && static_cast<double>(total) >= options_.min_gain * busiest;
  }

  // Codes the gathered bytes on this thread, keeping the few that the loop
  // leaves for the next run at the front of the piece.
  template <class Sink>
  int CodeAlone(bool final, Sink& out) {
    std::uint8_t* const data = Filling();
    PieceSource source(data, filled_, final);
    if (EncodeRun<true>(ws_, runs_, serial_, source, out) == EncodeStatus::kSinkFailed) {
      return kParallelSinkFailed;
    }
    filled_ = source.Available();
    std::memmove(data, source.Data(), filled_);
    return 0;
  }

  // Hands the piece being filled to the workers, with the bytes before it
  // that they and the coder need, and the trees' new owners when the
  // measured work called for a new split.
  void Publish(bool final) {
    Piece& piece = pool_.PieceFor(filling_);
    const std::uint64_t begin = begin_;
    std::size_t history = 0;
    if (filling_ > 0) {
      const SourcePiece& before = pool_.PieceFor(filling_ - 1).view;
      history = static_cast<std::size_t>(std::min<std::uint64_t>(before.end, MAX_MATCH));
      std::memcpy(piece.bytes.get() + MAX_MATCH - history, &before.At(before.end - history),
                  history);
    }
    std::uint8_t* const data = piece.bytes.get() + MAX_MATCH;
    piece.view = {data - history, begin - history, begin, begin + filled_, final};
    piece.records_begin =
        filling_ > 0 ? pool_.PieceFor(filling_ - 1).records_end : std::uint64_t{0};
    piece.records_end = PositionsReady(piece.view);
    piece.done = 0;
    piece.resplit = resplit_;
    std::memcpy(piece.owner, owner_, sizeof owner_);
    resplit_ = false;
    pool_.Publish(filling_);
  }

  // Waits for piece k, codes it, and from the work it took decides whether
  // the trees change owner before the next piece published: when another
  // split would make the busiest worker's share clearly smaller.
  template <class Sink>
  bool CodePiece(std::uint64_t k, Sink& out) {
    pool_.WaitDone(k);
    const std::uint64_t start = ThreadCpuNanos();
    if (!coder_.Code(pool_.PieceFor(k), out)) return false;
    pool_.AddBusy(k, ThreadCpuNanos() - start);
    poor_pieces_ = pool_.Parallelism(k) < options_.min_parallelism ? poor_pieces_ + 1 : 0;
    double work[kTreeCount];
    pool_.MeasureWork(k, work);
    std::uint8_t better[kTreeCount];
    const double now = BusiestLoad(work, workers_, owner_);
    const double best = SplitTrees(work, workers_, better);
    if (best < now * kResplitGain) {
      std::memcpy(owner_, better, sizeof owner_);
      resplit_ = true;
    }
    return true;
  }

  // A new split must make the busiest worker's share at least this much
  // smaller; moving trees costs a meeting of all workers.
  static constexpr double kResplitGain = 0.95;

  // Stops the workers and codes the rest of the source on this thread:
  // the piece being filled, which is full, and all that follows. The loop
  // goes on from where the workers and the coder stand, at the position of
  // the next unit, with the trees and ring it needs merged from the
  // workers; the output is the same as if it had run from the start.
  template <class Sink>
  int GoOnAlone(Sink& out) {
    for (; coded_ < filling_; ++coded_) {
      if (!CodePiece(coded_, out)) return kParallelSinkFailed;
    }
    // Let the workers go exactly as far as the next unit's position p: its
    // insertion needs the source up to p + 18. The coder has coded every
    // unit before the last piece's recorded positions, so p + 18 lies
    // within the first 19 bytes of this piece.
    const std::uint64_t p = coder_.next();
    const std::size_t full = filled_;
    filled_ = static_cast<std::size_t>(p + MAX_MATCH - begin_);
    Publish(false);
    pool_.WaitDone(filling_);
    const Piece& last = pool_.PieceFor(filling_);
    const MatchRecord record = last.records[p - last.records_begin];
    pool_.MergeInto(ws_, filling_);
    pool_.Stop();

    // The one-thread loop's state at a unit's start: look-ahead full, the
    // unit's match found, the group as the coder left it.
    runs_.Reset();
    serial_ = EncoderState{};
    serial_.short_walks = true;  // the run index is empty
    StartEncoderAt(serial_, static_cast<std::int32_t>((RING_START + p) & RING_MASK));
    coder_.group().CopyTo(serial_.group, serial_.group_len, serial_.flag_mask);
    ws_.best_length = static_cast<std::int32_t>(record >> kRecordLengthShift);
    ws_.best_position = static_cast<std::int32_t>(record & RING_MASK);
    // ...and the source from p + 18 on.
    std::uint8_t* const data = Filling();
    std::memmove(data, data + filled_, full - filled_);
    filled_ = full - filled_;
    target_ = piece_size_;
    mode_ = Mode::kSerial;
    return CodeAlone(false, out);
  }

  Workspace& ws_;
  RunIndex& runs_;
  const ParallelOptions options_;
  const unsigned workers_;
  const std::size_t piece_size_;
  TreePool pool_;
  Mode mode_ = Mode::kNew;
  int result_ = 0;
  bool used_workers_ = false;
  std::size_t target_;         // the size of the piece being filled
  std::uint64_t filling_ = 0;  // the piece being filled
  std::uint64_t begin_ = 0;    // the source index of its first byte
  std::size_t filled_ = 0;     // its bytes so far
  std::uint64_t coded_ = 0;    // pieces before this one are coded
  std::uint8_t owner_[kTreeCount] = {};
  bool resplit_ = false;  // owner_ is new since the last piece published
  int poor_pieces_ = 0;   // pieces in a row that kept too few processors busy
  parallel_detail::UnitCoder coder_;
  EncoderState serial_{};
};

// Compresses all of `in` into `out` through a ParallelEncoder; returns as
// its calls do.
template <class Source, class Sink>
int ParallelEncodeStream(Workspace& ws, RunIndex& runs, Source& in, Sink& out,
                         const ParallelOptions& options) {
  ParallelEncoder encoder(ws, runs, options);
  for (;;) {
    const std::size_t available = in.Available();
    int result;
    if (available > 0) {
      result = encoder.Write(in.Data(), available, out);
      in.Advance(available);
    } else {
      std::uint8_t b;
      if (!in.Next(b)) break;
      result = encoder.Write(&b, 1, out);
    }
    if (result != 0) return result;
  }
  return encoder.Finish(out);
}

}  // namespace lzring

#endif  // LZRING_CODEC_PARALLEL_ENCODER_H
