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

#include "codec/cpu_clones.h"
#include "codec/format.h"
#include "codec/match_tree.h"
#include "codec/memory_source.h"
#include "codec/ring_trees.h"
#include "codec/unit_group.h"

namespace lzring {

// Where the encoder stands between two runs of its loop: everything the
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

// How a run of the loop ended.
enum class EncodeStatus {
  kDone,        // the source has ended and every byte is coded
  kNeedInput,   // fewer than 18 bytes of this piece are left; more will follow
  kSinkFailed,  // the sink failed
};

// Internal linkage: where the loop is built for several instruction sets
// (see cpu_clones.h), each library keeps its own choice to itself instead
// of exporting it.
namespace {

// Codes `in` into `out`, from where `st` stands. `runs` is the index of long
// runs kept beside the trees (run_index.h); it changes only the speed.
//
// With kPiecewise, `in` may be one piece of a longer source: unless it says
// it is the last (in.Final()), the loop stops before a unit when fewer than
// 18 bytes are left, since a unit needs its full look-ahead and slides over
// at most 18 new bytes; the caller then keeps those bytes for the next
// piece. Stopping only there leaves every tree operation, and so every
// byte of output, as one run over the whole source gives. Sources that are
// complete build the loop without that check.
//
// Everything it calls is built into it (flatten): the compiler otherwise
// keeps the largest tree walk out of line, and that one copy, shared by both
// instruction-set builds of the loop, would run the baseline instructions
// and pay a call per pair of insertions.
template <bool kPiecewise, class Source, class Sink>
[[gnu::flatten]] LZRING_CPU_CLONES EncodeStatus EncodeRun(RingTrees& ws, RunIndex& runs,
                                                          EncoderState& st, Source& in, Sink& out) {
  std::uint8_t* const ring = ws.ring;

  // The loop works on copies in registers; `save` puts them back.
  UnitGroup group = st.group;

  // Stores a source byte at ring position `at`, and in the mirror too.
  auto store = [ring](std::int32_t at, std::uint8_t b) {
    ring[at] = b;
    if (at < MAX_MATCH - 1) ring[at + RING_SIZE] = b;
  };

  // How paired insertions walk: choosing each child without a branch while
  // walks are short (text, below kShortWalkNodes), with a predicted branch
  // while they run down chain-like trees; only the speed depends on it.
  constexpr std::int32_t kPairsPerVerdict = 4096;
  bool short_walks = st.short_walks;
  // Short walks do without the index of long runs: it is emptied when they
  // begin, and an empty index stays true to any trees without upkeep.
  NoRunIndex no_runs;
  auto remove = [&](std::int32_t p) {
    if (short_walks) {
      RemoveString(ws, no_runs, p);
    } else {
      RemoveString(ws, runs, p);
    }
  };
  auto insert = [&](std::int32_t r) {
    if (short_walks) {
      InsertString(ws, no_runs, r);
    } else {
      InsertString(ws, runs, r);
    }
  };
  // The first step of the next slide, done early (see below).
  bool ahead = st.ahead;
  std::int32_t ahead_length = st.ahead_length;
  std::int32_t ahead_position = st.ahead_position;
  std::int64_t visited_total = st.visited_total;
  std::int32_t pairs_counted = st.pairs_counted;

  std::int32_t cur = st.cur;        // first byte of the look-ahead
  std::int32_t oldest = st.oldest;  // receives the next source byte; always cur + 18
  std::int32_t lookahead = st.lookahead;

  auto save = [&]() {
    st.group = group;
    st.short_walks = short_walks;
    st.ahead = ahead;
    st.ahead_length = ahead_length;
    st.ahead_position = ahead_position;
    st.visited_total = visited_total;
    st.pairs_counted = pairs_counted;
    st.cur = cur;
    st.oldest = oldest;
    st.lookahead = lookahead;
  };
  // True when this piece is short of a unit's 18 bytes and more will follow.
  auto short_piece = [&]() {
    if constexpr (kPiecewise) {
      return !in.Final() && in.Available() < static_cast<std::size_t>(MAX_MATCH);
    } else {
      return false;
    }
  };

  if (!st.started) {
    if (short_piece()) return EncodeStatus::kNeedInput;
    // Fill the look-ahead.
    for (; lookahead < MAX_MATCH; ++lookahead) {
      std::uint8_t b;
      if (!in.Next(b)) break;
      ring[RING_START + lookahead] = b;
    }
    st.started = true;
    st.lookahead = lookahead;
    if (lookahead == 0) return EncodeStatus::kDone;

    // The 18 positions before the look-ahead hold prefilled spaces; entering
    // them, nearest first, lets the first units refer to them.
    for (std::int32_t k = 1; k <= MAX_MATCH; ++k) insert(cur - k);
    insert(cur);
  }
  if (lookahead == 0) return EncodeStatus::kDone;

  do {
    if (short_piece()) {
      save();
      return EncodeStatus::kNeedInput;
    }
    // Near the end of the source a match can run past the real data.
    if (ws.best_length > lookahead) ws.best_length = lookahead;

    bool full;
    if (ws.best_length < MIN_MATCH) {
      ws.best_length = 1;
      full = group.Literal(ring[cur]);
    } else {
      full = group.Reference(ws.best_position, ws.best_length);
    }
    if (full && !group.Put(out)) return EncodeStatus::kSinkFailed;

    // Slide the window over the bytes just coded: each step drops the oldest
    // position from the trees, stores a new source byte there (and in the
    // mirror after the ring for positions 0..16) and enters the position that
    // the new byte completes.
    //
    // Two steps at a time where possible: R(o1) I(c1) R(o2) I(c2) becomes
    // R(o1) R(o2) and then both insertions interleaved, which gives the same
    // trees whenever the three later operations are in different trees (only
    // operations on one tree depend on their order). The new bytes are not
    // part of any string in a tree, so storing both early changes no walk.
    //
    // A slide of odd length ends with a step of its own; while bytes remain
    // and walks are short it is paired with the first step of the next slide
    // (which every unit has), whose result is kept for later in
    // `ahead_length` and `ahead_position`. The operations and their order
    // per tree are the same; only the next unit's decision waits for its own
    // result. Down chain-like trees that early pairing was measured to cost
    // more than it saves.
    const std::int32_t last_length = ws.best_length;
    std::int32_t step = 0;
    if (ahead) {
      ahead = false;
      oldest = (oldest + 1) & RING_MASK;
      cur = (cur + 1) & RING_MASK;
      ws.best_length = ahead_length;
      ws.best_position = ahead_position;
      step = 1;
    }
    while (step < last_length) {
      const bool two_here = last_length - step >= 2;
      if (in.Available() >= 2 && (two_here || short_walks)) {
        const std::uint8_t* const bytes = in.Data();
        const std::int32_t o2 = (oldest + 1) & RING_MASK;
        const std::int32_t c1 = (cur + 1) & RING_MASK;
        const std::int32_t c2 = (cur + 2) & RING_MASK;
        remove(oldest);
        store(oldest, bytes[0]);
        const bool apart =
            ring[c1] != ring[c2] && (ws.parent[o2] == NO_NODE || ring[o2] != ring[c1]);
        std::int32_t visited;
        if (apart) {
          remove(o2);
          store(o2, bytes[1]);
          std::int32_t first_length;
          std::int32_t first_position;
          visited = short_walks
                        ? InsertStringPair(ws, no_runs, c1, c2, &first_length, &first_position)
                        : InsertStringChainPair(ws, runs, c1, c2, &first_length, &first_position);
          in.Advance(2);
          if (!two_here) {
            // The second step belongs to the next slide.
            ahead = true;
            ahead_length = ws.best_length;
            ahead_position = ws.best_position;
            ws.best_length = first_length;
            ws.best_position = first_position;
            oldest = o2;
            cur = c1;
            ++step;
            continue;
          }
        } else if (two_here) {
          visited =
              short_walks ? InsertStringCounted(ws, no_runs, c1) : InsertStringChain(ws, runs, c1);
          remove(o2);
          store(o2, bytes[1]);
          visited +=
              short_walks ? InsertStringCounted(ws, no_runs, c2) : InsertStringChain(ws, runs, c2);
          in.Advance(2);
        } else {
          // A lone last step after all.
          insert(c1);
          in.Advance(1);
          oldest = o2;
          cur = c1;
          ++step;
          continue;
        }
        // Every 4096 pairs, decide from the nodes they visited how the next
        // ones walk.
        visited_total += visited;
        if (++pairs_counted == kPairsPerVerdict) {
          const bool were_short = short_walks;
          short_walks = visited_total < kShortWalkNodes * 2 * kPairsPerVerdict;
          if (short_walks && !were_short) runs.Reset();
          visited_total = 0;
          pairs_counted = 0;
        }
        oldest = (o2 + 1) & RING_MASK;
        cur = c2;
        step += 2;
        continue;
      }
      std::uint8_t b;
      if (!in.Next(b)) break;
      remove(oldest);
      store(oldest, b);
      oldest = (oldest + 1) & RING_MASK;
      cur = (cur + 1) & RING_MASK;
      insert(cur);
      ++step;
    }
    // The source has ended: the look-ahead shrinks instead. The ring keeps
    // its old bytes beyond the end of the data.
    for (; step < last_length; ++step) {
      remove(oldest);
      oldest = (oldest + 1) & RING_MASK;
      cur = (cur + 1) & RING_MASK;
      if (--lookahead > 0) insert(cur);
    }
  } while (lookahead > 0);

  // The last group; the flag bits of its missing units stay clear.
  st.lookahead = 0;
  if (!group.Empty() && !group.Put(out)) return EncodeStatus::kSinkFailed;
  return EncodeStatus::kDone;
}

// Compresses the whole of `in` into `out`. Returns false as soon as the sink
// fails, true when the whole source has been coded.
template <class Source, class Sink>
bool EncodeStream(RingTrees& ws, RunIndex& runs, Source& in, Sink& out) {
  EncoderState st;
  StartEncoder(ws, runs, st);
  return EncodeRun<false>(ws, runs, st, in, out) == EncodeStatus::kDone;
}

// Codes the `size` source bytes gathered at `data` from where `st` stands
// (the source's last bytes when `final`), and moves the few the loop leaves
// for the next run, fewer than 18, to the front of `data`; `size` becomes
// their count. Returns as EncodeRun; after kSinkFailed `data` and `size`
// are as they were. The encoder object and the threaded encoder's stretches
// on one thread gather their input and code it this way.
template <class Sink>
EncodeStatus EncodeGathered(RingTrees& ws, RunIndex& runs, EncoderState& st, std::uint8_t* data,
                            std::size_t& size, bool final, Sink& out) {
  PieceSource source(data, size, final);
  const EncodeStatus status = EncodeRun<true>(ws, runs, st, source, out);
  if (status == EncodeStatus::kSinkFailed) return status;
  size = source.Available();
  std::memmove(data, source.Data(), size);
  return status;
}

}  // namespace

}  // namespace lzring

#endif  // LZRING_CODEC_ENCODE_LOOP_H
