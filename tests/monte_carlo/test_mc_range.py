"""Replication ranges (crv_mc_run_range): any split of an experiment into
ranges, run as separate jobs on any thread count, gives exactly the rows,
failures and statuses of the whole run with crv_mc_run. The reference is the
whole run itself plus the job's definition (which replications fail)."""

import ctypes

import numpy as np
import pytest

from Corvane._bridge import mcjob
from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import mc

INVALID = -1201
N = 23
T, n, m = 12, 3, 2
FAILS = {4, 5, 17}  # global replications the checking stage fails


@pytest.fixture(scope="module")
def lib():
    return ffi.load("regression")


def stages(lib, rng=None):
    """Keyed shocks -> order-1 simulation, a per-replication payload (its rows
    read by the global index), and a runner failing FAILS with status 40 + r."""
    rng = np.random.default_rng(5) if rng is None else rng
    A = 0.5 * np.eye(n) + 0.1 * rng.standard_normal((n, n))
    R = rng.standard_normal((n, m))
    shocks = mcjob.ShockSpec(T, m).normal(np.arange(m), np.eye(m), key=(11, 12))
    sim = mcjob.simulate_order1_stage(lib, T=T, n=n, m=m, shocks=shocks,
                                      arrays=dict(A=A, R=R, mu=np.ones(n), s0=np.zeros(n)))
    payload = mcjob.raw_model_data_stage(lib, np.arange(N * 2.0).reshape(N, 2))

    def check(rep, input_, out, work, iout, ctx):
        out[0] = float(rep)
        iout[0] = rep
        return 40 + rep if rep in FAILS else 0

    fn = mc.crv_mc_runner(check)
    checker = mcjob.Stage(fn, out_words=1, iout_words=1, keep=[fn])
    return [sim, payload, checker]


def run(lib, first, count, n_threads):
    job = mcjob.Job(stages(lib), count, n_threads, first=first)
    assert job.run(lib) == 0
    return job


def splits():
    one_each = [(r, 1) for r in range(N)]
    return {
        "whole": [(0, N)],
        "two": [(0, 9), (9, N - 9)],
        "uneven": [(0, 1), (1, 4), (5, 13), (18, 5)],
        "single replications": one_each,
        "reversed order": one_each[::-1],
    }


@pytest.fixture(scope="module")
def whole(lib):
    job = mcjob.Job(stages(lib), N, 2)
    assert job.run(lib) == 0
    return job


@pytest.mark.parametrize("n_threads", (1, 3))
@pytest.mark.parametrize("name", list(splits()))
def test_split_runs_equal_the_whole_run(lib, whole, name, n_threads):
    parts = [run(lib, first, count, n_threads) for first, count in splits()[name]]
    order = np.argsort([first for first, _ in splits()[name]])
    parts = [parts[i] for i in order]
    for s in range(3):
        got = np.concatenate([p.stages[s].results for p in parts])
        np.testing.assert_array_equal(got.view(np.int64), whole.stages[s].results.view(np.int64))
        np.testing.assert_array_equal(np.concatenate([p.stages[s].iresults for p in parts]),
                                      whole.stages[s].iresults)
    np.testing.assert_array_equal(np.concatenate([p.failed_stage for p in parts]),
                                  whole.failed_stage)
    np.testing.assert_array_equal(np.concatenate([p.status for p in parts]), whole.status)


def test_whole_run_follows_the_job(whole):
    failed = np.array([2 if r in FAILS else -1 for r in range(N)])
    np.testing.assert_array_equal(whole.failed_stage, failed)
    np.testing.assert_array_equal(whole.status, [40 + r if r in FAILS else 0 for r in range(N)])
    ok = failed == -1
    np.testing.assert_array_equal(whole.stages[1].results[ok],
                                  np.arange(N * 2.0).reshape(N, 2)[ok])
    assert np.isnan(whole.stages[0].results[~ok]).all()
    # Every replication's path differs: the shocks follow the replication.
    paths = whole.stages[0].results[ok]
    assert len(np.unique(paths[:, 0])) == ok.sum()


def test_range_reports_the_global_replication_that_halted(lib):
    job = mcjob.Job(stages(lib), 10, 1, first=10, stop_on_error=True)
    assert job.run(lib) == 1
    assert (job.record.first_failed_rep, job.record.first_failed_stage,
            job.record.first_failed_status) == (17, 2, 57)
    assert list(job.failed_stage[:7]) == [-1] * 7 and job.failed_stage[7] == 2
    assert (job.failed_stage[8:] == np.iinfo(np.int64).min).all()


def test_a_range_shorter_than_the_job_leaves_later_entries(lib):
    job = mcjob.Job(stages(lib), 6, 2)
    job.failed_stage[:] = 99
    assert lib.crv_mc_run_range(ctypes.byref(job.record), 3, 4) == 0
    assert list(job.failed_stage) == [-1, 2, 2, -1, 99, 99]


@pytest.mark.parametrize("first, count", [(-1, 3), (0, 0), (0, 7), (2**63 - 2, 3)])
def test_invalid_ranges(lib, first, count):
    job = mcjob.Job(stages(lib), 6, 1)
    job.failed_stage[:] = 99
    assert lib.crv_mc_run_range(ctypes.byref(job.record), first, count) == INVALID
    assert (job.failed_stage == 99).all()
    assert lib.crv_mc_run_range(None, 0, 1) == INVALID
