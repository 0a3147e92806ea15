/* Random numbers: the Philox4x64-10 counter-based generator and its adapter to
 * NumPy's bit-generator interface.
 *
 * A stream is fixed by the 128-bit key and counter words 2 and 3; counter
 * words 0 and 1 number the 256-bit blocks within it. Normal and uniform
 * variates come from NumPy's own distribution routines fed through bitgen_t.
 * Nothing here allocates or keeps state outside the record. */
#ifndef CORVANE_RNG_H
#define CORVANE_RNG_H

#include "crv_api.h"
#include "numpy/random/bitgen.h"

typedef struct crv_philox_state {
    uint64_t key[2];
    uint64_t ctr[4];     /* block number (0, 1) and stream words (2, 3) */
    uint64_t buffer[4];  /* output words of the last block */
    int64_t buffer_pos;  /* next unread word of buffer; 4 = empty */
} crv_philox_state;

/* key = (key0, key1), counter = (0, 0, ctr2, ctr3), empty buffer. */
CRV_API void crv_philox_seed(crv_philox_state *state, uint64_t key0, uint64_t key1,
                             uint64_t ctr2, uint64_t ctr3);

/* Next output word. On an empty buffer the block counter (words 0 and 1,
 * carry stopping at word 1) is incremented first and its block enciphered;
 * the first block after seeding is that of counter (1, 0, ctr2, ctr3). */
CRV_API uint64_t crv_philox_next_u64(crv_philox_state *state);

/* bitgen_t members over a crv_philox_state. u32: the high half of one whole
 * word (the low half is discarded). double: (word >> 11) * 2^-53, in [0, 1). */
CRV_API uint64_t crv_philox_bg_next_u64(void *state);
CRV_API uint32_t crv_philox_bg_next_u32(void *state);
CRV_API double crv_philox_bg_next_double(void *state);
CRV_API uint64_t crv_philox_bg_next_raw(void *state);

/* out[0..n-1] = standard normals (NumPy's ziggurat) / standard uniforms (one
 * word each) drawn from state through a bitgen_t on the stack. Nothing when
 * n <= 0. */
CRV_API void crv_philox_standard_normal_fill(crv_philox_state *state, int64_t n, double *out);
CRV_API void crv_philox_standard_uniform_fill(crv_philox_state *state, int64_t n, double *out);

/* The same fills from any bit generator. Nothing when n <= 0. */
CRV_API void crv_rng_standard_normal_fill(bitgen_t *bitgen, int64_t n, double *out);
CRV_API void crv_rng_standard_uniform_fill(bitgen_t *bitgen, int64_t n, double *out);

CRV_LAYOUT_CHECK(sizeof(crv_philox_state) == 88, "crv_philox_state layout");
CRV_LAYOUT_CHECK(offsetof(crv_philox_state, ctr) == 16, "crv_philox_state layout");
CRV_LAYOUT_CHECK(offsetof(crv_philox_state, buffer) == 48, "crv_philox_state layout");
CRV_LAYOUT_CHECK(offsetof(crv_philox_state, buffer_pos) == 80, "crv_philox_state layout");
CRV_LAYOUT_CHECK(sizeof(bitgen_t) == 40, "bitgen_t layout");

#endif
