// The encoder of the smallest stream: the optimal parse (optimal_parse.h)
// over the matches that the match trees find, piece by piece in bounded
// memory. Its output is not the one-thread encoder's; every decoder of the
// format expands it to the same source.
//
// The source is parsed in pieces of kBestPieceSize bytes at fixed source
// offsets. The parse of a piece looks kBestMargin positions further, into
// the next piece, and keeps only the units that start in its own piece; the
// next parse starts where the last of them ends. Looking ahead that far
// makes the units kept those of a parse of the whole source nearly always,
// and the pieces depend on the offsets alone, so the output is the same
// however the source arrives (in one buffer, or a pipe's small reads).
//
// The matches come from a tree worker owning all 256 trees: the one-thread
// encoder's tree operations in its order, with the match of every position
// recorded. The records do not depend on which thread makes them, so with
// two threads or more the tree worker runs on a thread of its own, a piece
// ahead: it records the matches of piece k + 1 while the feeding thread
// parses piece k. The output is the same on any number of threads.
#ifndef LZRING_CODEC_BEST_ENCODER_H
#define LZRING_CODEC_BEST_ENCODER_H

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "codec/format.h"
#include "codec/optimal_parse.h"
#include "codec/parallel/tree_worker.h"
#include "codec/piece_feed.h"
#include "codec/unit_group.h"
#include "platform/thread.h"

namespace lzring {

// Source bytes whose units one parse keeps, and the positions after them
// that it parses as well. Both fix the output: changing them changes the
// bytes of the best stream (by very little), never whether it expands.
inline constexpr std::size_t kBestPieceSize = std::size_t{1} << 16;
inline constexpr std::size_t kBestMargin = 4096;

// Results of BestEncoder's calls besides 0 (done) and ENOMEM (its arrays
// could not be allocated).
inline constexpr int kBestSinkFailed = -1;

// Compresses a source written to it in pieces into the smallest stream, on
// `threads` threads (the calling one among them). The parse and the tree
// work are the two stages of the work, so a second thread is all that it
// can use: more count as two. A thread that cannot start (`start` fails) is
// done without, and only ThreadsNotStarted() tells.
class BestEncoder {
 public:
  explicit BestEncoder(unsigned threads = 1, ThreadStartFn start = ThreadStart)
      : wanted_(threads), start_thread_(start) {}
  ~BestEncoder() { EndThread(); }
  BestEncoder(const BestEncoder&) = delete;
  BestEncoder& operator=(const BestEncoder&) = delete;

  // Takes the next `size` bytes of the source. Returns 0, kBestSinkFailed
  // or ENOMEM; after a failure the object only reports it again.
  template <class Sink>
  int Write(const std::uint8_t* data, std::size_t size, Sink& out) {
    if (result_ != 0 || done_) return result_;
    if (!bytes_ && !Allocate()) return result_ = ENOMEM;
    while (size > 0) {
      const std::size_t take = std::min(size, Capacity() - filled_);
      std::memcpy(bytes_.get() + kHistory + filled_, data, take);
      filled_ += take;
      data += take;
      size -= take;
      if (filled_ == Capacity() && !Full(false, out)) return result_ = kBestSinkFailed;
    }
    return 0;
  }

  // Ends the source and codes the rest of it.
  template <class Sink>
  int Finish(Sink& out) {
    if (result_ != 0 || done_) return result_;
    if (!bytes_ && !Allocate()) return result_ = ENOMEM;
    if (!Full(true, out)) return result_ = kBestSinkFailed;
    done_ = true;
    EndThread();
    return 0;
  }

  // Whether the tree work ran on a thread of its own, and the threads that
  // were wanted but could not be started (for tests and the benchmark).
  bool UsedThread() const { return threaded_; }
  unsigned ThreadsNotStarted() const { return not_started_; }

 private:
  // Bytes kept before the piece: the farthest a reference reaches.
  static constexpr std::size_t kHistory = RING_SIZE;
  // Positions a parse may cover, and the source bytes that their matches
  // need: each position's 18 bytes.
  static constexpr std::size_t kSpan = kBestPieceSize + kBestMargin;
  static constexpr std::size_t kFull = kSpan + MAX_MATCH - 1;
  // With the tree work on its own thread, the bytes of the next piece too.
  static constexpr std::size_t kFullAhead = kBestPieceSize + kFull;

  // The source bytes gathered before the next tree work: those that the
  // piece at base_ needs, and when its matches are recorded already (and
  // it waits to be parsed), the next piece's as well.
  std::size_t Capacity() const { return pending_ ? kFullAhead : kFull; }

  bool Allocate() {
    const bool ahead = wanted_ > 1;
    worker_.reset(new (std::nothrow) TreeWorker);
    bytes_.reset(new (std::nothrow) std::uint8_t[kHistory + (ahead ? kFullAhead : kFull)]);
    records_.reset(new (std::nothrow) MatchRecord[ahead ? kFullAhead : kFull]);
    if (!worker_ || !bytes_ || !records_ || !scratch_.Allocate(kFull)) {
      bytes_.reset();
      return false;
    }
    if (ahead) {
      if (start_thread_(thread_, ThreadMain, this) == 0) {
        threaded_ = true;
      } else {
        not_started_ = 1;
      }
    }
    bool all[256];
    std::fill(all, all + 256, true);
    worker_->Reset(all);
    // Before the source: ring positions 4078..4095, which hold no space and
    // are never referred to, then the RING_START prefilled spaces.
    std::memset(bytes_.get(), 0, kHistory - RING_START);
    std::memset(bytes_.get() + kHistory - RING_START, RING_FILL, RING_START);
    return true;
  }

  // The source gathered so far, as the tree worker sees it.
  SourcePiece View(bool final) const {
    return SourcePiece{bytes_.get() + kHistory, base_, base_, base_ + filled_, final};
  }

  // The bytes gathered fill the buffer, or the source has ended (`final`):
  // records the matches those bytes allow, and parses what they complete.
  // False when `out` failed.
  template <class Sink>
  bool Full(bool final, Sink& out) {
    if (!pending_) {
      // One thread, or the first piece on two: nothing to parse meanwhile.
      std::uint64_t visits[256] = {};
      RecordMatches(*worker_, View(final), records_.get(), base_, visits);
      ready_ = filled_ - std::min<std::size_t>(filled_, final ? 0 : MAX_MATCH - 1);
      if (threaded_ && !final) {
        pending_ = true;
        return true;
      }
      if (!Parse(final, out)) return false;
      if (!final) Slide();
      return true;
    }
    // The piece at base_ has its records. The tree thread records the next
    // piece's (positions from ready_ on; the parse reads those before it)
    // while this thread parses, both only reading the bytes.
    Post(View(final));
    const bool parsed = Parse(false, out);
    WaitPosted();
    ready_ = filled_ - (final ? 0 : MAX_MATCH - 1);
    if (!parsed) return false;
    Slide();
    return !final || Parse(true, out);
  }

  // Parses from `start_` and codes the units that start in the piece at
  // base_, or all that are left (`final`). False when `out` failed.
  template <class Sink>
  bool Parse(bool final, Sink& out) {
    std::uint8_t* const piece = bytes_.get() + kHistory;
    const std::size_t from = static_cast<std::size_t>(start_ - base_);
    const std::size_t stop = final ? filled_ : kSpan;
    const std::size_t keep = final ? filled_ : kBestPieceSize;
    std::size_t next = 0;
    if (!ParseStretch(piece + from, start_, stop - from, records_.get() + from, keep - from,
                      scratch_, group_, out, next)) {
      return false;
    }
    start_ += next;
    if (final) return group_.Empty() || group_.Put(out);
    return true;
  }

  // Moves everything on by a piece: the history, the bytes after the
  // piece, and the records after it.
  void Slide() {
    std::memmove(bytes_.get(), bytes_.get() + kBestPieceSize, kHistory + filled_ - kBestPieceSize);
    std::memmove(records_.get(), records_.get() + kBestPieceSize,
                 (ready_ - kBestPieceSize) * sizeof(MatchRecord));
    base_ += kBestPieceSize;
    filled_ -= kBestPieceSize;
    ready_ -= kBestPieceSize;
  }

  // The tree thread: runs the worker on each view posted, until told to end.
  static void ThreadMain(void* self) { static_cast<BestEncoder*>(self)->Serve(); }
  void Serve() {
    for (;;) {
      SourcePiece view;
      {
        std::lock_guard<Monitor> lock(monitor_);
        while (!posted_ && !quit_) monitor_.Wait();
        if (quit_) return;
        view = posted_view_;
      }
      // The records start at the view's first byte, as on this thread.
      std::uint64_t visits[256] = {};
      RecordMatches(*worker_, view, records_.get(), view.data_begin, visits);
      std::lock_guard<Monitor> lock(monitor_);
      posted_ = false;
      monitor_.NotifyAll();
    }
  }
  void Post(const SourcePiece& view) {
    std::lock_guard<Monitor> lock(monitor_);
    posted_view_ = view;
    posted_ = true;
    monitor_.NotifyAll();
  }
  void WaitPosted() {
    std::lock_guard<Monitor> lock(monitor_);
    while (posted_) monitor_.Wait();
  }
  void EndThread() {
    if (!threaded_) return;
    {
      std::lock_guard<Monitor> lock(monitor_);
      quit_ = true;
      monitor_.NotifyAll();
    }
    ThreadJoin(thread_);
    threaded_ = false;
  }

  const unsigned wanted_;
  const ThreadStartFn start_thread_;
  std::unique_ptr<TreeWorker> worker_;
  // bytes_[kHistory + j] is source byte base_ + j, for j < filled_.
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::unique_ptr<MatchRecord[]> records_;  // records_[j]: position base_ + j, for j < ready_
  ParseScratch scratch_;
  UnitGroup group_;
  std::uint64_t base_ = 0;   // source offset of the piece
  std::uint64_t start_ = 0;  // the position of the next unit
  std::size_t filled_ = 0;
  std::size_t ready_ = 0;  // positions recorded
  bool pending_ = false;   // the piece at base_ is recorded, not parsed
  int result_ = 0;
  bool done_ = false;
  unsigned not_started_ = 0;

  // The tree thread, and what it shares with the feeding thread under the
  // monitor: the view to work on while `posted_`.
  bool threaded_ = false;
  ThreadHandle thread_ = 0;
  Monitor monitor_;
  SourcePiece posted_view_{};
  bool posted_ = false;
  bool quit_ = false;
};

// Compresses the whole of `in` into `out` with BestEncoder on `threads`
// threads; those that could not be started go to `*missing`. Returns 0,
// kBestSinkFailed or ENOMEM.
template <class Source, class Sink>
int BestEncodeStream(Source& in, Sink& out, unsigned threads = 1, ThreadStartFn start = ThreadStart,
                     unsigned* missing = nullptr) {
  const auto encoder = std::unique_ptr<BestEncoder>(new (std::nothrow) BestEncoder(threads, start));
  if (!encoder) return ENOMEM;
  const int result = FeedAndFinish(*encoder, in, out);
  if (missing != nullptr) *missing = encoder->ThreadsNotStarted();
  return result;
}

}  // namespace lzring

#endif  // LZRING_CODEC_BEST_ENCODER_H
