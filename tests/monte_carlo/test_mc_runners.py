"""Model-data runners: block sizes against the sum of each layout's blocks,
each runner's out block against its step form and against direct calls of the
simulation and filter kernels on separate arrays, the shock draw inside the
simulation runners, statuses and context checks, and failing filters inside
the driver. Input blocks are assembled here by concatenating the model arrays
in the documented order, independently of the binding helpers."""

import ctypes

import numpy as np
import pytest

from Corvane._ckernels import ffi
from Corvane._bridge import mcjob
from Corvane._ckernels.ffi import filters, mc

INVALID = -1201
CHOL_FAILED = -1102
_dp = ctypes.POINTER(ctypes.c_double)


def dptr(a):
    return None if a is None else a.ctypes.data_as(_dp)


def block(*arrays):
    return np.concatenate([np.ravel(np.asarray(a, dtype=float)) for a in arrays])


def guarded(words, fill=-1e300, guard=8):
    """A buffer of words plus guard words that must survive the call."""
    return np.full(words + guard, fill)


def check_guard(buf, words, fill=-1e300):
    np.testing.assert_array_equal(buf[words:], fill, err_msg="written past the block")


def split(row, fields):
    out, at = {}, 0
    for name, shape in fields:
        size = int(np.prod(shape, dtype=np.int64))
        out[name] = row[at: at + size].reshape(shape)
        at += size
    assert at == row.size, f"layout covers {at} of {row.size} words"
    return out


def call_runner(lib, name, ctx, input_, out, rep=0, iout=True):
    io = np.array([12345], dtype=np.int64)
    status = getattr(lib, name)(rep, input_, out, None,
                                io.ctypes.data if iout else None,
                                ctypes.cast(ctypes.pointer(ctx), ctypes.c_void_p)
                                if ctx is not None else None)
    return status, int(io[0])


def stable(rng, n, radius=0.9):
    A = rng.standard_normal((n, n))
    return radius * A / max(abs(np.linalg.eigvals(A)))


def spd(rng, n, scale=0.1):
    a = rng.standard_normal((n, n))
    return scale * (a @ a.T) + scale * np.eye(n)


# --------------------------------------------------------------------------
# Sizes: each equals the sum of its layout's blocks

def _pruned_arena(nx, m):
    return m * m + nx * (nx + m + 4)


DIMS = [(1, 1, 1, 1, 0), (3, 2, 2, 7, 4), (2, 1, 1, 5, 0), (4, 3, 2, 11, 3), (2, 0, 3, 1, 1)]


@pytest.mark.parametrize("a,b,c,T,p", DIMS)
def test_simulation_sizes_sum_their_blocks(lib, a, b, c, T, p):
    n, m = a, c
    order1 = [n * n, n * m, n, n, T * m, p, 2 * n]  # A R mu s0 E params arena
    assert lib.crv_simulate_order1_arena_size(n, m, T, p) == sum(order1)
    nx, ny = a, b
    q = nx + ny
    order2 = [nx * nx, ny * nx, q * m, nx ** 3, ny * nx * nx, nx * nx * m, ny * nx * m,
              nx * m * m, ny * m * m, nx, ny, q, nx, T * m, p, _pruned_arena(nx, m)]
    assert lib.crv_simulate_order2_arena_size(nx, ny, m, T, p) == sum(order2)
    # The solution blocks end where E starts.
    assert sum(order2[:13]) == (nx * nx + nx * ny + nx + 2 * ny + m * q * (nx + m + 1)
                                + nx * (nx * nx + nx * ny + 2))


def test_order2_size_covers_the_layout():
    lib = ffi.load("regression")
    # nx = 2, ny = 1, m = 1, T = 5: E starts at word 38; E, no parameters and
    # the pruned arena (15 words) bring the block to 58 words.
    assert lib.crv_simulate_order2_arena_size(2, 1, 1, 5, 0) == 58


@pytest.mark.parametrize("n,m,k,T,p", DIMS)
def test_filter_sizes_sum_their_blocks(lib, n, m, k, T, p):
    kf = lib.kf_arena_size(n, m, k).doubles
    linear = [n * n, n * k, m * n, m, k * k, m * m, T * m, n, n * n]
    assert sum(linear) == n + m + k * k + m * (m + T) + n * (m + k + 2 * n)
    assert lib.crv_filter_linear_input_arena_size(n, m, k, T) == sum(linear) + kf
    ekf = lib.ekf_arena_size(n, m, k).doubles
    extended = [n * n, n * k, p, k * k, m * m, T * m, n, n * n]
    assert lib.crv_filter_extended_input_arena_size(n, m, k, T, p) == sum(extended) + ekf
    for name in ("crv_filter_linear_output_arena_size", "crv_filter_extended_output_arena_size"):
        for want in (0, 1):
            fields = [T * n] * 2 + [T * n * n] * 2 + [T * m] * 4 + [T * m * m]
            fields += [T * k] * want + [1]
            assert getattr(lib, name)(n, m, k, T, want) == sum(fields)
            assert sum(fields) == T * (m * m + 4 * m + 2 * n + 2 * n * n) + want * k * T + 1


@pytest.mark.parametrize("nx,ny,m,k,T,p", [(1, 0, 1, 1, 1, 0), (2, 1, 1, 2, 5, 1),
                                           (3, 2, 2, 1, 4, 3), (2, 3, 0, 2, 6, 0)])
def test_unscented_sizes_sum_their_blocks(lib, nx, ny, m, k, T, p):
    q = nx + ny
    blocks = [nx * nx, ny * nx, q * m, nx ** 3, ny * nx * nx, nx * nx * m, ny * nx * m,
              nx * m * m, ny * m * m, nx, ny, q, p, m * m, k * k, T * k, 2 * nx, 4 * nx * nx]
    printed = (4 * nx * nx + ny * (nx + 2) + nx * (nx * (nx + ny + 1) + 4) + p + k * (k + T)
               + m * (m + q * (nx + m + 1)))
    assert sum(blocks) == printed
    ukf = lib.ukf_arena_size(nx, ny, m, k).doubles
    assert lib.crv_filter_unscented_input_arena_size(nx, ny, m, k, T, p) == printed + ukf
    out = [T * q] * 2 + [T * 4 * nx * nx] * 2 + [T * k] * 4 + [T * k * k, 1] + [T * nx] * 4
    assert lib.crv_filter_unscented_output_arena_size(nx, ny, k, T) == sum(out)
    assert sum(out) == T * (k + 4) * k + 4 * nx * T + 2 * T * (q + 4 * nx * nx) + 1


def test_negative_dimensions_count_as_zero(lib):
    assert lib.crv_simulate_order1_arena_size(-3, -1, -5, -2) == 0
    assert lib.crv_simulate_order2_arena_size(2, -1, 1, -5, 0) == \
        lib.crv_simulate_order2_arena_size(2, 0, 1, 0, 0)
    assert lib.crv_filter_linear_output_arena_size(-1, -1, -1, -1, 1) == 1
    assert lib.crv_filter_unscented_output_arena_size(2, 1, 1, -4) == 1


def test_sizes_saturate_instead_of_overflowing(lib):
    big = 2**40
    assert lib.crv_simulate_order1_arena_size(big, big, big, 0) == 2**63 - 1
    assert lib.crv_filter_unscented_input_arena_size(big, 1, 1, 1, 1, 0) == 2**63 - 1
    # Model arrays that fit, with a filter arena that would not.
    assert lib.crv_filter_linear_input_arena_size(3 * 2**29, 0, 0, 0) == 2**63 - 1
    assert lib.crv_filter_unscented_input_arena_size(1, 2**31, 0, 2**31, 0, 0) == 2**63 - 1
    assert lib.crv_filter_linear_output_arena_size(2**32, 1, 1, 2**32, 1) == 2**63 - 1


def documented_blocks(block, d):
    """(name, shape) of each block of the documented layouts, in order."""
    T = d.get("T")
    if block == "simulate_order1_input":
        n, m = d["n"], d["m"]
        return [("A", (n, n)), ("R", (n, m)), ("mu", (n,)), ("s0", (n,)), ("E", (T, m)),
                ("params", (d["n_params"],)), ("arena", (2 * n,))]
    if block == "simulate_order2_input":
        nx, ny, m = d["nx"], d["ny"], d["m"]
        return [("h_x", (nx, nx)), ("g_x", (ny, nx)), ("R", (nx + ny, m)),
                ("h_xx", (nx, nx * nx)), ("g_xx", (ny, nx * nx)), ("h_xe", (nx, nx * m)),
                ("g_xe", (ny, nx * m)), ("h_ee", (nx, m * m)), ("g_ee", (ny, m * m)),
                ("h_ss", (nx,)), ("g_ss", (ny,)), ("offset", (nx + ny,)), ("x0", (nx,)),
                ("E", (T, m)), ("params", (d["n_params"],)), ("arena", (_pruned_arena(nx, m),))]
    if block in ("filter_linear_input", "filter_extended_input"):
        n, m, k = d["n"], d["m"], d["k"]
        head = ([("A", (n, n)), ("B", (n, k)), ("Z", (m, n)), ("d", (m,))]
                if block == "filter_linear_input" else
                [("A", (n, n)), ("B", (n, k)), ("params", (d["n_params"],))])
        return head + [("S", (k, k)), ("H", (m, m)), ("data", (T, m)), ("x0", (n,)),
                       ("P0", (n, n)), ("arena", (d["arena"],))]
    if block == "filter_unscented_input":
        nx, ny, m, k = d["nx"], d["ny"], d["m"], d["k"]
        return [("hx", (nx, nx)), ("gx", (ny, nx)), ("impact", (nx + ny, m)),
                ("h_xx", (nx, nx * nx)), ("g_xx", (ny, nx * nx)), ("h_xe", (nx, nx * m)),
                ("g_xe", (ny, nx * m)), ("h_ee", (nx, m * m)), ("g_ee", (ny, m * m)),
                ("h_ss", (nx,)), ("g_ss", (ny,)), ("ss", (nx + ny,)),
                ("params", (d["n_params"],)), ("S", (m, m)), ("H", (k, k)), ("data", (T, k)),
                ("x0", (2 * nx,)), ("P0", (2 * nx, 2 * nx)), ("arena", (d["arena"],))]
    if block == "raw_model_data_output":
        return [("data", (d["n_data"],)), ("data2", (d["n_data2"],))]
    if block in ("simulate_order1_output", "simulate_order2_output"):
        width = d["n"] if "n" in d else d["nx"] + d["ny"]
        return [("states", (T, width)), ("obs", (T, d["n_obs"]))]
    if block in ("filter_linear_output", "filter_extended_output"):
        n, m, k = d["n"], d["m"], d["k"]
        fields = [("x_pred", (T, n)), ("x_filt", (T, n)), ("P_pred", (T, n, n)),
                  ("P_filt", (T, n, n)), ("y_pred", (T, m)), ("y_filt", (T, m)),
                  ("innov", (T, m)), ("std_innov", (T, m)), ("innov_cov", (T, m, m))]
        return fields + [("shocks", (T, k))] * d["want_shocks"] + [("loglik", ())]
    nx, ny, k = d["nx"], d["ny"], d["k"]
    return [("v_pred", (T, nx + ny)), ("v_filt", (T, nx + ny)), ("P_pred", (T, 2 * nx, 2 * nx)),
            ("P_filt", (T, 2 * nx, 2 * nx)), ("y_pred", (T, k)), ("y_filt", (T, k)),
            ("innov", (T, k)), ("std_innov", (T, k)), ("innov_cov", (T, k, k)), ("loglik", ()),
            ("xf_pred", (T, nx)), ("xs_pred", (T, nx)), ("xf_filt", (T, nx)),
            ("xs_filt", (T, nx))]


# block, its dimensions in query order, and the size function that counts it
BLOCKS = [
    ("simulate_order1_input", dict(n=3, m=2, T=4, n_params=2),
     lambda lib, d: lib.crv_simulate_order1_arena_size(d["n"], d["m"], d["T"], d["n_params"])),
    ("simulate_order2_input", dict(nx=2, ny=1, m=2, T=3, n_params=1),
     lambda lib, d: lib.crv_simulate_order2_arena_size(d["nx"], d["ny"], d["m"], d["T"],
                                                       d["n_params"])),
    ("filter_linear_input", dict(n=3, m=2, k=2, T=4),
     lambda lib, d: lib.crv_filter_linear_input_arena_size(d["n"], d["m"], d["k"], d["T"])),
    ("filter_extended_input", dict(n=3, m=2, k=1, T=4, n_params=5),
     lambda lib, d: lib.crv_filter_extended_input_arena_size(d["n"], d["m"], d["k"], d["T"],
                                                             d["n_params"])),
    ("filter_unscented_input", dict(nx=2, ny=2, m=1, k=2, T=3, n_params=2),
     lambda lib, d: lib.crv_filter_unscented_input_arena_size(d["nx"], d["ny"], d["m"], d["k"],
                                                              d["T"], d["n_params"])),
    ("raw_model_data_output", dict(n_data=5, n_data2=3), lambda lib, d: 8),
    ("simulate_order1_output", dict(n=3, T=4, n_obs=2), lambda lib, d: 20),
    ("simulate_order2_output", dict(nx=2, ny=1, T=3, n_obs=1), lambda lib, d: 12),
    ("filter_linear_output", dict(n=3, m=2, k=2, T=4, want_shocks=1),
     lambda lib, d: lib.crv_filter_linear_output_arena_size(d["n"], d["m"], d["k"], d["T"], 1)),
    ("filter_extended_output", dict(n=2, m=1, k=2, T=5, want_shocks=0),
     lambda lib, d: lib.crv_filter_extended_output_arena_size(d["n"], d["m"], d["k"], d["T"], 0)),
    ("filter_unscented_output", dict(nx=2, ny=1, k=2, T=3),
     lambda lib, d: lib.crv_filter_unscented_output_arena_size(d["nx"], d["ny"], d["k"], d["T"])),
]


def query_layout(lib, block, dims, capacity=None):
    dims = np.array(dims, dtype=np.int64)
    count = lib.crv_mc_block_layout(block.encode(), dims, dims.size, None, 0)
    fields = (mc.crv_mc_block_field * max(count, 1))()
    assert lib.crv_mc_block_layout(block.encode(), dims, dims.size, fields,
                                   count if capacity is None else capacity) == count
    return [(f.name.decode(), f.offset, f.words, tuple(f.shape[:f.ndim])) for f in fields[:count]]


@pytest.mark.parametrize("block,dims,size", BLOCKS, ids=[b[0] for b in BLOCKS])
def test_block_layout_query_reports_the_documented_layout(lib, block, dims, size):
    d = dict(dims)
    if block in ("filter_linear_input", "filter_extended_input", "filter_unscented_input"):
        arena = {"filter_linear_input": lambda: lib.kf_arena_size(d["n"], d["m"], d["k"]),
                 "filter_extended_input": lambda: lib.ekf_arena_size(d["n"], d["m"], d["k"]),
                 "filter_unscented_input": lambda: lib.ukf_arena_size(d["nx"], d["ny"], d["m"],
                                                                      d["k"])}[block]()
        d["arena"] = arena.doubles
    expected, at = [], 0
    for name, shape in documented_blocks(block, d):
        words = int(np.prod(shape, dtype=np.int64))
        expected.append((name, at, words, shape))
        at += words
    assert query_layout(lib, block, list(dims.values())) == expected
    assert at == size(lib, dims), "the blocks do not add up to the size function"


def test_block_layout_query_refusals_and_capacity(lib):
    dims = np.array([3, 2, 2, 4], dtype=np.int64)
    assert lib.crv_mc_block_layout(b"no_such_block", dims, 4, None, 0) == INVALID
    assert lib.crv_mc_block_layout(b"filter_linear_input", dims, 3, None, 0) == INVALID
    assert lib.crv_mc_block_layout(None, dims, 4, None, 0) == INVALID
    # A short capacity writes only that many fields and still counts them all.
    fields = (mc.crv_mc_block_field * 4)()
    fields[3].offset = -77
    assert lib.crv_mc_block_layout(b"filter_linear_input", dims, 4, fields, 3) == 10
    assert [f.name for f in fields[:3]] == [b"A", b"B", b"Z"] and fields[3].offset == -77
    # Negative dimensions count as zero.
    assert query_layout(lib, "simulate_order1_output", [-3, 2, -1]) == \
        query_layout(lib, "simulate_order1_output", [0, 2, 0])


@pytest.mark.parametrize("kind,dims", [
    ("order1", dict(n=3, m=2, T=4, n_params=2)),
    ("linear", dict(n=3, m=2, k=2, T=4)),
    ("unscented", dict(nx=2, ny=2, m=1, k=2, T=3, n_params=2)),
])
def test_binding_helper_reads_the_query(lib, kind, dims):
    layout = mcjob.input_layout(lib, kind, **dims)
    block = {"order1": "simulate_order1_input", "linear": "filter_linear_input",
             "unscented": "filter_unscented_input"}[kind]
    reported = query_layout(lib, block, list(dims.values()))
    assert [(n, b.offset, b.words, b.shape) for n, b in layout.items()] == reported
    with pytest.raises(TypeError, match="no dimension 'q'"):
        mcjob.input_layout(lib, kind, q=1, **dims)
    with pytest.raises(ValueError, match="unknown runner kind"):
        mcjob.input_layout(lib, "quadratic", **dims)


# --------------------------------------------------------------------------
# Raw data

@pytest.mark.parametrize("per_rep,per_rep2", [(0, 0), (1, 0), (1, 1)])
def test_raw_model_data_step_and_runner(lib, rng, per_rep, per_rep2):
    data = rng.standard_normal((4, 5))
    data2 = rng.standard_normal((4, 3))
    rep = 2
    want = np.concatenate([data[rep] if per_rep else data[0], data2[rep] if per_rep2 else data2[0]])
    out = guarded(8)
    ctx = mc.crv_mc_raw_model_data_ctx(dptr(data), 5, per_rep, dptr(data2), 3, per_rep2)
    assert call_runner(lib, "crv_mc_raw_model_data_runner", ctx, None, out, rep=rep) == (0, 0)
    np.testing.assert_array_equal(out[:8], want)
    check_guard(out, 8)
    a, b = guarded(5), guarded(3)
    lib.crv_raw_model_data_step(data, 5, per_rep, a, data2, 3, per_rep2, rep, b)
    np.testing.assert_array_equal(np.concatenate([a[:5], b[:3]]), want)
    check_guard(a, 5), check_guard(b, 3)


def test_raw_model_data_non_positive_counts_copy_nothing(lib, rng):
    data = rng.standard_normal(4)
    out = guarded(0)
    lib.crv_raw_model_data_step(data, 0, 0, out, data, -2, 1, 3, out)
    check_guard(out, 0)


# --------------------------------------------------------------------------
# Simulation

def affine_obs(lib, n, n_obs):
    """obs_fn reading Z (n_obs x n) and d (n_obs) from the parameter block and
    writing Z s + d through crv_affine_observations on one row."""

    def raw(s_ptr, p_ptr, y_ptr):
        lib.crv_affine_observations(s_ptr, p_ptr, ctypes.cast(
            ctypes.addressof(p_ptr.contents) + 8 * n_obs * n, _dp), y_ptr, 1, n_obs, n)

    return filters.OBS_FN(raw)


class Order1:
    def __init__(self, rng, n=3, m=2, T=6, n_obs=2):
        self.n, self.m, self.T, self.n_obs = n, m, T, n_obs
        self.A, self.R = stable(rng, n), rng.standard_normal((n, m))
        self.mu, self.s0 = rng.standard_normal(n), rng.standard_normal(n)
        self.E = rng.standard_normal((T, m))
        self.Z, self.d = rng.standard_normal((n_obs, n)), rng.standard_normal(n_obs)
        self.params = block(self.Z, self.d)

    def input(self, lib, E=None, scratch=0):
        words = lib.crv_simulate_order1_arena_size(self.n, self.m, self.T, self.params.size)
        buf = guarded(words + scratch)
        buf[:words - 2 * self.n] = block(self.A, self.R, self.mu, self.s0,
                                         self.E if E is None else E, self.params)
        return buf, words

    def direct(self, lib, E=None):
        S = np.empty((self.T, self.n))
        lib.crv_simulate_linear_states(self.A, self.R, self.s0, self.E if E is None else E,
                                       self.mu, S, np.empty(2 * self.n), self.T, self.n, self.m)
        Y = np.empty((self.T, self.n_obs))
        lib.crv_affine_observations(S, self.Z, self.d, Y, self.T, self.n_obs, self.n)
        return S, Y


def test_order1_step_and_runner_match_direct_kernels(lib, rng):
    s = Order1(rng)
    obs = affine_obs(lib, s.n, s.n_obs)
    words_out = s.T * (s.n + s.n_obs)
    S, Y = s.direct(lib)
    # NumPy recursion as an outside check of the direct path.
    x, ref = s.s0, []
    for t in range(s.T):
        x = s.A @ x + s.R @ s.E[t]
        ref.append(x + s.mu)
    np.testing.assert_allclose(S, ref, rtol=1e-13, atol=1e-13)
    np.testing.assert_allclose(Y, S @ s.Z.T + s.d, rtol=1e-13, atol=1e-13)

    inp, words = s.input(lib)
    out = guarded(words_out)
    lib.crv_simulate_order1_step(inp, obs, s.T, s.n, s.m, s.params.size, s.n_obs, out)
    got = split(out[:words_out], [("S", (s.T, s.n)), ("Y", (s.T, s.n_obs))])
    np.testing.assert_array_equal(got["S"], S)
    np.testing.assert_array_equal(got["Y"], Y)
    check_guard(out, words_out), check_guard(inp, words)

    inp, _ = s.input(lib)
    out2 = guarded(words_out)
    ctx = mc.crv_mc_simulate_order1_ctx(obs, s.T, s.n, s.m, s.params.size, s.n_obs, None, 0)
    assert call_runner(lib, "crv_mc_simulate_order1_runner", ctx, inp, out2, rep=9) == (0, 0)
    np.testing.assert_array_equal(out2, out)


def shock_spec(T, m, key=(7, 8), scale=1.0):
    plan = mcjob.ShockSpec(T, m, scale)
    loading = np.tril(np.full((m, m), 0.3)) + np.eye(m)
    return plan.normal(np.arange(m)[::-1], loading, key, mean=np.linspace(-0.1, 0.1, m))


@pytest.mark.parametrize("rep", [0, 5, 2**33 + 1])
def test_order1_runner_draws_the_replication_shocks(lib, rng, rep):
    s = Order1(rng, n_obs=0)
    plan = shock_spec(s.T, s.m)
    record = plan.build()
    E = np.empty((s.T, s.m))
    lib.crv_mc_shock_draw(ctypes.byref(record), rep, np.empty(plan.scratch_words), E)
    S, _ = s.direct(lib, E)
    inp, words = s.input(lib, E=np.zeros((s.T, s.m)), scratch=plan.scratch_words)
    out = guarded(s.T * s.n)
    ctx = mc.crv_mc_simulate_order1_ctx(mc.OBS_FN(), s.T, s.n, s.m, s.params.size, 0,
                                        ctypes.pointer(record), words)
    assert call_runner(lib, "crv_mc_simulate_order1_runner", ctx, inp, out, rep=rep) == (0, 0)
    np.testing.assert_array_equal(out[:s.T * s.n].reshape(s.T, s.n), S)
    check_guard(out, s.T * s.n), check_guard(inp, words + plan.scratch_words)
    # The drawn shocks are left in the block's E.
    lay = mcjob.input_layout(lib, "order1", n=s.n, m=s.m, T=s.T, n_params=s.params.size)
    off, size = lay["E"].offset, lay["E"].words
    np.testing.assert_array_equal(inp[off: off + size], E.ravel())


class Order2:
    def __init__(self, rng, nx=2, ny=2, m=2, T=7, n_obs=1):
        self.nx, self.ny, self.m, self.T, self.n_obs = nx, ny, m, T, n_obs
        q = nx + ny
        self.blocks = [stable(rng, nx, 0.8), rng.standard_normal((ny, nx)),
                       rng.standard_normal((q, m))]
        self.blocks += [0.2 * rng.standard_normal(shape) for shape in [
            (nx, nx * nx), (ny, nx * nx), (nx, nx * m), (ny, nx * m), (nx, m * m), (ny, m * m),
            (nx,), (ny,)]]
        self.offset, self.x0 = rng.standard_normal(q), rng.standard_normal(nx)
        self.E = rng.standard_normal((T, m))
        self.Z, self.d = rng.standard_normal((n_obs, q)), rng.standard_normal(n_obs)
        self.params = block(self.Z, self.d)

    def input(self, lib, E=None, scratch=0):
        words = lib.crv_simulate_order2_arena_size(self.nx, self.ny, self.m, self.T,
                                                   self.params.size)
        model = block(*self.blocks, self.offset, self.x0, self.E if E is None else E, self.params)
        buf = guarded(words + scratch)
        assert model.size == words - _pruned_arena(self.nx, self.m)
        buf[:model.size] = model
        return buf, words

    def direct(self, lib, E=None):
        q = self.nx + self.ny
        Y = np.empty((self.T, q))
        lib.crv_simulate_second_order_pruned(
            *self.blocks, self.x0, self.E if E is None else E, self.offset, Y,
            np.empty(_pruned_arena(self.nx, self.m)), self.T, self.nx, self.ny, self.m)
        obs = np.empty((self.T, self.n_obs))
        lib.crv_affine_observations(Y, self.Z, self.d, obs, self.T, self.n_obs, q)
        return Y, obs


@pytest.mark.parametrize("with_shocks", [False, True])
def test_order2_step_and_runner_match_direct_kernels(lib, rng, with_shocks):
    s = Order2(rng)
    q = s.nx + s.ny
    obs = affine_obs(lib, q, s.n_obs)
    words_out = s.T * (q + s.n_obs)
    plan = shock_spec(s.T, s.m, key=(3, 4)) if with_shocks else None
    E = s.E
    if with_shocks:
        E = np.empty((s.T, s.m))
        lib.crv_mc_shock_draw(ctypes.byref(plan.build()), 11, np.empty(plan.scratch_words), E)
    Y, Yobs = s.direct(lib, E)

    inp, words = s.input(lib, E=E)
    out = guarded(words_out)
    lib.crv_simulate_order2_step(inp, obs, s.T, s.nx, s.ny, s.m, s.params.size, s.n_obs, out)
    got = split(out[:words_out], [("Y", (s.T, q)), ("obs", (s.T, s.n_obs))])
    np.testing.assert_array_equal(got["Y"], Y)
    np.testing.assert_array_equal(got["obs"], Yobs)
    check_guard(out, words_out), check_guard(inp, words)

    scratch = plan.scratch_words if with_shocks else 0
    inp, _ = s.input(lib, E=np.full((s.T, s.m), 9.0) if with_shocks else E, scratch=scratch)
    out2 = guarded(words_out)
    ctx = mc.crv_mc_simulate_order2_ctx(obs, s.T, s.nx, s.ny, s.m, s.params.size, s.n_obs,
                                        ctypes.pointer(plan.build()) if with_shocks else None,
                                        words)
    assert call_runner(lib, "crv_mc_simulate_order2_runner", ctx, inp, out2, rep=11) == (0, 0)
    np.testing.assert_array_equal(out2, out)
    check_guard(inp, words + scratch)


def test_simulation_step_without_callback_writes_nan_observations(lib, rng):
    s = Order1(rng)
    inp, _ = s.input(lib)
    out = guarded(s.T * (s.n + s.n_obs))
    lib.crv_simulate_order1_step(inp, mc.OBS_FN(), s.T, s.n, s.m, s.params.size, s.n_obs, out)
    assert np.isnan(out[s.T * s.n: s.T * (s.n + s.n_obs)]).all()
    np.testing.assert_array_equal(out[:s.T * s.n].reshape(s.T, s.n), s.direct(lib)[0])


BAD_SIM_CTX = {
    "null obs_fn with observations": dict(obs=False),
    "shock periods differ from T": dict(spec_T=5),
    "shock columns differ from m": dict(spec_m=3),
    "negative shock scratch": dict(scratch=-1),
}


@pytest.mark.parametrize("kw", BAD_SIM_CTX.values(), ids=BAD_SIM_CTX.keys())
def test_simulation_runner_refuses_inconsistent_context(lib, rng, kw):
    s = Order1(rng, T=6, m=2)
    plan = shock_spec(kw.get("spec_T", s.T), kw.get("spec_m", s.m))
    obs = affine_obs(lib, s.n, s.n_obs) if kw.get("obs", True) else mc.OBS_FN()
    inp, words = s.input(lib, scratch=64)
    before = inp.copy()
    out = guarded(s.T * (s.n + s.n_obs))
    ctx = mc.crv_mc_simulate_order1_ctx(obs, s.T, s.n, s.m, s.params.size, s.n_obs,
                                        ctypes.pointer(plan.build()), kw.get("scratch", words))
    assert call_runner(lib, "crv_mc_simulate_order1_runner", ctx, inp, out) == (INVALID, INVALID)
    np.testing.assert_array_equal(inp, before)
    np.testing.assert_array_equal(out, -1e300)


@pytest.mark.parametrize("name", mc.RUNNERS)
def test_runners_refuse_a_null_context(lib, name):
    assert call_runner(lib, name, None, None, None) == (INVALID, INVALID)
    assert getattr(lib, name)(0, None, None, None, None, None) == INVALID


# --------------------------------------------------------------------------
# Linear and extended filters

KF_FIELDS = ("x_pred", "x_filt", "P_pred", "P_filt", "y_pred", "y_filt", "innov", "std_innov",
             "innov_cov", "shocks", "loglik")


def kf_fields(T, n, m, k, want_shocks):
    shapes = [(T, n), (T, n), (T, n, n), (T, n, n), (T, m), (T, m), (T, m), (T, m), (T, m, m),
              (T, k), (1,)]
    return [(f, s) for f, s in zip(KF_FIELDS, shapes) if want_shocks or f != "shocks"]


class Linear:
    def __init__(self, rng, n=3, m=2, k=2, T=8):
        self.n, self.m, self.k, self.T = n, m, k, T
        self.A, self.B = stable(rng, n), rng.standard_normal((n, k))
        self.Z, self.d = rng.standard_normal((m, n)), rng.standard_normal(m)
        self.S, self.H = spd(rng, k), spd(rng, m)
        self.data = rng.standard_normal((T, m))
        self.x0, self.P0 = rng.standard_normal(n), spd(rng, n, 1.0)

    def model(self):
        return block(self.A, self.B, self.Z, self.d, self.S, self.H, self.data, self.x0, self.P0)

    def direct(self, lib, want_shocks, sym=1, jitter=0.0):
        fields = kf_fields(self.T, self.n, self.m, self.k, want_shocks)
        outs = {f: np.full(s, np.nan) for f, s in fields}
        rec = ffi.kf_inputs(self.n, self.m, self.k, self.T, *[dptr(a) for a in (
            self.A, self.B, self.Z, self.d, self.S, self.H, self.data, self.x0, self.P0)],
            sym, jitter, want_shocks, 1)
        ko = ffi.kf_outputs(*[dptr(outs.get(f)) for f in KF_FIELDS])
        arena = np.empty(lib.kf_arena_size(self.n, self.m, self.k).doubles)
        status = lib.kf_hot_loop(ctypes.byref(rec), arena, ctypes.byref(ko))
        return status, outs


@pytest.mark.parametrize("want_shocks", [0, 1])
@pytest.mark.parametrize("sym,jitter", [(1, 0.0), (0, 1e-3)])
def test_linear_filter_step_and_runner_match_kf_hot_loop(lib, rng, want_shocks, sym, jitter):
    s = Linear(rng)
    T, n, m, k = s.T, s.n, s.m, s.k
    status, ref = s.direct(lib, want_shocks, sym, jitter)
    assert status == 0
    words_out = lib.crv_filter_linear_output_arena_size(n, m, k, T, want_shocks)
    model = s.model()
    arena_words = lib.kf_arena_size(n, m, k).doubles

    inp, arena, out = guarded(model.size), guarded(arena_words), guarded(words_out)
    inp[:model.size] = model
    assert lib.crv_filter_linear_step(inp, arena, T, n, m, k, sym, want_shocks, jitter, out) == 0
    check_guard(out, words_out), check_guard(arena, arena_words)
    np.testing.assert_array_equal(inp[:model.size], model)
    got = split(out[:words_out], kf_fields(T, n, m, k, want_shocks))
    for f, value in ref.items():
        np.testing.assert_array_equal(got[f], value, err_msg=f)

    words_in = lib.crv_filter_linear_input_arena_size(n, m, k, T)
    inp2, out2 = guarded(words_in), guarded(words_out)
    inp2[:model.size] = model
    ctx = mc.crv_mc_filter_linear_ctx(T, n, m, k, sym, jitter, want_shocks)
    assert call_runner(lib, "crv_mc_filter_linear_runner", ctx, inp2, out2) == (0, 0)
    np.testing.assert_array_equal(out2, out)
    check_guard(inp2, words_in)


def test_linear_filter_without_shocks_ends_with_loglik(lib, rng):
    s = Linear(rng, T=5)
    T, n, m, k = s.T, s.n, s.m, s.k
    words_out = lib.crv_filter_linear_output_arena_size(n, m, k, T, 0)
    assert words_out == T * (m * m + 4 * m + 2 * n + 2 * n * n) + 1
    inp = guarded(lib.crv_filter_linear_input_arena_size(n, m, k, T))
    inp[:s.model().size] = s.model()
    out = np.full(words_out, np.nan)
    ctx = mc.crv_mc_filter_linear_ctx(T, n, m, k, 1, 0.0, 0)
    assert call_runner(lib, "crv_mc_filter_linear_runner", ctx, inp, out) == (0, 0)
    assert out[-1] == s.direct(lib, 0)[1]["loglik"][0]
    assert np.isfinite(out).all()


def test_linear_filter_runner_reports_a_failing_filter(lib, rng):
    s = Linear(rng, T=6)
    s.H = np.zeros((s.m, s.m))
    s.Z = np.zeros((s.m, s.n))  # F = 0: not positive definite in period 0
    status, ref = s.direct(lib, 1)
    assert status == CHOL_FAILED
    inp = guarded(lib.crv_filter_linear_input_arena_size(s.n, s.m, s.k, s.T))
    inp[:s.model().size] = s.model()
    out = guarded(lib.crv_filter_linear_output_arena_size(s.n, s.m, s.k, s.T, 1))
    ctx = mc.crv_mc_filter_linear_ctx(s.T, s.n, s.m, s.k, 1, 0.0, 1)
    assert call_runner(lib, "crv_mc_filter_linear_runner", ctx, inp, out) == (CHOL_FAILED,
                                                                                 CHOL_FAILED)
    assert call_runner(lib, "crv_mc_filter_linear_runner", ctx, inp, out, iout=False)[0] == \
        CHOL_FAILED


def linear_obs_callbacks(n, m):
    """h(x) = Z x + d and its Jacobian Z, Z and d read from the parameter block."""

    def h(x_ptr, p_ptr, out_ptr):
        x = np.ctypeslib.as_array(x_ptr, shape=(n,))
        p = np.ctypeslib.as_array(p_ptr, shape=(m * n + m,))
        np.ctypeslib.as_array(out_ptr, shape=(m,))[:] = p[:m * n].reshape(m, n) @ x + p[m * n:]

    def jac(x_ptr, p_ptr, out_ptr):
        p = np.ctypeslib.as_array(p_ptr, shape=(m * n + m,))
        np.ctypeslib.as_array(out_ptr, shape=(m * n,))[:] = p[:m * n]

    return filters.OBS_FN(h), filters.OBS_FN(jac)


@pytest.mark.parametrize("want_shocks", [0, 1])
def test_extended_filter_step_and_runner_match_ekf_hot_loop(lib, rng, want_shocks):
    s = Linear(rng, n=3, m=2, k=1, T=6)
    T, n, m, k = s.T, s.n, s.m, s.k
    params = block(s.Z, s.d)
    h, jac = linear_obs_callbacks(n, m)
    fields = kf_fields(T, n, m, k, want_shocks)
    ref = {f: np.full(shape, np.nan) for f, shape in fields}
    rec = filters.ekf_inputs(h, jac, *[dptr(a) for a in (
        s.A, s.B, params, s.S, s.H, s.data, s.x0, s.P0)], T, n, m, k, params.size, 0.0, 1, 1,
        want_shocks, 1)
    ko = ffi.kf_outputs(*[dptr(ref.get(f)) for f in KF_FIELDS])
    arena_words = lib.ekf_arena_size(n, m, k).doubles
    assert lib.ekf_hot_loop(ctypes.byref(rec), np.empty(arena_words), ctypes.byref(ko)) == 0

    model = block(s.A, s.B, params, s.S, s.H, s.data, s.x0, s.P0)
    words_out = lib.crv_filter_extended_output_arena_size(n, m, k, T, want_shocks)
    inp, arena, out = guarded(model.size), guarded(arena_words), guarded(words_out)
    inp[:model.size] = model
    assert lib.crv_filter_extended_step(inp, arena, h, jac, T, n, m, k, 0.0, params.size, 1,
                                        want_shocks, out) == 0
    check_guard(out, words_out), check_guard(arena, arena_words)
    got = split(out[:words_out], fields)
    for f, value in ref.items():
        np.testing.assert_array_equal(got[f], value, err_msg=f)
    # The fitted observations are h(x_filt) (fitted_obs on).
    np.testing.assert_allclose(got["y_filt"], got["x_filt"] @ s.Z.T + s.d, rtol=1e-12)

    words_in = lib.crv_filter_extended_input_arena_size(n, m, k, T, params.size)
    inp2, out2 = guarded(words_in), guarded(words_out)
    inp2[:model.size] = model
    ctx = mc.crv_mc_filter_extended_ctx(h, jac, T, n, m, k, params.size, 1, 0.0, want_shocks)
    assert call_runner(lib, "crv_mc_filter_extended_runner", ctx, inp2, out2) == (0, 0)
    np.testing.assert_array_equal(out2, out)
    check_guard(inp2, words_in)


def test_extended_filter_runner_passes_a_null_callback_status(lib, rng):
    s = Linear(rng, T=3)
    words_in = lib.crv_filter_extended_input_arena_size(s.n, s.m, s.k, s.T, 0)
    out = guarded(lib.crv_filter_extended_output_arena_size(s.n, s.m, s.k, s.T, 0))
    ctx = mc.crv_mc_filter_extended_ctx(mc.OBS_FN(), mc.OBS_FN(), s.T, s.n, s.m, s.k, 0, 1, 0.0,
                                        0)
    assert call_runner(lib, "crv_mc_filter_extended_runner", ctx, np.zeros(words_in), out) == \
        (-1101, -1101)


# --------------------------------------------------------------------------
# Unscented filter

UKF_FIELDS_RECORD = ("xf_pred", "xs_pred", "xf_filt", "xs_filt", "v_pred", "v_filt", "P_pred",
                     "P_filt", "y_pred", "y_filt", "innov", "std_innov", "innov_cov", "loglik")


def ukf_block_fields(T, nx, ny, k):
    q = nx + ny
    return [("v_pred", (T, q)), ("v_filt", (T, q)), ("P_pred", (T, 2 * nx, 2 * nx)),
            ("P_filt", (T, 2 * nx, 2 * nx)), ("y_pred", (T, k)), ("y_filt", (T, k)),
            ("innov", (T, k)), ("std_innov", (T, k)), ("innov_cov", (T, k, k)),
            ("loglik", (1,)), ("xf_pred", (T, nx)), ("xs_pred", (T, nx)),
            ("xf_filt", (T, nx)), ("xs_filt", (T, nx))]


def test_unscented_filter_step_and_runner_match_ukf_hot_loop(lib, rng):
    nx, ny, m, k, T = 2, 1, 1, 2, 5
    s = Order2(rng, nx=nx, ny=ny, m=m, T=T)
    q = nx + ny
    ss = rng.standard_normal(q)
    Z, d = rng.standard_normal((k, q)), rng.standard_normal(k)
    params = block(Z, d)
    obs = affine_obs(lib, q, k)
    S, H = spd(rng, m), spd(rng, k)
    data = rng.standard_normal((T, k))
    x0, P0 = 0.1 * rng.standard_normal(2 * nx), spd(rng, 2 * nx)
    alpha, beta, kappa, jitter = 0.9, 2.0, 0.5, 0.0

    fields = ukf_block_fields(T, nx, ny, k)
    ref = {f: np.full(shape, np.nan) for f, shape in fields}
    rec = filters.ukf_inputs(obs, *[dptr(a) for a in (*s.blocks, ss, params, S, H, data, x0, P0)],
                             T, nx, ny, m, k, params.size, alpha, beta, kappa, jitter, 1, 1)
    uo = filters.ukf_outputs(*[dptr(ref[f]) for f in UKF_FIELDS_RECORD])
    arena_words = lib.ukf_arena_size(nx, ny, m, k).doubles
    assert lib.ukf_hot_loop(ctypes.byref(rec), np.empty(arena_words), ctypes.byref(uo)) == 0

    model = block(*s.blocks, ss, params, S, H, data, x0, P0)
    words_out = lib.crv_filter_unscented_output_arena_size(nx, ny, k, T)
    inp, arena, out = guarded(model.size), guarded(arena_words), guarded(words_out)
    inp[:model.size] = model
    assert lib.crv_filter_unscented_step(inp, arena, obs, T, nx, ny, m, k, alpha, beta, kappa,
                                         jitter, params.size, 1, out) == 0
    check_guard(out, words_out), check_guard(arena, arena_words)
    got = split(out[:words_out], fields)
    for f, value in ref.items():
        np.testing.assert_array_equal(got[f], value, err_msg=f)

    words_in = lib.crv_filter_unscented_input_arena_size(nx, ny, m, k, T, params.size)
    inp2, out2 = guarded(words_in), guarded(words_out)
    inp2[:model.size] = model
    ctx = mc.crv_mc_filter_unscented_ctx(obs, T, nx, ny, m, k, params.size, alpha, beta, kappa,
                                         1, jitter)
    assert call_runner(lib, "crv_mc_filter_unscented_runner", ctx, inp2, out2) == (0, 0)
    np.testing.assert_array_equal(out2, out)
    check_guard(inp2, words_in)

    # alpha = 0 is refused by the filter; the runner passes its status on.
    ctx.alpha = 0.0
    assert call_runner(lib, "crv_mc_filter_unscented_runner", ctx, inp2, out2) == (CHOL_FAILED,
                                                                                  CHOL_FAILED)


# --------------------------------------------------------------------------
# Inside the driver

def test_failing_filter_fails_its_replication_with_nan_rows(lib, rng):
    """Per-replication data: replication 2 has an observation matrix of zeros
    and no measurement noise, so F = 0 and the filter fails there only."""
    s = Linear(rng, T=5)
    n_reps = 4
    Zs = np.stack([s.Z] * n_reps)
    Zs[2] = 0.0
    Hs = np.stack([s.H] * n_reps)
    Hs[2] = 0.0
    stage = mcjob.filter_linear_stage(
        lib, T=s.T, n=s.n, m=s.m, k=s.k, want_shocks=1,
        arrays=dict(A=s.A, B=s.B, d=s.d, S=s.S, data=s.data, x0=s.x0, P0=s.P0),
        rep_arrays=dict(Z=Zs, H=Hs))
    job = mcjob.Job([stage], n_reps, 2)
    assert job.run(lib) == 0
    np.testing.assert_array_equal(job.failed_stage, [-1, -1, 0, -1])
    np.testing.assert_array_equal(job.status, [0, 0, CHOL_FAILED, 0])
    assert np.isnan(stage.results[2]).all()
    np.testing.assert_array_equal(stage.iresults[:, 0], [0, 0, np.iinfo(np.int64).min, 0])
    status, ref = s.direct(lib, 1)
    got = stage.output()
    for f, value in ref.items():
        np.testing.assert_array_equal(got[f][0].reshape(value.shape), value, err_msg=f)


def test_job_helper_refuses_unsafe_tables(lib, rng):
    s = Linear(rng, T=4)
    short = np.zeros((2, s.m, s.m))  # per-replication H for 2 of 3 replications
    stage = mcjob.filter_linear_stage(lib, T=s.T, n=s.n, m=s.m, k=s.k, rep_arrays=dict(H=short))
    with pytest.raises(ValueError, match="2 entries for 3 replications"):
        mcjob.Job([stage], 3, 1)
    with pytest.raises(ValueError, match="expected 9 values"):
        mcjob.filter_linear_stage(lib, T=s.T, n=s.n, m=s.m, k=s.k, arrays=dict(A=np.eye(2)))
    stage = mcjob.Stage(mcjob.runner(lib, "crv_mc_raw_model_data_runner"), in_words=4)
    stage.bind(mcjob.Binding.array(np.ones(3), 2))
    with pytest.raises(ValueError, match="past the input block"):
        mcjob.Job([stage], 1, 1)
    with pytest.raises(ValueError, match="share a result row"):
        mcjob.Job([mcjob.raw_model_data_stage(lib, np.ones((2, 2)))], 2, 1,
                  row_maps=[np.array([0, 0])])


def test_simulate_and_filter_chain_has_the_expected_mean_loglik(lib):
    """Under the true model the innovations satisfy E[v' F^-1 v] = m per
    period, so the mean log-likelihood over replications is
    -1/2 sum_t (m log 2 pi + log|F_t| + m), with F_t the (data-free)
    innovation covariances. Checks shocks, simulation and filter together."""
    n_reps, T = 3000, 40
    A = np.array([[0.9, 0.1], [0.0, 0.7]])
    R = np.array([[0.5, 0.0], [0.3, 0.8]])
    Z, H = np.array([[1.0, 0.5], [0.2, 1.0]]), np.diag([0.1, 0.2])
    n, k, m = 2, 2, 2
    A_stack = np.block([[A, np.zeros((n, m))], [Z @ A, np.zeros((m, m))]])
    R_stack = np.block([[R, np.zeros((n, m))], [Z @ R, np.eye(m)]])
    shocks = (mcjob.ShockSpec(T, k + m).normal([0, 1], np.eye(k), key=(1, 1))
              .normal([2, 3], np.sqrt(H), key=(1, 2)))
    sim = mcjob.simulate_order1_stage(lib, T=T, n=n + m, m=k + m, shocks=shocks,
                                      arrays=dict(A=A_stack, R=R_stack, mu=np.zeros(n + m),
                                                  s0=np.zeros(n + m)))
    filt = mcjob.filter_linear_stage(lib, T=T, n=n, m=m, k=k, arrays=dict(
        A=A, B=R, Z=Z, d=np.zeros(m), S=np.eye(k), H=H, x0=np.zeros(n), P0=R @ R.T))
    filt.bind(mcjob.Binding(0, filt.input_layout["data"][0], T, [2, 3], src_row_len=n + m))
    job = mcjob.Job([sim, filt], n_reps, 2)
    assert job.run(lib) == 0
    out = filt.output()
    loglik = out["loglik"]
    F = out["innov_cov"][0]
    expected = -0.5 * sum(m * np.log(2 * np.pi) + np.linalg.slogdet(F[t])[1] + m
                          for t in range(T))
    se = loglik.std() / np.sqrt(n_reps)
    assert abs(loglik.mean() - expected) < 4 * se, (loglik.mean(), expected, se)
    # The standardised innovations are standard normal across replications.
    z = out["std_innov"].reshape(-1)
    assert abs(z.mean()) < 4 / np.sqrt(z.size) and abs(z.var() - 1) < 6 * np.sqrt(2 / z.size)


RUNNER_FAMILY = [
    "crv_mc_raw_model_data_runner", "crv_mc_simulate_order1_runner",
    "crv_mc_simulate_order2_runner", "crv_mc_filter_linear_runner",
    "crv_mc_filter_extended_runner", "crv_mc_filter_unscented_runner",
    "crv_raw_model_data_step", "crv_simulate_order1_step", "crv_simulate_order2_step",
    "crv_filter_linear_step", "crv_filter_extended_step", "crv_filter_unscented_step",
    "crv_simulate_order1_arena_size", "crv_simulate_order2_arena_size",
    "crv_filter_linear_input_arena_size", "crv_filter_extended_input_arena_size",
    "crv_filter_unscented_input_arena_size", "crv_filter_linear_output_arena_size",
    "crv_filter_extended_output_arena_size", "crv_filter_unscented_output_arena_size",
]


def test_runner_family_is_exported_by_the_regression_module():
    import importlib
    path = importlib.import_module("Corvane._ckernels.monte_carlo._regression").__file__
    raw = ctypes.CDLL(path)  # a fresh handle: names resolved from the export table
    missing = [name for name in RUNNER_FAMILY if not hasattr(raw, name)]
    assert not missing, f"not exported: {missing}"
    assert set(RUNNER_FAMILY) <= set(mc.SIGNATURES)
