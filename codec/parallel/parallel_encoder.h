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
#ifndef LZRING_CODEC_PARALLEL_PARALLEL_ENCODER_H
#define LZRING_CODEC_PARALLEL_PARALLEL_ENCODER_H

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/encode_loop.h"
#include "codec/parallel/thread_policy.h"
#include "codec/parallel/tree_estimate.h"
#include "codec/parallel/tree_pool.h"
#include "codec/parallel/tree_split.h"
#include "codec/parallel/tree_worker.h"
#include "codec/piece_feed.h"
#include "codec/ring_trees.h"
#include "codec/run_index.h"
#include "codec/unit_group.h"
#include "platform/thread.h"

namespace lzring {

// Results of ParallelEncoder's calls besides 0 (done) and ENOMEM (its
// pieces could not be allocated).
inline constexpr int kParallelSinkFailed = -1;

namespace parallel_detail {

// Turns the records of successive pieces into units.
class UnitCoder {
 public:
  // The position of the next unit, and the group it goes into.
  std::uint64_t next() const { return next_; }
  const UnitGroup& group() const { return group_; }
  // Units coded so far.
  std::uint64_t units() const { return units_; }

  // Goes on from where the one-thread loop stands: at the unit at source
  // position p, with its group so far.
  void StartAt(std::uint64_t p, const EncoderState& st) {
    next_ = p;
    group_ = st.group;
  }

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
      // Short of the source's end, every position has 18 bytes ahead.
      const std::uint64_t left = src.final ? src.end - p : UINT64_MAX;
      bool full;
      p += static_cast<std::uint64_t>(
          CodeUnit(group_, static_cast<std::int32_t>(record >> kRecordLengthShift),
                   static_cast<std::int32_t>(record & RING_MASK), left, src.At(p), full));
      ++units_;
      if (full && !group_.Put(out)) return false;
    }
    next_ = p;
    if (src.final && !group_.Empty()) return group_.Put(out);
    return true;
  }

 private:
  UnitGroup group_;
  std::uint64_t next_ = 0;  // position of the next unit
  std::uint64_t units_ = 0;
};

}  // namespace parallel_detail

// Compresses a source written to it in pieces, with up to `options.workers`
// threads doing the tree work: the bytes EncodeStream gives for the whole
// source. The thread policy (thread_policy.h) decides at every piece: a
// piece that does not pay for the threads (short, or nearly all in a few
// trees) is coded by the feeding thread alone in `ws` and `runs`, and the
// workers, which have state of their own, take over from there at a later
// piece that pays; when they stop paying they hand over to the feeding
// thread again. A worker whose thread cannot start is done without: the
// call goes on with the threads it has, down to the feeding thread alone,
// and only ThreadsNotStarted() tells.
//
// Write() and Finish() return 0, kParallelSinkFailed as soon as the sink
// failed, or ENOMEM; after a failure the object only reports it again.
//
// One object serves one source after another (Reset): its workers' threads
// and its pieces are kept from one to the next (see tree_pool.h).
class ParallelEncoder {
 public:
  ParallelEncoder(RingTrees& ws, RunIndex& runs, const ParallelOptions& options)
      : ws_(ws), runs_(runs) {
    Reset(options);
  }
  ParallelEncoder(const ParallelEncoder&) = delete;
  ParallelEncoder& operator=(const ParallelEncoder&) = delete;

  // Makes the object ready for a new source under `options`, as if new,
  // but for the threads and the memory it keeps.
  void Reset(const ParallelOptions& options) {
    pool_.Stop();
    options_ = options;
    wanted_ = std::clamp(options.workers, 1u, TreePool::kMaxWorkers);
    piece_size_ = std::max<std::size_t>(options.piece_size, MAX_MATCH);
    target_ = FirstPieceSize(options);
    mode_ = Mode::kNew;
    result_ = 0;
    used_workers_ = false;
    refused_ = false;
    not_started_ = 0;
    active_ = 1;
    stops_ = 0;
    retry_wait_ = 0;
    filling_ = begin_ = coded_ = first_parallel_ = records_begin_ = 0;
    filled_ = 0;
    resplit_ = false;
    fed_since_ = 0;
    poor_pieces_ = 0;
    go_on_ = true;
    census_wait_ = 0;
    census_backoff_ = 1;
    coder_ = parallel_detail::UnitCoder{};
    serial_ = EncoderState{};
  }

  // Allocates what the source needs before any of it is read, so that a
  // caller told ENOMEM can still code the source on one thread. Write()
  // and Finish() do it when it was not done. Returns 0, or ENOMEM.
  int Prepare() {
    if (result_ != 0 || mode_ != Mode::kNew) return result_;
    if (pool_.Allocate(piece_size_) != 0) return Fail(ENOMEM);
    StartEncoder(ws_, runs_, serial_);
    mode_ = Mode::kSerial;
    return 0;
  }

  // Takes the next `size` bytes of the source.
  template <class Sink>
  int Write(const std::uint8_t* data, std::size_t size, Sink& out) {
    if (const int prepared = Prepare()) return prepared;
    if (mode_ == Mode::kDone) return 0;
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
    if (const int prepared = Prepare()) return prepared;
    if (mode_ == Mode::kDone) return 0;
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

  // Whether worker threads took part, and how often they handed over to
  // this thread alone (for tests and the benchmark).
  bool UsedWorkers() const { return used_workers_; }
  unsigned Handovers() const { return stops_; }
  // The workers that were wanted but could not be had (their thread or
  // memory), so that the call went on with fewer.
  unsigned ThreadsNotStarted() const { return not_started_; }

 private:
  enum class Mode { kNew, kSerial, kParallel, kDone };

  std::uint8_t* Filling() { return pool_.PieceFor(filling_).bytes.get() + kPieceHistory; }

  int Fail(int result) {
    pool_.Stop();
    result_ = result;
    return result;
  }

  // The piece being filled is full, or the source has ended (`final`).
  template <class Sink>
  int PieceFull(bool final, Sink& out) {
    if (mode_ == Mode::kSerial) {
      if (retry_wait_ > 0) {
        --retry_wait_;
      } else if (!refused_ && StartWorkers(final)) {
        mode_ = Mode::kParallel;
      }
      if (mode_ == Mode::kSerial) return CodeAlone(final, out);
    }
    if (!go_on_ && !final) return GoOnAlone(out);
    Publish(final);
    if (final) return 0;
    begin_ += filled_;
    target_ = NextPieceSize(options_, target_);
    // The next piece goes where the one before this was: that one must be
    // worked and coded first.
    if (filling_ > first_parallel_ && !CodePiece(filling_ - 1, out)) return kParallelSinkFailed;
    coded_ = filling_;
    ++filling_;
    filled_ = 0;
    return 0;
  }

  // Asks the policy whether the piece being filled pays for the workers,
  // from its bytes, and if so has them take over: from the start of the
  // source, or from where the one-thread loop stands. False when it does
  // not pay or no thread besides this one could be had.
  bool StartWorkers(bool final) {
    const std::uint8_t* const data = Filling();
    std::uint64_t count[kTreeCount];
    CountTreeBytes(data, filled_, count);
    std::uint64_t weight[kTreeCount];
    EstimateTreeWork(count, TreeCensus{}, weight);
    std::uint8_t owner[kTreeCount];
    if (!WorkersPay(options_, filled_, final, count, weight, wanted_, owner)) {
      census_backoff_ = 1;
      return false;
    }
    // Only then are the trees' nodes counted, and only to say no: a source
    // that repeats itself keeps its trees, and so its walks, small. Such a
    // source is coded fast on one thread, where counting at every piece
    // would cost a few per cent, so after a no the count waits 1, 2, 4, up
    // to kMaxCensusWait pieces.
    if (census_wait_ > 0) {
      --census_wait_;
      return false;
    }
    EstimateTreeWork(count, CountTreeNodes(data, filled_), weight);
    if (!WorkersPay(options_, filled_, final, count, weight, wanted_, owner)) {
      census_wait_ = census_backoff_;
      census_backoff_ = std::min(2 * census_backoff_, kMaxCensusWait);
      return false;
    }
    census_backoff_ = 1;
    const unsigned ready =
        pool_.Start(wanted_, filling_, options_.start_thread, options_.thread_time);
    not_started_ += wanted_ - ready;
    if (ready < wanted_) refused_ = true;  // no more tries in this call
    if (ready <= 1) {
      pool_.Stop();
      return false;
    }
    active_ = ready;
    if (ready < wanted_) SplitTrees(weight, ready, owner);
    std::memcpy(owner_, owner, sizeof owner_);
    if (!serial_.started) {
      pool_.Assign(owner, nullptr, 0);
      records_begin_ = 0;
    } else {
      // The loop stands at the unit at position p with its match found,
      // and with the next position entered too when it went a step ahead;
      // the bytes up to begin_ are in the ring.
      const std::uint64_t p = begin_ - MAX_MATCH - (serial_.ahead ? 1 : 0);
      pool_.Assign(owner, &ws_, serial_.ahead ? p + 1 : p);
      coder_.StartAt(p, serial_);
      MatchRecord* const records = pool_.PieceFor(filling_).records.get();
      records[0] = Record(ws_.best_length, ws_.best_position);
      if (serial_.ahead) records[1] = Record(serial_.ahead_length, serial_.ahead_position);
      records_begin_ = p;
    }
    used_workers_ = true;
    first_parallel_ = filling_;
    coded_ = filling_;
    poor_pieces_ = 0;
    go_on_ = true;
    resplit_ = false;
    fed_since_ = 0;
    return true;
  }

  static MatchRecord Record(std::int32_t length, std::int32_t position) {
    return static_cast<MatchRecord>(length) << kRecordLengthShift |
           static_cast<MatchRecord>(position & RING_MASK);
  }

  // Codes the gathered bytes on this thread, keeping the few that the loop
  // leaves for the next call at the front of the piece.
  template <class Sink>
  int CodeAlone(bool final, Sink& out) {
    const std::size_t gathered = filled_;
    if (EncodeGathered(ws_, runs_, serial_, Filling(), filled_, final, out) ==
        EncodeStatus::kSinkFailed) {
      return kParallelSinkFailed;
    }
    begin_ += gathered - filled_;
    target_ = FirstPieceSize(options_);
    return 0;
  }

  // Hands the piece being filled to the workers, with the bytes before it
  // that they and the coder need, and the trees' new owners when the
  // measured work called for a new split.
  void Publish(bool final) {
    Piece& piece = pool_.PieceFor(filling_);
    const std::uint64_t begin = begin_;
    const std::size_t history =
        static_cast<std::size_t>(std::min<std::uint64_t>(begin, kPieceHistory));
    std::uint8_t* const front = piece.bytes.get() + kPieceHistory - history;
    if (filling_ == first_parallel_) {
      // The first piece of the workers' session: the bytes before it are the
      // one-thread loop's look-ahead, in its ring.
      for (std::size_t i = 0; i < history; ++i) {
        front[i] = ws_.ring[(RING_START + begin - history + i) & RING_MASK];
      }
      piece.records_begin = records_begin_;
    } else {
      const Piece& before = pool_.PieceFor(filling_ - 1);
      std::memcpy(front, &before.view.At(begin - history), history);
      piece.records_begin = before.records_end;
    }
    std::uint8_t* const data = piece.bytes.get() + kPieceHistory;
    piece.view = {data - history, begin - history, begin, begin + filled_, final};
    piece.records_end = PositionsReady(piece.view);
    piece.done = 0;
    piece.resplit = resplit_;
    std::memcpy(piece.owner, owner_, sizeof owner_);
    resplit_ = false;
    pool_.Publish(filling_);
  }

  // Waits for piece k, codes it, and from the work it took decides whether
  // the workers go on, and whether the trees change owner before the next
  // piece published: when another split would make the busiest worker's
  // share clearly smaller.
  template <class Sink>
  bool CodePiece(std::uint64_t k, Sink& out) {
    // This thread's time since it last coded went into feeding the pieces.
    const ThreadTimeFn clock = options_.thread_time;
    const std::uint64_t fed = fed_since_ == 0 ? 0 : clock() - fed_since_;
    pool_.WaitDone(k);
    const std::uint64_t units = coder_.units();
    const std::uint64_t start = clock();
    if (!coder_.Code(pool_.PieceFor(k), out)) return false;
    fed_since_ = clock();
    pool_.AddCoding(k, coder_.units() - units, start == 0 ? 0 : fed + (fed_since_ - start));
    // This thread codes and feeds besides its trees: it gets fewer.
    double cost[kTreeCount];
    double coding;
    pool_.MeasureCost(k, cost, coding);
    std::uint8_t better[kTreeCount];
    const double now = BusiestLoad(cost, active_, owner_, coding);
    if (SplitTrees(cost, active_, better, coding) < now * kResplitGain) {
      std::memcpy(owner_, better, sizeof owner_);
      resplit_ = true;
    }
    // A piece worked under a split made for other bytes (the first pieces
    // after a uniform stretch, say) may have gained little where the next,
    // split anew, will: it is judged by the better of the two.
    double work[kTreeCount];
    pool_.MeasureWork(k, work);
    const double split = BusiestLoad(
        work, active_, owner_, static_cast<double>((coder_.units() - units) * kCodingWorkUnits));
    go_on_ = WorkersGoOn(options_, std::max(pool_.Parallelism(k), pool_.Parallelism(k, split)),
                         poor_pieces_);
    return true;
  }

  // Stops the workers and codes on this thread from the piece being
  // filled, which is full. The loop goes on from where the workers and the
  // coder stand, at the position of the next unit, with the trees and ring
  // it needs merged from the workers; the output is the same as if it had
  // run from the start. The policy is asked again after a while.
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
    serial_.group = coder_.group();
    ws_.best_length = static_cast<std::int32_t>(record >> kRecordLengthShift);
    ws_.best_position = static_cast<std::int32_t>(record & RING_MASK);
    // ...and the source from p + 18 on.
    std::uint8_t* const data = Filling();
    std::memmove(data, data + filled_, full - filled_);
    begin_ = p + MAX_MATCH;
    filled_ = full - filled_;
    mode_ = Mode::kSerial;
    retry_wait_ = PiecesBeforeRetry(++stops_);
    poor_pieces_ = 0;
    go_on_ = true;
    return CodeAlone(false, out);
  }

  // Every field below is the coding thread's alone; what it shares with the
  // workers is in the pool (tree_pool.h).
  RingTrees& ws_;
  RunIndex& runs_;
  ParallelOptions options_;
  unsigned wanted_ = 1;  // workers asked for
  std::size_t piece_size_ = 0;
  TreePool pool_;
  Mode mode_ = Mode::kNew;
  int result_ = 0;
  bool used_workers_ = false;
  bool refused_ = false;              // a worker could not be had: no more tries
  unsigned not_started_ = 0;          // workers that could not be had
  unsigned active_ = 1;               // workers in the current session
  unsigned stops_ = 0;                // sessions of the workers that stopped paying
  std::uint64_t retry_wait_ = 0;      // one-thread pieces before the policy is asked again
  std::size_t target_ = 0;            // the size of the piece being filled
  std::uint64_t filling_ = 0;         // the piece being filled
  std::uint64_t begin_ = 0;           // the source index of its first byte
  std::size_t filled_ = 0;            // its bytes so far
  std::uint64_t coded_ = 0;           // pieces before this one are coded
  std::uint64_t first_parallel_ = 0;  // the first piece of the workers' session
  std::uint64_t records_begin_ = 0;   // the first position that piece records
  std::uint8_t owner_[kTreeCount] = {};
  bool resplit_ = false;         // owner_ is new since the last piece published
  std::uint64_t fed_since_ = 0;  // this thread's time when it last coded, or 0
  int poor_pieces_ = 0;          // pieces in a row that kept too few processors busy
  bool go_on_ = true;            // the policy's word on the last piece coded
  unsigned census_wait_ = 0;     // pieces before the trees' nodes are counted again
  unsigned census_backoff_ = 1;  // the wait after the next count that says no
  parallel_detail::UnitCoder coder_;
  EncoderState serial_{};
};

// Compresses all of `in` into `encoder`'s output `out`, the encoder made
// ready for the source (new, or Reset); returns as its calls do. ENOMEM
// comes before anything is read.
template <class Source, class Sink>
int ParallelEncodeStream(ParallelEncoder& encoder, Source& in, Sink& out) {
  if (const int prepared = encoder.Prepare()) return prepared;
  return FeedAndFinish(encoder, in, out);
}

// The same through an encoder of its own; the threads that could not be
// started go to `*missing`.
template <class Source, class Sink>
int ParallelEncodeStream(RingTrees& ws, RunIndex& runs, Source& in, Sink& out,
                         const ParallelOptions& options, unsigned* missing = nullptr) {
  ParallelEncoder encoder(ws, runs, options);
  const int result = ParallelEncodeStream(encoder, in, out);
  if (missing != nullptr) *missing = encoder.ThreadsNotStarted();
  return result;
}

}  // namespace lzring

#endif  // LZRING_CODEC_PARALLEL_PARALLEL_ENCODER_H
