// What the codec loops ask of a byte source and a byte sink, as concepts.
// The loops are templates over both, so that file, descriptor, memory and
// queue streams all run one loop without a call per byte; these concepts
// name the members that loop uses, and each source and sink class states
// that it has them beside its definition (or in the layer that sees both,
// for the stream layer's classes).
#ifndef LZRING_CODEC_BYTE_SOURCE_SINK_H
#define LZRING_CODEC_BYTE_SOURCE_SINK_H

#include <concepts>
#include <cstddef>
#include <cstdint>

namespace lzring {

// Bytes read one at a time (Next, false once the source has ended), or many
// at once from the block at hand: Available() bytes at Data(), of which the
// caller takes `n` <= Available() with Advance(n). A source that reads in
// blocks fills the next block only in Next().
template <class S>
concept ByteSource = requires(S& s, const S& cs, std::uint8_t& b, std::size_t n) {
  { s.Next(b) } -> std::same_as<bool>;
  { cs.Available() } -> std::convertible_to<std::size_t>;
  { cs.Data() } -> std::convertible_to<const std::uint8_t*>;
  s.Advance(n);
};

// A source that comes in pieces: Final() tells whether the piece at hand is
// the last. The loops built for pieces stop before a unit the piece does not
// hold whole and leave the rest to the caller.
template <class S>
concept PieceByteSource = ByteSource<S> && requires(const S& cs) {
  { cs.Final() } -> std::same_as<bool>;
};

// The source of a loop built for pieces (kPieces) or for a complete input.
template <class S, bool kPieces>
concept LoopSource = ByteSource<S> &&(!kPieces || PieceByteSource<S>);

// Bytes written one at a time (Put), or many at once: up to Room() bytes
// stored at Space() and then accepted with Commit(n). Put and Commit return
// false when the sink failed; Room() may be 0 for a full fixed buffer,
// whose Put then fails.
template <class S>
concept ByteSink = requires(S& s, std::uint8_t b, std::size_t n) {
  { s.Put(b) } -> std::same_as<bool>;
  { s.Room() } -> std::convertible_to<std::size_t>;
  { s.Space() } -> std::convertible_to<std::uint8_t*>;
  { s.Commit(n) } -> std::same_as<bool>;
};

// A sink that takes whole blocks of bytes from the caller's memory;
// false when it failed.
template <class S>
concept BulkByteSink = requires(S& s, const std::uint8_t* data, std::size_t n) {
  { s.PutBytes(data, n) } -> std::same_as<bool>;
};

// What the decoder writes to: a sink of either kind (it hands its window
// over in bulk where the sink takes that).
template <class S>
concept DecoderSink = ByteSink<S> || BulkByteSink<S>;

}  // namespace lzring

#endif  // LZRING_CODEC_BYTE_SOURCE_SINK_H
