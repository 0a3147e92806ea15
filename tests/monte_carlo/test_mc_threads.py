"""Thread-count independence of whole Monte Carlo chains built from the
library's runners: draw shocks, simulate, filter. Results of 1, 2 and 4
threads must agree bit for bit, and every replication must equal the same
chain done by hand with the step functions."""

import ctypes

import numpy as np
import pytest

from Corvane._bridge import mcjob
from Corvane._ckernels.ffi import filters

THREADS = (1, 2, 4)


def stable(rng, n, radius=0.9):
    A = rng.standard_normal((n, n))
    return radius * A / max(abs(np.linalg.eigvals(A)))


def spd(rng, n, scale=0.1):
    a = rng.standard_normal((n, n))
    return scale * (a @ a.T) + scale * np.eye(n)


class LinearChain:
    """Order-1 simulation from keyed normal shocks, then the linear filter on
    a subset of the simulated states observed with noise."""

    def __init__(self, rng, n=4, m=2, T=30, obs_cols=(0, 2)):
        self.n, self.m, self.T = n, m, T
        self.obs_cols = np.array(obs_cols, dtype=np.int64)
        k = len(obs_cols)
        self.A, self.R = stable(rng, n), rng.standard_normal((n, m))
        self.loading = np.linalg.cholesky(spd(rng, m, 1.0))
        self.Z = np.eye(n)[self.obs_cols]
        self.H = 0.01 * np.eye(k)
        self.k_obs = k

    def shocks(self):
        return mcjob.ShockSpec(self.T, self.m).normal(np.arange(self.m), self.loading,
                                                      key=(2026, 12))

    def stages(self, lib):
        n, m, T, k = self.n, self.m, self.T, self.k_obs
        sim = mcjob.simulate_order1_stage(
            lib, T=T, n=n, m=m, shocks=self.shocks(),
            arrays=dict(A=self.A, R=self.R, mu=np.zeros(n), s0=np.zeros(n)))
        filt = mcjob.filter_linear_stage(
            lib, T=T, n=n, m=k, k=m,
            arrays=dict(A=self.A, B=self.R, Z=self.Z, d=np.zeros(k),
                        S=self.loading @ self.loading.T, H=self.H, x0=np.zeros(n),
                        P0=np.eye(n)))
        data_at = filt.input_layout["data"][0]
        filt.bind(mcjob.Binding(0, data_at, T, self.obs_cols, src_row_len=n))
        return [sim, filt]

    def by_hand(self, lib, rep):
        n, m, T, k = self.n, self.m, self.T, self.k_obs
        plan = self.shocks()
        E = np.empty((T, m))
        lib.crv_mc_shock_draw(ctypes.byref(plan.build()), rep, np.empty(plan.scratch_words), E)
        sim_in = np.concatenate([self.A.ravel(), self.R.ravel(), np.zeros(2 * n), E.ravel(),
                                 np.zeros(2 * n)])
        states = np.empty(T * n)
        lib.crv_simulate_order1_step(sim_in, filters.OBS_FN(), T, n, m, 0, 0, states)
        data = states.reshape(T, n)[:, self.obs_cols]
        model = np.concatenate([a.ravel() for a in (
            self.A, self.R, self.Z, np.zeros(k), self.loading @ self.loading.T, self.H, data,
            np.zeros(n), np.eye(n))])
        out = np.empty(lib.crv_filter_linear_output_arena_size(n, k, m, T, 0))
        arena = np.empty(lib.kf_arena_size(n, k, m).doubles)
        assert lib.crv_filter_linear_step(model, arena, T, n, k, m, 1, 0, 0.0, out) == 0
        return states, out


def run_chain(lib, stages, n_reps, n_threads):
    job = mcjob.Job(stages, n_reps, n_threads, timing=True)
    assert job.run(lib) == 0
    return job


def test_linear_chain_is_bit_identical_across_thread_counts(lib, rng):
    chain = LinearChain(rng)
    n_reps = 64
    jobs = {t: run_chain(lib, chain.stages(lib), n_reps, t) for t in THREADS}
    for t, job in jobs.items():
        np.testing.assert_array_equal(job.failed_stage, -1)
        # The static schedule gave every thread a share of the replications.
        assert (job.stage_calls[:, 0] > 0).all(), f"{t} threads: idle thread"
        assert job.stage_calls.sum(axis=0).tolist() == [n_reps, n_reps]
    ref = jobs[1]
    for t in THREADS[1:]:
        for s, (a, b) in enumerate(zip(ref.stages, jobs[t].stages)):
            assert a.results.tobytes() == b.results.tobytes(), \
                f"stage {s} results differ between 1 and {t} threads"
            assert a.iresults.tobytes() == b.iresults.tobytes()
    # Every replication is the chain done by hand; distinct replications
    # draw distinct shocks.
    for rep in (0, 17, n_reps - 1):
        states, filtered = chain.by_hand(lib, rep)
        np.testing.assert_array_equal(ref.stages[0].results[rep], states)
        np.testing.assert_array_equal(ref.stages[1].results[rep], filtered)
    loglik = ref.stages[1].results[:, -1]
    assert np.isfinite(loglik).all() and len(np.unique(loglik)) == n_reps


def affine_callback(lib, q, k):
    """obs_fn: Z v + d with Z (k x q), d (k) at the start of the parameter block."""
    _dp = ctypes.POINTER(ctypes.c_double)

    def raw(v_ptr, p_ptr, y_ptr):
        d_ptr = ctypes.cast(ctypes.addressof(p_ptr.contents) + 8 * k * q, _dp)
        lib.crv_affine_observations(v_ptr, p_ptr, d_ptr, y_ptr, 1, k, q)

    return filters.OBS_FN(raw)


def test_pruned_chain_with_unscented_filter_is_bit_identical(lib, rng):
    nx, ny, m, k, T, n_reps = 2, 1, 1, 2, 12, 16
    q = nx + ny
    so = 0.1
    blocks = dict(h_x=stable(rng, nx, 0.8), g_x=rng.standard_normal((ny, nx)),
                  R=rng.standard_normal((q, m)),
                  h_xx=so * rng.standard_normal((nx, nx * nx)),
                  g_xx=so * rng.standard_normal((ny, nx * nx)),
                  h_xe=so * rng.standard_normal((nx, nx * m)),
                  g_xe=so * rng.standard_normal((ny, nx * m)),
                  h_ee=so * rng.standard_normal((nx, m * m)),
                  g_ee=so * rng.standard_normal((ny, m * m)),
                  h_ss=so * rng.standard_normal(nx), g_ss=so * rng.standard_normal(ny))
    Z, d = rng.standard_normal((k, q)), np.zeros(k)
    params = np.concatenate([Z.ravel(), d])
    obs = affine_callback(lib, q, k)

    def stages():
        plan = mcjob.ShockSpec(T, m).normal([0], [[1.0]], key=(5, 6))
        sim = mcjob.simulate_order2_stage(
            lib, T=T, nx=nx, ny=ny, m=m, n_params=params.size, n_obs=k, obs_fn=obs,
            shocks=plan, arrays=dict(blocks, offset=np.zeros(q), x0=np.zeros(nx),
                                     params=params))
        names = ("hx", "gx", "impact", "h_xx", "g_xx", "h_xe", "g_xe", "h_ee", "g_ee", "h_ss",
                 "g_ss")
        filt = mcjob.filter_unscented_stage(
            lib, T=T, nx=nx, ny=ny, m=m, k=k, obs_fn=obs, n_params=params.size,
            arrays=dict(zip(names, blocks.values()), ss=np.zeros(q), params=params,
                        S=np.eye(m), H=0.05 * np.eye(k), x0=np.zeros(2 * nx),
                        P0=0.1 * np.eye(2 * nx)))
        filt.bind(mcjob.Binding.stage(0, T * q, T * k, filt.input_layout["data"][0]))
        return [sim, filt]

    jobs = {t: run_chain(lib, stages(), n_reps, t) for t in THREADS}
    ref = jobs[1]
    np.testing.assert_array_equal(ref.failed_stage, -1)
    for t in THREADS[1:]:
        for a, b in zip(ref.stages, jobs[t].stages):
            assert a.results.tobytes() == b.results.tobytes(), f"1 and {t} threads differ"
    sim_out = mcjob.split_output(ref.stages[0].layout, ref.stages[0].results)
    filt_out = ref.stages[1].output()
    # The filter saw the simulated observations of its own replication.
    np.testing.assert_allclose(filt_out["innov"] + filt_out["y_pred"], sim_out["obs"],
                               rtol=1e-14, atol=1e-14)
    np.testing.assert_allclose(sim_out["obs"], sim_out["states"] @ Z.T, rtol=1e-12, atol=1e-14)
    assert np.isfinite(filt_out["loglik"]).all()


@pytest.mark.parametrize("n_threads", [2, 3])
def test_more_threads_than_replications(lib, rng, n_threads):
    chain = LinearChain(rng, T=8)
    one = run_chain(lib, chain.stages(lib), 1, 1)
    many = run_chain(lib, chain.stages(lib), 1, n_threads)
    assert one.stages[1].results.tobytes() == many.stages[1].results.tobytes()
