"""Belief-plan kernels through the ctypes binding: scalar helpers, the
transform and distribution tables and the belief-plan evaluator, against
SciPy and closed forms."""

import numpy as np
import pytest
from scipy import special, stats

from Corvane._ckernels import ffi

import beliefplan_reference as ref

NAN_CODES = [0, 11, -1]


@pytest.fixture(scope="module")
def lib():
    return ffi.load("beliefplan")


def transform(lib, code, params, z):
    out = np.empty(2)
    p = None if params is None else np.ascontiguousarray(params, dtype=np.float64)
    lib.crv_transform_inverse_and_logjac(code, p, out[0:1], out[1:2], z)
    return out[0], out[1]


def dist(lib, code, params, x):
    out = np.empty(1)
    p = None if params is None else np.ascontiguousarray(params, dtype=np.float64)
    lib.crv_dist_logpdf(code, p, out, x)
    return out[0]


Z_GRID = np.concatenate([np.linspace(-30, 30, 61), [-1e-3, 1e-3, 0.0, 0.37, -2.5]])


@pytest.mark.parametrize("name, reference", [
    ("crv_softplus_scalar", lambda z: np.logaddexp(0.0, z)),
    ("crv_log_sigmoid_scalar", special.log_expit),
    ("crv_sigmoid_scalar", special.expit),
    ("crv_std_norm_logpdf", stats.norm.logpdf),
])
def test_scalar_helpers_match_scipy(lib, name, reference):
    fn = getattr(lib, name)
    got = np.array([fn(z) for z in Z_GRID])
    np.testing.assert_allclose(got, reference(Z_GRID), rtol=4e-16 * 8, atol=1e-300,
                               err_msg=name)


def test_std_norm_cdf_matches_scipy(lib):
    # The erf form is accurate in absolute terms; its left tail loses relative accuracy.
    z = np.linspace(-8, 8, 161)
    got = np.array([lib.crv_std_norm_cdf(v) for v in z])
    np.testing.assert_allclose(got, stats.norm.cdf(z), rtol=0, atol=2e-16)
    assert lib.crv_std_norm_cdf(0.0) == 0.5


@pytest.mark.parametrize("z, softplus, log_sigmoid, sigmoid", [
    (800.0, 800.0, 0.0, 1.0),
    (-800.0, 0.0, -800.0, 0.0),
    (1000.0, 1000.0, 0.0, 1.0),
    (-1000.0, 0.0, -1000.0, 0.0),
])
def test_scalar_helpers_never_overflow(lib, z, softplus, log_sigmoid, sigmoid):
    assert lib.crv_softplus_scalar(z) == softplus
    assert lib.crv_log_sigmoid_scalar(z) == log_sigmoid
    assert lib.crv_sigmoid_scalar(z) == sigmoid


TRANSFORM_PARAMS = {c: None for c in (1, 2, 3, 4, 5, 10)}
TRANSFORM_PARAMS.update({6: [-1.5, np.nan, 4.0], 7: [0.25, np.nan, 0.5],
                         8: [2.0, np.nan, np.nan], 9: [-3.0, np.nan, np.nan]})


@pytest.mark.parametrize("code", sorted(TRANSFORM_PARAMS))
@pytest.mark.parametrize("z", [-7.3, -1.2, -1e-4, 0.0, 0.4, 2.9, 11.0])
def test_transform_matches_closed_form(lib, code, z):
    params = TRANSFORM_PARAMS[code]
    x, logjac = transform(lib, code, params, z)
    x_ref, lj_ref = ref.transform_ref(code, np.array(params if params else [np.nan] * 3), z)
    # Phi in erf form is exact to an absolute 2^-53, not relatively in the left tail.
    assert x == pytest.approx(x_ref, rel=1e-14, abs=1e-15), f"code {code}: x at z={z}"
    assert logjac == pytest.approx(lj_ref, rel=1e-13, abs=1e-14), f"code {code}: logjac at z={z}"


@pytest.mark.parametrize("code", sorted(TRANSFORM_PARAMS))
@pytest.mark.parametrize("z", [-2.1, -0.3, 0.0, 0.8, 1.7])
def test_transform_logjac_is_log_abs_derivative(lib, code, z):
    params = TRANSFORM_PARAMS[code]
    h = 1e-5
    x_plus, _ = transform(lib, code, params, z + h)
    x_minus, _ = transform(lib, code, params, z - h)
    _, logjac = transform(lib, code, params, z)
    numeric = np.log(abs((x_plus - x_minus) / (2 * h)))
    assert logjac == pytest.approx(numeric, abs=1e-8), f"code {code} at z={z}"


@pytest.mark.parametrize("code, z, expected_logjac", [
    (10, 1000.0, 1.3862943611198906 - 2000.0),
    (10, -1000.0, 1.3862943611198906 - 2000.0),
    (10, 0.0, 0.0),
    (4, -800.0, -800.0),
    (4, 800.0, -800.0),
    (3, -800.0, -800.0),
    (5, 0.0, -0.9189385332046727),
])
def test_transform_logjac_finite_in_the_tails(lib, code, z, expected_logjac):
    _, logjac = transform(lib, code, None, z)
    assert logjac == expected_logjac


def test_transform_interval_maps_reach_their_bounds(lib):
    # aff_logit: x = p[0] + p[2] sigmoid(z) saturates exactly at the bounds.
    assert transform(lib, 6, [1.0, 0.0, 2.0], -1000.0)[0] == 1.0
    assert transform(lib, 6, [1.0, 0.0, 2.0], 1000.0)[0] == 3.0
    assert transform(lib, 7, [1.0, 0.0, 2.0], 0.0)[0] == 2.0
    assert transform(lib, 4, None, -1000.0)[0] == 0.0


@pytest.mark.parametrize("code", NAN_CODES)
def test_unknown_transform_code_gives_nan(lib, code):
    x, logjac = transform(lib, code, None, 0.3)
    assert np.isnan(x) and np.isnan(logjac)


@pytest.mark.parametrize("code", range(1, 10))
def test_dist_logpdf_matches_scipy(lib, code):
    rng = np.random.default_rng(100 + code)
    for _ in range(5):
        row, frozen = ref.dist_case(code, rng)
        lo, hi = frozen.support()
        lo = -6.0 if not np.isfinite(lo) else lo
        hi = 6.0 if not np.isfinite(hi) else hi
        xs = np.linspace(lo, hi, 23)[1:-1]
        got = np.array([dist(lib, code, row, x) for x in xs])
        np.testing.assert_allclose(got, frozen.logpdf(xs), rtol=1e-12, atol=1e-13,
                                   err_msg=f"distribution code {code}, row {row}")


@pytest.mark.parametrize("code, row, x, expected", [
    # half-normal, half-Cauchy and gamma with shape 1 are finite at 0
    (3, [2.0, 0, 0, 0, 0], 0.0, stats.halfnorm(scale=2.0).logpdf(0.0)),
    (5, [2.0, 0, 0, 0, 0], 0.0, stats.halfcauchy(scale=2.0).logpdf(0.0)),
    (7, [1.0, 2.0, np.log(2.0), 0, 0], 0.0, stats.expon(scale=2.0).logpdf(0.0)),
    # beta ends: finite where the exponent is 0, -inf (not NaN) where positive
    (6, [1.0, 3.0, special.betaln(1.0, 3.0), 0, 0], 0.0, np.log(3.0)),
    (6, [3.0, 1.0, special.betaln(3.0, 1.0), 0, 0], 1.0, np.log(3.0)),
    (6, [1.0, 1.0, 0.0, 0, 0], 1.0, 0.0),
    (6, [2.0, 3.0, special.betaln(2.0, 3.0), 0, 0], 0.0, -np.inf),
    (6, [2.0, 3.0, special.betaln(2.0, 3.0), 0, 0], 1.0, -np.inf),
    # closed support ends of the truncated normal and uniform
    (4, [0.0, 1.0, -1.0, 2.0, 0.0], 2.0, -2.0),
    (9, [-1.0, 3.0, 4.0, 0, 0], -1.0, -np.log(4.0)),
    (9, [-1.0, 3.0, 4.0, 0, 0], 3.0, -np.log(4.0)),
])
def test_dist_logpdf_support_edges(lib, code, row, x, expected):
    assert dist(lib, code, row, x) == pytest.approx(expected, rel=1e-14)


@pytest.mark.parametrize("code, row, x", [
    (2, [0.0, 1.0, 0, 0, 0], 0.0),
    (8, [2.0, 1.0, 0.0, 0, 0], 0.0),
    (3, [1.0, 0, 0, 0, 0], -1e-300),
    (5, [1.0, 0, 0, 0, 0], -1e-300),
    (7, [1.0, 1.0, 0.0, 0, 0], -1e-300),
    (6, [2.0, 2.0, 0.0, 0, 0], 1.0 + 2**-52),
    (4, [0.0, 1.0, -1.0, 2.0, 0.0], -1.0000000000000002),
    (9, [-1.0, 3.0, 4.0, 0, 0], 3.0000000000000004),
    (1, [0.0, 1.0, 0, 0, 0], np.nan),
    (3, [1.0, 0, 0, 0, 0], np.nan),
    (0, [1.0, 1.0, 1.0, 1.0, 1.0], 0.5),
    (10, [1.0, 1.0, 1.0, 1.0, 1.0], 0.5),
])
def test_dist_logpdf_outside_support_is_nan(lib, code, row, x):
    assert np.isnan(dist(lib, code, row, x))


def test_unknown_dist_code_reads_no_parameters(lib):
    assert np.isnan(dist(lib, 42, None, 0.0))


# ---------------------------------------------------------------------------
# The belief-plan evaluator

def plan_arrays(theta, scalars, blocks):
    """Kernel arguments of a plan: scalars are (index, dist code, transform
    code, dist row, transform row); blocks (offset, K, length, eta, log const)."""
    theta = np.ascontiguousarray(theta, dtype=np.float64)
    n_scalar = len(scalars)
    if n_scalar:
        idx, dcodes, tcodes, drows, trows = zip(*scalars)
        sc = (np.array(idx, np.int64), np.array(dcodes, np.int64), np.array(tcodes, np.int64),
              np.array(drows, np.float64), np.array(trows, np.float64))
    else:
        sc = (None,) * 5
    n_blocks = len(blocks)
    if n_blocks:
        off, dims, lens, etas, consts = zip(*blocks)
        mb = (np.array(off, np.int64), np.array(dims, np.int64), np.array(lens, np.int64),
              np.array(etas, np.float64), np.array(consts, np.float64))
    else:
        mb = (None,) * 5
    return (theta, *sc, n_scalar, *mb, n_blocks)


@pytest.mark.parametrize("seed", range(6))
def test_logbeliefplan_matches_reference_sum(lib, seed):
    theta, scalars, blocks, expected = ref.random_plan(np.random.default_rng(seed))
    got = lib.crv_logbeliefplan(*plan_arrays(theta, scalars, blocks))
    assert np.isfinite(expected)
    assert got == pytest.approx(expected, rel=1e-9, abs=1e-9)


def test_empty_plan_is_zero(lib):
    assert lib.crv_logbeliefplan(*plan_arrays([], [], [])) == 0.0


@pytest.mark.parametrize("bad", [
    "transform code 0", "transform code 11", "outside support", "short block",
])
def test_logbeliefplan_nan_term_gives_nan(lib, bad):
    good = (0, 1, 1, [0.0, 1.0, 0, 0, 0], [0, 0, 0])
    scalars = [good]
    blocks = [(1, 3, 3, 2.0, 0.0)]
    if bad.startswith("transform code"):
        scalars.append((0, 1, int(bad.split()[-1]), [0.0, 1.0, 0, 0, 0], [0, 0, 0]))
    elif bad == "outside support":
        # upper bound 0: x = -exp(z) < 0 lies outside a half-normal's support
        scalars.append((0, 3, 9, [1.0, 0, 0, 0, 0], [0.0, 0, 0]))
    else:
        blocks = [(1, 3, 2, 2.0, 0.0)]
    theta = np.array([0.2, 0.1, -0.4, 0.3])
    assert np.isnan(lib.crv_logbeliefplan(*plan_arrays(theta, scalars, blocks)))


def test_logbeliefplan_sums_infinite_terms(lib):
    # sigmoid(-1000) is exactly 0, where a beta(2, 2) prior has log density -inf.
    scalars = [(0, 6, 4, [2.0, 2.0, special.betaln(2.0, 2.0), 0, 0], [0, 0, 0]),
               (1, 1, 1, [0.0, 1.0, 0, 0, 0], [0, 0, 0])]
    got = lib.crv_logbeliefplan(*plan_arrays([-1000.0, 0.5], scalars, []))
    assert got == -np.inf
