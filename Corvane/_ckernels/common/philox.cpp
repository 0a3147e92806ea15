// Philox4x64-10 (Salmon, Moraes, Dror and Shaw, 2011) and the bitgen_t adapter
// that feeds NumPy's normal and uniform fills.
#include "rng.h"

#include "numpy/random/distributions.h"

namespace {

constexpr uint64_t kMul0 = 0xD2E7470EE14C6C93ULL;
constexpr uint64_t kMul1 = 0xCA5A826395121157ULL;
constexpr uint64_t kWeyl0 = 0x9E3779B97F4A7C15ULL;
constexpr uint64_t kWeyl1 = 0xBB67AE8584CAA73BULL;
constexpr int kRounds = 10;

inline void mulhilo(uint64_t a, uint64_t b, uint64_t &hi, uint64_t &lo) {
    const unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
    hi = static_cast<uint64_t>(p >> 64);
    lo = static_cast<uint64_t>(p);
}

// Enciphers counter x under key k (a local copy, bumped after each round).
inline void philox_block(const uint64_t ctr[4], const uint64_t key[2], uint64_t out[4]) {
    uint64_t x0 = ctr[0], x1 = ctr[1], x2 = ctr[2], x3 = ctr[3];
    uint64_t k0 = key[0], k1 = key[1];
    for (int round = 0; round < kRounds; ++round) {
        uint64_t hi0, lo0, hi1, lo1;
        mulhilo(kMul0, x0, hi0, lo0);
        mulhilo(kMul1, x2, hi1, lo1);
        x0 = hi1 ^ x1 ^ k0;
        x1 = lo1;
        x2 = hi0 ^ x3 ^ k1;
        x3 = lo0;
        k0 += kWeyl0;
        k1 += kWeyl1;
    }
    out[0] = x0;
    out[1] = x1;
    out[2] = x2;
    out[3] = x3;
}

inline bitgen_t philox_bitgen(crv_philox_state *state) {
    return bitgen_t{state, crv_philox_bg_next_u64, crv_philox_bg_next_u32,
                    crv_philox_bg_next_double, crv_philox_bg_next_raw};
}

}  // namespace

void crv_philox_seed(crv_philox_state *state, uint64_t key0, uint64_t key1, uint64_t ctr2,
                     uint64_t ctr3) {
    state->key[0] = key0;
    state->key[1] = key1;
    state->ctr[0] = 0;
    state->ctr[1] = 0;
    state->ctr[2] = ctr2;
    state->ctr[3] = ctr3;
    for (uint64_t &word : state->buffer) word = 0;
    state->buffer_pos = 4;
}

uint64_t crv_philox_next_u64(crv_philox_state *state) {
    // A position outside 0..3 (a corrupted record included) refills.
    if (state->buffer_pos >= 0 && state->buffer_pos <= 3) return state->buffer[state->buffer_pos++];
    if (++state->ctr[0] == 0) ++state->ctr[1];
    philox_block(state->ctr, state->key, state->buffer);
    state->buffer_pos = 1;
    return state->buffer[0];
}

uint64_t crv_philox_bg_next_u64(void *state) {
    return crv_philox_next_u64(static_cast<crv_philox_state *>(state));
}

uint32_t crv_philox_bg_next_u32(void *state) {
    return static_cast<uint32_t>(crv_philox_next_u64(static_cast<crv_philox_state *>(state)) >> 32);
}

double crv_philox_bg_next_double(void *state) {
    const uint64_t word = crv_philox_next_u64(static_cast<crv_philox_state *>(state));
    return static_cast<double>(word >> 11) * (1.0 / 9007199254740992.0);
}

uint64_t crv_philox_bg_next_raw(void *state) {
    return crv_philox_next_u64(static_cast<crv_philox_state *>(state));
}

void crv_philox_standard_normal_fill(crv_philox_state *state, int64_t n, double *out) {
    if (n <= 0) return;
    bitgen_t bitgen = philox_bitgen(state);
    random_standard_normal_fill(&bitgen, static_cast<npy_intp>(n), out);
}

void crv_philox_standard_uniform_fill(crv_philox_state *state, int64_t n, double *out) {
    if (n < 1) return;
    bitgen_t bitgen = philox_bitgen(state);
    random_standard_uniform_fill(&bitgen, static_cast<npy_intp>(n), out);
}

void crv_rng_standard_normal_fill(bitgen_t *bitgen, int64_t n, double *out) {
    if (n < 1) return;
    random_standard_normal_fill(bitgen, static_cast<npy_intp>(n), out);
}

void crv_rng_standard_uniform_fill(bitgen_t *bitgen, int64_t n, double *out) {
    if (n <= 0) return;
    random_standard_uniform_fill(bitgen, static_cast<npy_intp>(n), out);
}
