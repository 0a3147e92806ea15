"""Independent NumPy/SciPy references for the belief-plan tests.

The correlation-factor map is written here in its product form
L(r, i) = t_ri * prod_{k<i} sqrt(1 - t_rk^2) (no running norm), its
log-Jacobian is taken from a finite-difference Jacobian, and the LKJ
normalising constant follows Lewandowski, Kurowicka and Joe (2009), eq. 16.
"""

import numpy as np
from scipy import special, stats


def corr_factor(z, K):
    """Lower Cholesky factor of a K x K correlation matrix from K(K-1)/2 values."""
    z = np.asarray(z, dtype=float)
    L = np.zeros((K, K))
    L[0, 0] = 1.0
    pos = 0
    for r in range(1, K):
        t = np.tanh(z[pos:pos + r])
        pos += r
        shrink = np.concatenate(([1.0], np.cumprod(np.sqrt(1.0 - t**2))))
        L[r, :r] = t * shrink[:r]
        L[r, r] = shrink[r]
    return L


def fd_logjac(z, K, h=1e-6):
    """log |det d(strict lower entries of L)/dz| by central differences."""
    z = np.asarray(z, dtype=float)
    rows, cols = np.tril_indices(K, -1)

    def f(v):
        return corr_factor(v, K)[rows, cols]

    n = z.size
    J = np.empty((n, n))
    for j in range(n):
        e = np.zeros(n)
        e[j] = h
        J[:, j] = (f(z + e) - f(z - e)) / (2 * h)
    return np.linalg.slogdet(J)[1]


def lkj_log_constant(K, eta):
    """log of 1 / c_K(eta), c_K the LKJ normaliser of det(R)^(eta - 1)."""
    log_c = 0.0
    for k in range(1, K):
        a = eta + (K - k - 1) / 2.0
        log_c += (2 * eta - 2 + K - k) * (K - k) * np.log(2.0)
        log_c += (K - k) * special.betaln(a, a)
    return -log_c


def lkj_chol_logdensity(L, eta):
    """LKJ(eta) log density of a correlation Cholesky factor, without constant:
    det(R)^(eta-1) times the Jacobian of R -> L, prod_r L_rr^(K - r - 1)."""
    K = L.shape[0]
    R = L @ L.T
    logdet_R = np.linalg.slogdet(R)[1]
    jac = sum((K - r - 1) * np.log(L[r, r]) for r in range(K))
    return (eta - 1) * logdet_R + jac


def lkj_logpdf_of_z(z, K, eta, log_const):
    """Log density of the unconstrained values of an LKJ correlation block."""
    if K < 2:
        return log_const
    L = corr_factor(z, K)
    return lkj_chol_logdensity(L, eta) + log_const + fd_logjac(z, K)


# Transform codes: x(z) and log |dx/dz| in closed form.
def transform_ref(code, p, z):
    lo, width = p[0], p[2]
    table = {
        1: (lambda: z, lambda: 0.0),
        2: (lambda: np.exp(z), lambda: z),
        3: (lambda: np.logaddexp(0.0, z), lambda: special.log_expit(z)),
        4: (lambda: special.expit(z), lambda: special.log_expit(z) + special.log_expit(-z)),
        5: (lambda: stats.norm.cdf(z), lambda: stats.norm.logpdf(z)),
        6: (lambda: lo + width * special.expit(z),
            lambda: np.log(width) + special.log_expit(z) + special.log_expit(-z)),
        7: (lambda: lo + width * stats.norm.cdf(z), lambda: stats.norm.logpdf(z) + np.log(width)),
        8: (lambda: lo + np.exp(z), lambda: z),
        9: (lambda: lo - np.exp(z), lambda: z),
        10: (lambda: np.tanh(z), lambda: np.log(4.0) - 2 * np.logaddexp(z, -z)),
    }
    fx, flj = table[code]
    return float(fx()), float(flj())


# Distribution codes: (parameter row of 5, frozen scipy distribution).
def dist_case(code, rng):
    """A random parameter row for distribution `code` and its SciPy twin."""
    row = np.zeros(5)
    if code == 1:
        m, var = rng.normal(), rng.uniform(0.2, 3.0)
        row[:2] = m, var
        return row, stats.norm(loc=m, scale=np.sqrt(var))
    if code == 2:
        m, sd = rng.normal(), rng.uniform(0.2, 2.0)
        row[:2] = m, sd
        return row, stats.lognorm(s=sd, scale=np.exp(m))
    if code == 3:
        s = rng.uniform(0.2, 3.0)
        row[0] = s
        return row, stats.halfnorm(scale=s)
    if code == 4:
        m, sd = rng.normal(), rng.uniform(0.3, 2.0)
        lo, hi = m - rng.uniform(0.1, 2.0), m + rng.uniform(0.1, 2.0)
        a, b = (lo - m) / sd, (hi - m) / sd
        log_norm = np.log(sd * np.sqrt(2 * np.pi) * (special.ndtr(b) - special.ndtr(a)))
        row[:] = m, sd, lo, hi, log_norm
        return row, stats.truncnorm(a, b, loc=m, scale=sd)
    if code == 5:
        s = rng.uniform(0.2, 3.0)
        row[0] = s
        return row, stats.halfcauchy(scale=s)
    if code == 6:
        a, b = rng.uniform(0.5, 5.0, size=2)
        row[:3] = a, b, special.betaln(a, b)
        return row, stats.beta(a, b)
    if code == 7:
        a, s = rng.uniform(0.5, 5.0), rng.uniform(0.2, 3.0)
        row[:3] = a, s, special.gammaln(a) + a * np.log(s)
        return row, stats.gamma(a, scale=s)
    if code == 8:
        a, b = rng.uniform(0.5, 5.0), rng.uniform(0.2, 3.0)
        row[:3] = a, b, a * np.log(b) - special.gammaln(a)
        return row, stats.invgamma(a, scale=b)
    if code == 9:
        lo = rng.normal()
        width = rng.uniform(0.5, 3.0)
        row[:3] = lo, lo + width, width
        return row, stats.uniform(loc=lo, scale=width)
    raise ValueError(code)


def random_plan(rng):
    """A plan with one scalar per transform code (priors on matching supports)
    and two correlation blocks, plus its log density from the references."""
    specs = [  # transform code, transform row, distribution code
        (1, [0, 0, 0], 1), (2, [0, 0, 0], 2), (3, [0, 0, 0], 3), (4, [0, 0, 0], 6),
        (5, [0, 0, 0], 6), (6, [-1.0, 0, 3.0], 4), (7, [0.5, 0, 1.5], 9),
        (8, [1.0, 0, 0], 7), (9, [4.0, 0, 0], 1), (10, [0, 0, 0], 9), (2, [0, 0, 0], 8),
        (2, [0, 0, 0], 5),
    ]
    n_theta = len(specs) + 3 + 6 + 2
    theta = rng.normal(scale=0.8, size=n_theta)
    order = rng.permutation(len(specs))
    expected = 0.0
    scalars = []
    for slot, (tcode, trow, dcode) in zip(order, specs):
        if dcode == 4:
            m, sd = 0.3, 1.1
            lo, hi = -1.0, 2.0
            a, b = (lo - m) / sd, (hi - m) / sd
            drow = [m, sd, lo, hi, np.log(sd * np.sqrt(2 * np.pi) * (special.ndtr(b) - special.ndtr(a)))]
            frozen = stats.truncnorm(a, b, loc=m, scale=sd)
        elif dcode == 9:
            lo, hi = trow[0] - 0.5 if tcode == 7 else -1.0, 2.0 if tcode == 7 else 1.0
            drow = [lo, hi, hi - lo, 0, 0]
            frozen = stats.uniform(loc=lo, scale=hi - lo)
        else:
            drow, frozen = dist_case(dcode, rng)
        x, lj = transform_ref(tcode, np.array(trow, float), theta[slot])
        expected += lj + frozen.logpdf(x)
        scalars.append((slot, dcode, tcode, drow, trow))
    blocks = []
    offset = len(specs)
    for K, eta in ((3, 2.5), (2, 0.7)):
        n = K * (K - 1) // 2
        log_const = lkj_log_constant(K, eta)
        expected += lkj_logpdf_of_z(theta[offset:offset + n], K, eta, log_const)
        blocks.append((offset, K, n + 1 if K == 2 else n, eta, log_const))
        offset += n
    blocks.append((offset, 1, 0, 3.0, -0.25))  # a 1x1 block adds its constant only
    expected += -0.25
    return theta, scalars, blocks, expected
