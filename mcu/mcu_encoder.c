/* The small core's encoder: the same choices, in the same order, as the
 * library's one-thread encoder, so the same bytes; in 16-bit links and one
 * insertion per source byte, without the library's paired walks, word-wise
 * comparisons or index of long runs, which buy speed with code and RAM.
 *
 * Every ring position in the window sits in one of 256 binary search trees,
 * chosen by the first byte of its 18-byte string and ordered by bytes 1..17.
 * Inserting a position walks its tree and reports the longest string on the
 * walk sharing a prefix with it, the one nearest the root among equals. The
 * trees' shapes, and so which of equally long matches is reported, follow
 * from the exact order of insertions and removals: that order is what keeps
 * the output equal to the library's.
 *
 * The coding is a loop over units that can stop whenever the input runs
 * out (between the bytes a unit slides over) or the output is full (while a
 * group goes out), and go on in the next call from `phase`. */
#include "lzring_mcu.h"

#include <string.h>

enum {
  RING = 4096,
  MASK = RING - 1,
  MAX_MATCH = 18,
  START = RING - MAX_MATCH, /* 4078: the first write position */
  NIL = RING,               /* the null link */
  ROOTS = RING + 1          /* tree c hangs from right[ROOTS + c] */
};

enum { FILL, UNIT, SLIDE, LAST, DONE };

/* Enters ring position r into the tree of its first byte and sets the best
 * match met on the way. A node equal to r in all 18 bytes is older and
 * gives its place to r, so no two nodes of a tree are equal. */
static void insert_string(lzring_mcu_encoder* e, unsigned r) {
  const uint8_t* const key = e->ring + r;
  unsigned p = ROOTS + key[0];
  int cmp = 1;
  e->left[r] = NIL;
  e->right[r] = NIL;
  e->best_length = 0;
  for (;;) {
    uint16_t* const link = cmp >= 0 ? &e->right[p] : &e->left[p];
    unsigned i;
    if (*link == NIL) {
      *link = (uint16_t)r;
      e->parent[r] = (uint16_t)p;
      return;
    }
    p = *link;
    for (i = 1; i < MAX_MATCH; i++) {
      cmp = key[i] - e->ring[p + i];
      if (cmp != 0) break;
    }
    if (i > e->best_length) {
      e->best_position = (uint16_t)p;
      e->best_length = (uint8_t)i;
      if (i == MAX_MATCH) break;
    }
  }
  /* r takes the place of p. */
  e->parent[r] = e->parent[p];
  e->left[r] = e->left[p];
  e->right[r] = e->right[p];
  e->parent[e->left[p]] = (uint16_t)r;
  e->parent[e->right[p]] = (uint16_t)r;
  if (e->right[e->parent[p]] == p) {
    e->right[e->parent[p]] = (uint16_t)r;
  } else {
    e->left[e->parent[p]] = (uint16_t)r;
  }
  e->parent[p] = NIL;
}

/* Takes ring position p out of its tree, if it is in one. A node with two
 * children gives its place to the rightmost node of its left subtree.
 * Writes made for a missing child land in parent[NIL], which nothing
 * reads. */
static void remove_string(lzring_mcu_encoder* e, unsigned p) {
  unsigned q;
  if (e->parent[p] == NIL) return;
  if (e->right[p] == NIL) {
    q = e->left[p];
  } else if (e->left[p] == NIL) {
    q = e->right[p];
  } else {
    q = e->left[p];
    if (e->right[q] != NIL) {
      while (e->right[q] != NIL) q = e->right[q];
      e->right[e->parent[q]] = e->left[q];
      e->parent[e->left[q]] = e->parent[q];
      e->left[q] = e->left[p];
      e->parent[e->left[p]] = (uint16_t)q;
    }
    e->right[q] = e->right[p];
    e->parent[e->right[p]] = (uint16_t)q;
  }
  e->parent[q] = e->parent[p];
  if (e->right[e->parent[p]] == p) {
    e->right[e->parent[p]] = (uint16_t)q;
  } else {
    e->left[e->parent[p]] = (uint16_t)q;
  }
  e->parent[p] = NIL;
}

void lzring_mcu_encoder_init(lzring_mcu_encoder* e) {
  unsigned n;
  memset(e, 0, sizeof *e);
  /* Positions 4078..4112 start as zero, as in a freshly started library:
   * short sources compare those bytes, and the choice among equally long
   * matches may depend on them. */
  memset(e->ring, ' ', START);
  for (n = 0; n < RING; n++) e->parent[n] = NIL;
  for (n = ROOTS; n < ROOTS + 256; n++) e->right[n] = NIL;
  e->group_size = 1;
  e->flag_mask = 1;
  e->cur = START;
  e->phase = FILL;
}

int lzring_mcu_encode(lzring_mcu_encoder* e, const uint8_t* in, size_t* in_size, uint8_t* out,
                      size_t* out_size, int finish) {
  const size_t in_n = *in_size;
  const size_t out_n = *out_size;
  size_t i = 0;
  size_t o = 0;
  int status = LZRING_MCU_MORE;
  for (;;) {
    /* A group waiting to go out, written before anything else is coded. */
    if (e->group_sent < e->group_size && e->flag_mask == 0) {
      while (e->group_sent < e->group_size) {
        if (o == out_n) goto stop;
        out[o++] = e->group[e->group_sent++];
      }
      e->group[0] = 0;
      e->group_size = 1;
      e->group_sent = 0;
      e->flag_mask = 1;
    }
    switch (e->phase) {
      case FILL:
        /* The look-ahead fills first; then the 18 positions before it,
         * nearest first, and the look-ahead's own position enter the
         * trees, so that the first units can refer to the spaces. */
        while (e->lookahead < MAX_MATCH) {
          if (i == in_n) {
            if (!finish) goto stop;
            e->ended = 1;
            break;
          }
          e->ring[START + e->lookahead++] = in[i++];
        }
        if (e->lookahead == 0) {
          e->phase = DONE;
        } else {
          unsigned k;
          for (k = 1; k <= MAX_MATCH; k++) insert_string(e, START - k);
          insert_string(e, START);
          e->phase = UNIT;
        }
        break;
      case UNIT:
        /* Near the end of the source a match can run past the real data. */
        if (e->best_length > e->lookahead) e->best_length = e->lookahead;
        if (e->best_length < 3) {
          e->best_length = 1;
          e->group[0] |= e->flag_mask;
          e->group[e->group_size++] = e->ring[e->cur];
        } else {
          e->group[e->group_size++] = (uint8_t)e->best_position;
          e->group[e->group_size++] =
              (uint8_t)(((e->best_position >> 4) & 0xF0) | (e->best_length - 3));
        }
        /* A mask of 0 marks a full group, which goes out at the top. */
        e->flag_mask = (uint8_t)(e->flag_mask << 1);
        e->last_length = e->best_length;
        e->step = 0;
        e->phase = SLIDE;
        break;
      case SLIDE:
        /* Each step drops the oldest position from the trees, stores a new
         * source byte there (and after the ring for positions 0..16) and
         * enters the position that byte completes. Once the source has
         * ended, the look-ahead shrinks instead and the ring keeps its old
         * bytes. */
        while (e->step < e->last_length) {
          const unsigned oldest = e->oldest;
          if (i != in_n && !e->ended) {
            const uint8_t b = in[i++];
            remove_string(e, oldest);
            e->ring[oldest] = b;
            if (oldest < MAX_MATCH - 1) e->ring[oldest + RING] = b;
            e->oldest = (uint16_t)((oldest + 1) & MASK);
            e->cur = (uint16_t)((e->cur + 1) & MASK);
            insert_string(e, e->cur);
          } else {
            if (!finish && !e->ended) goto stop;
            e->ended = 1;
            remove_string(e, oldest);
            e->oldest = (uint16_t)((oldest + 1) & MASK);
            e->cur = (uint16_t)((e->cur + 1) & MASK);
            if (--e->lookahead > 0) insert_string(e, e->cur);
          }
          e->step++;
        }
        e->phase = e->lookahead > 0 ? UNIT : LAST;
        break;
      case LAST:
        /* The last group; the flag bits of its missing units stay clear. */
        if (e->group_size > 1) e->flag_mask = 0;
        e->phase = DONE;
        break;
      default:
        status = LZRING_MCU_END;
        goto stop;
    }
  }
stop:
  *in_size = i;
  *out_size = o;
  return status;
}
