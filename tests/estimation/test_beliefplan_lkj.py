"""LKJ kernels and correlation-factor maps through the ctypes binding, against
an independent NumPy implementation (product-form factor, finite-difference
Jacobian, published LKJ normaliser)."""

import numpy as np
import pytest
from scipy import integrate

from Corvane._ckernels import ffi

import beliefplan_reference as ref


@pytest.fixture(scope="module")
def lib():
    return ffi.load("beliefplan")


def logjac(lib, z, K, length=None):
    z = np.ascontiguousarray(z, dtype=np.float64)
    length = z.size if length is None else length
    out = np.empty(1)
    lib.crv_lkj_chol_logjac(z if z.size else None, K, length, out)
    returned = lib.crv_lkj_chol_logjac_return(z if z.size else None, K, length)
    assert returned == out[0] or (np.isnan(returned) and np.isnan(out[0]))
    return out[0]


def logpdf(lib, z, K, eta, log_const, length=None):
    z = np.ascontiguousarray(z, dtype=np.float64)
    length = z.size if length is None else length
    out = np.empty(1)
    lib.crv_lkj_chol_logpdf_from_z(z if z.size else None, K, length, out, eta, log_const)
    return out[0]


def random_corr_factor(rng, K):
    A = rng.normal(size=(K, K + 2))
    S = A @ A.T
    d = np.sqrt(np.diag(S))
    return np.linalg.cholesky(S / np.outer(d, d))


@pytest.mark.parametrize("K", [2, 3, 4, 6])
@pytest.mark.parametrize("seed", range(3))
def test_logjac_matches_finite_difference_jacobian(lib, K, seed):
    z = np.random.default_rng(seed).normal(scale=0.9, size=K * (K - 1) // 2)
    assert logjac(lib, z, K) == pytest.approx(ref.fd_logjac(z, K), abs=2e-7)


@pytest.mark.parametrize("K, eta", [(2, 1.0), (3, 0.6), (4, 2.0), (5, 7.5)])
@pytest.mark.parametrize("seed", range(3))
def test_logpdf_matches_numpy_lkj_density(lib, K, eta, seed):
    z = np.random.default_rng(10 + seed).normal(scale=0.7, size=K * (K - 1) // 2)
    log_const = ref.lkj_log_constant(K, eta)
    expected = ref.lkj_logpdf_of_z(z, K, eta, log_const)
    assert logpdf(lib, z, K, eta, log_const) == pytest.approx(expected, abs=2e-7)


@pytest.mark.parametrize("eta", [0.5, 1.0, 3.0])
def test_logpdf_integrates_to_one_k2(lib, eta):
    log_const = ref.lkj_log_constant(2, eta)
    total, _ = integrate.quad(lambda v: np.exp(logpdf(lib, [v], 2, eta, log_const)),
                              -np.inf, np.inf, limit=200)
    assert total == pytest.approx(1.0, abs=1e-7)


@pytest.mark.parametrize("eta", [1.0, 2.0, 3.5])
def test_logpdf_integrates_to_one_k3(lib, eta):
    # Gauss-Legendre in u with z = atanh(sin u), u in (-pi/2, pi/2): the
    # square-root factors of the density become smooth; dz = du / cos u.
    nodes, weights = np.polynomial.legendre.leggauss(24)
    u, w = nodes * np.pi / 2, weights * np.pi / 2
    log_const = ref.lkj_log_constant(3, eta)
    total = 0.0
    for u0, w0 in zip(u, w):
        for u1, w1 in zip(u, w):
            for u2, w2 in zip(u, w):
                uu = np.array([u0, u1, u2])
                dens = np.exp(logpdf(lib, np.arctanh(np.sin(uu)), 3, eta, log_const))
                total += w0 * w1 * w2 * dens / np.prod(np.cos(uu))
    assert total == pytest.approx(1.0, abs=1e-6)


def test_uniform_k2_density_is_half_on_correlations(lib):
    # LKJ(1) in dimension 2: the correlation is uniform on (-1, 1).
    z = 0.37
    r = np.tanh(z)
    assert np.exp(logpdf(lib, [z], 2, 1.0, np.log(0.5))) == pytest.approx(0.5 * (1 - r**2), rel=1e-14)


@pytest.mark.parametrize("K", [0, 1, -3])
def test_small_blocks(lib, K):
    assert logjac(lib, [], K, 0) == 0.0
    assert logpdf(lib, [], K, 2.0, -1.25, 0) == -1.25


@pytest.mark.parametrize("K", [2, 3, 5])
def test_short_block_is_nan_and_longer_length_is_ignored(lib, K):
    n = K * (K - 1) // 2
    z = np.random.default_rng(K).normal(size=n + 2)
    assert np.isnan(logjac(lib, z, K, n - 1))
    assert np.isnan(logpdf(lib, z, K, 1.5, 0.0, n - 1))
    assert np.isnan(logpdf(lib, z, K, 1.5, 0.0, -4))
    assert logjac(lib, z, K, n + 2) == logjac(lib, z[:n], K, n)
    assert logpdf(lib, z, K, 1.5, 0.3, n + 2) == logpdf(lib, z[:n], K, 1.5, 0.3, n)


def test_nan_value_propagates(lib):
    z = np.array([0.1, np.nan, 0.2])
    assert np.isnan(logjac(lib, z, 3))
    assert np.isnan(logpdf(lib, z, 3, 2.0, 0.0))


# ---------------------------------------------------------------------------
# Covariance and inverse maps

def cov_from_unconstrained(lib, z, std):
    std = np.ascontiguousarray(std, dtype=np.float64)
    K = std.size
    L = np.zeros((K, K))
    cov = np.full((K, K), np.nan)
    lib.crv_cov_from_unconstrained(np.ascontiguousarray(z, dtype=np.float64), std, K, L, cov)
    return cov, L


def unconstrained_from_corr_chol(lib, L):
    L = np.ascontiguousarray(L, dtype=np.float64)
    K = L.shape[0]
    z = np.full(K * (K - 1) // 2, np.nan)
    lib.crv_unconstrained_from_corr_chol(L, K, z)
    return z


@pytest.mark.parametrize("K", [1, 2, 3, 5, 9, 12])
def test_cov_from_unconstrained_matches_numpy(lib, K):
    rng = np.random.default_rng(K)
    z = rng.normal(scale=0.8, size=K * (K - 1) // 2)
    std = rng.uniform(0.1, 3.0, size=K)
    cov, L = cov_from_unconstrained(lib, z, std)
    L_ref = ref.corr_factor(z, K)
    np.testing.assert_allclose(L, L_ref, rtol=1e-13, atol=1e-15)
    np.testing.assert_array_equal(np.triu(L, 1), 0.0)
    np.testing.assert_allclose(cov, np.diag(std) @ L_ref @ L_ref.T @ np.diag(std),
                               rtol=1e-13, atol=1e-15)
    np.testing.assert_array_equal(np.diag(cov), std * std)
    np.testing.assert_array_equal(cov, cov.T)
    np.testing.assert_allclose(np.sum(L * L, axis=1), 1.0, rtol=1e-14)


def test_cov_diagonal_is_std_squared_even_when_rows_saturate(lib):
    # tanh(40) == 1 leaves no norm for the rest of the row; the floor keeps it finite.
    z = np.array([40.0, 40.0, 3.0])
    std = np.array([2.0, 0.5, 3.0])
    cov, L = cov_from_unconstrained(lib, z, std)
    assert np.all(np.isfinite(L)) and np.all(np.isfinite(cov))
    np.testing.assert_array_equal(np.diag(cov), std**2)
    assert L[1, 1] == pytest.approx(1e-7)


@pytest.mark.parametrize("K", [2, 3, 4, 7, 10])
def test_unconstrained_round_trip(lib, K):
    L = random_corr_factor(np.random.default_rng(50 + K), K)
    z = unconstrained_from_corr_chol(lib, L)
    cov, L_back = cov_from_unconstrained(lib, z, np.ones(K))
    np.testing.assert_allclose(L_back, L, atol=1e-13)
    np.testing.assert_allclose(cov, L @ L.T, atol=1e-13)
    # and the forward-then-inverse direction
    np.testing.assert_allclose(unconstrained_from_corr_chol(lib, L_back), z, rtol=1e-11, atol=1e-12)


def test_identity_maps_to_zeros(lib):
    np.testing.assert_array_equal(unconstrained_from_corr_chol(lib, np.eye(5)), 0.0)


def test_unit_entry_is_clamped(lib):
    L = np.array([[1.0, 0.0, 0.0], [1.0, 0.0, 0.0], [-1.0, 0.0, 0.0]])
    z = unconstrained_from_corr_chol(lib, L)
    limit = np.arctanh(0.99999999999999)
    np.testing.assert_array_equal(z[:2], [limit, -limit])
    assert np.all(np.isfinite(z))


def test_diagonal_and_upper_triangle_not_read(lib):
    L = random_corr_factor(np.random.default_rng(3), 4)
    noisy = L + np.triu(np.full((4, 4), np.nan))
    np.testing.assert_array_equal(unconstrained_from_corr_chol(lib, noisy),
                                  unconstrained_from_corr_chol(lib, L))
