"""The Python functions of _beliefplan: values against references, argument
binding, result types, error texts and the bounds checks that keep the
kernels inside the caller's buffers."""

import threading

import numpy as np
import pytest
from scipy import special, stats

from Corvane._ckernels.estimation import _beliefplan as bp

import beliefplan_reference as ref


def plan_kwargs(theta, scalars, blocks):
    """Keyword arguments of logbeliefplan for (index, dist code, transform
    code, dist row, transform row) scalars and (offset, K, length, eta,
    log const) blocks."""
    kw = {"theta": np.ascontiguousarray(theta, dtype=np.float64)}
    names = ("scalar_indices", "scalar_dist_codes", "scalar_transform_codes")
    cols = list(zip(*scalars)) if scalars else [()] * 5
    for name, col in zip(names, cols[:3]):
        kw[name] = np.array(col, dtype=np.int64)
    kw["scalar_dist_params"] = np.array(cols[3], dtype=np.float64).reshape(-1, 5)
    kw["scalar_transform_params"] = np.array(cols[4], dtype=np.float64).reshape(-1, 3)
    cols = list(zip(*blocks)) if blocks else [()] * 5
    for name, col, dt in zip(("matrix_offsets", "matrix_dims", "matrix_lengths", "matrix_etas",
                              "matrix_log_constants"), cols,
                             (np.int64, np.int64, np.int64, np.float64, np.float64)):
        kw[name] = np.array(col, dtype=dt)
    return kw


PLAN_ORDER = ("theta", "scalar_indices", "scalar_dist_codes", "scalar_transform_codes",
              "scalar_dist_params", "scalar_transform_params", "matrix_offsets", "matrix_dims",
              "matrix_lengths", "matrix_etas", "matrix_log_constants")


# ---------------------------------------------------------------------------
# Values, types and binding

@pytest.mark.parametrize("code", range(1, 10))
def test_dist_logpdf_matches_scipy(code):
    row, frozen = ref.dist_case(code, np.random.default_rng(code))
    lo, hi = frozen.support()
    x = 0.5 * (max(lo, -3.0) + min(hi, 3.0)) + 0.01
    got = bp.dist_logpdf(code, row, x)
    assert type(got) is float
    assert got == pytest.approx(frozen.logpdf(x), rel=1e-12)
    assert bp.dist_logpdf(x=x, params=row, code=code) == got


@pytest.mark.parametrize("code, params", [(1, None), (4, None), (5, None), (10, None),
                                          (6, [-1.0, 0.0, 3.0]), (8, [2.0])])
def test_transform_inverse_and_logjac_matches_closed_form(code, params):
    z = -0.65
    result = bp.transform_inverse_and_logjac(code, None if params is None else np.array(params), z)
    assert type(result) is tuple and all(type(v) is float for v in result)
    full = np.array((params or []) + [np.nan] * 3)[:3]
    expected = ref.transform_ref(code, full, z)
    assert result == pytest.approx(expected, rel=1e-14)


@pytest.mark.parametrize("params", [None, np.empty(0)])
@pytest.mark.parametrize("code", [0, 15, 99])
def test_null_params_and_unknown_codes(params, code):
    x, logjac = bp.transform_inverse_and_logjac(code, params, 0.3)
    assert np.isnan(x) and np.isnan(logjac)
    assert np.isnan(bp.dist_logpdf(code, params, 0.3))


def test_lkj_functions_match_reference():
    z = np.array([0.3, -0.8, 1.1, 0.05, -0.4, 0.9])
    eta = 1.7
    log_const = ref.lkj_log_constant(4, eta)
    assert bp.lkj_chol_logjac(z, 4, 6) == pytest.approx(ref.fd_logjac(z, 4), abs=2e-7)
    assert bp.lkj_chol_logpdf_from_z(z=z, dim=4, length=6, eta=eta, log_const=log_const) == \
        pytest.approx(ref.lkj_logpdf_of_z(z, 4, eta, log_const), abs=2e-7)
    assert np.isnan(bp.lkj_chol_logjac(z, 4, 5))
    assert bp.lkj_chol_logpdf_from_z(None, 1, 0, 2.0, -0.5) == -0.5


@pytest.mark.parametrize("seed", range(3))
def test_logbeliefplan_matches_reference(seed):
    theta, scalars, blocks, expected = ref.random_plan(np.random.default_rng(seed))
    kw = plan_kwargs(theta, scalars, blocks)
    got = bp.logbeliefplan(**kw)
    assert type(got) is float
    assert got == pytest.approx(expected, rel=1e-9, abs=1e-9)
    assert bp.logbeliefplan(*(kw[name] for name in PLAN_ORDER)) == got


def test_logbeliefplan_empty_plan_accepts_none():
    assert bp.logbeliefplan(*([None] * 11)) == 0.0
    assert bp.logbeliefplan(**plan_kwargs([1.0, 2.0], [], [])) == 0.0


def test_cov_from_unconstrained_converts_array_likes():
    z = [0.2, -0.5, 0.7]
    std = (1.5, 0.5, 2)
    cov, L = bp.cov_from_unconstrained(z, std)
    for arr in (cov, L):
        assert type(arr) is np.ndarray and arr.dtype == np.float64 and arr.shape == (3, 3)
        assert arr.flags.c_contiguous
    L_ref = ref.corr_factor(np.array(z), 3)
    np.testing.assert_allclose(L, L_ref, rtol=1e-13, atol=1e-16)
    np.testing.assert_array_equal(np.triu(L, 1), 0.0)
    np.testing.assert_allclose(cov, np.diag(std) @ L_ref @ L_ref.T @ np.diag(std), rtol=1e-13)
    cov1, L1 = bp.cov_from_unconstrained(np.empty(0), [2.0])
    assert cov1.shape == (1, 1) and cov1[0, 0] == 4.0 and L1[0, 0] == 1.0


def test_unconstrained_from_corr_chol_round_trip():
    rng = np.random.default_rng(4)
    A = rng.normal(size=(5, 7))
    S = A @ A.T
    d = np.sqrt(np.diag(S))
    L = np.linalg.cholesky(S / np.outer(d, d))
    z = bp.unconstrained_from_corr_chol(np.asfortranarray(L))  # copied to row-major
    assert z.shape == (10,) and z.dtype == np.float64
    cov, L_back = bp.cov_from_unconstrained(z, np.ones(5))
    np.testing.assert_allclose(L_back, L, atol=1e-13)
    assert bp.unconstrained_from_corr_chol(L=L.tolist()).tolist() == z.tolist()
    assert bp.unconstrained_from_corr_chol(np.ones((1, 1))).shape == (0,)


def test_threads_share_nothing():
    theta, scalars, blocks, expected = ref.random_plan(np.random.default_rng(9))
    kw = plan_kwargs(theta, scalars, blocks)
    results = []

    def work():
        results.append([bp.logbeliefplan(**kw) for _ in range(2000)])

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len({v for r in results for v in r}) == 1


# ---------------------------------------------------------------------------
# Error texts

@pytest.mark.parametrize("call, message", [
    (lambda: bp.dist_logpdf(1, None), "dist_logpdf() takes exactly 3 positional arguments (2 given)"),
    (lambda: bp.dist_logpdf(1, None, 0.0, 4), "dist_logpdf() takes exactly 3 positional arguments (4 given)"),
    (lambda: bp.dist_logpdf(1, x=0.5), "dist_logpdf() takes exactly 3 positional arguments (1 given)"),
    (lambda: bp.unconstrained_from_corr_chol(), "unconstrained_from_corr_chol() takes exactly 1 positional argument (0 given)"),
    (lambda: bp.cov_from_unconstrained([0.1]), "cov_from_unconstrained() takes exactly 2 positional arguments (1 given)"),
    (lambda: bp.logbeliefplan(*([None] * 10)), "logbeliefplan() takes exactly 11 positional arguments (10 given)"),
    (lambda: bp.lkj_chol_logjac(None, 2, 0, dims=3), "lkj_chol_logjac() got an unexpected keyword argument 'dims'"),
    (lambda: bp.lkj_chol_logjac(None, 2, dim=3), "lkj_chol_logjac() got multiple values for keyword argument 'dim'"),
    (lambda: bp.lkj_chol_logjac(None, 2, **{1: 3}), None),
])
def test_argument_binding_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    if message is not None:
        assert str(info.value) == message


@pytest.mark.parametrize("call, exc", [
    (lambda: bp.dist_logpdf(1.5, None, 0.0), TypeError),
    (lambda: bp.dist_logpdf(1, None, "a"), TypeError),
    (lambda: bp.lkj_chol_logpdf_from_z(None, 2, 0, None, 0.0), TypeError),
    (lambda: bp.dist_logpdf(1, [0.0, 1.0], 0.0), TypeError),  # a list is not a buffer
    (lambda: bp.dist_logpdf(1, np.zeros(5, np.int64), 0.0), ValueError),
    (lambda: bp.dist_logpdf(1, np.zeros((1, 5)), 0.0), ValueError),
    (lambda: bp.dist_logpdf(1, np.zeros(10)[::2], 0.0), ValueError),
    (lambda: bp.logbeliefplan(np.zeros(1), np.zeros(1), *([None] * 9)), ValueError),
    (lambda: bp.unconstrained_from_corr_chol(np.eye(3).ravel()), ValueError),
    (lambda: bp.cov_from_unconstrained(["a"], [1.0, 1.0]), ValueError),
])
def test_conversion_and_buffer_errors(call, exc):
    with pytest.raises(exc):
        call()


def test_buffer_error_names_the_argument():
    with pytest.raises(ValueError, match="scalar_dist_params"):
        bp.logbeliefplan(None, None, None, None, np.zeros(5), *([None] * 6))


# ---------------------------------------------------------------------------
# Bounds checks: a wrong call raises instead of reading outside a buffer

GOOD_SCALARS = [(0, 1, 2, [0.0, 1.0, 0, 0, 0], [0, 0, 0]),
                (2, 3, 8, [1.0, 0, 0, 0, 0], [0.5, 0, 0])]
GOOD_BLOCKS = [(3, 3, 3, 2.0, 0.0), (6, 1, 0, 1.0, -0.3)]
THETA = np.linspace(-0.5, 0.5, 6)


def test_good_plan_is_finite():
    assert np.isfinite(bp.logbeliefplan(**plan_kwargs(THETA, GOOD_SCALARS, GOOD_BLOCKS)))


@pytest.mark.parametrize("edit, pattern", [
    (lambda kw: kw.update(scalar_dist_codes=kw["scalar_dist_codes"][:1]),
     r"scalar_dist_codes has 1 entries but scalar_indices has 2"),
    (lambda kw: kw.update(scalar_transform_codes=np.array([2, 2, 2], np.int64)),
     r"scalar_transform_codes has 3 entries but scalar_indices has 2"),
    (lambda kw: kw.update(scalar_dist_params=np.zeros((2, 3))),
     r"scalar_dist_params must have shape \(2, 5\), got \(2, 3\)"),
    (lambda kw: kw.update(scalar_transform_params=np.zeros((1, 3))),
     r"scalar_transform_params must have shape \(2, 3\), got \(1, 3\)"),
    (lambda kw: kw.update(scalar_transform_params=None),
     r"scalar_transform_params must have shape \(2, 3\), got \(0, 0\)"),
    (lambda kw: kw["scalar_indices"].__setitem__(1, 6),
     r"scalar_indices\[1\] = 6 is outside theta of length 6"),
    (lambda kw: kw["scalar_indices"].__setitem__(0, -1),
     r"scalar_indices\[0\] = -1 is outside theta of length 6"),
    (lambda kw: kw.update(theta=None),
     r"scalar_indices\[0\] = 0 is outside theta of length 0"),
    (lambda kw: kw.update(matrix_etas=np.array([2.0])),
     r"matrix_etas has 1 entries but matrix_dims has 2"),
    (lambda kw: kw.update(matrix_offsets=None),
     r"matrix_offsets has 0 entries but matrix_dims has 2"),
    (lambda kw: kw.update(matrix_log_constants=np.zeros(3)),
     r"matrix_log_constants has 3 entries but matrix_dims has 2"),
    (lambda kw: kw.update(matrix_lengths=np.array([3], np.int64)),
     r"matrix_lengths has 1 entries but matrix_dims has 2"),
    (lambda kw: kw["matrix_offsets"].__setitem__(1, 7),
     r"matrix_offsets\[1\] = 7 is outside theta of length 6"),
    (lambda kw: kw["matrix_offsets"].__setitem__(0, -2),
     r"matrix_offsets\[0\] = -2 is outside theta of length 6"),
    (lambda kw: kw["matrix_offsets"].__setitem__(0, 4),
     r"matrix_lengths\[0\] = 3 exceeds the 2 values of theta from matrix_offsets\[0\]"),
    (lambda kw: kw["matrix_lengths"].__setitem__(1, 1),
     r"matrix_lengths\[1\] = 1 exceeds the 0 values of theta from matrix_offsets\[1\]"),
])
def test_logbeliefplan_bounds_checks(edit, pattern):
    kw = plan_kwargs(THETA, GOOD_SCALARS, GOOD_BLOCKS)
    edit(kw)
    with pytest.raises(ValueError, match="^logbeliefplan\\(\\): " + pattern + "$"):
        bp.logbeliefplan(**kw)


def test_logbeliefplan_short_length_is_nan_not_error():
    kw = plan_kwargs(THETA, GOOD_SCALARS, [(3, 3, 2, 2.0, 0.0)])
    assert np.isnan(bp.logbeliefplan(**kw))


@pytest.mark.parametrize("call, pattern", [
    (lambda: bp.dist_logpdf(4, np.zeros(4), 0.0),
     r"dist_logpdf\(\): distribution code 4 reads 5 parameters but params holds 4"),
    (lambda: bp.dist_logpdf(1, None, 0.0),
     r"dist_logpdf\(\): distribution code 1 reads 2 parameters but params holds 0"),
    (lambda: bp.dist_logpdf(6, np.zeros(2), 0.5),
     r"dist_logpdf\(\): distribution code 6 reads 3 parameters but params holds 2"),
    (lambda: bp.transform_inverse_and_logjac(6, np.zeros(2), 0.0),
     r"transform_inverse_and_logjac\(\): transform code 6 reads 3 parameters but params holds 2"),
    (lambda: bp.transform_inverse_and_logjac(9, None, 0.0),
     r"transform_inverse_and_logjac\(\): transform code 9 reads 1 parameters but params holds 0"),
    (lambda: bp.lkj_chol_logjac(np.zeros(2), 3, 3),
     r"lkj_chol_logjac\(\): length 3 exceeds the 2 values of z"),
    (lambda: bp.lkj_chol_logpdf_from_z(None, 2, 1, 1.0, 0.0),
     r"lkj_chol_logpdf_from_z\(\): length 1 exceeds the 0 values of z"),
    (lambda: bp.cov_from_unconstrained([0.1, 0.2], np.ones(3)),
     r"cov_from_unconstrained\(\): z holds 2 values but a correlation block of dimension 3 needs 3"),
    (lambda: bp.unconstrained_from_corr_chol(np.zeros((3, 2))),
     r"unconstrained_from_corr_chol\(\): L must be square, got shape \(3, 2\)"),
])
def test_bounds_checks_of_the_other_functions(call, pattern):
    with pytest.raises(ValueError, match="^" + pattern + "$"):
        call()


def test_minimal_parameter_rows_are_accepted():
    # Codes read only part of a row; a row that holds what is read suffices.
    assert bp.transform_inverse_and_logjac(8, np.array([2.0]), 0.0) == (3.0, 0.0)
    assert bp.dist_logpdf(3, np.array([1.0]), 0.0) == pytest.approx(stats.halfnorm.logpdf(0.0))
    assert bp.dist_logpdf(6, np.array([2.0, 2.0, special.betaln(2, 2)]), 0.5) == \
        pytest.approx(stats.beta(2, 2).logpdf(0.5))
    assert np.isnan(bp.lkj_chol_logjac(np.zeros(3), 3, -1))


def test_arrays_of_an_empty_section_are_not_read():
    # With no scalar parameters the scalar arrays are not passed to the kernel,
    # whatever they hold; the same for the block arrays without blocks.
    kw = plan_kwargs([0.1, 0.2], [], [])
    kw["scalar_dist_codes"] = np.array([1], dtype=np.int64)
    kw["matrix_etas"] = np.array([2.0, 3.0])
    assert bp.logbeliefplan(**kw) == 0.0


def test_cov_from_unconstrained_needs_K_standard_deviations():
    with pytest.raises(ValueError, match="std holds 0 values"):
        bp.cov_from_unconstrained(np.zeros(45), np.zeros((10, 0)))
