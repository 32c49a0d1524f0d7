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
// recorded.
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

namespace lzring {

// Source bytes whose units one parse keeps, and the positions after them
// that it parses as well. Both fix the output: changing them changes the
// bytes of the best stream (by very little), never whether it expands.
inline constexpr std::size_t kBestPieceSize = std::size_t{1} << 16;
inline constexpr std::size_t kBestMargin = 4096;

// Results of BestEncoder's calls besides 0 (done) and ENOMEM (its arrays
// could not be allocated).
inline constexpr int kBestSinkFailed = -1;

class BestEncoder {
 public:
  BestEncoder() = default;
  BestEncoder(const BestEncoder&) = delete;
  BestEncoder& operator=(const BestEncoder&) = delete;

  // Takes the next `size` bytes of the source. Returns 0, kBestSinkFailed
  // or ENOMEM; after a failure the object only reports it again.
  template <class Sink>
  int Write(const std::uint8_t* data, std::size_t size, Sink& out) {
    if (result_ != 0 || done_) return result_;
    if (!bytes_ && !Allocate()) return result_ = ENOMEM;
    while (size > 0) {
      const std::size_t take = std::min(size, kFull - filled_);
      std::memcpy(bytes_.get() + kHistory + filled_, data, take);
      filled_ += take;
      data += take;
      size -= take;
      if (filled_ == kFull && !Parse(false, out)) return result_ = kBestSinkFailed;
    }
    return 0;
  }

  // Ends the source and codes the rest of it.
  template <class Sink>
  int Finish(Sink& out) {
    if (result_ != 0 || done_) return result_;
    if (!bytes_ && !Allocate()) return result_ = ENOMEM;
    if (!Parse(true, out)) return result_ = kBestSinkFailed;
    done_ = true;
    return 0;
  }

 private:
  // Bytes kept before the piece: the farthest a reference reaches.
  static constexpr std::size_t kHistory = RING_SIZE;
  // Positions a parse may cover, and the source bytes that their matches
  // need: each position's 18 bytes.
  static constexpr std::size_t kSpan = kBestPieceSize + kBestMargin;
  static constexpr std::size_t kFull = kSpan + MAX_MATCH - 1;

  bool Allocate() {
    worker_.reset(new (std::nothrow) TreeWorker);
    bytes_.reset(new (std::nothrow) std::uint8_t[kHistory + kFull]);
    records_.reset(new (std::nothrow) MatchRecord[kFull]);
    if (!worker_ || !bytes_ || !records_ || !scratch_.Allocate(kFull)) {
      bytes_.reset();
      return false;
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

  // Records the matches of the positions the bytes gathered allow, parses
  // from `start_`, and slides everything on by a piece. False when `out`
  // failed.
  template <class Sink>
  bool Parse(bool final, Sink& out) {
    std::uint8_t* const piece = bytes_.get() + kHistory;
    const SourcePiece view{piece, base_, base_, base_ + filled_, final};
    std::uint64_t visits[256] = {};
    RecordMatches(*worker_, view, records_.get(), base_, visits);

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

    // The next piece keeps the history, the margin and the bytes beyond,
    // and the margin's records.
    std::memmove(bytes_.get(), bytes_.get() + kBestPieceSize, kHistory + filled_ - kBestPieceSize);
    std::memmove(records_.get(), records_.get() + kBestPieceSize,
                 kBestMargin * sizeof(MatchRecord));
    base_ += kBestPieceSize;
    filled_ -= kBestPieceSize;
    return true;
  }

  std::unique_ptr<TreeWorker> worker_;
  // bytes_[kHistory + j] is source byte base_ + j, for j < filled_.
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::unique_ptr<MatchRecord[]> records_;  // records_[j]: position base_ + j
  ParseScratch scratch_;
  UnitGroup group_;
  std::uint64_t base_ = 0;   // source offset of the piece
  std::uint64_t start_ = 0;  // the position of the next unit
  std::size_t filled_ = 0;
  int result_ = 0;
  bool done_ = false;
};

// Compresses the whole of `in` into `out` with BestEncoder. Returns 0,
// kBestSinkFailed or ENOMEM.
template <class Source, class Sink>
int BestEncodeStream(Source& in, Sink& out) {
  BestEncoder encoder;
  return FeedAndFinish(encoder, in, out);
}

}  // namespace lzring

#endif  // LZRING_CODEC_BEST_ENCODER_H
