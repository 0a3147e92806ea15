"""Philox4x64-10 generator and the NumPy-distribution fills.

References: the Random123 known-answer vectors (Salmon et al. 2011,
kat_vectors), a pure-Python Philox written from the published round function,
and NumPy's own Philox bit generator and Generator draws."""

import ctypes

import numpy as np
import pytest

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import rng

MASK = 2**64 - 1


@pytest.fixture(scope="module", params=["regression", "beliefplan"])
def lib(request):
    return ffi.load(request.param)


def philox_block(ctr, key):
    """Philox4x64-10 of a counter under a key, from the published algorithm."""
    x0, x1, x2, x3 = ctr
    k0, k1 = key
    for _ in range(10):
        p0 = 0xD2E7470EE14C6C93 * x0
        p1 = 0xCA5A826395121157 * x2
        x0, x1, x2, x3 = (p1 >> 64) ^ x1 ^ k0, p1 & MASK, (p0 >> 64) ^ x3 ^ k1, p0 & MASK
        k0 = (k0 + 0x9E3779B97F4A7C15) & MASK
        k1 = (k1 + 0xBB67AE8584CAA73B) & MASK
    return [x0, x1, x2, x3]


def reference_words(key, c2, c3, n, start=1):
    """First n words of the stream: blocks of counters start, start + 1, ..."""
    words = []
    block = start
    while len(words) < n:
        words += philox_block((block & MASK, (block >> 64) & MASK, c2, c3), key)
        block += 1
    return words[:n]


def seeded(lib, k0, k1, c2, c3):
    state = rng.crv_philox_state()
    lib.crv_philox_seed(ctypes.byref(state), k0, k1, c2, c3)
    return state


def draw(lib, state, n):
    return [lib.crv_philox_next_u64(ctypes.byref(state)) for _ in range(n)]


def numpy_philox(k0, k1, c2, c3):
    """NumPy's Philox positioned on the same stream (it also increments its
    counter before enciphering, so counter 0 maps to our freshly seeded state)."""
    return np.random.Philox(counter=np.array([0, 0, c2, c3], dtype=np.uint64),
                            key=np.array([k0, k1], dtype=np.uint64))


SEEDS = [
    (0, 0, 0, 0),
    (1, 2, 3, 4),
    (0x452821E638D01377, 0xBE5466CF34E90C6C, 17, 0),
    (MASK, MASK, MASK, MASK),
]

# Random123 kat_vectors for philox4x64_R(10): counter, key, expected block.
KAT = [
    ((0, 0, 0, 0), (0, 0),
     (0x16554D9ECA36314C, 0xDB20FE9D672D0FDC, 0xD7E772CEE186176B, 0x7E68B68AEC7BA23B)),
    ((MASK, MASK, MASK, MASK), (MASK, MASK),
     (0x87B092C3013FE90B, 0x438C3C67BE8D0224, 0x9CC7D7C69CD777B6, 0xA09CAEBF594F0BA0)),
    ((0x243F6A8885A308D3, 0x13198A2E03707344, 0xA4093822299F31D0, 0x082EFA98EC4E6C89),
     (0x452821E638D01377, 0xBE5466CF34E90C6C),
     (0xA528F45403E61D95, 0x38C72DBD566E9788, 0xA5A1610E72FD18B5, 0x57BD43B5E52B7FE6)),
]


@pytest.mark.parametrize("ctr,key,expected", KAT)
def test_block_matches_random123_known_answers(lib, ctr, key, expected):
    # Position the block counter one before the vector's (words 0-1 as one
    # 128-bit number), so the next refill enciphers exactly the KAT counter.
    state = seeded(lib, key[0], key[1], ctr[2], ctr[3])
    before = (ctr[0] + (ctr[1] << 64) - 1) % 2**128
    state.ctr[0], state.ctr[1] = before & MASK, before >> 64
    assert draw(lib, state, 4) == list(expected)
    assert philox_block(ctr, key) == list(expected), "pure-Python reference disagrees with KAT"
    assert list(state.key) == list(key), "key words must not be bumped in the record"
    assert list(state.ctr) == list(ctr)


@pytest.mark.parametrize("seed", SEEDS)
def test_stream_after_seeding(lib, seed):
    k0, k1, c2, c3 = seed
    state = seeded(lib, *seed)
    assert (list(state.key), list(state.ctr), list(state.buffer), state.buffer_pos) == (
        [k0, k1], [0, 0, c2, c3], [0, 0, 0, 0], 4)
    words = draw(lib, state, 13)
    # Counter 0 is never enciphered: word 0 is block (1, 0, c2, c3), word 4 block 2.
    assert words == reference_words((k0, k1), c2, c3, 13)
    assert list(state.ctr) == [4, 0, c2, c3]
    assert state.buffer_pos == 1


@pytest.mark.parametrize("seed", SEEDS[:3])
def test_stream_matches_numpy_philox(lib, seed):
    state = seeded(lib, *seed)
    ours = np.array(draw(lib, state, 1001), dtype=np.uint64)
    np.testing.assert_array_equal(ours, numpy_philox(*seed).random_raw(1001))


@pytest.mark.parametrize("ctr1", [5, MASK])
def test_counter_carry_stops_at_word_one(lib, ctr1):
    c2, c3 = 0x1234, MASK
    state = seeded(lib, 9, 10, c2, c3)
    state.ctr[0], state.ctr[1] = MASK, ctr1
    words = draw(lib, state, 4)
    next_ctr1 = (ctr1 + 1) & MASK
    assert words == philox_block((0, next_ctr1, c2, c3), (9, 10))
    assert list(state.ctr) == [0, next_ctr1, c2, c3]
    if ctr1 == MASK:
        # NumPy carries on into the stream words; this generator does not.
        theirs = np.random.Philox(counter=np.array([MASK, MASK, c2, c3], dtype=np.uint64),
                                  key=np.array([9, 10], dtype=np.uint64)).random_raw(4)
        assert list(theirs) == philox_block((0, 0, c2 + 1, c3), (9, 10))
        assert list(theirs) != words


def test_bitgen_members(lib):
    seed = (77, 88, 3, 0)
    expected = reference_words(seed[:2], *seed[2:], 12)
    state = seeded(lib, *seed)
    addr = ctypes.addressof(state)
    u32 = [lib.crv_philox_bg_next_u32(addr) for _ in range(3)]
    dbl = [lib.crv_philox_bg_next_double(addr) for _ in range(3)]
    raw = [lib.crv_philox_bg_next_raw(addr) for _ in range(3)]
    u64 = [lib.crv_philox_bg_next_u64(addr) for _ in range(3)]
    # One whole word per call: u32 is the high half, the low half is dropped.
    assert u32 == [w >> 32 for w in expected[0:3]]
    assert dbl == [(w >> 11) * 2.0**-53 for w in expected[3:6]]
    assert raw == expected[6:9]
    assert u64 == expected[9:12]


def test_next_double_of_all_ones_is_below_one(lib):
    state = seeded(lib, 1, 1, 1, 1)
    state.buffer[2] = MASK
    state.buffer_pos = 2
    value = lib.crv_philox_bg_next_double(ctypes.addressof(state))
    assert value == 1.0 - 2.0**-53 and value < 1.0


def test_out_of_range_buffer_position_refills(lib):
    state = seeded(lib, 3, 4, 5, 6)
    state.buffer_pos = -3
    assert draw(lib, state, 2) == reference_words((3, 4), 5, 6, 2)


@pytest.mark.parametrize("seed", SEEDS[:3])
@pytest.mark.parametrize("n", [1, 7, 256, 20000])
def test_fills_reproduce_numpy_generator(lib, seed, n):
    # Same words, same NumPy routines: bit-identical draws, and the same number
    # of words consumed (the next raw word agrees).
    state = seeded(lib, *seed)
    out = np.empty(n)
    lib.crv_philox_standard_normal_fill(ctypes.byref(state), n, out)
    bg = numpy_philox(*seed)
    np.testing.assert_array_equal(out, np.random.Generator(bg).standard_normal(n))
    assert draw(lib, state, 1)[0] == int(bg.random_raw())

    state = seeded(lib, *seed)
    lib.crv_philox_standard_uniform_fill(ctypes.byref(state), n, out)
    bg = numpy_philox(*seed)
    np.testing.assert_array_equal(out, np.random.Generator(bg).random(n))
    # The uniform fill consumes exactly one word per value.
    assert draw(lib, state, 1) == reference_words(seed[:2], *seed[2:], n + 1)[n:]


@pytest.mark.parametrize("fill", ["crv_philox_standard_normal_fill",
                                  "crv_philox_standard_uniform_fill"])
@pytest.mark.parametrize("n", [0, -5])
def test_empty_fill_leaves_state(lib, fill, n):
    state = seeded(lib, 1, 2, 3, 4)
    draw(lib, state, 2)
    before = bytes(state)
    out = np.full(3, 7.0)
    getattr(lib, fill)(ctypes.byref(state), n, out)
    assert bytes(state) == before
    np.testing.assert_array_equal(out, 7.0)


def test_streams_differ_by_stream_word(lib):
    a = draw(lib, seeded(lib, 5, 6, 0, 0), 4000)
    b = draw(lib, seeded(lib, 5, 6, 1, 0), 4000)
    assert a == draw(lib, seeded(lib, 5, 6, 0, 0), 4000)
    assert not set(a) & set(b)


class ReplayBitgen:
    """A bitgen_t whose members are Python callbacks replaying a fixed word
    list; next_double is NumPy's 53-bit conversion, written here."""

    def __init__(self, words):
        self.words = list(words)
        self.used = 0

        def u64(_):
            w = self.words[self.used]
            self.used += 1
            return w

        self._callbacks = (rng.next_uint64_t(u64), rng.next_uint32_t(lambda _: u64(_) >> 32),
                           rng.next_double_t(lambda _: (u64(_) >> 11) * 2.0**-53))
        self.record = rng.bitgen_t(None, self._callbacks[0], self._callbacks[1],
                                   self._callbacks[2], self._callbacks[0])


@pytest.mark.parametrize("n", [0, 1, 50, 3000])
def test_rng_fills_on_any_bitgen(lib, n):
    seed = (11, 12, 13, 14)
    words = reference_words(seed[:2], *seed[2:], 2 * n + 64)

    replay = ReplayBitgen(words)
    out = np.full(max(n, 1), 7.0)
    lib.crv_rng_standard_normal_fill(ctypes.byref(replay.record), n, out)
    expected = np.empty(max(n, 1))
    lib.crv_philox_standard_normal_fill(ctypes.byref(seeded(lib, *seed)), n, expected)
    if n == 0:
        assert replay.used == 0 and out[0] == 7.0
    else:
        np.testing.assert_array_equal(out, expected)

    replay = ReplayBitgen(words)
    lib.crv_rng_standard_uniform_fill(ctypes.byref(replay.record), n, out)
    assert replay.used == n
    if n:
        np.testing.assert_array_equal(out[:n], [(w >> 11) * 2.0**-53 for w in words[:n]])


@pytest.mark.parametrize("n", [1, 999])
def test_rng_fills_on_numpy_bit_generator(lib, n):
    # NumPy's own PCG64 through its C interface: the draws of its Generator.
    pcg = np.random.PCG64(2024)
    record = rng.bitgen_from_numpy(pcg)
    out = np.empty(n)
    lib.crv_rng_standard_normal_fill(ctypes.byref(record), n, out)
    lib_uniform = np.empty(n)
    lib.crv_rng_standard_uniform_fill(ctypes.byref(record), n, lib_uniform)
    gen = np.random.Generator(np.random.PCG64(2024))
    np.testing.assert_array_equal(out, gen.standard_normal(n))
    np.testing.assert_array_equal(lib_uniform, gen.random(n))
