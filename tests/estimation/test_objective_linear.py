"""Linear objective against an independent SciPy/NumPy pipeline; covariance
descriptions; failure paths and their counting; priors; scatter; repeated
evaluations; record layouts and exports."""

import ctypes
import importlib
import shutil
import subprocess
from types import SimpleNamespace

import numpy as np
import pytest

from Corvane._bridge import objective as O
from Corvane._bridge.examples import example_model
from Corvane._ckernels import ffi

import objective_reference as ref

T = 120
TRUE = np.array([0.33, 0.99, 0.025, 1.8, 0.95, 0.007])
SD_MEAS = (0.004, 0.003)
THETAS = [
    np.array([np.log(0.95 / 0.05), np.log(0.007), np.log(0.004), np.log(0.003)]),
    np.array([1.2, np.log(0.012), np.log(0.002), np.log(0.006)]),
    np.array([4.0, np.log(0.004), np.log(0.01), np.log(0.001)]),
]
SCATTER = [(0, 4, 4, (0, 0, 0)), (1, 5, 2, (0, 0, 0)), (2, 6, 2, (0, 0, 0)),
           (3, 7, 2, (0, 0, 0))]
P0 = 1e-4 * np.eye(6) + 1e-5
P0_UKF = 1e-4 * np.eye(4) + 1e-5  # covariance of (x^f, x^s)


@pytest.fixture(scope="module")
def lib():
    return ffi.load("beliefplan")


@pytest.fixture(scope="module")
def rbc():
    return example_model("rbc")


@pytest.fixture(scope="module")
def data():
    return ref.simulate_rbc(TRUE, SD_MEAS, T, seed=7)


def build(lib, model, data, kind="linear", shock=None, obs=None, plan=None, **kw):
    return O.Objective(lib, model, data, kw.pop("scatter", SCATTER),
                       shock or O.cov_pairs([5]), obs or O.cov_pairs([6, 7]), kind=kind,
                       extra_params=kw.pop("extra_params", SD_MEAS), plan=plan,
                       P0=P0_UKF if kind == "unscented" else P0, **kw)


def params_of(theta):
    p = TRUE.copy()
    p[4] = ref.logistic(theta[0])
    p[5] = np.exp(theta[1])
    return p, np.exp(theta[2:4])


def reference_loglik(theta, data, H=None):
    p, sd = params_of(theta)
    ss, A, R = ref.rbc_solution(p)
    d, Z = ref.log_observation(ss)
    H = np.diag(sd**2) if H is None else H
    return ref.kalman_loglik(A, R, np.array([[p[5] ** 2]]), Z, d, H, data, np.zeros(6), P0)


@pytest.mark.parametrize("theta", THETAS, ids=["true", "mid", "far"])
def test_linear_objective_matches_independent_pipeline(lib, rbc, data, theta):
    obj = build(lib, rbc, data, plan=ref.plan_arrays())
    expected_ll = reference_loglik(theta, data)
    expected_lp = ref.prior_logdensity(theta)
    assert obj(theta) == pytest.approx(expected_ll, rel=1e-9)
    assert obj(theta, with_prior=True) == pytest.approx(expected_ll + expected_lp, rel=1e-9)
    assert obj.logprior(theta) == pytest.approx(expected_lp, rel=1e-12)
    p, sd = params_of(theta)
    np.testing.assert_allclose(obj.params, np.concatenate([p, sd]), rtol=1e-15)
    ss = ref.models.rbc_steady_state(*p[:4])
    d, Z = ref.log_observation(ss)
    np.testing.assert_allclose(obj.obs_intercept, d, rtol=1e-12)
    np.testing.assert_allclose(obj.design, Z, rtol=1e-12)
    assert obj.solve_failures == 0


def test_prior_needs_has_prior_only_in_logprior_at(lib, rbc, data):
    """crv_logprior_at is 0 without a plan; the posterior adds the plan
    whatever has_prior says, and an empty plan adds exactly 0."""
    theta = THETAS[1]
    obj = build(lib, rbc, data)
    assert obj.logprior(theta) == 0.0
    assert obj(theta, with_prior=True) == obj(theta)
    empty = build(lib, rbc, data, plan={})
    assert empty.record.has_prior == 1
    assert empty.logprior(theta) == 0.0
    assert empty.post(theta) == empty(theta)
    with_plan = build(lib, rbc, data, plan=ref.plan_arrays())
    with_plan.record.has_prior = 0
    assert with_plan.logprior(theta) == 0.0
    assert with_plan.post(theta) == pytest.approx(with_plan(theta) + ref.prior_logdensity(theta),
                                                  rel=1e-12)


# ---- covariance specifications ----------------------------------------------------

def corr2(r):
    return np.array([[1.0, r], [r, 1.0]])


@pytest.mark.parametrize("kind", ["fixed", "pairs", "cpc", "pairs_no_corr"])
def test_measurement_covariance_kinds(lib, rbc, data, kind):
    theta = np.append(THETAS[1], 0.4)  # theta[4]: unconstrained correlation (cpc)
    sd = np.exp(theta[2:4])
    if kind == "fixed":
        H = np.array([[2e-5, 4e-6], [4e-6, 1e-5]])
        cov = O.cov_fixed(H)
    elif kind == "pairs":
        H = np.outer(sd, sd) * corr2(-0.3)
        cov = O.cov_pairs([6, 7], pairs=[(1, 0, 8)])
    elif kind == "cpc":
        H = np.outer(sd, sd) * corr2(np.tanh(0.4))
        cov = O.cov_cpc([6, 7], offset=4)
    else:
        H = np.diag(sd**2)
        cov = O.cov_pairs([6, 7])
    obj = build(lib, rbc, data, obs=cov, extra_params=list(SD_MEAS) + [-0.3])
    value = obj(theta)
    assert value == pytest.approx(reference_loglik(theta, data, H), rel=1e-9)
    if kind != "fixed":
        np.testing.assert_allclose(obj.obs_cov, H, rtol=1e-14)
        assert np.all(obj.obs_cov == obj.obs_cov.T)


def test_shock_covariance_cpc_with_one_shock_reads_no_theta(lib, rbc, data):
    """K = 1: S = sd^2 and no correlation value is read from theta."""
    theta = np.append(THETAS[0], np.nan)
    obj = build(lib, rbc, data, shock=O.cov_cpc([5], offset=4))
    assert obj(theta) == pytest.approx(reference_loglik(THETAS[0], data), rel=1e-9)
    assert obj.shock_cov[0, 0] == np.exp(theta[1]) ** 2


def test_fixed_shock_covariance_ignores_sd_parameter(lib, rbc, data):
    theta = THETAS[0]
    fixed = build(lib, rbc, data, shock=O.cov_fixed([[0.007**2]]))
    moved = theta.copy()
    moved[1] = np.log(0.02)  # sigma_e moves, the fixed S does not
    assert fixed(moved) == pytest.approx(reference_loglik(theta, data), rel=1e-9)


# ---- failures ------------------------------------------------------------------------

def rho_scatter(code):
    return [(0, 4, code, (0, 0, 0))] + SCATTER[1:]


def test_unstable_solution_is_counted_and_infinite(lib, rbc, data):
    """rho > 1: one stable root too few (bk = -1); counted once per evaluation."""
    obj = build(lib, rbc, data, scatter=rho_scatter(1), plan=ref.plan_arrays())
    theta = THETAS[0].copy()
    theta[0] = 1.02
    for i in range(1, 4):
        assert obj(theta) == -np.inf
        assert obj.solve_failures == i
    assert obj.record.solution.bk == -1
    assert obj.minimise_ll(theta) == np.inf
    assert obj.minimise_lp(theta) == np.inf
    assert obj.post(theta) == -np.inf
    assert obj.solve_failures == 6


def python_model(kind):
    """A Python example model in the shape the builder reads, observed
    through its first variable."""
    model = ref.models.linear(kind)

    def observe(x, params, out):
        out[0] = x[0]

    def jacobian(x, params, out):
        for j in range(model.n):
            out[j] = 1.0 if j == 0 else 0.0

    callbacks = [ffi.filters.OBS_FN(observe), ffi.filters.OBS_FN(jacobian)]
    addresses = tuple(ctypes.cast(cb, ctypes.c_void_p).value for cb in callbacks)
    residual = ctypes.cast(model.residual_callback(), ctypes.c_void_p).value
    return SimpleNamespace(n=model.n, nx=model.nx, ny=model.ny, m=model.m, params=model.params,
                           flags=model.flags, x_guess=model.x_guess, residual=residual,
                           hessian=None, observation=lambda kind: addresses,
                           keep=(model, callbacks))


@pytest.mark.parametrize("kind,bk", [("indeterminate", 1), ("explosive", -1), ("forward", 2)])
def test_rejected_solutions_of_small_models_are_counted(lib, kind, bk):
    """bk = 1 (too many stable roots), bk = -1 (too few) and -505 (no state
    variable, bk = 2) are each counted once per evaluation."""
    model = python_model(kind)
    data = np.random.default_rng(0).standard_normal((10, 1))
    p = len(model.params)
    obj = O.Objective(lib, model, data, [(0, 0, 1, (0, 0, 0))], O.cov_fixed([[1.0]]),
                      O.cov_fixed([[0.5]]), P0=np.eye(model.n))
    theta = model.params[:1].copy()
    for i in (1, 2):
        assert obj(theta) == -np.inf
        assert obj.solve_failures == i
    assert obj.record.solution.bk == bk
    assert obj.minimise_ll(theta) == np.inf
    assert obj.record.p == p


def test_steady_state_failure_is_infinite_but_not_counted(lib, rbc, data):
    """An invalid transform code gives a NaN parameter: the Newton iteration
    fails (-502), which is not a counted failure."""
    obj = build(lib, rbc, data, scatter=rho_scatter(0))
    assert obj(THETAS[0]) == -np.inf
    assert obj.minimise_ll(THETAS[0]) == np.inf
    assert obj.solve_failures == 0


def test_filter_failure_is_infinite_but_not_counted(lib, rbc, data):
    """H = 0 and P0 = 0: F is zero in period 0 and the filter returns -1102."""
    obj = build(lib, rbc, data, obs=O.cov_fixed(np.zeros((2, 2))))
    obj.P0[...] = 0.0
    assert obj(THETAS[0]) == -np.inf
    assert obj.solve_failures == 0


def test_nan_prior_rejects_only_the_posterior(lib, rbc, data):
    """A prior outside its support: posterior -inf, min_lp +inf, min_ll finite."""
    plan = ref.plan_arrays()
    plan["scalar_dist_codes"] = [9, 8, 8, 8]
    plan["scalar_dist_params"][0, :3] = [0.0, 0.5, 0.5]  # uniform on [0, 0.5], rho = 0.95
    obj = build(lib, rbc, data, plan=plan)
    theta = THETAS[0]
    assert obj.post(theta) == -np.inf
    assert obj.minimise_lp(theta) == np.inf
    assert obj.minimise_ll(theta) == pytest.approx(-reference_loglik(theta, data), rel=1e-9)
    assert np.isnan(obj.logprior(theta))
    assert obj.solve_failures == 0


def test_repeated_evaluations_identical_and_recover_after_failure(lib, rbc, data):
    obj = build(lib, rbc, data, scatter=rho_scatter(1), plan=ref.plan_arrays())
    good = THETAS[1].copy()
    good[0] = 0.9
    bad = good.copy()
    bad[0] = 1.05
    nan = good.copy()
    nan[2] = np.nan
    first = obj(good, with_prior=True)
    assert np.isfinite(first)
    assert obj(bad, with_prior=True) == -np.inf
    assert obj(nan, with_prior=True) == -np.inf
    assert obj(good, with_prior=True) == first
    # garbage in every scratch array and arena changes nothing
    for a in (obj.filter_arena, obj.solve_arena, obj.design, obj.obs_intercept,
              *obj.scratch.values(), *obj.solution.values()):
        a.fill(np.nan)
    obj.solve_iarena.fill(-(2**62))
    assert obj(good, with_prior=True) == first
    assert obj.solve_failures == 1


# ---- scatter and small kernels ----------------------------------------------------------

def test_scatter_params_transforms(lib, rbc, data):
    rows = [(0, 0, 1, (0, 0, 0)), (1, 1, 2, (0, 0, 0)), (2, 2, 4, (0, 0, 0)),
            (3, 3, 6, (0.5, 9.0, 2.0)), (4, 4, 8, (1.5, 0, 0)), (5, 5, 9, (-1.0, 0, 0)),
            (6, 6, 10, (0, 0, 0)), (2, 7, 3, (0, 0, 0))]
    obj = build(lib, rbc, data, scatter=rows)
    z = np.array([0.3, -1.2, 0.7, -0.4, 0.2, 1.1, -0.8])
    got = obj.scatter_params(z)
    expected = [z[0], np.exp(z[1]), ref.logistic(z[2]), 0.5 + 2.0 * ref.logistic(z[3]),
                1.5 + np.exp(z[4]), -1.0 - np.exp(z[5]), np.tanh(z[6]), np.log1p(np.exp(z[2]))]
    np.testing.assert_allclose(got, expected, rtol=1e-15)


def test_scatter_writes_only_mapped_parameters(lib, rbc, data):
    obj = build(lib, rbc, data, scatter=[(1, 4, 1, (0, 0, 0))])
    before = obj.params.copy()
    obj.scatter_params(np.array([9.0, 0.5]))
    expected = before.copy()
    expected[4] = 0.5
    assert np.array_equal(obj.params, expected)


@pytest.mark.parametrize("n", [0, 1, 7])
def test_init_params_copies_n_values(lib, n):
    src = np.arange(1.0, 8.0)
    dst = np.full(8, -1.0)
    lib.crv_init_params(dst, src, n)
    assert np.array_equal(dst[:n], src[:n])
    assert np.all(dst[n:] == -1.0)


# ---- layouts and exports -----------------------------------------------------------------

def field_offset(k):
    """Byte offset of field k (1-based) of the objective records, k <= 73."""
    return 8 * (k - 1)


@pytest.mark.parametrize("record", [ffi.objective.crv_objective, ffi.objective.crv_objective_unscented])
def test_objective_record_layout(record):
    named = {"n": 2, "n_periods": 8, "residual": 9, "hessian": 10, "obs_jac": 15, "x0": 20,
             "jitter": 21, "symmetrize": 22, "scatter": 24, "n_scatter": 25, "shock_spec": 26,
             "obs_spec": 37, "has_prior": 48, "plan": 49, "params": 61, "shock_cov": 62,
             "obs_cov": 64, "obs_sd": 68, "filter_arena": 69, "solve_failures": 72,
             "solution": 73}
    for name, k in named.items():
        assert getattr(record, name).offset == field_offset(k), name
    assert ctypes.sizeof(ffi.objective.crv_cov_spec) == 88
    assert ffi.objective.crv_cov_spec.n_pairs.offset == 80
    assert ffi.objective.crv_belief_plan.n_blocks.offset == 88
    if record is ffi.objective.crv_objective:
        assert ctypes.sizeof(record) == 752
        assert record.design.offset == 728 and record.reserved3.offset == 744
    else:
        assert ctypes.sizeof(record) == 840
        assert record.second.offset == 728 and record.ukf_x0.offset == 808
        assert record.ukf_alpha.offset == 816 and record.ukf_kappa.offset == 832


OBJECTIVE_KERNELS = [
    "crv_obj_linear", "crv_obj_extended", "crv_obj_unscented",
    "crv_min_linear_ll", "crv_min_extended_ll", "crv_min_unscented_ll",
    "crv_min_linear_lp", "crv_min_extended_lp", "crv_min_unscented_lp",
    "crv_post_linear", "crv_post_extended", "crv_post_unscented",
    "crv_logprior_at", "crv_scatter_params", "crv_init_params",
]


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_beliefplan_module_exports_the_objectives():
    path = importlib.import_module(ffi.MODULES["beliefplan"][0]).__file__
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                         check=True).stdout
    exported = {line.split()[-1] for line in out.splitlines() if line.strip()}
    assert set(OBJECTIVE_KERNELS) <= exported
