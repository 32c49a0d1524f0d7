// The encoder: compresses any byte source into any byte sink.
//
// It keeps the last 4096 bytes in the ring with an 18-byte look-ahead at
// `cur`, asks the match tree for the longest earlier match of the look-ahead,
// and emits a literal (matches of 2 bytes or fewer) or a reference, in groups
// of eight units. Every choice is determined by the source alone, so equal
// sources give byte-identical output.
#ifndef LZRING_CODEC_ENCODE_LOOP_H
#define LZRING_CODEC_ENCODE_LOOP_H

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "codec/byte_source_sink.h"
#include "codec/cpu_clones.h"
#include "codec/format.h"
#include "codec/match_tree.h"
#include "codec/memory_source.h"
#include "codec/ring_trees.h"
#include "codec/unit_group.h"

namespace lzring {

// Where the encoder stands between two calls of its loop: everything the
// loop keeps besides the RingTrees (ring, trees, match result) and the index
// of long runs. A stream's source may come in pieces; the loop then codes
// what one piece allows, leaves its place here, and goes on with the next.
struct EncoderState {
  UnitGroup group;         // the group being assembled
  std::int32_t cur;        // first byte of the look-ahead
  std::int32_t oldest;     // receives the next source byte; always cur + 18
  std::int32_t lookahead;  // source bytes at cur not yet coded
  bool started;            // the look-ahead has been filled
  // How tree walks are done, and the first step of the next slide when it
  // was done early (see the loop); these change only the speed.
  bool short_walks;
  bool ahead;
  std::int32_t ahead_length;
  std::int32_t ahead_position;
  std::int64_t visited_total;
  std::int32_t pairs_counted;
};

// Starts a stream: empty trees, the ring's starting contents, no group.
inline void StartEncoder(RingTrees& ws, RunIndex& runs, EncoderState& st) {
  ResetTrees(ws, runs);
  ResetRing(ws);
  st = EncoderState{};
  st.cur = RING_START;
  st.short_walks = true;
}

// Puts a started stream at the start of a unit at ring position `cur`,
// with the look-ahead full: for a stream whose first part was coded
// elsewhere (the parallel encoder), once the RingTrees holds the ring and
// trees with `cur` entered and best_length/best_position its match.
inline void StartEncoderAt(EncoderState& st, std::int32_t cur) {
  st.started = true;
  st.cur = cur;
  st.oldest = (cur + MAX_MATCH) & RING_MASK;
  st.lookahead = MAX_MATCH;
}

// How a call of the loop ended.
enum class EncodeStatus {
  kDone,        // the source has ended and every byte is coded
  kNeedInput,   // fewer than 18 bytes of this piece are left; more will follow
  kSinkFailed,  // the sink failed
};

// Internal linkage: where the loop is built for several instruction sets
// (see cpu_clones.h), each library keeps its own choice to itself instead
// of exporting it.
namespace {

// Stores a source byte at ring position `at`, and in the mirror too.
inline void StoreByte(std::uint8_t* ring, std::int32_t at, std::uint8_t b) {
  ring[at] = b;
  if (at < MAX_MATCH - 1) ring[at + RING_SIZE] = b;
}

// Pairs of insertions after which the loop decides how the next ones walk.
inline constexpr std::int32_t kPairsPerVerdict = 4096;

// One call of the encoder loop (EncodeSpan), its steps as named members.
// It works on copies of EncoderState's fields, which stay in registers (the
// object lives in EncodeSpan's frame, into which every member is built),
// and puts them back with Save() where it stops for more input. The members
// carry no always_inline of their own: EncodeSpan's flatten builds them in,
// and the compiler does not flatten what it reaches through a function
// marked always_inline, which would leave tree walks out of line. The group
// being assembled is a variable of EncodeSpan's own, not a member: the
// compiler keeps an object in registers only while none of it is indexed
// by a variable, as the group's bytes are.
template <bool kPiecewise, class Source, class Sink>
class EncodeSteps {
 public:
  EncodeSteps(RingTrees& ws, RunIndex& runs, EncoderState& st, UnitGroup& group, Source& in,
              Sink& out)
      : ws_(ws),
        runs_(runs),
        st_(st),
        in_(in),
        out_(out),
        ring_(ws.ring),
        group_(group),
        short_walks_(st.short_walks),
        ahead_(st.ahead),
        ahead_length_(st.ahead_length),
        ahead_position_(st.ahead_position),
        visited_total_(st.visited_total),
        pairs_counted_(st.pairs_counted),
        cur_(st.cur),
        oldest_(st.oldest),
        lookahead_(st.lookahead) {}

  // Codes units until the source has ended, the piece runs short of a
  // unit or the sink fails.
  EncodeStatus Code() {
    if (!st_.started) {
      if (ShortPiece()) return EncodeStatus::kNeedInput;
      FillLookahead();
      if (lookahead_ == 0) return EncodeStatus::kDone;
      EnterPrefilled();
    }
    if (lookahead_ == 0) return EncodeStatus::kDone;
    do {
      if (ShortPiece()) {
        Save();
        return EncodeStatus::kNeedInput;
      }
      bool full;
      ws_.best_length = CodeUnit(group_, ws_.best_length, ws_.best_position,
                                 static_cast<std::uint64_t>(lookahead_), ring_[cur_], full);
      if (full && !group_.Put(out_)) return EncodeStatus::kSinkFailed;
      Slide(ws_.best_length);
    } while (lookahead_ > 0);

    // The last group; the flag bits of its missing units stay clear.
    st_.lookahead = 0;
    if (!group_.Empty() && !group_.Put(out_)) return EncodeStatus::kSinkFailed;
    return EncodeStatus::kDone;
  }

 private:
  // How paired insertions walk: choosing each child without a branch while
  // walks are short (text, below kShortWalkNodes), with a predicted branch
  // while they run down chain-like trees; only the speed depends on it.
  // Short walks do without the index of long runs: it is emptied when they
  // begin, and an empty index stays true to any trees without upkeep.
  void Remove(std::int32_t p) {
    if (short_walks_) {
      RemoveString(ws_, no_runs_, p);
    } else {
      RemoveString(ws_, runs_, p);
    }
  }
  void Insert(std::int32_t r) {
    if (short_walks_) {
      InsertString(ws_, no_runs_, r);
    } else {
      InsertString(ws_, runs_, r);
    }
  }

  void Save() {
    st_.group = group_;
    st_.short_walks = short_walks_;
    st_.ahead = ahead_;
    st_.ahead_length = ahead_length_;
    st_.ahead_position = ahead_position_;
    st_.visited_total = visited_total_;
    st_.pairs_counted = pairs_counted_;
    st_.cur = cur_;
    st_.oldest = oldest_;
    st_.lookahead = lookahead_;
  }

  // True when this piece is short of a unit's 18 bytes and more will follow.
  bool ShortPiece() const {
    if constexpr (kPiecewise) {
      return !in_.Final() && in_.Available() < static_cast<std::size_t>(MAX_MATCH);
    } else {
      return false;
    }
  }

  // Fills the look-ahead from the source; the stream has started then.
  void FillLookahead() {
    for (; lookahead_ < MAX_MATCH; ++lookahead_) {
      std::uint8_t b;
      if (!in_.Next(b)) break;
      ring_[RING_START + lookahead_] = b;
    }
    st_.started = true;
    st_.lookahead = lookahead_;
  }

  // The 18 positions before the look-ahead hold prefilled spaces; entering
  // them, nearest first, lets the first units refer to them.
  void EnterPrefilled() {
    for (std::int32_t k = 1; k <= MAX_MATCH; ++k) Insert(cur_ - k);
    Insert(cur_);
  }

  // Slides the window over the `length` bytes just coded: each step drops
  // the oldest position from the trees, stores a new source byte there (and
  // in the mirror after the ring for positions 0..16) and enters the
  // position that the new byte completes.
  //
  // Two steps at a time where possible (SlidePair). A slide of odd length
  // ends with a step of its own; while bytes remain and walks are short it
  // is paired with the first step of the next slide (which every unit has),
  // whose result is kept for later in `ahead_length_` and
  // `ahead_position_`. The operations and their order per tree are the
  // same; only the next unit's decision waits for its own result. Down
  // chain-like trees that early pairing was measured to cost more than it
  // saves.
  void Slide(std::int32_t length) {
    std::int32_t step = 0;
    if (ahead_) {
      ahead_ = false;
      oldest_ = (oldest_ + 1) & RING_MASK;
      cur_ = (cur_ + 1) & RING_MASK;
      ws_.best_length = ahead_length_;
      ws_.best_position = ahead_position_;
      step = 1;
    }
    while (step < length) {
      const bool two_here = length - step >= 2;
      if (in_.Available() >= 2 && (two_here || short_walks_)) {
        step += SlidePair(two_here);
        continue;
      }
      std::uint8_t b;
      if (!in_.Next(b)) break;
      Remove(oldest_);
      StoreByte(ring_, oldest_, b);
      oldest_ = (oldest_ + 1) & RING_MASK;
      cur_ = (cur_ + 1) & RING_MASK;
      Insert(cur_);
      ++step;
    }
    // The source has ended: the look-ahead shrinks instead. The ring keeps
    // its old bytes beyond the end of the data.
    for (; step < length; ++step) {
      Remove(oldest_);
      oldest_ = (oldest_ + 1) & RING_MASK;
      cur_ = (cur_ + 1) & RING_MASK;
      if (--lookahead_ > 0) Insert(cur_);
    }
  }

  // Two steps of a slide from the source's block at hand, or the lone last
  // step of a slide paired with the first of the next (when `two_here` is
  // false). Returns the steps of this slide it took (1 or 2).
  //
  // R(o1) I(c1) R(o2) I(c2) becomes R(o1) R(o2) and then both insertions
  // interleaved, which gives the same trees whenever the three later
  // operations are in different trees (only operations on one tree depend
  // on their order). The new bytes are not part of any string in a tree,
  // so storing both early changes no walk.
  std::int32_t SlidePair(bool two_here) {
    const std::uint8_t* const bytes = in_.Data();
    const std::int32_t o2 = (oldest_ + 1) & RING_MASK;
    const std::int32_t c1 = (cur_ + 1) & RING_MASK;
    const std::int32_t c2 = (cur_ + 2) & RING_MASK;
    Remove(oldest_);
    StoreByte(ring_, oldest_, bytes[0]);
    const bool apart =
        ring_[c1] != ring_[c2] && (ws_.parent[o2] == NO_NODE || ring_[o2] != ring_[c1]);
    std::int32_t visited;
    if (apart) {
      Remove(o2);
      StoreByte(ring_, o2, bytes[1]);
      std::int32_t first_length;
      std::int32_t first_position;
      visited = short_walks_
                    ? InsertStringPair(ws_, no_runs_, c1, c2, &first_length, &first_position)
                    : InsertStringChainPair(ws_, runs_, c1, c2, &first_length, &first_position);
      in_.Advance(2);
      if (!two_here) {
        // The second step belongs to the next slide.
        ahead_ = true;
        ahead_length_ = ws_.best_length;
        ahead_position_ = ws_.best_position;
        ws_.best_length = first_length;
        ws_.best_position = first_position;
        oldest_ = o2;
        cur_ = c1;
        return 1;
      }
    } else if (two_here) {
      visited =
          short_walks_ ? InsertStringCounted(ws_, no_runs_, c1) : InsertStringChain(ws_, runs_, c1);
      Remove(o2);
      StoreByte(ring_, o2, bytes[1]);
      visited +=
          short_walks_ ? InsertStringCounted(ws_, no_runs_, c2) : InsertStringChain(ws_, runs_, c2);
      in_.Advance(2);
    } else {
      // A lone last step after all.
      Insert(c1);
      in_.Advance(1);
      oldest_ = o2;
      cur_ = c1;
      return 1;
    }
    CountVisits(visited);
    oldest_ = (o2 + 1) & RING_MASK;
    cur_ = c2;
    return 2;
  }

  // Every 4096 pairs, decides from the nodes they visited how the next ones
  // walk.
  void CountVisits(std::int32_t visited) {
    visited_total_ += visited;
    if (++pairs_counted_ == kPairsPerVerdict) {
      const bool were_short = short_walks_;
      short_walks_ = visited_total_ < kShortWalkNodes * 2 * kPairsPerVerdict;
      if (short_walks_ && !were_short) runs_.Reset();
      visited_total_ = 0;
      pairs_counted_ = 0;
    }
  }

  RingTrees& ws_;
  RunIndex& runs_;
  EncoderState& st_;
  Source& in_;
  Sink& out_;
  std::uint8_t* const ring_;
  UnitGroup& group_;
  bool short_walks_;
  NoRunIndex no_runs_;
  // The first step of the next slide, done early (see Slide).
  bool ahead_;
  std::int32_t ahead_length_;
  std::int32_t ahead_position_;
  std::int64_t visited_total_;
  std::int32_t pairs_counted_;
  std::int32_t cur_;        // first byte of the look-ahead
  std::int32_t oldest_;     // receives the next source byte; always cur + 18
  std::int32_t lookahead_;  // source bytes at cur not yet coded
};

// Codes `in` into `out`, from where `st` stands: one span of the source,
// the whole of it or one piece. `runs` is the index of long runs kept
// beside the trees (run_index.h); it changes only the speed.
//
// With kPiecewise, `in` may be one piece of a longer source: unless it says
// it is the last (in.Final()), the loop stops before a unit when fewer than
// 18 bytes are left, since a unit needs its full look-ahead and slides over
// at most 18 new bytes; the caller then keeps those bytes for the next
// piece. Stopping only there leaves every tree operation, and so every
// byte of output, as one call over the whole source gives. Sources that are
// complete build the loop without that check.
//
// Everything it calls is built into it (flatten): the compiler otherwise
// keeps the largest tree walk out of line, and that one copy, shared by both
// instruction-set builds of the loop, would run the baseline instructions
// and pay a call per pair of insertions.
template <bool kPiecewise, LoopSource<kPiecewise> Source, ByteSink Sink>
[[gnu::flatten]] LZRING_CPU_CLONES EncodeStatus EncodeSpan(RingTrees& ws, RunIndex& runs,
                                                           EncoderState& st, Source& in,
                                                           Sink& out) {
  UnitGroup group = st.group;
  return EncodeSteps<kPiecewise, Source, Sink>(ws, runs, st, group, in, out).Code();
}

// Compresses the whole of `in` into `out`. Returns false as soon as the sink
// fails, true when the whole source has been coded.
template <ByteSource Source, ByteSink Sink>
bool EncodeStream(RingTrees& ws, RunIndex& runs, Source& in, Sink& out) {
  EncoderState st;
  StartEncoder(ws, runs, st);
  return EncodeSpan<false>(ws, runs, st, in, out) == EncodeStatus::kDone;
}

// Codes the `size` source bytes gathered at `data` from where `st` stands
// (the source's last bytes when `final`), and moves the few the loop leaves
// for the next call, fewer than 18, to the front of `data`; `size` becomes
// their count. Returns as EncodeSpan; after kSinkFailed `data` and `size`
// are as they were. The encoder object and the threaded encoder's stretches
// on one thread gather their input and code it this way.
template <ByteSink Sink>
EncodeStatus EncodeGathered(RingTrees& ws, RunIndex& runs, EncoderState& st, std::uint8_t* data,
                            std::size_t& size, bool final, Sink& out) {
  PieceSource source(data, size, final);
  const EncodeStatus status = EncodeSpan<true>(ws, runs, st, source, out);
  if (status == EncodeStatus::kSinkFailed) return status;
  size = source.Available();
  std::memmove(data, source.Data(), size);
  return status;
}

}  // namespace

}  // namespace lzring

#endif  // LZRING_CODEC_ENCODE_LOOP_H
