// The small core for microcontrollers (mcu/) against the codec: the input
// compressed by the core's encoder gives the library's bytes; taken as
// compressed bytes, the core's decoder expands it to the library's output,
// whole and up to a limit, with the same count of bytes used and the same
// verdict on whether the stream ended before the limit. Piece sizes in both
// directions come from the input.
//
// Input: one byte choosing the limit, two bytes of piece sizes (input,
// output; 0 means 4096), then the data.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "lzring/lzring.hpp"
#include "mcu/lzring_mcu.h"

using lzring::fuzz::Bytes;
using lzring::fuzz::Check;

namespace {

constexpr std::size_t kHeader = 3;

std::size_t PieceSize(std::uint8_t b) {
  return b == 0 ? 4096 : b;
}

Bytes McuEncode(std::span<const std::uint8_t> src, std::size_t in_piece, std::size_t out_piece) {
  auto e = std::make_unique<lzring_mcu_encoder>();
  lzring_mcu_encoder_init(e.get());
  Bytes out;
  Bytes room(out_piece);
  const std::uint8_t none = 0;
  std::size_t pos = 0;
  for (;;) {
    std::size_t n = std::min(in_piece, src.size() - pos);
    std::size_t made = room.size();
    const bool finish = pos + n == src.size();
    const int status = lzring_mcu_encode(e.get(), n != 0 ? src.data() + pos : &none, &n,
                                         room.data(), &made, finish);
    Check(finish || n != 0 || made != 0, "encoder made no progress");
    pos += n;
    out.insert(out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(made));
    if (status == LZRING_MCU_END) return out;
  }
}

struct Decoded {
  Bytes out;
  std::uint32_t used;
  bool end;
};

Decoded McuDecode(std::span<const std::uint8_t> in, std::size_t in_piece, std::size_t out_piece,
                  std::uint32_t limit) {
  auto d = std::make_unique<lzring_mcu_decoder>();
  lzring_mcu_decoder_init(d.get(), limit);
  Decoded r{{}, 0, false};
  Bytes room(out_piece);
  const std::uint8_t none = 0;
  std::size_t pos = 0;
  for (;;) {
    std::size_t n = std::min(in_piece, in.size() - pos);
    std::size_t made = room.size();
    r.end = lzring_mcu_decode(d.get(), n != 0 ? in.data() + pos : &none, &n, room.data(), &made) ==
            LZRING_MCU_END;
    pos += n;
    r.out.insert(r.out.end(), room.begin(), room.begin() + static_cast<std::ptrdiff_t>(made));
    if (r.end || (pos == in.size() && made < room.size())) break;
    Check(n != 0 || made != 0, "decoder made no progress");
  }
  r.used = d->used;
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < kHeader) return 0;
  const std::span<const std::uint8_t> body(data + kHeader, size - kHeader);
  const std::size_t in_piece = PieceSize(data[1]);
  const std::size_t out_piece = PieceSize(data[2]);

  Check(McuEncode(body, in_piece, out_piece) == lzring::compress(body),
        "the core's encoder differs from the library");

  const Decoded whole = McuDecode(body, in_piece, out_piece, LZRING_MCU_NO_LIMIT);
  Check(whole.out == lzring::expand(body), "the core's decoder differs from the library");
  Check(!whole.end, "a decoder without a limit reported the end");

  // Limits around the stream's own size, from 0 up.
  const std::uint32_t limit = static_cast<std::uint32_t>(data[0]) * body.size() / 128;
  Bytes expected(limit);
  lzring::codec library;
  const lzring::bounded_result b = library.expand_bounded(body, expected);
  expected.resize(b.bytes_out);
  const Decoded bounded = McuDecode(body, in_piece, out_piece, limit);
  Check(bounded.out == expected, "the core's bounded output differs from expand_bounded");
  Check(bounded.used == b.bytes_used, "the core's bytes used differ from expand_bounded");
  Check(bounded.end == !b.ended, "the core's end differs from expand_bounded");
  return 0;
}
