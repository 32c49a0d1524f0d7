// The WebAssembly face of the codec: plain C functions over the C++ API that
// the JavaScript loader calls with pointers into the module's memory. Sizes
// above 32 bits travel as doubles, which hold every size a stream can reach
// in JavaScript exactly (below 2^53).
//
// Nothing here throws: the module is built without exception support, so
// allocations go through nothrow forms and report failure as a null result
// that the loader turns into a RangeError.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>
#include <span>
#include <system_error>

#include "lzring/lzring.hpp"

#define LZR_EXPORT(name) extern "C" __attribute__((export_name(#name), used))

namespace {

// The module's one codec for the whole-buffer calls (about 230 KiB, made on
// first use and kept: JavaScript runs them one at a time).
lzring::codec* SharedCodec() {
  static lzring::codec* codec = new (std::nothrow) lzring::codec();
  return codec;
}

std::uint64_t LimitOf(double limit) {
  return limit < 0 ? lzring::decoder::no_limit : static_cast<std::uint64_t>(limit);
}

// A size passed as a double: 0 for anything below 1 (or not a number),
// saturated above 2^63.
std::uint64_t SizeOf(double n) {
  if (!(n >= 1)) return 0;
  return n < 0x1p63 ? static_cast<std::uint64_t>(n) : UINT64_MAX;
}

double BoundOf(std::uint64_t bound) {
  const double d = static_cast<double>(bound);
  if (d >= 0x1p63) return d;
  return static_cast<std::uint64_t>(d) < bound ? std::nextafter(d, HUGE_VAL) : d;
}

}  // namespace

LZR_EXPORT(lzr_malloc) void* LzrMalloc(std::size_t n) {
  return std::malloc(n == 0 ? 1 : n);
}

LZR_EXPORT(lzr_free) void LzrFree(void* p) {
  std::free(p);
}

// The bounds of the C++ API for `n` bytes, as doubles. The loader passes a
// whole number below 2^53, whose bounds are below 2^57: exact below 2^49,
// and rounded up, never down, above.
LZR_EXPORT(lzr_compress_bound) double LzrCompressBound(double n) {
  return BoundOf(lzring::compress_bound(SizeOf(n)));
}

LZR_EXPORT(lzr_expand_bound) double LzrExpandBound(double n) {
  return BoundOf(lzring::expand_bound(SizeOf(n)));
}

// Compresses `n` bytes at `in` into `out` (`cap` bytes, at least the bound),
// the smallest stream when `best` is not 0. Returns the compressed size, or
// -1 when the codec or its working arrays could not be made.
LZR_EXPORT(lzr_compress)
double LzrCompress(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap,
                   int best) {
  lzring::codec* codec = SharedCodec();
  if (codec == nullptr) return -1;
  codec->set_best(best != 0);
  std::error_code ec;
  const std::size_t size = codec->compress_into({in, n}, {out, cap}, ec);
  return ec ? -1 : static_cast<double>(size);
}

LZR_EXPORT(lzr_expanded_size) double LzrExpandedSize(const std::uint8_t* in, std::size_t n) {
  lzring::codec* codec = SharedCodec();
  return codec == nullptr ? -1 : static_cast<double>(codec->expanded_size({in, n}));
}

// Expands the stream at the start of `in` into `out`, at most `cap` bytes.
// result[0] receives the bytes produced, result[1] the input bytes used.
LZR_EXPORT(lzr_expand)
int LzrExpand(const std::uint8_t* in, std::size_t n, std::uint8_t* out, std::size_t cap,
              double* result) {
  lzring::codec* codec = SharedCodec();
  if (codec == nullptr) return -1;
  const lzring::bounded_result r = codec->expand_bounded({in, n}, {out, cap});
  result[0] = static_cast<double>(r.bytes_out);
  result[1] = static_cast<double>(r.bytes_used);
  return 0;
}

// ---- Encoder objects: the output collects inside, drained by the loader.

// An encoder of the exact stream, or of the smallest one when `best` is not 0.
LZR_EXPORT(lzr_encoder_new) lzring::encoder* LzrEncoderNew(int best) {
  return new (std::nothrow) lzring::encoder({}, 1, best != 0);
}

LZR_EXPORT(lzr_encoder_delete) void LzrEncoderDelete(lzring::encoder* e) {
  delete e;
}

LZR_EXPORT(lzr_encoder_write)
int LzrEncoderWrite(lzring::encoder* e, const std::uint8_t* p, std::size_t n) {
  return e->write({p, n}) ? 1 : 0;
}

LZR_EXPORT(lzr_encoder_finish) int LzrEncoderFinish(lzring::encoder* e) {
  return e->finish() ? 1 : 0;
}

LZR_EXPORT(lzr_encoder_output) const std::uint8_t* LzrEncoderOutput(lzring::encoder* e) {
  return e->output().data();
}

LZR_EXPORT(lzr_encoder_output_size) std::size_t LzrEncoderOutputSize(lzring::encoder* e) {
  return e->output().size();
}

LZR_EXPORT(lzr_encoder_consume) void LzrEncoderConsume(lzring::encoder* e, std::size_t n) {
  e->consume(n);
}

// ---- Decoder objects, whole or up to a limit (negative: none).

LZR_EXPORT(lzr_decoder_new) lzring::decoder* LzrDecoderNew(double limit) {
  return new (std::nothrow) lzring::decoder({}, LimitOf(limit));
}

LZR_EXPORT(lzr_decoder_delete) void LzrDecoderDelete(lzring::decoder* d) {
  delete d;
}

LZR_EXPORT(lzr_decoder_write)
int LzrDecoderWrite(lzring::decoder* d, const std::uint8_t* p, std::size_t n) {
  return d->write({p, n}) ? 1 : 0;
}

LZR_EXPORT(lzr_decoder_finish) int LzrDecoderFinish(lzring::decoder* d) {
  return d->finish() ? 1 : 0;
}

LZR_EXPORT(lzr_decoder_output) const std::uint8_t* LzrDecoderOutput(lzring::decoder* d) {
  return d->output().data();
}

LZR_EXPORT(lzr_decoder_output_size) std::size_t LzrDecoderOutputSize(lzring::decoder* d) {
  return d->output().size();
}

LZR_EXPORT(lzr_decoder_consume) void LzrDecoderConsume(lzring::decoder* d, std::size_t n) {
  d->consume(n);
}

LZR_EXPORT(lzr_decoder_bytes_used) double LzrDecoderBytesUsed(lzring::decoder* d) {
  return static_cast<double>(d->bytes_used());
}

LZR_EXPORT(lzr_decoder_at_limit) int LzrDecoderAtLimit(lzring::decoder* d) {
  return d->at_limit() ? 1 : 0;
}

LZR_EXPORT(lzr_decoder_bytes_out) double LzrDecoderBytesOut(lzring::decoder* d) {
  return static_cast<double>(d->bytes_out());
}
