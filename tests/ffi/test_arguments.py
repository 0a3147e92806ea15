"""The ctypes mirror refuses arguments a kernel would misuse: read-only memory
where the kernel writes, misaligned arrays, references to the wrong element
type and integers outside their C type. Each refusal is a TypeError,
ValueError or OverflowError naming the kernel and the argument, raised before
the kernel runs (the memory it would have touched is unchanged)."""

import ctypes
import mmap
import re

import numpy as np
import pytest

from Corvane._ckernels import ffi

TRANSFORMS = ffi.load("transforms")
REGRESSION = ffi.load("regression")


def readonly_memmap(tmp_path, shape):
    path = tmp_path / "out.bin"
    np.zeros(shape).tofile(path)
    return np.memmap(path, dtype=np.float64, mode="r", shape=shape)


def misaligned(n, fill=1.0):
    """n float64 values one byte into a writeable buffer."""
    a = np.frombuffer(bytearray(8 * n + 1), dtype=np.float64, count=n, offset=1)
    a[:] = fill
    return a


def call_chol(L):
    return TRANSFORMS.crv_chol(np.eye(3), L, 3, 0.0)


def call_log_fwd_arr(out):
    return TRANSFORMS.crv_log_fwd_arr(np.ones(3), out, 3)


def call_status(status):
    X, y = np.eye(3), np.ones(3)
    return REGRESSION.crv_ols_chol_solve(X, y, 3, 3, np.empty(3), np.empty(9), status,
                                         np.empty(9), np.empty(3))


def frozen(shape):
    a = np.zeros(shape)
    a.flags.writeable = False
    return a


# ---- read-only memory where the kernel writes -----------------------------------

@pytest.mark.parametrize("make_output, call, where", [
    (lambda tmp: np.frombuffer(bytes(72), dtype=np.float64), call_chol, "argument 2 (L)"),
    (lambda tmp: readonly_memmap(tmp, (3, 3)), call_chol, "argument 2 (L)"),
    (lambda tmp: frozen(3), call_log_fwd_arr, "argument 2 (out)"),
    (lambda tmp: np.frombuffer(mmap.mmap(-1, 24, prot=mmap.PROT_READ), dtype=np.float64),
     call_log_fwd_arr, "argument 2 (out)"),
    (lambda tmp: np.frombuffer(bytes(8), dtype=np.int64), call_status, "argument 7 (status)"),
], ids=["bytes", "memmap", "flagged", "mmap", "int64-status"])
def test_read_only_outputs_are_refused(tmp_path, make_output, call, where):
    out = make_output(tmp_path)
    before = np.array(out, copy=True)
    with pytest.raises(ValueError, match=rf"^\w+: {re.escape(where)}: read-only") as info:
        call(out)
    assert "read-only" in str(info.value)
    np.testing.assert_array_equal(out, before)


def readonly_identity(tmp_path):
    path = tmp_path / "A.bin"
    np.eye(3).tofile(path)
    return np.memmap(path, dtype=np.float64, mode="r", shape=(3, 3))


@pytest.mark.parametrize("make_input", [
    lambda tmp: np.frombuffer(np.eye(3).tobytes()).reshape(3, 3), readonly_identity,
], ids=["bytes", "memmap"])
def test_read_only_inputs_are_accepted(tmp_path, make_input):
    # An input is only read: read-only memory is fine there.
    A = make_input(tmp_path)
    assert not A.flags.writeable
    L = np.zeros((3, 3))
    assert TRANSFORMS.crv_chol(A, L, 3, 0.0) == 0
    np.testing.assert_array_equal(L, np.eye(3))


# ---- misaligned float64 ---------------------------------------------------------

@pytest.mark.parametrize("call, where", [
    (lambda: TRANSFORMS.crv_dot(misaligned(4), np.ones(4), 4), "crv_dot: argument 1 (a)"),
    (lambda: TRANSFORMS.crv_dot(np.ones(4), misaligned(4), 4), "crv_dot: argument 2 (b)"),
    (lambda: TRANSFORMS.crv_chol(np.eye(2), misaligned(4), 2, 0.0), "crv_chol: argument 2 (L)"),
    (lambda: TRANSFORMS.crv_log_fwd(ctypes.c_double.from_buffer(bytearray(9), 1),
                                    ctypes.byref(ctypes.c_double())),
     "crv_log_fwd: argument 1 (in)"),
    (lambda: TRANSFORMS.crv_log_fwd(ctypes.c_double(1.0),
                                    ctypes.byref(ctypes.c_double.from_buffer(bytearray(9), 1))),
     "crv_log_fwd: argument 2 (out)"),
    (lambda: TRANSFORMS.crv_lu_factor_inplace(
        np.eye(2), np.frombuffer(bytearray(17), np.int64, 2, 1), 2),
     "crv_lu_factor_inplace: argument 2 (piv)"),
], ids=["input", "second-input", "output", "c_double", "byref", "int64"])
def test_misaligned_arrays_are_refused(call, where):
    with pytest.raises(ValueError, match=re.escape(where) + ".*aligned"):
        call()


def test_aligned_views_at_an_offset_are_accepted():
    buf = bytearray(8 * 5)
    x = np.frombuffer(buf, dtype=np.float64, count=4, offset=8)
    x[:] = [1.0, 2.0, 3.0, 4.0]
    assert TRANSFORMS.crv_dot(x, x, 4) == 30.0


# ---- references to the wrong element type ---------------------------------------

@pytest.mark.parametrize("call, where, error", [
    (lambda a: TRANSFORMS.crv_log_fwd(ctypes.byref(ctypes.c_double(0.5)), ctypes.byref(a)),
     "crv_log_fwd: argument 2 (out)", TypeError),
    (lambda a: TRANSFORMS.crv_log_fwd(ctypes.c_double(0.5), ctypes.pointer(a)),
     "crv_log_fwd: argument 2 (out)", TypeError),
    (lambda a: TRANSFORMS.crv_log_fwd(ctypes.c_double(0.5), a),
     "crv_log_fwd: argument 2 (out)", TypeError),
    (lambda a: TRANSFORMS.crv_log_fwd_arr(np.ones(1), (ctypes.c_int32 * 2).from_address(
        ctypes.addressof(a)), 1), "crv_log_fwd_arr: argument 2 (out)", TypeError),
    (lambda a: call_status(ctypes.byref(a)), "crv_ols_chol_solve: argument 7 (status)",
     TypeError),
    (lambda a: TRANSFORMS.crv_log_fwd_arr(np.ones(1), np.zeros(1, np.float32), 1),
     "crv_log_fwd_arr: argument 2 (out)", TypeError),
], ids=["byref", "pointer", "instance", "array", "int64-status", "float32-array"])
def test_wrong_element_types_are_refused(call, where, error):
    # A 4-byte target, followed by 4 guard bytes, where the kernel would
    # write 8 bytes.
    pair = (ctypes.c_int32 * 2)(7, 11)
    with pytest.raises(error, match=re.escape(where)):
        call(ctypes.c_int32.from_buffer(pair))
    assert list(pair) == [7, 11]


@pytest.mark.parametrize("target", [
    lambda v: ctypes.byref(v), lambda v: ctypes.pointer(v), lambda v: v,
], ids=["byref", "pointer", "instance"])
def test_right_element_types_are_accepted(target):
    out = ctypes.c_double(-1.0)
    TRANSFORMS.crv_log_fwd(ctypes.c_double(2.0), target(out))
    assert out.value == pytest.approx(np.log(2.0), rel=1e-15)


# ---- integers outside their C type ---------------------------------------------

@pytest.mark.parametrize("call, where", [
    (lambda: TRANSFORMS.crv_dot(np.ones(2), np.ones(2), 2**64 + 2), "crv_dot: argument 3"),
    (lambda: TRANSFORMS.crv_dot(np.ones(2), np.ones(2), -(2**63) - 1), "crv_dot: argument 3"),
    (lambda: REGRESSION.crv_mc_sparse_gram(np.ones(1), np.ones(1), 1, 1, 2**31, np.empty(1),
                                           np.empty(1), np.empty(1)),
     "crv_mc_sparse_gram: argument 5"),
    (lambda: REGRESSION.crv_philox_seed(ctypes.byref(ffi.rng.crv_philox_state()), -1, 0, 0, 0),
     "crv_philox_seed: argument 2"),
    (lambda: TRANSFORMS.crv_dot(2**64, np.ones(2), 2), "crv_dot: argument 1 (a)"),
], ids=["int64-high", "int64-low", "int32", "uint64-negative", "address"])
def test_integers_outside_their_type_overflow(call, where):
    with pytest.raises(OverflowError, match=re.escape(where)):
        call()


@pytest.mark.parametrize("n", [2, np.int64(2), np.int32(2), True + 1])
def test_integers_in_range_pass_as_given(n):
    assert TRANSFORMS.crv_dot(np.array([1.0, 2.0, 4.0]), np.ones(3), n) == 3.0


def test_non_integers_are_a_type_error():
    with pytest.raises(TypeError, match="crv_dot: argument 3: expected an integer, got float"):
        TRANSFORMS.crv_dot(np.ones(2), np.ones(2), 2.0)


# ---- every declared array argument ---------------------------------------------

def _written_arguments():
    for module in sorted(ffi.MODULES):
        for family in ffi.families(module):
            for kernel, (_, argtypes) in family.SIGNATURES.items():
                for position, argtype in enumerate(argtypes, 1):
                    if isinstance(argtype, ffi.ArrayArg) and argtype.writes:
                        yield module, kernel, position, argtype


WRITTEN = sorted({(m, k, p): a for m, k, p, a in _written_arguments()}.items())


@pytest.mark.parametrize("key, argtype", WRITTEN, ids=[f"{k}-{p}" for (_, k, p), _ in WRITTEN])
def test_every_written_argument_refuses_read_only_memory(key, argtype):
    module, kernel, position = key
    fn = getattr(ffi.load(module), kernel)
    args = [None] * len(fn.argtypes)
    args[position - 1] = np.frombuffer(bytes(64), dtype=argtype.dtypes[0])
    # Arguments before it are zeros and null pointers; the refusal comes first.
    for i, t in enumerate(fn.argtypes[:position - 1]):
        if isinstance(t, ffi.IntArg) or t is ctypes.c_double:
            args[i] = 0
        elif isinstance(t, type) and issubclass(t, ctypes._CFuncPtr):
            args[i] = t()
    with pytest.raises(ValueError, match=rf"^{kernel}: argument {position} \({argtype.name}\)"):
        fn(*args)

