/* The small core for microcontrollers: a streaming decoder whose state is
 * the 4096-byte ring and a few bytes, and the exact encoder (the same bytes
 * as the library's _Encode) in about 29 KiB of state. Plain C99, for C and
 * C++ programs built without an operating system: no heap, no exceptions,
 * no files or threads, and nothing from the C library but memcpy and memset.
 *
 * Expanding needs this header and mcu_decoder.c; compressing needs this
 * header and mcu_encoder.c. Each state is a struct that the caller owns
 * (static, on the stack, or wherever it likes); it holds no pointers, so it
 * may be copied or moved in memory between calls. Separate states may be
 * used side by side; one state must not be used from two threads or
 * interrupt handlers at once.
 *
 * Input and output go through caller buffers of any sizes, down to one byte
 * at a time in either direction. On entry *in_size and *out_size are the
 * sizes of the buffers; on return they are the number of input bytes taken
 * and of output bytes written. Input not taken is to be passed again, at the
 * front of the next call's input.
 */
#ifndef LZRING_MCU_H
#define LZRING_MCU_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Returned by lzring_mcu_decode and lzring_mcu_encode. */
#define LZRING_MCU_MORE 0 /* wants more input or more output room */
#define LZRING_MCU_END 1  /* the stream is complete and all its output delivered */

/* The expected size of a decoder that expands the whole input. Counts are
 * 32 bits wide: expected sizes are below this, and `used` is meant for
 * streams of less than 4 GiB. */
#define LZRING_MCU_NO_LIMIT UINT32_MAX

/* ---- Decoder ------------------------------------------------------------
 *
 * Expands a compressed stream that arrives in pieces, whole or up to a
 * given number of output bytes. Every unit whose bytes have all arrived (its
 * group's flag byte and its one or two bytes) is expanded and delivered, as
 * far as the output room allows, before lzring_mcu_decode returns; only a
 * reference cut between its two bytes waits for the next piece. Input is
 * taken only while no output is waiting for room, so the state never holds
 * more than one unit's output.
 *
 * With an expected size (`limit`), the decoder stops after `limit` output
 * bytes: it returns LZRING_MCU_END as soon as the unit that reaches the
 * limit has arrived, whatever follows it (at once for a limit of 0), and its
 * output has been delivered; input after that unit is not used: `used`
 * tells where the stream ended within everything passed in. Without a limit
 * the stream ends where the caller's input ends: a unit cut short by the
 * end produces nothing, as the library's decoder does, so there is nothing
 * to finish. Every byte sequence expands to something; there is no error.
 *
 * Fields other than `used` are private. */
typedef struct lzring_mcu_decoder {
  uint8_t ring[4096]; /* the ring; positions 0..4077 start as spaces */
  uint32_t used;      /* input bytes up to the end of the last unit expanded */
  uint32_t taken;     /* input bytes taken */
  uint32_t left;      /* output bytes still allowed, or LZRING_MCU_NO_LIMIT */
  uint16_t cur;       /* write position */
  uint16_t flags;     /* the flag byte, with a run of ones above for the units to come */
  uint16_t copy;      /* ring position of the next byte of the unit being delivered */
  uint8_t copy_left;  /* bytes of that unit still to deliver */
  uint8_t low;        /* first byte of a reference cut between its two bytes */
  uint8_t has_low;    /* whether `low` holds one */
} lzring_mcu_decoder;

/* Starts a stream: `limit` is the expected output size, or
 * LZRING_MCU_NO_LIMIT. Also the way to start over with a used state. */
void lzring_mcu_decoder_init(lzring_mcu_decoder* d, uint32_t limit);

/* Takes compressed bytes from in[0..*in_size) and writes expanded bytes to
 * out[0..*out_size), updating both sizes (see the top of this file).
 * Returns LZRING_MCU_END once the expected size is reached and delivered,
 * else LZRING_MCU_MORE. */
int lzring_mcu_decode(lzring_mcu_decoder* d, const uint8_t* in, size_t* in_size, uint8_t* out,
                      size_t* out_size);

/* ---- Encoder ------------------------------------------------------------
 *
 * Compresses a source that arrives in pieces into exactly the bytes that the
 * library's _Encode gives for the whole source. The ring and the 256 match
 * trees (16-bit links) are the state; it codes about one unit per source
 * byte without any index of long runs, trading speed for RAM.
 *
 * The format has no way to end a group early, so output lags the input by
 * up to a group and the 18-byte look-ahead until the call that passes
 * `finish`. After such a call, pass no more input: call again with `finish`
 * and more output room until LZRING_MCU_END. Fields are private. */
typedef struct lzring_mcu_encoder {
  uint16_t parent[4097];      /* parent link; 4096 when not in a tree; [4096] absorbs writes */
  uint16_t left[4097];        /* left child (smaller strings) */
  uint16_t right[4097 + 256]; /* right child (greater strings); tree c hangs from [4097 + c] */
  uint8_t ring[4096 + 17];    /* the ring, and positions 0..16 again after it */
  uint8_t group[17];          /* the group being assembled: flag byte and units */
  uint8_t group_size;         /* bytes of `group` in use */
  uint8_t group_sent;         /* bytes of a full group already written out */
  uint8_t flag_mask;          /* flag bit of the next unit */
  uint8_t best_length;        /* the match for the look-ahead: length */
  uint16_t best_position;     /* and ring position */
  uint16_t cur;               /* first byte of the look-ahead */
  uint16_t oldest;            /* receives the next source byte */
  uint8_t lookahead;          /* source bytes at cur not yet coded */
  uint8_t step;               /* bytes of the last unit slid over so far */
  uint8_t last_length;        /* bytes covered by the last unit */
  uint8_t phase;              /* where the coding stands between calls */
  uint8_t ended;              /* the source has ended */
} lzring_mcu_encoder;

/* Starts a stream. Also the way to start over with a used state. */
void lzring_mcu_encoder_init(lzring_mcu_encoder* e);

/* Takes source bytes from in[0..*in_size) and writes compressed bytes to
 * out[0..*out_size), updating both sizes (see the top of this file); a
 * nonzero `finish` says that the source ends with this input. Returns
 * LZRING_MCU_END once the source has ended and all its output is delivered,
 * else LZRING_MCU_MORE. */
int lzring_mcu_encode(lzring_mcu_encoder* e, const uint8_t* in, size_t* in_size, uint8_t* out,
                      size_t* out_size, int finish);

#ifdef __cplusplus
}
#endif

#endif /* LZRING_MCU_H */
