// Hands a byte source to an encoder that takes the source in writes of any
// size (the threaded encoder, the smallest-stream encoder): whole runs of
// what the source holds in memory where it can, a byte at a time where it
// cannot, then the end.
#ifndef LZRING_CODEC_PIECE_FEED_H
#define LZRING_CODEC_PIECE_FEED_H

#include <cstddef>
#include <cstdint>

namespace lzring {

// Writes all of `in` to `encoder` and finishes it, output to `out`.
// Returns the first nonzero result of its Write() calls, or Finish()'s.
template <class Encoder, class Source, class Sink>
int FeedAndFinish(Encoder& encoder, Source& in, Sink& out) {
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

#endif  // LZRING_CODEC_PIECE_FEED_H
