"""Adaptive random-walk Metropolis (crv_mcmc_run).

References: a pure-Python replay of the chain on an identically seeded NumPy
generator (mcmc_reference.py), the proposals the log-posterior callback sees,
closed forms for a chain that cannot move, and the moments of a known
Gaussian target."""

import ctypes
import math

import numpy as np
import pytest

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import mcmc, rng

from mcmc_reference import SCALE, run_chain


@pytest.fixture(scope="module")
def lib():
    return ffi.load("beliefplan")


class Callback:
    """A ctypes log-posterior over a Python function of a NumPy vector that
    records every point it is called with."""

    def __init__(self, fn, d):
        self.seen = []

        def call(x, _context):
            v = np.ctypeslib.as_array(x, (d,)).copy()
            self.seen.append(v)
            return fn(v)

        self.c = mcmc.logpost_fn(call)


def pcg_bitgen(seed):
    """A bitgen_t over a fresh PCG64 that the record keeps alive."""
    bit_generator = np.random.PCG64(seed)
    record = rng.bitgen_from_numpy(bit_generator)
    record.owner = bit_generator
    return record


def run(lib, fn, bitgen, x0, config, n_draws=None, output=True, callback=None):
    """crv_mcmc_run on a Python log-posterior; returns (status, result, draws,
    logposts, callback)."""
    x0 = np.ascontiguousarray(x0, dtype=float)
    d = x0.size
    cfg = mcmc.crv_mcmc_config(*config)
    n = cfg.n_draws if n_draws is None else n_draws
    draws = np.full((max(n, 0), d), -7.0)
    logposts = np.full(max(n, 0), -7.0)
    out = mcmc.crv_mcmc_output(draws.ctypes.data_as(mcmc._dp), logposts.ctypes.data_as(mcmc._dp))
    cb = callback or Callback(fn, d)
    result = mcmc.crv_mcmc_result(-9, -9, -9, -9, b"junk")
    status = lib.crv_mcmc_run(cb.c, None, ctypes.byref(bitgen), x0, d, ctypes.byref(cfg),
                              ctypes.byref(out) if output else None, ctypes.byref(result))
    return status, result, draws, logposts, cb


PRECISION = np.array([[2.0, 0.6, 0.0], [0.6, 1.0, -0.3], [0.0, -0.3, 0.5]])


def gauss(x):
    n = x.size
    P = np.eye(n) + 0.4 * np.eye(n, k=1) + 0.4 * np.eye(n, k=-1) if n != 3 else PRECISION
    return float(-0.5 * x @ P @ x)


def boxed(x):
    """Gaussian inside a box, minus infinity outside it, NaN and plus
    infinity on two of its sides."""
    if x[0] < -1.8:
        return math.nan
    if x[-1] > 2.0:
        return math.inf
    if np.any(np.abs(x) > 2.2):
        return -math.inf
    return gauss(x)


def flat(x):
    return 0.0


# (n_draws, n_burn, thin, adapt, adapt_start, adapt_interval, adapt_eps, init_scale)
REPLAYS = [
    ("d1", gauss, [0.3], (40, 60, 1, 1, 5, 3, 1e-6, 2.0)),
    ("d3-boxed-thin", boxed, [0.1, -0.2, 0.4], (50, 200, 3, 1, 20, 10, 1e-4, 0.8)),
    ("d3-fixed", boxed, [0.0, 0.0, 0.0], (30, 100, 2, 0, 0, 5, 0.0, 1.5)),
    ("d9", gauss, np.linspace(-1, 1, 9), (20, 150, 1, 1, 10, 25, 1e-5, 0.3)),
    ("d10-every-step", boxed, np.zeros(10), (15, 60, 2, 1, 0, 1, 1e-3, 0.5)),
]


@pytest.mark.parametrize("name,fn,x0,config", REPLAYS, ids=[r[0] for r in REPLAYS])
def test_chain_replays_reference(lib, name, fn, x0, config):
    seed = 1234 + len(x0)
    bg = np.random.PCG64(seed)
    record = rng.bitgen_from_numpy(bg)
    status, result, draws, logposts, _ = run(lib, fn, record, x0, config)
    ref_gen = np.random.Generator(np.random.PCG64(seed))
    ref_draws, ref_logposts, ref_accepted, replaced = run_chain(fn, ref_gen, x0, config)

    n_draws, n_burn, thin = config[:3]
    assert status == 0
    assert (result.status, result.message, result.reserved) == (0, b"ok", 0)
    assert result.n_iter == n_burn + n_draws * thin
    np.testing.assert_array_equal(draws, ref_draws, err_msg="kept states differ from the replay")
    np.testing.assert_array_equal(logposts, ref_logposts)
    assert result.accepted == ref_accepted
    assert bg.state == ref_gen.bit_generator.state, "generator consumed a different stream"
    # The replays must exercise what they claim to.
    assert 0 < ref_accepted < result.n_iter
    assert bool(replaced) == bool(config[3])


def first_replacement(n_burn, adapt_start, interval):
    """Iteration after which the factor is first replaced: i >= adapt_start,
    i >= 1 (two states in), i < n_burn and (i + 1) a multiple of interval."""
    if interval <= 0:
        return None
    for i in range(max(adapt_start, 1), n_burn):
        if (i + 1) % interval == 0:
            return i
    return None


@pytest.mark.parametrize("n_burn,adapt_start,interval", [
    (50, 0, 1), (50, 10, 7), (50, 0, 0), (50, 60, 5), (50, 0, 50), (50, 0, 51), (40, 39, 4),
])
def test_adaptation_schedule(lib, n_burn, adapt_start, interval):
    # Adapting and non-adapting chains from the same stream propose the same
    # points until the first replaced factor is used.
    x0 = [0.5, -0.5]
    runs = []
    for adapt in (1, 0):
        config = (30, n_burn, 1, adapt, adapt_start, interval, 1e-6, 0.4)
        record = pcg_bitgen(99)
        status, *_, cb = run(lib, gauss, record, x0, config)
        assert status == 0
        runs.append(np.array(cb.seen[1:]))
    differs = np.flatnonzero(np.any(runs[0] != runs[1], axis=1))
    first = first_replacement(n_burn, adapt_start, interval)
    if first is None:
        assert differs.size == 0, f"proposal changed at iteration {differs[0]}"
    else:
        assert differs.size and differs[0] == first + 1


def frozen(x0):
    """Finite only at the start: every proposal is rejected without a uniform."""
    start = np.array(x0, dtype=float)
    return lambda x: 0.0 if np.array_equal(x, start) else -math.inf


@pytest.mark.parametrize("eps", [0.0, -1.0, 0.3, 4.0])
@pytest.mark.parametrize("d", [1, 3, 10])
def test_frozen_chain_factor_and_stream(lib, eps, d):
    # The chain never moves, so M2 = 0 and the candidate covariance is
    # eps * 2.38^2 / d * I: with eps <= 0 its factorisation fails and the
    # initial factor stays; otherwise L = sqrt(eps * 2.38^2 / d) I from the
    # iteration after the first replacement. No uniform is ever drawn, so the
    # normals are one unbroken stream.
    x0 = np.linspace(-0.3, 0.4, d)
    n_burn, adapt_start, interval, init_scale = 40, 6, 8, 0.7
    config = (10, n_burn, 2, 1, adapt_start, interval, eps, init_scale)
    bg = np.random.PCG64(7)
    status, result, draws, logposts, cb = run(lib, frozen(x0), rng.bitgen_from_numpy(bg), x0,
                                              config)
    n_iter = n_burn + 10 * 2
    gen = np.random.Generator(np.random.PCG64(7))
    z = gen.standard_normal((n_iter, d))
    scale = np.full(n_iter, init_scale)
    if eps > 0:
        scale[first_replacement(n_burn, adapt_start, interval) + 1:] = math.sqrt(eps * SCALE / d)
    np.testing.assert_array_equal(np.array(cb.seen[1:]), x0 + scale[:, None] * z)
    assert bg.state == gen.bit_generator.state
    assert status == 0 and result.accepted == 0
    np.testing.assert_array_equal(draws, np.broadcast_to(x0, draws.shape))
    np.testing.assert_array_equal(logposts, 0.0)


def test_overflowing_covariance_keeps_finite_factor(lib):
    # A flat target and a huge proposal make the running moments overflow
    # (inf - inf); a factor with non-finite entries is never adopted, so no
    # proposal is NaN.
    fn = lambda x: 0.0 if np.all(np.isfinite(x)) else -math.inf  # noqa: E731
    config = (50, 400, 1, 1, 0, 1, 0.0, 1e308)
    status, result, _, logposts, cb = run(lib, fn, pcg_bitgen(3),
                                          [0.0], config)
    assert status == 0 and result.accepted > 0
    seen = np.array(cb.seen)
    assert not np.isnan(seen).any(), "a NaN proposal factor was adopted"


def test_no_draws_runs_burn_in_only(lib):
    bg = np.random.PCG64(5)
    config = (0, 25, 3, 1, 0, 5, 1e-6, 1.0)
    status, result, *_, cb = run(lib, flat, rng.bitgen_from_numpy(bg), [0.0, 1.0], config,
                                 output=False)
    assert status == 0 and result.n_iter == 25
    assert len(cb.seen) == 26
    # A flat target accepts every proposal (u < 1): the counter includes burn-in.
    assert result.accepted == 25


def test_minus_infinity_start_accepts_first_finite_proposal(lib):
    # Elsewhere the target is -1e300, so lp' - lp = +inf beats every log u.
    x0 = [2.0, -1.0]
    start = np.array(x0)
    fn = lambda x: -math.inf if np.array_equal(x, start) else -1e300  # noqa: E731
    config = (20, 0, 1, 0, 0, 0, 0.0, 0.5)
    status, result, draws, logposts, cb = run(lib, fn, pcg_bitgen(8),
                                              x0, config)
    assert status == 0
    np.testing.assert_array_equal(draws[0], cb.seen[1])
    assert logposts[0] == -1e300
    assert result.accepted == 20


def test_nan_start_never_accepts(lib):
    x0 = [0.25, 0.5, 0.75]
    start = np.array(x0)
    fn = lambda x: math.nan if np.array_equal(x, start) else gauss(x)  # noqa: E731
    config = (20, 30, 2, 1, 0, 5, 1e-6, 0.5)
    bg = np.random.PCG64(11)
    status, result, draws, logposts, _ = run(lib, fn, rng.bitgen_from_numpy(bg), x0, config)
    gen = np.random.Generator(np.random.PCG64(11))
    ref_draws, ref_logposts, ref_accepted, _ = run_chain(fn, gen, x0, config)
    assert status == 0 and result.accepted == 0 == ref_accepted
    np.testing.assert_array_equal(draws, np.broadcast_to(start, draws.shape))
    assert np.isnan(logposts).all()
    # Finite proposals still draw their uniform.
    assert bg.state == gen.bit_generator.state


def test_philox_driven_chain(lib):
    # The library's own Philox behind bitgen_t, replayed with NumPy's Philox
    # positioned on the same stream.
    key0, key1, c2 = 0x452821E638D01377, 0xBE5466CF34E90C6C, 17
    state = rng.crv_philox_state()
    lib.crv_philox_seed(ctypes.byref(state), key0, key1, c2, 0)
    fp = lambda name, kind: ctypes.cast(getattr(lib, name), kind)  # noqa: E731
    record = rng.bitgen_t(ctypes.addressof(state),
                          fp("crv_philox_bg_next_u64", rng.next_uint64_t),
                          fp("crv_philox_bg_next_u32", rng.next_uint32_t),
                          fp("crv_philox_bg_next_double", rng.next_double_t),
                          fp("crv_philox_bg_next_raw", rng.next_uint64_t))
    x0 = [0.2, 0.1, -0.3]
    config = (40, 120, 2, 1, 10, 10, 1e-6, 0.9)
    status, result, draws, logposts, _ = run(lib, boxed, record, x0, config)
    numpy_philox = np.random.Philox(counter=np.array([0, 0, c2, 0], dtype=np.uint64),
                                    key=np.array([key0, key1], dtype=np.uint64))
    ref_draws, ref_logposts, ref_accepted, _ = run_chain(boxed, np.random.Generator(numpy_philox),
                                                         x0, config)
    assert status == 0
    np.testing.assert_array_equal(draws, ref_draws)
    np.testing.assert_array_equal(logposts, ref_logposts)
    assert result.accepted == ref_accepted
    assert lib.crv_philox_next_u64(ctypes.byref(state)) == int(numpy_philox.random_raw())


def test_adaptive_chain_recovers_gaussian(lib):
    # Target N(mu, Sigma) with strong correlation and unequal scales, from a
    # start inside the target (the running covariance includes the whole
    # burn-in, transient and all) and a badly scaled initial proposal.
    mu = np.array([1.0, -2.0, 0.5, 3.0])
    sd = np.array([0.5, 2.0, 1.0, 0.1])
    R = np.array([[1.0, 0.8, 0.2, 0.0], [0.8, 1.0, 0.1, -0.3],
                  [0.2, 0.1, 1.0, 0.5], [0.0, -0.3, 0.5, 1.0]])
    Sigma = R * np.outer(sd, sd)
    P = np.linalg.inv(Sigma)
    fn = lambda x: float(-0.5 * (x - mu) @ P @ (x - mu))  # noqa: E731
    n_draws = 60000
    config = (n_draws, 6000, 1, 1, 500, 100, 1e-8, 0.05)
    status, result, draws, logposts, _ = run(lib, fn, pcg_bitgen(21), mu - 0.5 * sd, config)
    assert status == 0
    # With the proposal 2.38^2/d times the target covariance a Gaussian random
    # walk in d = 4 accepts about 30%; the 0.05 start proposal accepts far more.
    rate = np.any(np.diff(draws, axis=0) != 0, axis=1).mean()
    assert 0.22 < rate < 0.4, f"acceptance rate {rate:.3f} after burn-in: proposal not adapted"
    # Batch-means standard errors (50 batches) for the mean.
    batches = draws.reshape(50, -1, 4).mean(axis=1)
    se = batches.std(axis=0, ddof=1) / np.sqrt(50)
    assert np.all(np.abs(draws.mean(axis=0) - mu) < 4 * se + 1e-12), (draws.mean(axis=0), mu, se)
    assert np.all(se < 0.1 * sd), "chain mixes too slowly"
    cov = np.cov(draws, rowvar=False)
    np.testing.assert_allclose(np.sqrt(np.diag(cov)), sd, rtol=0.08)
    corr = cov / np.outer(np.sqrt(np.diag(cov)), np.sqrt(np.diag(cov)))
    np.testing.assert_allclose(corr, R, atol=0.06)
    np.testing.assert_array_equal(logposts[::997], [fn(x) for x in draws[::997]])


def _bitgen():
    return pcg_bitgen(0)


INVALID = [
    ("null callback", dict(callback=None)),
    ("null bitgen", dict(bitgen=None)),
    ("null start", dict(x0=None)),
    ("d = 0", dict(d=0)),
    ("thin = 0", dict(config=(5, 5, 0, 1, 0, 1, 0.0, 1.0))),
    ("negative draws", dict(config=(-1, 5, 1, 1, 0, 1, 0.0, 1.0))),
    ("negative burn-in", dict(config=(5, -5, 1, 1, 0, 1, 0.0, 1.0))),
    ("negative interval", dict(config=(5, 5, 1, 1, 0, -2, 0.0, 1.0))),
    ("NaN scale", dict(config=(5, 5, 1, 1, 0, 1, 0.0, math.nan))),
    ("iterations overflow", dict(config=(2**62, 2**62, 2, 0, 0, 0, 0.0, 1.0))),
    ("null output", dict(output=None)),
]


@pytest.mark.parametrize("name,change", INVALID, ids=[i[0] for i in INVALID])
def test_invalid_arguments(lib, name, change):
    cb = Callback(flat, 2)
    bg = np.random.PCG64(0)
    state = bg.state
    draws, logposts = np.zeros((5, 2)), np.zeros(5)
    args = dict(callback=cb.c, bitgen=ctypes.byref(rng.bitgen_from_numpy(bg)),
                x0=np.zeros(2), d=2, config=(5, 5, 1, 1, 0, 1, 0.0, 1.0),
                output=ctypes.byref(mcmc.crv_mcmc_output(draws.ctypes.data_as(mcmc._dp),
                                                         logposts.ctypes.data_as(mcmc._dp))))
    args.update(change)
    result = mcmc.crv_mcmc_result()
    status = lib.crv_mcmc_run(args["callback"], None, args["bitgen"], args["x0"], args["d"],
                              ctypes.byref(mcmc.crv_mcmc_config(*args["config"])), args["output"],
                              ctypes.byref(result))
    assert status == mcmc.INVALID_ARGS == result.status
    assert result.message == b"invalid mcmc arguments"
    assert (result.accepted, result.n_iter) == (0, 0)
    assert not cb.seen and bg.state == state
    assert not draws.any() and not logposts.any()


def test_workspace_allocation_failure(lib):
    # 4 d^2 doubles overflow the address space: reported, nothing called.
    cb = Callback(flat, 1)
    bg = np.random.PCG64(0)
    state = bg.state
    config = mcmc.crv_mcmc_config(0, 3, 1, 1, 0, 1, 0.0, 1.0)
    result = mcmc.crv_mcmc_result()
    status = lib.crv_mcmc_run(cb.c, None, ctypes.byref(rng.bitgen_from_numpy(bg)), np.zeros(1),
                              2**31, ctypes.byref(config), None, ctypes.byref(result))
    assert status == mcmc.ALLOC_FAILED == result.status
    assert result.message == b"mcmc workspace allocation failed"
    assert result.n_iter == 3 and result.accepted == 0
    assert not cb.seen and bg.state == state


def test_null_result_record(lib):
    # The result record is optional; the chain is the same without it.
    x0, config = [0.1, 0.2], (10, 10, 1, 1, 0, 2, 1e-6, 1.0)
    draws = []
    for with_result in (True, False):
        record = pcg_bitgen(4)
        out_draws, out_lp = np.empty((10, 2)), np.empty(10)
        out = mcmc.crv_mcmc_output(out_draws.ctypes.data_as(mcmc._dp),
                                   out_lp.ctypes.data_as(mcmc._dp))
        cb = Callback(gauss, 2)
        result = ctypes.byref(mcmc.crv_mcmc_result()) if with_result else None
        assert lib.crv_mcmc_run(cb.c, None, ctypes.byref(record), np.array(x0), 2,
                                ctypes.byref(mcmc.crv_mcmc_config(*config)), ctypes.byref(out),
                                result) == 0
        draws.append(out_draws)
    np.testing.assert_array_equal(draws[0], draws[1])


def test_record_layouts():
    layouts = [
        (mcmc.crv_mcmc_config, 64, {"n_draws": 0, "n_burn": 8, "thin": 16, "adapt": 24,
                                    "adapt_start": 32, "adapt_interval": 40, "adapt_eps": 48,
                                    "init_scale": 56}),
        (mcmc.crv_mcmc_output, 16, {"draws": 0, "logpost": 8}),
        (mcmc.crv_mcmc_result, 40, {"accepted": 0, "n_iter": 8, "reserved": 16, "status": 24,
                                    "message": 32}),
    ]
    for record, size, offsets in layouts:
        assert ctypes.sizeof(record) == size, record.__name__
        assert {f: getattr(record, f).offset for f in offsets} == offsets, record.__name__
