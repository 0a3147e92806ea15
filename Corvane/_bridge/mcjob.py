"""Monte Carlo jobs built from NumPy arrays.

`Job` owns every buffer a `crv_mc_job` points to (per-thread blocks, result
tables, row maps, binding columns, bound tables, contexts, shock
specifications, callbacks) for as long as it lives, and checks what the
driver cannot: that external tables hold every element a binding reads for
every replication, and that kept rows of a stage are distinct.

    lib = ffi.load("regression")
    plan = ShockSpec(T, m).normal(range(m), np.eye(m), key=(1, 2))
    sim = simulate_order1_stage(lib, T=T, n=n, m=m, n_obs=0, shocks=plan,
                                arrays={"A": A, "R": R, "mu": mu, "s0": s0})
    job = Job([sim], n_reps=1000, n_threads=4)
    job.run(lib)           # job.stages[0].results: one row per replication

The layouts of the runners' input and out blocks come from the library's
own query, `crv_mc_block_layout`: `input_layout(lib, kind, **dims)` and
`output_layout(lib, kind, **dims)` give {name: Block(offset, words, shape)}
in block order, with the block's size as `.size`.
"""

import ctypes
from collections import namedtuple

import numpy as np

from Corvane._ckernels.ffi import mc

_dp = ctypes.POINTER(ctypes.c_double)
_ip = ctypes.POINTER(ctypes.c_int64)


def _dptr(a):
    return None if a is None else a.ctypes.data_as(_dp)


def _iptr(a):
    return None if a is None else a.ctypes.data_as(_ip)


def _f64(a):
    # Aligned too: arrays unpickled on a Dask worker may sit at any byte offset.
    return np.require(a, dtype=np.float64, requirements=("C_CONTIGUOUS", "ALIGNED"))


def runner(lib, name):
    """A library runner (e.g. "crv_mc_filter_linear_runner") as a crv_mc_runner."""
    return ctypes.cast(getattr(lib, name), mc.crv_mc_runner)


# --------------------------------------------------------------------------
# Block layouts

Block = namedtuple("Block", "offset words shape")


class BlockLayout(dict):
    """{name: Block} of one runner block, in block order; `size` is the
    block's length in words (the end of its last block)."""

    def __init__(self, fields):
        super().__init__(fields)
        self.size = max((b.offset + b.words for b in self.values()), default=0)


# Runner kind -> (block prefix, input dimensions, output dimensions), each in
# the order crv_mc_block_layout takes them.
_KINDS = {
    "order1": ("simulate_order1", ("n", "m", "T", "n_params"), ("n", "T", "n_obs")),
    "order2": ("simulate_order2", ("nx", "ny", "m", "T", "n_params"), ("nx", "ny", "T", "n_obs")),
    "linear": ("filter_linear", ("n", "m", "k", "T"), ("n", "m", "k", "T", "want_shocks")),
    "extended": ("filter_extended", ("n", "m", "k", "T", "n_params"),
                 ("n", "m", "k", "T", "want_shocks")),
    "unscented": ("filter_unscented", ("nx", "ny", "m", "k", "T", "n_params"),
                  ("nx", "ny", "k", "T")),
    "raw": ("raw_model_data", None, ("n_data", "n_data2")),
}
_OPTIONAL = ("n_params", "n_obs", "want_shocks", "n_data2")


def block_layout(lib, block, dims):
    """The layout crv_mc_block_layout reports for `block` (for example
    "filter_linear_input") and its dimensions, as a BlockLayout."""
    dims = np.ascontiguousarray(dims, dtype=np.int64)
    name = block.encode()
    count = lib.crv_mc_block_layout(name, dims, dims.size, None, 0)
    if count < 0:
        raise ValueError(f"no block layout {block!r} with {dims.size} dimensions")
    fields = (mc.crv_mc_block_field * max(count, 1))()
    lib.crv_mc_block_layout(name, dims, dims.size, fields, count)
    return BlockLayout((f.name.decode(), Block(f.offset, f.words, tuple(f.shape[:f.ndim])))
                       for f in fields[:count])


def _layout(lib, kind, which, dims):
    if kind not in _KINDS or _KINDS[kind][which] is None:
        raise ValueError(f"unknown runner kind {kind!r}")
    names = _KINDS[kind][which]
    unknown = set(dims) - set(names)
    if unknown:
        raise TypeError(f"{kind} blocks take no dimension {sorted(unknown)[0]!r}")
    missing = [n for n in names if n not in dims and n not in _OPTIONAL]
    if missing:
        raise TypeError(f"{kind} blocks need the dimension {missing[0]!r}")
    suffix = "input" if which == 1 else "output"
    return block_layout(lib, f"{_KINDS[kind][0]}_{suffix}", [int(dims.get(n, 0)) for n in names])


def input_layout(lib, kind, **dims):
    """The input block of a runner kind: order1, order2, linear, extended,
    unscented (dimensions as the runner's size function names them)."""
    return _layout(lib, kind, 1, dims)


def output_layout(lib, kind, **dims):
    """The out block of a runner kind (also "raw": n_data, n_data2)."""
    return _layout(lib, kind, 2, dims)


def split_output(layout, row):
    """Views of one result row (or a table of rows) by field name."""
    row = np.asarray(row)
    lead = row.shape[:-1]
    return {name: row[..., b.offset: b.offset + b.words].reshape(lead + b.shape)
            for name, b in layout.items()}


# --------------------------------------------------------------------------
# Bindings

class Binding:
    """One crv_mc_binding and the arrays it points into."""

    def __init__(self, source, dst_offset, n_rows, cols, dst_stride=None, src_offset=0,
                 src_row_len=1, src_row0=0, fill=0.0, table=None, table_rep_stride=0,
                 per_rep=False):
        self.cols = None if cols is None else np.ascontiguousarray(cols, dtype=np.int64)
        n_cols = 0 if self.cols is None else len(self.cols)
        self.table = table
        self.n_cols, self.n_rows = n_cols, int(n_rows)
        self.dst_offset = int(dst_offset)
        self.dst_stride = n_cols if dst_stride is None else int(dst_stride)
        self.record = mc.crv_mc_binding(
            int(source), int(src_offset), int(src_row_len), int(src_row0), int(n_rows),
            _iptr(self.cols), n_cols, self.dst_offset, self.dst_stride, float(fill),
            _dptr(table), int(table_rep_stride), int(bool(per_rep)))

    def dst_end(self):
        if self.n_rows <= 0 or self.n_cols <= 0:
            return 0
        return self.dst_offset + self.dst_stride * (self.n_rows - 1) + self.n_cols

    def table_end(self, n_reps):
        """One past the last table element read over n_reps replications."""
        r = self.record
        if self.table is None or self.n_rows <= 0 or self.n_cols <= 0:
            return 0
        last = r.src_offset + r.src_row_len * (r.src_row0 + self.n_rows - 1) + int(self.cols.max())
        if r.per_rep:
            last += (n_reps - 1) * r.table_rep_stride
        return last + 1

    @classmethod
    def constant(cls, dst_offset, words, fill):
        """words copies of fill from dst_offset."""
        return cls(-1, dst_offset, 1, np.arange(words), fill=fill)

    @classmethod
    def array(cls, values, dst_offset):
        """The values of one array, shared by every replication."""
        table = _f64(values).ravel()
        return cls(-2, dst_offset, 1, np.arange(table.size), src_row_len=max(table.size, 1),
                   table=table)

    @classmethod
    def per_replication(cls, values, dst_offset):
        """values[r] (flattened) for replication r; values has one leading
        entry per replication."""
        table = _f64(values)
        per = int(np.prod(table.shape[1:], dtype=np.int64))
        table = table.reshape(table.shape[0], per)
        b = cls(-2, dst_offset, 1, np.arange(per), src_row_len=max(per, 1), table=table,
                table_rep_stride=per, per_rep=True)
        b.n_table_reps = table.shape[0]
        return b

    @classmethod
    def stage(cls, source, src_offset, words, dst_offset):
        """words consecutive words of an earlier stage's out block."""
        return cls(int(source), dst_offset, 1, np.arange(words), src_offset=src_offset,
                   src_row_len=max(int(words), 1))


# --------------------------------------------------------------------------
# Shocks

class ShockSpec:
    """A crv_mc_shock_spec with its blocks; chain normal() / uniform()."""

    def __init__(self, n_periods, n_shocks, scale=1.0):
        self.n_periods, self.n_shocks, self.scale = int(n_periods), int(n_shocks), float(scale)
        self._blocks, self._keep = [], []
        self.record = None

    def normal(self, cols, loading, key, mean=None):
        cols = np.ascontiguousarray(cols, dtype=np.int64)
        loading = _f64(loading).reshape(len(cols), len(cols))
        mean = None if mean is None else _f64(mean).reshape(len(cols))
        self._keep += [cols, loading, mean]
        self._blocks.append(mc.crv_mc_shock_block(0, len(cols), _iptr(cols), _dptr(loading),
                                                  _dptr(mean), 0.0, 0.0, key[0], key[1]))
        self.record = None
        return self

    def uniform(self, col, lower, width, key):
        cols = np.array([col], dtype=np.int64)
        self._keep.append(cols)
        self._blocks.append(mc.crv_mc_shock_block(1, 1, _iptr(cols), None, None, float(lower),
                                                  float(width), key[0], key[1]))
        self.record = None
        return self

    @property
    def scratch_width(self):
        widths = [b.dim if b.kind != 1 else 1 for b in self._blocks]
        return max(widths, default=1)

    def build(self):
        if self.record is None:
            self._array = (mc.crv_mc_shock_block * max(len(self._blocks), 1))(*self._blocks)
            self.record = mc.crv_mc_shock_spec(self._array, len(self._blocks), self.n_periods,
                                               self.n_shocks, self.scale, self.scratch_width)
        return self.record

    @property
    def scratch_words(self):
        return self.n_periods * self.scratch_width


# --------------------------------------------------------------------------
# Stages and jobs

def _named_block(layout, name):
    if name not in layout:
        raise ValueError(f"no block {name!r} in this input block (blocks: {', '.join(layout)})")
    return layout[name]


class Stage:
    """A stage description: runner, context, word counts and bindings.

    keep: objects the context points into (callbacks, shock specs, arrays)."""

    def __init__(self, runner, ctx=None, in_words=0, work_words=0, out_words=0, iout_words=0,
                 bindings=(), keep=(), layout=None):
        self.runner = runner
        self.ctx = ctx
        self.in_words, self.work_words = int(in_words), int(work_words)
        self.out_words, self.iout_words = int(out_words), int(iout_words)
        self.bindings = list(bindings)
        self.keep = list(keep)
        self.layout = layout  # output layout, for split_output
        self.results = self.iresults = None

    def bind(self, binding):
        self.bindings.append(binding)
        return self

    def bind_arrays(self, layout, arrays):
        """A shared-table binding for each named array, placed at its block."""
        for name, values in arrays.items():
            block = _named_block(layout, name)
            values = _f64(values)
            if values.size != block.words:
                raise ValueError(f"{name}: expected {block.words} values, got {values.size}")
            if block.words:
                self.bind(Binding.array(values, block.offset))
        return self

    def bind_per_replication(self, layout, arrays):
        """Per-replication bindings: arrays[name][r] fills block name in rep r."""
        for name, values in arrays.items():
            block = _named_block(layout, name)
            values = _f64(values)
            if values.ndim == 0 or values[0].size != block.words:
                raise ValueError(f"{name}: expected {block.words} values per replication")
            if block.words:
                self.bind(Binding.per_replication(values, block.offset))
        return self

    def output(self):
        """The result table split by field (needs a layout)."""
        return split_output(self.layout, self.results)


class Job:
    """A crv_mc_job owning all of its buffers.

    row_maps: per stage, None (keep every replication, row r) or an int64
    array of n_reps entries (negative = not kept).

    first: the global index of the job's first replication. A job with
    first > 0 runs replications first .. first + n_reps - 1 of a larger
    experiment (crv_mc_run_range): their shock streams and per-replication
    table rows are those of the global index, entry i of the row maps,
    failed_stage and status belongs to replication first + i."""

    def __init__(self, stages, n_reps, n_threads, stop_on_error=False, timing=False,
                 row_maps=None, first=0):
        if not stages:
            raise ValueError("a job needs at least one stage")
        n_reps, n_threads = int(n_reps), int(n_threads)
        if n_reps < 1 or not 1 <= n_threads <= 2**31 - 1:
            raise ValueError("n_reps must be >= 1 and n_threads in 1 .. 2**31 - 1")
        self.stages, self.n_reps, self.n_threads = list(stages), n_reps, n_threads
        self.first = int(first)
        if self.first < 0:
            raise ValueError("first must be >= 0")
        row_maps = [None] * len(stages) if row_maps is None else list(row_maps)
        if len(row_maps) != len(self.stages):
            raise ValueError(f"row_maps has {len(row_maps)} entries for {len(self.stages)} stages")
        records = []
        for s, (stage, row_map) in enumerate(zip(self.stages, row_maps)):
            records.append(self._prepare(s, stage, row_map))
        self._records = (mc.crv_mc_stage * len(records))(*records)
        self.failed_stage = np.empty(n_reps, np.int64)
        self.status = np.empty(n_reps, np.int64)
        self.stage_seconds = np.zeros((n_threads, len(stages)))
        self.stage_calls = np.zeros((n_threads, len(stages)), np.int64)
        self.stage_failures = np.zeros((n_threads, len(stages)), np.int64)
        self.record = mc.crv_mc_job(
            self._records, len(stages), n_reps, n_threads, int(bool(stop_on_error)), 0, -1, -1,
            0, _iptr(self.failed_stage), _iptr(self.status), int(bool(timing)),
            _dptr(self.stage_seconds), _iptr(self.stage_calls), _iptr(self.stage_failures))

    def _prepare(self, s, stage, row_map):
        n_reps, n_threads = self.n_reps, self.n_threads
        end = self.first + n_reps  # per-replication tables are read up to here
        reps = getattr(stage, "n_table_reps", None)
        if reps is not None and reps < end:
            raise ValueError(f"stage {s}: its data has {reps} rows for {end} replications")
        for b in stage.bindings:
            if b.dst_end() > stage.in_words:
                raise ValueError(f"stage {s}: a binding writes past the input block")
            if b.record.source <= -2 and b.table is not None:
                reps = getattr(b, "n_table_reps", None)
                if reps is not None and reps < end:
                    raise ValueError(f"stage {s}: a per-replication table has {reps} entries "
                                     f"for {end} replications")
                if b.table_end(end) > b.table.size:
                    raise ValueError(f"stage {s}: a binding reads past its table")
        if row_map is None:
            row_map = np.arange(n_reps, dtype=np.int64)
        row_map = np.ascontiguousarray(row_map, dtype=np.int64)
        if row_map.shape != (n_reps,):
            raise ValueError(f"stage {s}: row_map needs {n_reps} entries")
        kept = row_map[row_map >= 0]
        if len(np.unique(kept)) != len(kept):
            raise ValueError(f"stage {s}: two replications share a result row")
        n_rows = int(kept.max()) + 1 if kept.size else 0

        def block(words, dtype=np.float64):
            return np.zeros(n_threads * words, dtype) if words else None

        stage.row_map = row_map
        stage.input_base = block(stage.in_words)
        stage.work_base = block(stage.work_words)
        stage.out_base = block(stage.out_words)
        stage.iout_base = block(stage.iout_words, np.int64)
        stage.results = np.full((n_rows, stage.out_words), np.nan)
        stage.iresults = np.full((n_rows, stage.iout_words), np.iinfo(np.int64).min)
        stage._binding_array = (mc.crv_mc_binding * max(len(stage.bindings), 1))(
            *[b.record for b in stage.bindings])
        ctx = None if stage.ctx is None else ctypes.cast(ctypes.pointer(stage.ctx),
                                                         ctypes.c_void_p)
        return mc.crv_mc_stage(
            stage.runner, _dptr(stage.input_base), _dptr(stage.work_base),
            _dptr(stage.out_base), _iptr(stage.iout_base),
            _dptr(stage.results) if stage.out_words else None,
            _iptr(stage.iresults) if stage.iout_words else None, _iptr(row_map),
            stage.in_words, stage.work_words, stage.out_words, stage.iout_words,
            stage.out_words, stage.iout_words, ctx,
            stage._binding_array if stage.bindings else None, len(stage.bindings))

    def run(self, lib):
        """crv_mc_run on this job (crv_mc_run_range from `first` when it is
        positive): -1201, 0, or 1 when a failure halted it."""
        if self.first:
            return lib.crv_mc_run_range(ctypes.byref(self.record), self.first, self.n_reps)
        return lib.crv_mc_run(ctypes.byref(self.record))

    @property
    def halted(self):
        return self.record.halted


# --------------------------------------------------------------------------
# Stages of the library's model-data runners

def _null_fn():
    return mc.OBS_FN()


def raw_model_data_stage(lib, data, data2=None):
    """Copies row r of data (n_reps x n_data) and of data2 into the out block."""
    data = _f64(data)
    data2 = None if data2 is None else _f64(data2)
    n1 = data[0].size
    n2 = 0 if data2 is None else data2[0].size
    ctx = mc.crv_mc_raw_model_data_ctx(_dptr(data), n1, 1, _dptr(data2), n2, 1)
    out = output_layout(lib, "raw", n_data=n1, n_data2=n2)
    stage = Stage(runner(lib, "crv_mc_raw_model_data_runner"), ctx, out_words=out.size,
                  iout_words=1, keep=[data, data2], layout=out)
    stage.n_table_reps = min(len(data), len(data) if data2 is None else len(data2))
    return stage


def _model_stage(lib, name, ctx, in_words, layout, out, keep, arrays, rep_arrays):
    stage = Stage(runner(lib, name), ctx, in_words=in_words, out_words=out.size, iout_words=1,
                  keep=keep, layout=out)
    stage.input_layout = layout
    stage.bind_arrays(layout, arrays or {})
    stage.bind_per_replication(layout, rep_arrays or {})
    return stage


def simulate_order1_stage(lib, *, T, n, m, n_params=0, n_obs=0, obs_fn=None, shocks=None,
                          arrays=None, rep_arrays=None):
    """Order-1 simulation; arrays / rep_arrays fill named blocks of the input
    (A, R, mu, s0, E, params). The shock scratch follows the counted size."""
    layout = input_layout(lib, "order1", n=n, m=m, T=T, n_params=n_params)
    words = lib.crv_simulate_order1_arena_size(n, m, T, n_params)
    plan = shocks.build() if shocks is not None else None
    in_words = words + (shocks.scratch_words if shocks is not None else 0)
    fn = obs_fn if obs_fn is not None else _null_fn()
    ctx = mc.crv_mc_simulate_order1_ctx(fn, T, n, m, n_params, n_obs,
                                        ctypes.pointer(plan) if plan is not None else None, words)
    out = output_layout(lib, "order1", T=T, n=n, n_obs=n_obs)
    return _model_stage(lib, "crv_mc_simulate_order1_runner", ctx, in_words, layout,
                        out, [fn, shocks], arrays, rep_arrays)


def simulate_order2_stage(lib, *, T, nx, ny, m, n_params=0, n_obs=0, obs_fn=None, shocks=None,
                          arrays=None, rep_arrays=None):
    """Pruned order-2 simulation (blocks h_x ... g_ss, offset, x0, E, params)."""
    layout = input_layout(lib, "order2", nx=nx, ny=ny, m=m, T=T, n_params=n_params)
    words = lib.crv_simulate_order2_arena_size(nx, ny, m, T, n_params)
    plan = shocks.build() if shocks is not None else None
    in_words = words + (shocks.scratch_words if shocks is not None else 0)
    fn = obs_fn if obs_fn is not None else _null_fn()
    ctx = mc.crv_mc_simulate_order2_ctx(fn, T, nx, ny, m, n_params, n_obs,
                                        ctypes.pointer(plan) if plan is not None else None, words)
    out = output_layout(lib, "order2", T=T, nx=nx, ny=ny, n_obs=n_obs)
    return _model_stage(lib, "crv_mc_simulate_order2_runner", ctx, in_words, layout,
                        out, [fn, shocks], arrays, rep_arrays)


def filter_linear_stage(lib, *, T, n, m, k, symmetrize=1, jitter=0.0, want_shocks=0,
                        arrays=None, rep_arrays=None):
    """Linear Kalman filter (A, B, Z, d, S, H, data, x0, P0)."""
    layout = input_layout(lib, "linear", n=n, m=m, k=k, T=T)
    in_words = lib.crv_filter_linear_input_arena_size(n, m, k, T)
    ctx = mc.crv_mc_filter_linear_ctx(T, n, m, k, symmetrize, jitter, want_shocks)
    out = output_layout(lib, "linear", T=T, n=n, m=m, k=k, want_shocks=want_shocks)
    return _model_stage(lib, "crv_mc_filter_linear_runner", ctx, in_words, layout, out,
                        [], arrays, rep_arrays)


def filter_extended_stage(lib, *, T, n, m, k, obs_fn, obs_jac, n_params=0, symmetrize=1,
                          jitter=0.0, want_shocks=0, arrays=None, rep_arrays=None):
    """Extended Kalman filter (A, B, params, S, H, data, x0, P0); obs_fn and
    obs_jac are filters.OBS_FN callbacks."""
    layout = input_layout(lib, "extended", n=n, m=m, k=k, T=T, n_params=n_params)
    in_words = lib.crv_filter_extended_input_arena_size(n, m, k, T, n_params)
    ctx = mc.crv_mc_filter_extended_ctx(obs_fn, obs_jac, T, n, m, k, n_params, symmetrize,
                                        jitter, want_shocks)
    out = output_layout(lib, "extended", T=T, n=n, m=m, k=k, want_shocks=want_shocks)
    return _model_stage(lib, "crv_mc_filter_extended_runner", ctx, in_words, layout,
                        out, [obs_fn, obs_jac], arrays, rep_arrays)


def filter_unscented_stage(lib, *, T, nx, ny, m, k, obs_fn, n_params=0, alpha=1.0, beta=2.0,
                           kappa=0.0, symmetrize=1, jitter=0.0, arrays=None, rep_arrays=None):
    """Unscented filter (hx ... g_ss, ss, params, S, H, data, x0, P0)."""
    layout = input_layout(lib, "unscented", nx=nx, ny=ny, m=m, k=k, T=T, n_params=n_params)
    in_words = lib.crv_filter_unscented_input_arena_size(nx, ny, m, k, T, n_params)
    ctx = mc.crv_mc_filter_unscented_ctx(obs_fn, T, nx, ny, m, k, n_params, alpha, beta, kappa,
                                         symmetrize, jitter)
    out = output_layout(lib, "unscented", T=T, nx=nx, ny=ny, k=k)
    return _model_stage(lib, "crv_mc_filter_unscented_runner", ctx, in_words,
                        layout, out, [obs_fn], arrays, rep_arrays)
