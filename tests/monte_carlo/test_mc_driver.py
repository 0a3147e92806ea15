"""Monte Carlo driver: validation, bindings, result rows, failure handling,
halting, timing, thread-count independence; the shock draw and the payload
runner. Expected values come from NumPy (array slicing, NumPy's Philox and
Generator) or from the job's own definition, never from the driver."""

import ctypes
import threading

import numpy as np
import pytest

from Corvane._ckernels import ffi
from Corvane._ckernels.ffi import mc

INVALID = -1201
NEVER = np.iinfo(np.int64).min
_dp = ctypes.POINTER(ctypes.c_double)
_ip = ctypes.POINTER(ctypes.c_int64)


@pytest.fixture(scope="module")
def lib():
    return ffi.load("regression")


def dptr(a):
    return None if a is None else a.ctypes.data_as(_dp)


def iptr(a):
    return None if a is None else a.ctypes.data_as(_ip)


def python_runner(fn, stage):
    """A crv_mc_runner calling fn(rep, input, out, work, iout) with NumPy views
    of this thread's blocks (None where the driver passed null)."""

    def view(p, n):
        return np.ctypeslib.as_array(p, shape=(n,)) if p else None

    def call(rep, input_, out, work, iout, ctx):
        return fn(rep, view(input_, stage.in_words), view(out, stage.out_words),
                  view(work, stage.work_words), view(iout, stage.iout_words))

    return mc.crv_mc_runner(call)


class Stage:
    """One stage with its per-thread blocks, result tables and bindings; every
    buffer lives as long as the object."""

    def __init__(self, runner, n_threads, n_reps, in_words=0, work_words=0, out_words=0,
                 iout_words=0, ctx=None, bindings=(), row_map=None, n_rows=None):
        self.in_words, self.work_words = in_words, work_words
        self.out_words, self.iout_words = out_words, iout_words
        self.row_map = np.arange(n_reps, dtype=np.int64) if row_map is None else row_map
        n_rows = n_reps if n_rows is None else n_rows
        self.input = np.full(n_threads * in_words, -7.0) if in_words else None
        self.work = np.full(n_threads * work_words, -8.0) if work_words else None
        self.out = np.full(n_threads * out_words, -9.0) if out_words else None
        self.iout = np.full(n_threads * iout_words, -9, np.int64) if iout_words else None
        self.results = np.full((n_rows, out_words), 123.0) if out_words else None
        self.iresults = np.full((n_rows, iout_words), 123, np.int64) if iout_words else None
        self.bindings = (mc.crv_mc_binding * max(len(bindings), 1))(*bindings)
        self.binding_buffers = [b._keep for b in bindings]  # the arrays bindings point into
        self.n_bindings = len(bindings)
        if callable(runner) and not isinstance(runner, ctypes._CFuncPtr):
            runner = python_runner(runner, self)
        self.runner = runner
        self.ctx = ctx

    def record(self):
        return mc.crv_mc_stage(
            self.runner, dptr(self.input), dptr(self.work), dptr(self.out), iptr(self.iout),
            dptr(self.results), iptr(self.iresults), iptr(self.row_map), self.in_words,
            self.work_words, self.out_words, self.iout_words, self.out_words, self.iout_words,
            ctypes.cast(ctypes.pointer(self.ctx), ctypes.c_void_p) if self.ctx is not None
            else None,
            self.bindings if self.n_bindings else None, self.n_bindings)


class Job:
    def __init__(self, stages, n_reps, n_threads, stop_on_error=0, timing=0):
        self.stages = stages
        self.records = (mc.crv_mc_stage * len(stages))(*[s.record() for s in stages])
        self.failed_stage = np.full(n_reps, 555, np.int64)
        self.status = np.full(n_reps, 555, np.int64)
        cells = n_threads * len(stages)
        self.seconds = np.full(cells, -1.0)
        self.calls = np.full(cells, -1, np.int64)
        self.failures = np.full(cells, -1, np.int64)
        self.job = mc.crv_mc_job(
            self.records, len(stages), n_reps, n_threads, stop_on_error, 77, 77, 77, 77,
            iptr(self.failed_stage), iptr(self.status), timing, dptr(self.seconds),
            iptr(self.calls), iptr(self.failures))

    def run(self, lib):
        return lib.crv_mc_run(ctypes.byref(self.job))


def payload_stage(lib, data, n_threads, n_reps, **kw):
    """The library's payload runner copying row rep of data (n_reps x n)."""
    ctx = mc.crv_mc_payload(dptr(data), data.shape[1], 1)
    runner = ctypes.cast(lib.crv_mc_payload_runner, mc.crv_mc_runner)
    stage = Stage(runner, n_threads, n_reps, out_words=data.shape[1], iout_words=1, ctx=ctx, **kw)
    stage.data = data
    return stage


def binding(source=-1, src_offset=0, src_row_len=1, src_row0=0, n_rows=1, cols=None, n_cols=0,
            dst_offset=0, dst_stride=None, fill=0.0, table=None, table_rep_stride=0, per_rep=0):
    b = mc.crv_mc_binding(source, src_offset, src_row_len, src_row0, n_rows,
                          iptr(cols), n_cols, dst_offset,
                          n_cols if dst_stride is None else dst_stride, fill, dptr(table),
                          table_rep_stride, per_rep)
    b._keep = (cols, table)
    return b


def echo(rep, input_, out, work, iout):
    out[:] = input_[: len(out)]
    return 0


# --------------------------------------------------------------------------
# Validation

def _valid_job(lib, n_threads=2, n_reps=4):
    data = np.arange(n_reps * 3, dtype=float).reshape(n_reps, 3)
    s0 = payload_stage(lib, data, n_threads, n_reps)
    s1 = Stage(echo, n_threads, n_reps, in_words=3, work_words=2, out_words=3,
               bindings=[binding(source=0, src_row_len=3, cols=np.arange(3), n_cols=3)])
    return Job([s0, s1], n_reps, n_threads, timing=1)


def _null(field):
    return lambda job: setattr(job.job, field, None)


def _stage_null(field):
    return lambda job: setattr(job.records[1], field, None)


def _stage_set(field, value):
    return lambda job: setattr(job.records[1], field, value)


INVALID_JOBS = {
    "stages null": _null("stages"),
    "failed_stage null": _null("failed_stage"),
    "status null": _null("status"),
    "no stages": lambda job: setattr(job.job, "n_stages", 0),
    "no reps": lambda job: setattr(job.job, "n_reps", 0),
    "no threads": lambda job: setattr(job.job, "n_threads", 0),
    "threads above int32": lambda job: setattr(job.job, "n_threads", 2**31),
    "timing without seconds": _null("stage_seconds"),
    "timing without calls": _null("stage_calls"),
    "timing without failures": _null("stage_failures"),
    "runner null": _stage_set("runner", mc.crv_mc_runner()),
    "row_map null": _stage_null("row_map"),
    "out_count != out_words": _stage_set("out_count", 2),
    "iout_count != iout_words": _stage_set("iout_count", 1),
    "negative work words": _stage_set("work_words", -1),
    "negative n_bindings": _stage_set("n_bindings", -1),
    "bindings null": _stage_null("bindings"),
    "results null": _stage_null("results"),
    "out_base null": _stage_null("out_base"),
    "input_base null": _stage_null("input_base"),
    "work_base null": _stage_null("work_base"),
    "iresults null": lambda job: setattr(job.records[0], "iresults", None),
    "iout_base null": lambda job: setattr(job.records[0], "iout_base", None),
}


@pytest.mark.parametrize("mutate", INVALID_JOBS.values(), ids=INVALID_JOBS.keys())
def test_invalid_job_writes_nothing(lib, mutate):
    job = _valid_job(lib)
    mutate(job)
    snapshot = [a.copy() for a in (job.failed_stage, job.status, job.seconds, job.calls,
                                   job.failures, job.stages[0].results, job.stages[1].results)]
    assert job.run(lib) == INVALID
    for before, after in zip(snapshot, (job.failed_stage, job.status, job.seconds, job.calls,
                                        job.failures, job.stages[0].results,
                                        job.stages[1].results)):
        np.testing.assert_array_equal(before, after)
    assert (job.job.halted, job.job.first_failed_rep, job.job.first_failed_status) == (77, 77, 77)


def test_null_job_is_invalid(lib):
    assert lib.crv_mc_run(None) == INVALID


def test_timing_arrays_optional_without_timing(lib):
    job = _valid_job(lib)
    job.job.timing = 0
    job.job.stage_seconds = job.job.stage_calls = job.job.stage_failures = None
    assert job.run(lib) == 0
    np.testing.assert_array_equal(job.failed_stage, -1)


# --------------------------------------------------------------------------
# Result rows and bindings

@pytest.mark.parametrize("n_threads", [1, 2])
def test_rows_follow_row_map(lib, n_threads):
    n_reps = 7
    data = np.random.default_rng(1).standard_normal((n_reps, 4))
    row_map = np.array([3, -1, 0, 5, -1, 1, 2], dtype=np.int64)
    stage = payload_stage(lib, data, n_threads, n_reps, row_map=row_map, n_rows=6)
    job = Job([stage], n_reps, n_threads)
    assert job.run(lib) == 0
    np.testing.assert_array_equal(job.failed_stage, -1)
    np.testing.assert_array_equal(job.status, 0)
    kept = row_map >= 0
    np.testing.assert_array_equal(stage.results[row_map[kept]], data[kept])
    np.testing.assert_array_equal(stage.iresults[row_map[kept]], 0)
    np.testing.assert_array_equal(stage.results[4], 123.0)  # no replication maps here
    assert (job.job.halted, job.job.first_failed_rep, job.job.first_failed_stage,
            job.job.first_failed_status) == (0, -1, -1, 0)


def _table(n_reps):
    return np.arange(1000.0, 1000.0 + n_reps * 30).reshape(n_reps, 30)


# name -> (binding kwargs given data (n_reps x 6) and table, expected input of rep r)
def _binding_cases():
    cols = np.array([4, 0, 2], dtype=np.int64)
    return {
        "constant fill": (
            lambda table: dict(source=-1, n_rows=2, n_cols=3, dst_offset=1, dst_stride=4,
                               fill=2.5),
            lambda r, data, table, base: _put(base, 1, 4, np.full((2, 3), 2.5))),
        "stage rows and columns": (
            # stage 0's 6 outputs seen as 3 rows of 2, from element 0; rows 1..2, cols (1, 0)
            lambda table: dict(source=0, src_row_len=2, src_row0=1, n_rows=2,
                               cols=np.array([1, 0], dtype=np.int64), n_cols=2, dst_offset=3,
                               dst_stride=3),
            lambda r, data, table, base: _put(base, 3, 3,
                                              data[r].reshape(3, 2)[1:3][:, [1, 0]])),
        "stage with offset": (
            lambda table: dict(source=0, src_offset=1, src_row_len=5, n_rows=1, cols=cols,
                               n_cols=3),
            lambda r, data, table, base: _put(base, 0, 3, data[r][1:6][cols][None])),
        "shared table": (
            lambda table: dict(source=-2, src_offset=2, src_row_len=7, src_row0=1, n_rows=2,
                               cols=cols, n_cols=3, dst_offset=2, dst_stride=5, table=table),
            lambda r, data, table, base: _put(
                base, 2, 5, table.ravel()[2:23].reshape(3, 7)[1:3][:, cols])),
        "per-replication table": (
            lambda table: dict(source=-5, src_offset=1, src_row_len=4, n_rows=3, cols=cols[[1, 2]],
                               n_cols=2, table=table, table_rep_stride=30, per_rep=1),
            lambda r, data, table, base: _put(
                base, 0, 2, table.ravel()[30 * r + 1: 30 * r + 13].reshape(3, 4)[:, [0, 2]])),
    }


def _put(base, offset, stride, values):
    out = base.copy()
    for i, row in enumerate(values):
        out[offset + i * stride: offset + i * stride + len(row)] = row
    return out


@pytest.mark.parametrize("case", _binding_cases().values(), ids=_binding_cases().keys())
@pytest.mark.parametrize("n_threads", [1, 2])
def test_binding_copies(lib, case, n_threads):
    make, expect = case
    n_reps, in_words = 5, 12
    data = np.random.default_rng(2).standard_normal((n_reps, 6))
    table = _table(n_reps)
    s0 = payload_stage(lib, data, n_threads, n_reps)
    # A constant pre-fill binding, then the binding under test on top of it.
    s1 = Stage(echo, n_threads, n_reps, in_words=in_words, out_words=in_words,
               bindings=[binding(n_rows=1, n_cols=in_words, fill=-1.0),
                         binding(**make(table))])
    job = Job([s0, s1], n_reps, n_threads)
    assert job.run(lib) == 0
    np.testing.assert_array_equal(job.failed_stage, -1)
    for r in range(n_reps):
        np.testing.assert_array_equal(s1.results[r], expect(r, data, table, np.full(in_words, -1.0)),
                                      err_msg=f"input of replication {r}")


NOOP_BINDINGS = {
    "no rows, null cols, null table": dict(source=-2, n_rows=0, n_cols=3, dst_offset=50),
    "no columns, destination fits": dict(source=-2, n_rows=2, n_cols=0, dst_offset=2,
                                         dst_stride=3),
}


@pytest.mark.parametrize("kw", NOOP_BINDINGS.values(), ids=NOOP_BINDINGS.keys())
def test_empty_binding_copies_nothing(lib, kw):
    seen = []

    def record(rep, input_, out, work, iout):
        seen.append(input_.copy())
        return 0

    stage = Stage(record, 1, 2, in_words=8, bindings=[binding(**kw)])
    job = Job([stage], 2, 1)
    assert job.run(lib) == 0
    np.testing.assert_array_equal(job.failed_stage, -1)
    np.testing.assert_array_equal(np.array(seen), -7.0)


BAD_BINDINGS = {
    "negative rows": dict(n_rows=-1),
    "negative columns": dict(n_cols=-1, dst_stride=0),
    "negative destination": dict(dst_offset=-1),
    "stride below columns": dict(n_cols=3, dst_stride=2, cols=np.arange(3)),
    "destination past block": dict(n_rows=3, n_cols=2, dst_offset=1, dst_stride=3,
                                   cols=np.arange(2)),
    "destination overflows int64": dict(n_rows=2**62, n_cols=1, dst_stride=2**62,
                                        cols=np.arange(1)),
    "negative source offset": dict(src_offset=-1),
    "zero source row length": dict(src_row_len=0),
    "negative first row": dict(src_row0=-1),
    "null columns": dict(cols=None),
    "column at row length": dict(cols=np.array([0, 6])),
    "negative column": dict(cols=np.array([-1, 0])),
    "read past source stage": dict(src_offset=1),
    "later row past source stage": dict(src_row_len=3, n_rows=3, dst_stride=2),
    "source row overflows int64": dict(src_row0=2**62, src_row_len=4, cols=np.array([0, 1])),
    "current stage as source": dict(source=1),
    "later stage as source": dict(source=2),
    "null table": dict(source=-2),
    "negative table stride": dict(source=-2, table="table", table_rep_stride=-1),
}


@pytest.mark.parametrize("kw", BAD_BINDINGS.values(), ids=BAD_BINDINGS.keys())
def test_rejected_binding_fails_replication(lib, kw):
    n_reps = 3
    data = np.random.default_rng(3).standard_normal((n_reps, 6))
    table = _table(n_reps)
    fields = dict(source=0, src_row_len=6, n_rows=1, cols=np.array([0, 5]), n_cols=2,
                dst_offset=0, dst_stride=2)
    fields.update(kw)
    if fields.get("table") == "table":
        fields["table"] = table
    if fields["cols"] is not None:
        fields["cols"] = np.asarray(fields["cols"], dtype=np.int64)
    calls = []

    def count(rep, input_, out, work, iout):
        calls.append(rep)
        return 0

    s0 = payload_stage(lib, data, 1, n_reps)
    s1 = Stage(count, 1, n_reps, in_words=6, out_words=1, bindings=[binding(**fields)])
    s2 = Stage(count, 1, n_reps, out_words=1)
    job = Job([s0, s1, s2], n_reps, 1, timing=1)
    assert job.run(lib) == 0
    assert calls == []
    np.testing.assert_array_equal(job.failed_stage, 1)
    np.testing.assert_array_equal(job.status, INVALID)
    assert np.isnan(s0.results).all() and np.isnan(s1.results).all()
    np.testing.assert_array_equal(s0.iresults, NEVER)
    np.testing.assert_array_equal(job.calls.reshape(1, 3), [[n_reps, n_reps, 0]])
    np.testing.assert_array_equal(job.failures.reshape(1, 3), [[0, n_reps, 0]])


# --------------------------------------------------------------------------
# Failures, halting, timing

def _failing(fail_reps, status):
    def run(rep, input_, out, work, iout):
        if rep in fail_reps:
            out[:] = 99.0
            return status
        out[:] = rep * 10.0
        iout[:] = rep
        return 0
    return run


@pytest.mark.parametrize("n_threads", [1, 2])
def test_failed_replications_leave_nan_rows(lib, n_threads):
    n_reps = 9
    fail = {1, 4, 8}
    data = np.random.default_rng(4).standard_normal((n_reps, 3))
    s0 = payload_stage(lib, data, n_threads, n_reps)
    s1 = Stage(_failing(fail, -42), n_threads, n_reps, out_words=2, iout_words=1)
    s2 = payload_stage(lib, data, n_threads, n_reps)
    job = Job([s0, s1, s2], n_reps, n_threads, timing=1)
    assert job.run(lib) == 0
    failed = np.isin(np.arange(n_reps), sorted(fail))
    np.testing.assert_array_equal(job.failed_stage, np.where(failed, 1, -1))
    np.testing.assert_array_equal(job.status, np.where(failed, -42, 0))
    for stage in (s0, s1, s2):
        assert np.isnan(stage.results[failed]).all()
        np.testing.assert_array_equal(stage.iresults[failed], NEVER)
    np.testing.assert_array_equal(s0.results[~failed], data[~failed])
    np.testing.assert_array_equal(s1.results[~failed], np.repeat(
        10.0 * np.arange(n_reps)[~failed, None], 2, axis=1))
    np.testing.assert_array_equal(s1.iresults[~failed, 0], np.arange(n_reps)[~failed])
    assert job.job.halted == 0 and job.job.first_failed_rep == -1
    # Timing: every execution counted, failed ones also as failures.
    calls = job.calls.reshape(n_threads, 3).sum(axis=0)
    np.testing.assert_array_equal(calls, [n_reps, n_reps, n_reps - len(fail)])
    np.testing.assert_array_equal(job.failures.reshape(n_threads, 3).sum(axis=0), [0, 3, 0])
    assert (job.seconds >= 0).all()


def test_stop_on_error_single_thread(lib):
    n_reps, bad = 10, 3
    data = np.random.default_rng(5).standard_normal((n_reps, 2))
    s0 = payload_stage(lib, data, 1, n_reps)
    s1 = Stage(_failing({bad, 6}, 17), 1, n_reps, out_words=2, iout_words=1)
    job = Job([s0, s1], n_reps, 1, stop_on_error=1, timing=1)
    assert job.run(lib) == 1
    assert (job.job.halted, job.job.first_failed_rep, job.job.first_failed_stage,
            job.job.first_failed_status) == (1, bad, 1, 17)
    np.testing.assert_array_equal(job.failed_stage, [-1] * bad + [1] + [NEVER] * (n_reps - bad - 1))
    np.testing.assert_array_equal(job.status, [0] * bad + [17] + [NEVER] * (n_reps - bad - 1))
    np.testing.assert_array_equal(s0.results[:bad], data[:bad])
    assert np.isnan(s0.results[bad:]).all() and np.isnan(s1.results[bad:]).all()
    np.testing.assert_array_equal(job.calls, [bad + 1, bad + 1])


@pytest.mark.parametrize("bad", [0, 2, 7])
def test_stop_on_error_two_threads(lib, bad):
    # Static schedule: thread 0 owns replications 0-4, thread 1 owns 5-9. Each
    # thread stops at its first replication after the halt; whatever ran is
    # complete, and the halting replication is the failing one.
    n_reps = 10
    data = np.random.default_rng(6).standard_normal((n_reps, 2))
    s0 = payload_stage(lib, data, 2, n_reps)
    s1 = Stage(_failing({bad}, 5), 2, n_reps, out_words=2, iout_words=1)
    job = Job([s0, s1], n_reps, 2, stop_on_error=1)
    assert job.run(lib) == 1
    assert (job.job.first_failed_rep, job.job.first_failed_stage,
            job.job.first_failed_status) == (bad, 1, 5)
    assert job.failed_stage[bad] == 1 and job.status[bad] == 5
    chunk = range(0, 5) if bad < 5 else range(5, 10)
    after = [r for r in chunk if r > bad]
    np.testing.assert_array_equal(job.failed_stage[after], NEVER)
    np.testing.assert_array_equal(job.failed_stage[[r for r in chunk if r < bad]], -1)
    ran = job.failed_stage == -1
    never = job.failed_stage == NEVER
    assert (ran | never | (np.arange(n_reps) == bad)).all()
    np.testing.assert_array_equal(job.status[never], NEVER)
    np.testing.assert_array_equal(s0.results[ran], data[ran])
    assert np.isnan(s0.results[~ran]).all()


def test_timing_zeroed_and_per_thread(lib):
    job = _valid_job(lib, n_threads=2, n_reps=6)
    assert job.run(lib) == 0
    calls = job.calls.reshape(2, 2)
    np.testing.assert_array_equal(calls.sum(axis=0), [6, 6])
    # Static schedule with 2 threads: three replications each.
    np.testing.assert_array_equal(calls, [[3, 3], [3, 3]])
    np.testing.assert_array_equal(job.failures, 0)
    assert (job.seconds >= 0).all() and (job.seconds < 10).all()


# --------------------------------------------------------------------------
# Thread-count independence on a chain that draws shocks

def _shock_chain(lib, n_threads, n_reps, T=12):
    loading = np.array([[1.0, 0.0], [0.5, 2.0]])
    mean = np.array([0.1, -0.2])
    cols_n, cols_u = np.array([0, 2]), np.array([1])
    blocks = (mc.crv_mc_shock_block * 2)(
        mc.crv_mc_shock_block(0, 2, iptr(cols_n), dptr(loading), dptr(mean), 0.0, 0.0, 11, 12),
        mc.crv_mc_shock_block(1, 1, iptr(cols_u), None, None, -1.0, 2.0, 13, 14))
    keep = [loading, mean, cols_n, cols_u, blocks]
    plan = mc.crv_mc_shock_spec(blocks, 2, T, 3, 0.5, 2)
    scratch_words = lib.crv_mc_shock_scratch_size(ctypes.byref(plan))
    threads = set()

    def draw(rep, input_, out, work, iout):
        threads.add(threading.get_ident())
        lib.crv_mc_shock_draw(ctypes.byref(plan), rep, work, out)
        return 0

    def summarise(rep, input_, out, work, iout):
        # input: shock columns 0 and 2 of periods 2..9 (8 x 2)
        if rep % 7 == 3:
            return -3
        out[0] = input_.sum()
        out[1] = np.abs(input_).max()
        iout[0] = rep
        return 0

    s0 = Stage(draw, n_threads, n_reps, work_words=scratch_words, out_words=3 * T)
    s1 = Stage(summarise, n_threads, n_reps, in_words=16, out_words=2, iout_words=1,
               bindings=[binding(source=0, src_row_len=3, src_row0=2, n_rows=8,
                                 cols=np.array([0, 2]), n_cols=2)])
    job = Job([s0, s1], n_reps, n_threads)
    job.keep, job.threads = (keep, plan), threads
    return job


def test_results_independent_of_thread_count(lib):
    n_reps = 40
    runs = {}
    for n_threads in (1, 2, 3):
        job = _shock_chain(lib, n_threads, n_reps)
        assert job.run(lib) == 0
        runs[n_threads] = job
    assert len(runs[2].threads) == 2, "the team did not use two threads"
    ref = runs[1]
    failed = np.arange(n_reps) % 7 == 3
    np.testing.assert_array_equal(ref.failed_stage, np.where(failed, 1, -1))
    for n_threads in (2, 3):
        job = runs[n_threads]
        for a, b in zip(ref.stages, job.stages):
            assert a.results.tobytes() == b.results.tobytes(), f"{n_threads} threads differ"
            assert a.iresults is None or a.iresults.tobytes() == b.iresults.tobytes()
        np.testing.assert_array_equal(job.status, ref.status)
    # The shock rows themselves agree with a direct draw.
    plan = ref.keep[1]
    out = np.empty(36)
    lib.crv_mc_shock_draw(ctypes.byref(plan), 5, np.empty(24), out)
    np.testing.assert_array_equal(ref.stages[0].results[5], out)


# --------------------------------------------------------------------------
# Shock draw

def _numpy_generator(key, rep):
    bg = np.random.Philox(counter=np.array([0, 0, rep, 0], dtype=np.uint64),
                          key=np.array(key, dtype=np.uint64))
    return np.random.Generator(bg)


@pytest.mark.parametrize("rep", [0, 1, 2**40 + 3])
def test_shock_draw_matches_numpy(lib, rep):
    T, n_shocks, scale = 6, 5, 0.7
    L = np.array([[1.0, 0.0, 0.0], [0.3, 0.8, 0.0], [-0.2, 0.1, 1.5]])
    mean = np.array([0.5, -1.0, 2.0])
    cols_n = np.array([4, 0, 2], dtype=np.int64)
    cols_u = np.array([2], dtype=np.int64)  # overwrites normal column 2
    blocks = (mc.crv_mc_shock_block * 2)(
        mc.crv_mc_shock_block(0, 3, iptr(cols_n), dptr(L), dptr(mean), 0, 0, 21, 2**63 + 5),
        mc.crv_mc_shock_block(1, 0, iptr(cols_u), None, None, -3.0, 4.0, 22, 23))
    plan = mc.crv_mc_shock_spec(blocks, 2, T, n_shocks, scale, 3)
    assert lib.crv_mc_shock_scratch_size(ctypes.byref(plan)) == T * 3
    out = np.full((T, n_shocks), np.nan)
    lib.crv_mc_shock_draw(ctypes.byref(plan), rep, np.empty(T * 3), out)

    z = _numpy_generator([21, 2**63 + 5], rep).standard_normal(T * 3).reshape(T, 3)
    u = _numpy_generator([22, 23], rep).random(T)
    expected = np.zeros((T, n_shocks))
    expected[:, cols_n] = (mean + z @ L.T) * scale
    expected[:, 2] = (-3.0 + 4.0 * u) * scale
    np.testing.assert_allclose(out, expected, rtol=1e-14, atol=1e-15)
    np.testing.assert_array_equal(out[:, [1, 3]], 0.0)


def test_shock_blocks_with_same_key_agree(lib):
    T = 4
    eye = np.eye(2)
    cols_a, cols_b = np.array([0, 1], dtype=np.int64), np.array([2, 3], dtype=np.int64)
    blocks = (mc.crv_mc_shock_block * 2)(
        mc.crv_mc_shock_block(0, 2, iptr(cols_a), dptr(eye), None, 0, 0, 1, 2),
        mc.crv_mc_shock_block(5, 2, iptr(cols_b), dptr(eye), None, 0, 0, 1, 2))
    plan = mc.crv_mc_shock_spec(blocks, 2, T, 4, 1.0, 2)
    out = np.empty((T, 4))
    lib.crv_mc_shock_draw(ctypes.byref(plan), 9, np.empty(T * 2), out)
    np.testing.assert_array_equal(out[:, :2], out[:, 2:])
    other = np.empty((T, 4))
    lib.crv_mc_shock_draw(ctypes.byref(plan), 10, np.empty(T * 2), other)
    assert not np.intersect1d(out, other).size


BAD_BLOCKS = {
    "column past output": dict(cols=[0, 3]),
    "negative column": dict(cols=[-1, 0]),
    "dim above scratch width": dict(dim=3, cols=[0, 1, 2]),
    "null loading": dict(loading=None),
    "no dimensions": dict(dim=0),
}


@pytest.mark.parametrize("kw", BAD_BLOCKS.values(), ids=BAD_BLOCKS.keys())
def test_shock_block_that_does_not_fit_writes_nothing(lib, kw):
    T = 3
    args = dict(dim=2, cols=[0, 1], loading=np.eye(3))
    args.update(kw)
    cols = np.array(args["cols"], dtype=np.int64)
    good_cols = np.array([2], dtype=np.int64)
    blocks = (mc.crv_mc_shock_block * 2)(
        mc.crv_mc_shock_block(0, args["dim"], iptr(cols), dptr(args["loading"]), None, 0, 0,
                              1, 2),
        mc.crv_mc_shock_block(1, 1, iptr(good_cols), None, None, 0.0, 1.0, 3, 4))
    plan = mc.crv_mc_shock_spec(blocks, 2, T, 3, 1.0, 2)
    scratch = np.full(T * 2 + 4, 5.0)  # guard words past the scratch size
    out = np.full((T, 3), np.nan)
    lib.crv_mc_shock_draw(ctypes.byref(plan), 0, scratch, out)
    np.testing.assert_array_equal(out[:, :2], 0.0)
    np.testing.assert_array_equal(out[:, 2], _numpy_generator([3, 4], 0).random(T))
    np.testing.assert_array_equal(scratch[T * 2:], 5.0)


# --------------------------------------------------------------------------
# Payload runner

@pytest.mark.parametrize("per_rep", [0, 1])
@pytest.mark.parametrize("with_iout", [False, True])
def test_payload_runner(lib, per_rep, with_iout):
    data = np.arange(12.0)
    ctx = mc.crv_mc_payload(dptr(data), 3, per_rep)
    out = np.full(3, -1.0)
    iout = np.full(1, 9, np.int64) if with_iout else None
    rep = 2
    status = lib.crv_mc_payload_runner(rep, None, out, None, iptr(iout),
                                       ctypes.addressof(ctx))
    assert status == 0
    np.testing.assert_array_equal(out, data[rep * 3: rep * 3 + 3] if per_rep else data[:3])
    if with_iout:
        assert iout[0] == 0
    step = np.full(3, -1.0)
    lib.crv_add_payload_step(data, 3, per_rep, rep, step)
    np.testing.assert_array_equal(step, out)


def test_payload_edge_cases(lib):
    out = np.full(2, -1.0)
    lib.crv_add_payload_step(np.arange(4.0), 0, 1, 1, out)
    lib.crv_add_payload_step(np.arange(4.0), -3, 1, 1, out)
    np.testing.assert_array_equal(out, -1.0)
    assert lib.crv_mc_payload_runner(0, None, out, None, None, None) == INVALID
    empty = mc.crv_mc_payload(None, 0, 0)
    assert lib.crv_mc_payload_runner(0, None, None, None, None, ctypes.addressof(empty)) == 0
    missing = mc.crv_mc_payload(None, 2, 0)
    assert lib.crv_mc_payload_runner(0, None, out, None, None,
                                      ctypes.addressof(missing)) == INVALID
