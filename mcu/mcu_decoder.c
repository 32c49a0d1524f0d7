/* The small core's decoder: one byte at a time, resumable after any byte in
 * or out. Kept small rather than fast: a literal is stored at the write
 * position and then delivered as a one-byte copy from there, so literals and
 * references share the one copy loop, and that loop is also where a unit
 * waits when the output is full. */
#include "lzring_mcu.h"

#include <string.h>

void lzring_mcu_decoder_init(lzring_mcu_decoder* d, uint32_t limit) {
  memset(d, 0, sizeof *d);
  /* Positions 4078..4095 start as zero, as in a freshly started library. */
  memset(d->ring, ' ', 4078);
  d->cur = 4078;
  d->left = limit;
}

int lzring_mcu_decode(lzring_mcu_decoder* d, const uint8_t* in, size_t* in_size, uint8_t* out,
                      size_t* out_size) {
  const size_t in_n = *in_size;
  const size_t out_n = *out_size;
  size_t i = 0;
  size_t o = 0;
  int status = LZRING_MCU_MORE;
  for (;;) {
    if (d->copy_left != 0) {
      /* Each byte is read before the one it produces is stored, so a
       * reference may reach into its own output. */
      uint8_t c;
      if (o == out_n) break;
      c = d->ring[d->copy & 4095];
      d->copy++;
      d->ring[d->cur] = c;
      d->cur = (d->cur + 1) & 4095;
      out[o++] = c;
      d->copy_left--;
      continue;
    }
    if (d->left == 0) {
      status = LZRING_MCU_END;
      break;
    }
    if (i == in_n) break;
    {
      const unsigned b = in[i++];
      unsigned length;
      d->taken++;
      /* Bit 8 of flags clears after the eighth unit of a group (and before
       * the first group): the byte is then the next flag byte. */
      if ((d->flags & 0x100) == 0) {
        d->flags = (uint16_t)(b | 0xFF00);
        continue;
      }
      if (d->flags & 1) {
        d->ring[d->cur] = (uint8_t)b;
        d->copy = d->cur;
        length = 1;
      } else if (!d->has_low) {
        d->low = (uint8_t)b;
        d->has_low = 1;
        continue;
      } else {
        d->has_low = 0;
        d->copy = (uint16_t)(d->low | (b & 0xF0) << 4);
        length = (b & 0x0F) + 3;
      }
      /* The unit is complete. */
      d->flags >>= 1;
      d->used = d->taken;
      if (d->left != LZRING_MCU_NO_LIMIT) {
        if (length > d->left) length = d->left;
        d->left -= length;
      }
      d->copy_left = (uint8_t)length;
    }
  }
  *in_size = i;
  *out_size = o;
  return status;
}
