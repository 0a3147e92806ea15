"""The seven regression runners inside crv_mc_run: input carving, p + 2
outputs (coefficients, rss, tss), the status in iout[0], failing fits
failing their replication, invalid contexts, and the context-record layouts.
References come from NumPy closed forms and scikit-learn."""

import ctypes

import numpy as np
import pytest
from sklearn.linear_model import ElasticNet, Lasso

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import mc, regression

LIB = ffi.load("regression")
NOT_PD, NO_CONV, INVALID = -1501, -1502, -1201
NEVER = np.iinfo(np.int64).min
GUARD = 4  # sentinel words after each thread's input block
_dp = ctypes.POINTER(ctypes.c_double)
_ip = ctypes.POINTER(ctypes.c_int64)


def dptr(a):
    return None if a is None else a.ctypes.data_as(_dp)


def iptr(a):
    return None if a is None else a.ctypes.data_as(_ip)


ALPHAS = np.array([0.2, 0.02, 0.005, 0.08])

# runner -> (context fields besides n, p, alphas and n_alphas; work-size call)
RUNNERS = {
    "ols": (dict(), lambda n, p, c: LIB.crv_mc_ols_work_arena_size(n, p)),
    "ridge": (dict(intercept=1, alpha=0.05),
              lambda n, p, c: LIB.crv_mc_ridge_work_arena_size(n, p)),
    "ridge_gs": (dict(criterion=1, intercept=1),
                 lambda n, p, c: LIB.crv_mc_ridge_gs_work_arena_size(n, p)),
    "lasso": (dict(intercept=1, max_iter=100000, tol=1e-13, alpha=0.01),
              lambda n, p, c: LIB.crv_mc_lasso_work_arena_size(n, p)),
    "lasso_gs": (dict(intercept=1, max_iter=40, tol=1e-10),
                 lambda n, p, c: LIB.crv_mc_lasso_gs_work_arena_size(
                     n, p, c.intercept, c.n_alphas, c.max_iter)),
    "elastic_net": (dict(intercept=1, max_iter=100000, tol=1e-13, alpha=0.02, l1_ratio=0.6),
                    lambda n, p, c: LIB.crv_mc_elastic_net_work_arena_size(n, p)),
    "elastic_net_gs": (dict(criterion=2, intercept=1, max_iter=100000, tol=1e-13,
                            l1_ratio=0.5),
                       lambda n, p, c: LIB.crv_mc_elastic_net_gs_work_arena_size(
                           n, p, c.intercept, c.n_alphas)),
}


def context(name, n, p, alphas=ALPHAS, **override):
    fields, size = RUNNERS[name]
    record = regression.RUNNER_CONTEXTS[f"crv_mc_{name}_runner"]
    values = dict(fields, n=n, p=p, **override)
    if "alphas" in dict(record._fields_):
        values.update(alphas=dptr(alphas), n_alphas=len(alphas))
    ctx = record(**values)
    ctx._alphas = alphas
    in_words, work_words = size(n, p, ctx)
    return ctx, in_words, work_words


class RegressionJob:
    """One stage running the regression runner `name`; replication r's X and
    y come from row r of an external table by a per-replication binding."""

    def __init__(self, name, Xs, ys, n_threads, ctx_override=None):
        n_reps, n, p = Xs.shape
        self.ctx, self.in_words, self.work_words = context(name, n, p, **(ctx_override or {}))
        self.table = np.ascontiguousarray(np.concatenate([Xs.reshape(n_reps, -1), ys], axis=1))
        width = self.table.shape[1]
        self.cols = np.arange(width, dtype=np.int64)
        self.binding = mc.crv_mc_binding(-2, 0, width, 0, 1, iptr(self.cols), width, 0, width,
                                         0.0, dptr(self.table), width, 1)
        stride = self.in_words + GUARD
        self.input = np.full(n_threads * stride, -3.0)
        self.work = np.full(n_threads * self.work_words, -4.0) if self.work_words else None
        self.out_words = p + 2
        self.out = np.full(n_threads * self.out_words, -5.0)
        self.iout = np.full(n_threads, -6, dtype=np.int64)
        self.results = np.full((n_reps, self.out_words), 123.0)
        self.iresults = np.full((n_reps, 1), 123, dtype=np.int64)
        self.row_map = np.arange(n_reps, dtype=np.int64)
        runner = ctypes.cast(getattr(LIB, f"crv_mc_{name}_runner"), mc.crv_mc_runner)
        self.stage = mc.crv_mc_stage(
            runner, dptr(self.input), dptr(self.work), dptr(self.out), iptr(self.iout),
            dptr(self.results), iptr(self.iresults), iptr(self.row_map), stride,
            self.work_words, self.out_words, 1, self.out_words, 1,
            ctypes.cast(ctypes.pointer(self.ctx), ctypes.c_void_p), ctypes.pointer(self.binding),
            1)
        self.stages = (mc.crv_mc_stage * 1)(self.stage)
        self.failed_stage = np.full(n_reps, 555, dtype=np.int64)
        self.status = np.full(n_reps, 555, dtype=np.int64)
        self.job = mc.crv_mc_job(self.stages, 1, n_reps, n_threads, 0, 0, 0, 0, 0,
                                 iptr(self.failed_stage), iptr(self.status), 0, None, None, None)
        self.stride = stride

    def run(self):
        return LIB.crv_mc_run(ctypes.byref(self.job))

    def guards(self):
        blocks = self.input.reshape(-1, self.stride)
        return blocks[:, self.in_words:]


def replications(seed, n_reps, n, k, corr=0.6):
    rng = np.random.default_rng(seed)
    Zs = rng.standard_normal((n_reps, n, k)) + 0.3
    Zs[:, :, 1] = corr * Zs[:, :, 0] + np.sqrt(1 - corr**2) * Zs[:, :, 1]
    beta = rng.standard_normal(k)
    ys = Zs @ beta + 0.5 * rng.standard_normal((n_reps, n)) + 1.5
    Xs = np.concatenate([np.ones((n_reps, n, 1)), Zs], axis=2)
    return Xs, ys, Zs


def criterion_score(rss, dof, n, criterion):
    if criterion == 3:
        return rss
    return n * np.log(rss / n) + (2.0 if criterion == 1 else np.log(n)) * dof


def sk(model, Z, y):
    model.set_params(tol=1e-14, max_iter=100000).fit(Z, y)
    return np.r_[model.intercept_, model.coef_]


def reference(name, X, y, Z, ctx):
    """Coefficients of one replication (all runners fit with an intercept)."""
    n, p = X.shape
    G, D = X.T @ X / n, np.diag(np.r_[0.0, np.ones(p - 1)])
    if name == "ols":
        return np.linalg.lstsq(X, y, rcond=None)[0]
    if name == "ridge":
        return np.linalg.solve(G + ctx.alpha * D, X.T @ y / n)
    if name == "ridge_gs":
        best = None
        for a in ALPHAS:
            b = np.linalg.solve(G + a * D, X.T @ y / n)
            dof = np.trace(np.linalg.solve(G + a * D, G))
            s = criterion_score(np.sum((y - X @ b) ** 2), dof, n, ctx.criterion)
            if best is None or s < best[0]:
                best = (s, b)
        return best[1]
    if name == "lasso":
        return sk(Lasso(alpha=ctx.alpha), Z, y)
    if name == "elastic_net":
        return sk(ElasticNet(alpha=ctx.alpha, l1_ratio=ctx.l1_ratio), Z, y)
    if name == "lasso_gs":
        coefs = [sk(Lasso(alpha=a), Z, y) for a in ALPHAS]
        return coefs[int(np.argmin([np.sum((y - X @ b) ** 2) for b in coefs]))]
    Zc, best = Z - Z.mean(0), None
    for a in ALPHAS:
        b = sk(ElasticNet(alpha=a, l1_ratio=ctx.l1_ratio), Z, y)
        A = np.flatnonzero(np.abs(b[1:]) > ctx.tol)
        GA = (Zc.T @ Zc / n)[np.ix_(A, A)]
        dof = 1 + np.trace(np.linalg.solve(GA + a * (1 - ctx.l1_ratio) * np.eye(A.size), GA))
        s = criterion_score(np.sum((y - X @ b) ** 2), dof, n, ctx.criterion)
        if best is None or s < best[0]:
            best = (s, b)
    return best[1]


@pytest.mark.parametrize("n_threads", [1, 2])
@pytest.mark.parametrize("name", list(RUNNERS))
def test_runner_results_in_crv_mc_run(name, n_threads):
    n_reps, n, k = 5, 40, 4
    Xs, ys, Zs = replications(1, n_reps, n, k)
    job = RegressionJob(name, Xs, ys, n_threads)
    assert job.run() == 0
    np.testing.assert_array_equal(job.failed_stage, -1)
    np.testing.assert_array_equal(job.status, 0)
    np.testing.assert_array_equal(job.iresults, 0)  # the status, from iout[0]
    np.testing.assert_array_equal(job.guards(), -3.0)  # nothing written past in_words
    exact = name in ("ols", "ridge", "ridge_gs")
    p = k + 1
    for r in range(n_reps):
        X, y = Xs[r], ys[r]
        coef, rss, tss = job.results[r, :p], job.results[r, p], job.results[r, p + 1]
        np.testing.assert_allclose(coef, reference(name, X, y, Zs[r], job.ctx),
                                   **(dict(rtol=1e-9) if exact else dict(atol=1e-8)),
                                   err_msg=f"replication {r}")
        assert rss == pytest.approx(np.sum((y - X @ coef) ** 2), rel=1e-10)
        assert tss == pytest.approx(np.sum((y - y.mean()) ** 2), rel=1e-12)


def _failing_data(name, n_reps, n, k, bad):
    """Replications in `bad` fail the fit: a duplicated column (Cholesky
    fails) for the ridge and OLS runners, ordinary data under a one-step cap
    for the iterative ones, whose other replications have constant y and so
    converge at once."""
    Xs, ys, _ = replications(2, n_reps, n, k)
    iterative = name in ("lasso", "lasso_gs", "elastic_net", "elastic_net_gs")
    for r in range(n_reps):
        if iterative and r not in bad:
            ys[r] = 2.5
        if not iterative and r in bad:
            Xs[r, :, 2] = Xs[r, :, 1]
    override = {}
    if iterative:
        override["max_iter"] = 1
    if name == "ridge":
        override["alpha"] = 0.0
    if name == "ridge_gs":
        override["alphas"] = np.array([0.0, -1e-300])
    return Xs, ys, override, (NO_CONV if iterative else NOT_PD)


@pytest.mark.parametrize("n_threads", [1, 2])
@pytest.mark.parametrize("name", list(RUNNERS))
def test_failing_fit_fails_replication(name, n_threads):
    n_reps, n, k = 6, 30, 3
    bad = {1, 4}
    Xs, ys, override, code = _failing_data(name, n_reps, n, k, bad)
    job = RegressionJob(name, Xs, ys, n_threads, override)
    assert job.run() == 0
    failed = np.isin(np.arange(n_reps), sorted(bad))
    np.testing.assert_array_equal(job.failed_stage, np.where(failed, 0, -1))
    np.testing.assert_array_equal(job.status, np.where(failed, code, 0))
    assert np.isnan(job.results[failed]).all()
    np.testing.assert_array_equal(job.iresults[failed], NEVER)
    assert np.isfinite(job.results[~failed]).all()
    np.testing.assert_array_equal(job.iresults[~failed], 0)
    np.testing.assert_array_equal(job.guards(), -3.0)


@pytest.mark.parametrize("name", list(RUNNERS))
def test_failed_fit_reports_through_blocks(name):
    # Called directly: NaN coefficients, rss and tss in out, the status in
    # iout[0] and as the return value.
    Xs, ys, override, code = _failing_data(name, 2, 30, 3, {0})
    ctx, in_words, work_words = context(name, 30, 4, **override)
    block = np.zeros(in_words)
    block[: 30 * 4] = Xs[0].ravel()
    block[30 * 4: 30 * 5] = ys[0]
    out, iout = np.zeros(6), np.zeros(1, dtype=np.int64)
    work = np.zeros(max(work_words, 1), dtype=np.int64)
    runner = getattr(LIB, f"crv_mc_{name}_runner")
    work_arg = work if name == "elastic_net_gs" else None
    assert runner(0, block, out, work_arg, iout, ctypes.cast(ctypes.pointer(ctx),
                                                              ctypes.c_void_p)) == code
    assert iout[0] == code and np.isnan(out).all()


def test_runner_without_iout():
    Xs, ys, _ = replications(3, 1, 20, 2)
    ctx, in_words, _ = context("ols", 20, 3)
    block = np.zeros(in_words)
    block[:60], block[60:80] = Xs[0].ravel(), ys[0]
    out = np.zeros(5)
    assert LIB.crv_mc_ols_runner(0, block, out, None, None,
                                 ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p)) == 0
    np.testing.assert_allclose(out[:3], np.linalg.lstsq(Xs[0], ys[0], rcond=None)[0], rtol=1e-10)


INVALID_CONTEXTS = {
    "null ctx": ("ols", None, {}),
    "negative n": ("ols", "ctx", dict(n=-1)),
    "negative p": ("lasso", "ctx", dict(p=-2)),
    "negative n_alphas": ("ridge_gs", "ctx", dict(n_alphas=-1)),
    "null alphas": ("lasso_gs", "ctx", dict(alphas=None)),
    "null statuses block": ("elastic_net_gs", "nowork", {}),
    "null input": ("ridge", "noinput", {}),
    "null out": ("elastic_net", "noout", {}),
}


@pytest.mark.parametrize("case", INVALID_CONTEXTS.values(), ids=INVALID_CONTEXTS.keys())
def test_invalid_context_or_blocks(case):
    name, how, fields = case
    ctx, in_words, work_words = context(name, 10, 3)
    for key, val in fields.items():
        setattr(ctx, key, val)
    block = np.full(in_words, 1.0)
    out = np.full(5, -9.0)
    work = np.zeros(max(work_words, 1), dtype=np.int64) if name == "elastic_net_gs" else None
    iout = np.zeros(1, dtype=np.int64)
    args = [0, block, out, work, iout, ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p)]
    if how is None:
        args[5] = None
    if how == "nowork":
        args[3] = None
    if how == "noinput":
        args[1] = None
    if how == "noout":
        args[2] = None
    assert getattr(LIB, f"crv_mc_{name}_runner")(*args) == INVALID
    assert iout[0] == INVALID
    if how != "noout":
        np.testing.assert_array_equal(out, -9.0)


def test_empty_problem_needs_no_input_block():
    # n = p = 0: no input words, the predictions are 0 and rss = tss = 0.
    ctx, in_words, _ = context("ols", 0, 0)
    assert in_words == 0
    out, iout = np.full(2, -9.0), np.zeros(1, dtype=np.int64)
    assert LIB.crv_mc_ols_runner(0, None, out, None, iout,
                                 ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p)) == 0
    assert list(out) == [0.0, 0.0] and iout[0] == 0


# (record, size, {field: offset}) as the C header defines them
LAYOUTS = [
    (regression.crv_mc_ols_ctx, 16, dict(n=0, p=8)),
    (regression.crv_mc_ridge_ctx, 32, dict(n=0, p=8, intercept=16, alpha=24)),
    (regression.crv_mc_ridge_gs_ctx, 48,
     dict(alphas=0, n=8, p=16, n_alphas=24, criterion=32, intercept=40)),
    (regression.crv_mc_lasso_ctx, 48,
     dict(n=0, p=8, intercept=16, max_iter=24, tol=32, alpha=40)),
    (regression.crv_mc_lasso_gs_ctx, 56,
     dict(alphas=0, n=8, p=16, n_alphas=24, intercept=32, max_iter=40, tol=48)),
    (regression.crv_mc_elastic_net_ctx, 56,
     dict(n=0, p=8, intercept=16, max_iter=24, tol=32, alpha=40, l1_ratio=48)),
    (regression.crv_mc_elastic_net_gs_ctx, 72,
     dict(alphas=0, n=8, p=16, n_alphas=24, criterion=32, intercept=40, max_iter=48, tol=56,
          l1_ratio=64)),
]


@pytest.mark.parametrize("record, size, offsets", LAYOUTS, ids=lambda v: getattr(v, "__name__", ""))
def test_context_layouts(record, size, offsets):
    assert ctypes.sizeof(record) == size
    assert [f[0] for f in record._fields_] == list(offsets)
    assert {f: getattr(record, f).offset for f in offsets} == offsets
