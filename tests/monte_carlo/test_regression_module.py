"""The _regression module's seven fits: results against NumPy and
scikit-learn, the intercept column, the (rss, tss, status) tuple, argument
binding and its messages, and the checks of every caller-supplied buffer."""

import threading
import time

import numpy as np
import pytest
from sklearn.linear_model import ElasticNet, Lasso

from Corvane._ckernels.monte_carlo import _regression as reg

NOT_PD, NO_CONV = -1501, -1502
SENTINEL = 12345.0


def data(seed, n, k, corr=0.0):
    rng = np.random.default_rng(seed)
    Z = rng.standard_normal((n, k)) + 0.5
    if corr and k > 1:
        Z[:, 1] = corr * Z[:, 0] + np.sqrt(1 - corr**2) * Z[:, 1]
    y = Z @ rng.standard_normal(k) + 0.4 * rng.standard_normal(n) + 2.0
    return Z, y


# ---- the functions as a table: argument builders and references ---------------

ALPHAS = np.array([0.3, 0.05, 0.002, 0.01])


def buffers(name, n, p, q, m, max_iter=50):
    """Every buffer argument of `name`, by keyword, at the documented size
    (sentinel-filled); p counts the intercept column, q the penalised slopes."""
    f = lambda size: np.full(size, SENTINEL)  # noqa: E731
    knots = max(max_iter, 0) + 1
    sizes = {
        "ols_fit": dict(coef=p, se=p, L=p * p, G=p * p, g=p, work=p),
        "ridge_fit": dict(coef=p, L=p * p, G=p * p, G_unpen=p * p, g=p, col=p),
        "ridge_gs_fit": dict(coef=p, G_base=p * p, G=p * p, L=p * p, g=p, coef_work=p, col=p),
        "lasso_fit": dict(coef=p, G_base=p * p, G=p * p, g=p, Gcoef=p),
        "lasso_gs_fit": dict(coef=p, G_base=p * p, G=p * p, g=p, lam_path=knots,
                             beta_path=knots * q, beta_grid=m * q, work=q * q + 8 * q),
        "elastic_net_fit": dict(coef=p, G_base=p * p, G=p * p, g=p, Gcoef=p),
        "elastic_net_gs_fit": dict(coef=p, G_base=p * p, G=p * p, g=p, beta_grid=m * q,
                                   Gcoef=p, beta=p, dof_work=3 * q * q + q),
    }[name]
    out = {key: f(size) for key, size in sizes.items()}
    if name == "elastic_net_gs_fit":
        out["statuses"] = np.full(m, 99, dtype=np.int64)
    return out


SCALARS = {
    "ols_fit": {},
    "ridge_fit": dict(alpha=0.05),
    "ridge_gs_fit": dict(alphas=ALPHAS, criterion=1),
    "lasso_fit": dict(alpha=0.02, max_iter=100000, tol=1e-13),
    "lasso_gs_fit": dict(alphas=ALPHAS, max_iter=50, tol=1e-10),
    "elastic_net_fit": dict(alpha=0.03, l1_ratio=0.4, max_iter=100000, tol=1e-13),
    "elastic_net_gs_fit": dict(alphas=ALPHAS, l1_ratio=0.7, criterion=2, max_iter=100000,
                               tol=1e-13),
}
FITS = list(SCALARS)


def call(name, Z, y, intercept=True, **override):
    n, k = np.shape(Z) if np.ndim(Z) == 2 else (len(y), 1)
    p = k + intercept
    q = k
    kw = dict(SCALARS[name])
    kw.update(buffers(name, n, p, q, len(kw.get("alphas", ())), kw.get("max_iter", 50)))
    kw.update(override)
    result = getattr(reg, name)(Z, y, intercept=intercept, **kw)
    return result, kw


def criterion_score(rss, dof, n, criterion):
    if criterion == 3:
        return rss
    return n * np.log(rss / n) + (2.0 if criterion == 1 else np.log(n)) * dof


def penalty_matrix(p, intercept):
    D = np.eye(p)
    if intercept:
        D[0, 0] = 0.0
    return D


def sk_fit(model, Z, y, intercept):
    model.set_params(fit_intercept=intercept, tol=1e-14, max_iter=100000).fit(Z, y)
    return np.r_[model.intercept_, model.coef_] if intercept else model.coef_.copy()


def reference(name, Z, y, intercept):
    """Coefficients (intercept first) from NumPy closed forms or scikit-learn."""
    n = len(y)
    X = np.column_stack((np.ones(n), Z)) if intercept else Z
    p = X.shape[1]
    s = SCALARS[name]
    if name == "ols_fit":
        return np.linalg.lstsq(X, y, rcond=None)[0]
    if name in ("ridge_fit", "ridge_gs_fit"):
        G, D = X.T @ X / n, penalty_matrix(p, intercept)
        solve = lambda a: np.linalg.solve(G + a * D, X.T @ y / n)  # noqa: E731
        if name == "ridge_fit":
            return solve(s["alpha"])
        scores = []
        for a in s["alphas"]:
            b = solve(a)
            dof = np.trace(np.linalg.solve(G + a * D, G))
            scores.append(criterion_score(np.sum((y - X @ b) ** 2), dof, n, s["criterion"]))
        return solve(s["alphas"][int(np.argmin(scores))])
    if name == "lasso_fit":
        return sk_fit(Lasso(alpha=s["alpha"]), Z, y, intercept)
    if name == "elastic_net_fit":
        return sk_fit(ElasticNet(alpha=s["alpha"], l1_ratio=s["l1_ratio"]), Z, y, intercept)
    if name == "lasso_gs_fit":  # lowest in-sample rss, the earlier alpha on ties
        coefs = [sk_fit(Lasso(alpha=a), Z, y, intercept) for a in s["alphas"]]
        rss = [np.sum((y - X @ b) ** 2) for b in coefs]
        return coefs[int(np.argmin(rss))]
    # elastic_net_gs_fit: criterion with the active-set degrees of freedom
    l1 = s["l1_ratio"]
    Zc = Z - Z.mean(0) if intercept else Z
    scores, coefs = [], []
    for a in s["alphas"]:
        b = sk_fit(ElasticNet(alpha=a, l1_ratio=l1), Z, y, intercept)
        slopes = b[1:] if intercept else b
        A = np.flatnonzero(np.abs(slopes) > s["tol"])
        GA = (Zc.T @ Zc / n)[np.ix_(A, A)]
        dof = intercept + np.trace(np.linalg.solve(GA + a * (1 - l1) * np.eye(A.size), GA))
        scores.append(criterion_score(np.sum((y - X @ b) ** 2), dof, n, s["criterion"]))
        coefs.append(b)
    return coefs[int(np.argmin(scores))]


# ---- results --------------------------------------------------------------------


@pytest.mark.parametrize("intercept", [True, False], ids=["intercept", "no-intercept"])
@pytest.mark.parametrize("name", FITS)
def test_fit_matches_reference(name, intercept):
    Z, y = data(1, 80, 5, corr=0.7)
    (rss, tss, status), kw = call(name, Z, y, intercept)
    assert type(rss) is float and type(tss) is float and type(status) is int
    assert status == 0
    ref = reference(name, Z, y, intercept)
    tol = dict(rtol=1e-9, atol=1e-12) if "ridge" in name or name == "ols_fit" else \
        dict(rtol=0, atol=1e-8)
    np.testing.assert_allclose(kw["coef"], ref, **tol)
    X = np.column_stack((np.ones(len(y)), Z)) if intercept else Z
    assert rss == pytest.approx(np.sum((y - X @ kw["coef"]) ** 2), rel=1e-10)
    assert tss == pytest.approx(np.sum((y - y.mean()) ** 2), rel=1e-12)
    if name == "elastic_net_gs_fit":
        np.testing.assert_array_equal(kw["statuses"], 0)


def test_ols_standard_errors_and_defaults():
    Z, y = data(2, 40, 3)
    n = len(y)
    X = np.column_stack((np.ones(n), Z))
    p = X.shape[1]
    coef, se = np.empty(p), np.empty(p)
    # Positional call with the default intercept.
    rss, tss, status = reg.ols_fit(Z, y, coef, se, np.empty(p * p), np.empty(p * p),
                                   np.empty(p), np.empty(p))
    beta = np.linalg.lstsq(X, y, rcond=None)[0]
    res = y - X @ beta
    expected_se = np.sqrt(res @ res / (n - p) * np.diag(np.linalg.inv(X.T @ X)))
    assert status == 0
    np.testing.assert_allclose(coef, beta, rtol=1e-10)
    np.testing.assert_allclose(se, expected_se, rtol=1e-9)
    # se=None skips the errors; the coefficients stay the same.
    coef2 = np.empty(p)
    assert reg.ols_fit(Z, y, coef2, None, np.empty(p * p), np.empty(p * p), np.empty(p),
                       np.empty(p))[2] == 0
    np.testing.assert_array_equal(coef2, coef)


@pytest.mark.parametrize("make", [
    lambda Z, y: (Z.tolist(), y.tolist()),                      # nested lists
    lambda Z, y: (np.asfortranarray(Z), y),                     # Fortran order
    lambda Z, y: (np.repeat(Z, 2, axis=1)[:, ::2], y[::-1][::-1].copy()),  # strided view
    lambda Z, y: (Z.astype(np.float32).astype(np.float64), np.round(y).astype(np.int64)),
], ids=["lists", "fortran", "strided", "int-y"])
def test_array_likes_are_converted(make):
    Z, y = data(3, 30, 2)
    Z = Z.astype(np.float32).astype(np.float64)  # exactly representable either way
    Zc, yc = make(Z, y)
    expected_y = np.asarray(yc, dtype=np.float64)
    (_, _, status), kw = call("ols_fit", Zc, yc)
    X = np.column_stack((np.ones(len(expected_y)), Z))
    assert status == 0
    np.testing.assert_allclose(kw["coef"], np.linalg.lstsq(X, expected_y, rcond=None)[0],
                               rtol=1e-9)


def test_intercept_column_and_caller_arrays_untouched():
    Z, y = data(4, 25, 3)
    Z0, y0 = Z.copy(), y.copy()
    (_, _, status), kw = call("ridge_fit", Z, y, True)
    assert status == 0
    np.testing.assert_array_equal(Z, Z0)  # the intercept column goes into a new array
    np.testing.assert_array_equal(y, y0)
    # Without intercept the same data with an explicit ones column gives the
    # same ridge solution except that the ones column is then penalised.
    ones = np.column_stack((np.ones(len(y)), Z))
    (_, _, status), kw2 = call("ridge_fit", ones, y, False, alpha=0.0)
    (_, _, _), kw3 = call("ridge_fit", Z, y, True, alpha=0.0)
    np.testing.assert_allclose(kw2["coef"], kw3["coef"], rtol=1e-10)


def test_status_paths():
    Z, y = data(5, 30, 3)
    Zd = np.column_stack((Z, Z[:, 0]))  # duplicate column: singular Gram
    (rss, tss, status), kw = call("ols_fit", Zd, y)
    assert status == NOT_PD and np.isnan(rss) and np.isnan(tss)
    assert np.isnan(kw["coef"]).all() and np.isnan(kw["se"]).all()
    # As many columns as rows: finite coefficients, NaN standard errors.
    Zs, ys = data(6, 6, 5)
    (_, _, status), kw = call("ols_fit", Zs, ys)
    assert status == 0 and np.isfinite(kw["coef"]).all() and np.isnan(kw["se"]).all()
    # No alpha of the elastic-net grid converges in one sweep.
    Zc, yc = data(7, 40, 4, corr=0.95)
    (rss, _, status), kw = call("elastic_net_gs_fit", Zc, yc, max_iter=1)
    assert status == NO_CONV and np.isnan(rss) and np.isnan(kw["coef"]).all()
    np.testing.assert_array_equal(kw["statuses"], NO_CONV)
    # Lasso above every covariance: slopes 0, intercept the mean of y.
    (rss, tss, status), kw = call("lasso_fit", Z, y, alpha=1e6)
    assert status == 0 and np.all(kw["coef"][1:] == 0)
    assert kw["coef"][0] == pytest.approx(y.mean(), rel=1e-14) and rss == pytest.approx(tss)


@pytest.mark.parametrize("name", FITS[1:])
def test_fits_without_columns(name):
    # No regressor and no intercept: the prediction is 0, so rss = sum y^2.
    Z, y = np.empty((6, 0)), np.arange(1.0, 7.0)
    (rss, tss, status), kw = call(name, Z, y, False)
    assert status == 0 and kw["coef"].size == 0
    assert rss == pytest.approx(np.sum(y**2)) and tss == pytest.approx(np.sum((y - 3.5) ** 2))


def test_ols_with_intercept_only():
    y = np.array([1.0, 2.0, 6.0])
    (rss, tss, status), kw = call("ols_fit", np.empty((3, 0)), y)
    assert status == 0 and kw["coef"][0] == pytest.approx(3.0)
    assert rss == pytest.approx(14.0) and tss == pytest.approx(14.0)


# ---- validation messages and binding ------------------------------------------

OLS_MESSAGES = [
    # (X, y, intercept, message): each case also breaks every later rule.
    (np.ones(4), np.ones((4, 1)), True, "X must be a two-dimensional array."),
    (np.ones((4, 2, 1)), np.ones(3), True, "X must be a two-dimensional array."),
    (np.ones((4, 2)), np.ones((4, 1)), True, "y must be a one-dimensional array."),
    (np.ones((0, 2)), np.ones(3), True, "X and y must have the same number of rows."),
    (np.ones((0, 0)), np.ones(0), False, "OLS requires at least one row."),
    (np.ones((3, 0)), np.ones(3), False,
     "OLS without an intercept requires at least one regressor."),
]


@pytest.mark.parametrize("X, y, intercept, message", OLS_MESSAGES)
def test_ols_validation_messages_in_order(X, y, intercept, message):
    e = np.empty(16)
    with pytest.raises(ValueError) as info:
        reg.ols_fit(X, y, e[:1], e[:1], e[:1], e[:1], e[:1], e[:1], intercept=intercept)
    assert str(info.value) == message


@pytest.mark.parametrize("name", FITS[1:])
def test_other_fits_reject_inconsistent_shapes(name):
    Z, y = data(8, 10, 2)
    with pytest.raises(ValueError, match="^X must be a two-dimensional array.$"):
        call(name, Z[:, 0], y)
    with pytest.raises(ValueError, match="^X and y must have the same number of rows.$"):
        call(name, Z, y[:-1])


@pytest.mark.parametrize("intercept", [True, False], ids=["intercept", "no-intercept"])
@pytest.mark.parametrize("name", FITS[1:])
def test_other_fits_without_rows(name, intercept):
    # No rows is legal outside OLS: zero coefficients and sums of squares,
    # except that ridge cannot determine an unpenalised intercept.
    Z, y = np.empty((0, 2)), np.empty(0)
    (rss, tss, status), kw = call(name, Z, y, intercept)
    if intercept and "ridge" in name:
        assert status == NOT_PD and np.isnan(kw["coef"]).all() and np.isnan(rss)
    else:
        assert (rss, tss, status) == (0.0, 0.0, 0) and np.all(kw["coef"] == 0)


ARG_COUNTS = {
    "ols_fit": 8, "ridge_fit": 9, "ridge_gs_fit": 11, "lasso_fit": 10, "lasso_gs_fit": 13,
    "elastic_net_fit": 11, "elastic_net_gs_fit": 16,
}


@pytest.mark.parametrize("name", FITS)
def test_argument_count_messages(name):
    fn = getattr(reg, name)
    required = ARG_COUNTS[name]
    with pytest.raises(TypeError) as info:
        fn(*range(3))
    assert str(info.value) == f"{name}() takes at least {required} positional arguments (3 given)"
    with pytest.raises(TypeError) as info:
        fn(*range(required + 2))
    assert str(info.value) == (f"{name}() takes at most {required + 1} positional arguments "
                               f"({required + 2} given)")


def test_keyword_binding():
    Z, y = data(9, 20, 2)
    p = 3
    e = lambda k: np.empty(k)  # noqa: E731
    kw = dict(coef=e(p), se=None, L=e(9), G=e(9), g=e(p), work=e(p))
    by_keyword = reg.ols_fit(X=Z, y=y, intercept=True, **kw)
    coef = e(p)
    positional = reg.ols_fit(Z, y, coef, None, e(9), e(9), e(p), e(p), True)
    assert by_keyword == positional
    np.testing.assert_array_equal(coef, kw["coef"])
    with pytest.raises(TypeError, match="unexpected keyword argument 'alpha'"):
        reg.ols_fit(Z, y, alpha=1.0, **kw)
    with pytest.raises(TypeError, match="multiple values for keyword argument 'coef'"):
        reg.ols_fit(Z, y, e(p), **kw)


# ---- buffer checks --------------------------------------------------------------


def buffer_cases():
    for name in FITS:
        for arg in buffers(name, 1, 1, 1, 1):
            yield name, arg


def _assert_untouched(kw, skip):
    for key, val in kw.items():
        if isinstance(val, np.ndarray) and key not in ("alphas", skip):
            assert np.all((val == SENTINEL) | (val == 99)), f"{key} was written"


@pytest.mark.parametrize("intercept", [True, False], ids=["intercept", "no-intercept"])
@pytest.mark.parametrize("name, arg", list(buffer_cases()))
def test_wrong_size_names_argument_and_size(name, arg, intercept):
    Z, y = data(10, 12, 3)
    _, kw = call(name, Z, y, intercept)  # a valid call gives the sizes
    need = kw[arg].size
    for bad_size in (need + 1, max(need - 1, 0)) if need else (1,):
        bad = np.full(bad_size, SENTINEL, dtype=kw[arg].dtype)
        args = dict(SCALARS[name])
        args.update(buffers(name, 12, 3 + intercept, 3, len(args.get("alphas", ())),
                            args.get("max_iter", 50)))
        args[arg] = bad
        with pytest.raises(ValueError) as info:
            getattr(reg, name)(Z, y, intercept=intercept, **args)
        msg = str(info.value)
        assert msg.startswith(f"{name}(): {arg} must have ") and f"= {need} elements" in msg
        assert msg.endswith(f"got {bad_size}")
        _assert_untouched(args, arg)


BAD_BUFFERS = {
    "float32": lambda a: a.astype(np.float32) if a.dtype == np.float64 else a.astype(np.float64),
    "int dtype": lambda a: a.astype(np.int32),
    "two-dimensional": lambda a: a.reshape(1, -1),
    "strided": lambda a: np.repeat(a, 2)[::2],
    "read-only": lambda a: _readonly(a),
}


def _readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("defect", BAD_BUFFERS, ids=list(BAD_BUFFERS))
@pytest.mark.parametrize("name, arg", list(buffer_cases()))
def test_bad_buffer_names_argument_and_size(name, arg, defect):
    Z, y = data(11, 12, 3)
    _, kw = call(name, Z, y)
    need = kw[arg].size if arg != "alphas" else None
    if need is not None and need < 2 and defect == "strided":
        pytest.skip("a strided view of fewer than two elements is contiguous")
    args = dict(SCALARS[name])
    args.update(buffers(name, 12, 4, 3, len(args.get("alphas", ())), args.get("max_iter", 50)))
    args[arg] = BAD_BUFFERS[defect](args[arg])
    with pytest.raises(ValueError) as info:
        getattr(reg, name)(Z, y, **args)
    msg = str(info.value)
    kind = "int64" if arg == "statuses" else "float64"
    assert msg.startswith(f"{name}(): {arg} must be a writable, C-contiguous, "
                          f"one-dimensional {kind} array of ")
    assert f"= {need} elements (" in msg
    _assert_untouched(args, arg)


@pytest.mark.parametrize("name", ["ridge_gs_fit", "lasso_gs_fit", "elastic_net_gs_fit"])
def test_bad_alphas(name):
    Z, y = data(12, 12, 3)
    _, kw = call(name, Z, y)
    for bad in (ALPHAS.astype(np.float32), ALPHAS.reshape(2, 2), np.repeat(ALPHAS, 2)[::2]):
        kw["alphas"] = bad
        with pytest.raises(ValueError, match=rf"^{name}\(\): alphas must be a writable, "
                                             r"C-contiguous, one-dimensional float64 array \("):
            getattr(reg, name)(Z, y, **kw)


@pytest.mark.parametrize("value", [None, [0.0, 0.0, 0.0, 0.0], "abcd"])
def test_non_buffer_is_type_error(value):
    Z, y = data(13, 10, 3)
    _, kw = call("ols_fit", Z, y)
    kw["coef"] = value
    with pytest.raises(TypeError, match=r"^ols_fit\(\): coef must be a writable, C-contiguous, "
                                        r"one-dimensional float64 array of p = 4 elements"):
        reg.ols_fit(Z, y, **kw)


@pytest.mark.parametrize("name, n_alphas, intercept", [
    ("lasso_gs_fit", 0, True), ("lasso_gs_fit", 3, False),
    ("elastic_net_gs_fit", 0, False), ("elastic_net_gs_fit", 5, True)])
def test_grid_sizes_follow_n_alphas_and_p_prime(name, n_alphas, intercept):
    Z, y = data(14, 15, 3)
    alphas = np.linspace(0.5, 0.01, n_alphas)
    k = Z.shape[1]
    (_, _, status), kw = call(name, Z, y, intercept, alphas=alphas,
                              **buffers(name, 15, k + intercept, k, n_alphas))
    assert status == (0 if n_alphas else NO_CONV)
    bigger = buffers(name, 15, k + intercept, k + 1, n_alphas)  # p' counted with intercept
    if n_alphas:
        with pytest.raises(ValueError, match="beta_grid must have n_alphas"):
            call(name, Z, y, intercept, alphas=alphas, beta_grid=bigger["beta_grid"])


def test_negative_step_cap_needs_one_knot():
    Z, y = data(15, 15, 3)
    kw = buffers("lasso_gs_fit", 15, 4, 3, len(ALPHAS), max_iter=-3)
    assert kw["lam_path"].size == 1
    (rss, _, status), kw = call("lasso_gs_fit", Z, y, max_iter=-3, **kw)
    assert status == NO_CONV and np.isnan(rss)


@pytest.mark.parametrize("first, second", [("L", "G"), ("g", "work"), ("coef", "se")])
def test_shared_memory_is_rejected(first, second):
    Z, y = data(16, 10, 3)
    _, kw = call("ols_fit", Z, y)
    kw[second] = kw[first] if kw[first].size == kw[second].size else kw[second]
    with pytest.raises(ValueError, match=f"{first} and {second} share memory"):
        reg.ols_fit(Z, y, **kw)


def test_read_only_inputs_may_share_memory():
    # alphas is only read: it may alias y (or X) without harm.
    Z, y = data(18, 10, 3)
    y[:4] = ALPHAS
    _, kw = call("ridge_gs_fit", Z, y)
    kw["alphas"] = y[:4]
    assert reg.ridge_gs_fit(Z, y, **kw)[2] == 0


def test_output_overlapping_the_data_is_rejected():
    Z, y = data(17, 10, 3)
    _, kw = call("ols_fit", Z, y, False)
    flat = np.ascontiguousarray(Z).ravel()
    Zv = flat.reshape(Z.shape)
    kw["coef"] = flat[:3]
    with pytest.raises(ValueError, match="X and coef share memory"):
        reg.ols_fit(Zv, y, intercept=False, **kw)
    kw = call("ols_fit", Z, y, False)[1]
    kw["g"] = y[:3]
    with pytest.raises(ValueError, match="y and g share memory"):
        reg.ols_fit(Z, y, intercept=False, **kw)


# ---- the interpreter lock ----------------------------------------------------------


def test_kernel_runs_without_the_interpreter_lock():
    # A lasso with tol = 0 sweeps max_iter times; while it runs in one thread,
    # another Python thread must keep running.
    Z, y = data(18, 200, 40, corr=0.5)
    _, kw = call("lasso_fit", Z, y)
    kw.update(tol=0.0, max_iter=20000)
    t0 = time.perf_counter()
    assert reg.lasso_fit(Z, y, **kw)[2] == NO_CONV
    per_sweep = (time.perf_counter() - t0) / 20000
    kw["max_iter"] = int(min(0.5 / per_sweep, 5e8))
    done = threading.Event()
    ticks = []

    def fit():
        reg.lasso_fit(Z, y, **kw)
        done.set()

    worker = threading.Thread(target=fit)
    worker.start()
    while not done.is_set():
        ticks.append(time.perf_counter())
        time.sleep(0.001)
    worker.join()
    assert len(ticks) >= 20, f"main thread ran only {len(ticks)} times during the fit"
