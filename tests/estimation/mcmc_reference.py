"""Pure-Python adaptive random-walk Metropolis, step for step.

Written from the algorithm (adaptive Metropolis, Haario, Saksman and Tamminen
2001, with Welford's running moments) and the library's documented rounding:
inner products are fused chains with eight partial sums (`fdot`), the
co-moment update is a fused rank-one update, Cholesky is the row-oriented
Crout elimination with the relative pivot threshold. Fused multiply-add is
emulated exactly with rational arithmetic, so the replay agrees bit for bit.
Random numbers come from a NumPy Generator: `standard_normal(d)` for each
proposal, `random()` for each uniform."""

import math
from fractions import Fraction

import numpy as np

EPS = 2.0**-52
SCALE = 5.6644  # 2.38^2


def fma(a, b, c):
    """a * b + c with a single rounding (finite operands)."""
    return float(Fraction(a) * Fraction(b) + Fraction(c))


def fdot(a, b, n):
    """Eight fused partial sums over blocks of eight, combined pairwise, then
    the remaining terms fused in order."""
    s = [0.0] * 8
    i = 0
    while i + 8 <= n:
        for j in range(8):
            s[j] = fma(a[i + j], b[i + j], s[j])
        i += 8
    r = ((s[0] + s[4]) + (s[2] + s[6])) + ((s[1] + s[5]) + (s[3] + s[7]))
    while i < n:
        r = fma(a[i], b[i], r)
        i += 1
    return r


def chol(A, n):
    """Lower Cholesky factor as a list of rows, or None when a pivot is not
    above (n * 2^-52) * max(0, largest diagonal entry)."""
    d_max = 0.0
    for i in range(n):
        if A[i][i] > d_max:
            d_max = A[i][i]
    tau = (n * EPS) * d_max
    L = [[0.0] * n for _ in range(n)]
    for r in range(n):
        for c in range(r):
            L[r][c] = (A[r][c] - fdot(L[r], L[c], c)) / L[c][c]
        v = A[r][r] - fdot(L[r], L[r], r)
        if not v > tau:
            return None
        L[r][r] = math.sqrt(v)
    return L


def run_chain(logpost, gen, x0, config):
    """Replays a run; returns draws, log-posteriors, the accepted count and
    the burn-in iterations after which the proposal factor was replaced."""
    n_draws, n_burn, thin, adapt, adapt_start, interval, eps, init_scale = config
    d = len(x0)
    L = [[init_scale if i == j else 0.0 for j in range(d)] for i in range(d)]
    mean = [0.0] * d
    M2 = [[0.0] * d for _ in range(d)]
    k = 0
    x = [float(v) for v in x0]
    lp = logpost(np.array(x))
    draws, logposts, replaced = [], [], []
    accepted = 0
    for i in range(n_burn + n_draws * thin):
        z = [float(v) for v in gen.standard_normal(d)]
        proposal = [x[r] + fdot(L[r], z, d) for r in range(d)]
        lp_new = logpost(np.array(proposal))
        if math.isfinite(lp_new):
            u = gen.random()
            log_u = math.log(u) if u > 0.0 else -math.inf
            if lp_new - lp > log_u:
                x, lp = proposal, lp_new
                accepted += 1
        if i < n_burn:
            if adapt:
                count = float(k + 1)
                delta = [x[j] - mean[j] for j in range(d)]
                mean = [mean[j] + delta[j] / count for j in range(d)]
                delta_new = [x[j] - mean[j] for j in range(d)]
                for j in range(d):
                    M2[j] = [fma(delta[j], delta_new[col], M2[j][col]) for col in range(d)]
                if i >= adapt_start and interval > 0 and (i + 1) % interval == 0 and k >= 1:
                    C = [[(M2[j][col] / k + (eps if j == col else 0.0)) * SCALE / d
                          for col in range(d)] for j in range(d)]
                    factor = chol(C, d)
                    if factor is not None and all(math.isfinite(v) for row in factor
                                                  for v in row):
                        L = factor
                        replaced.append(i)
                k += 1
        elif (i - n_burn) % thin == 0:
            draws.append(list(x))
            logposts.append(lp)
    return (np.array(draws, dtype=float).reshape(n_draws, d), np.array(logposts, dtype=float),
            accepted, replaced)
