"""The _transforms Python functions: namespace, argument binding, error texts,
scalar and array paths, result types and shapes."""

import inspect
import math
import threading

import numpy as np
import pytest
import scipy.special as sp

from Corvane._ckernels.ffi.bijectors import BIJECTORS, BOUNDS, OPERATIONS
from Corvane._ckernels.transforms import _transforms as T

FUNCTIONS = [(b, op) for b in BIJECTORS for op in OPERATIONS]
BOUND_VALUE = {"low": 0.0, "high": 2.0}


def arg_names(b, op):
    first = "x" if op in ("fwd", "grad_fwd", "ldet_abs_jac_fwd") else "y"
    return (first, *BOUNDS[b, op])


def test_module_namespace():
    public = {name for name in dir(T) if not name.startswith("__")}
    expected = {f"{b}_{op}" for b, op in FUNCTIONS} | {"np", "float64"}
    assert len(expected) == 65
    assert public == expected
    assert T.np is np
    assert T.float64 is np.float64


@pytest.mark.parametrize("b,op", FUNCTIONS)
def test_argument_names_and_keyword_calls(b, op):
    f = getattr(T, f"{b}_{op}")
    names = arg_names(b, op)
    assert tuple(inspect.signature(f).parameters) == names
    values = [0.5] + [BOUND_VALUE[n] for n in names[1:]]
    positional = f(*values)
    assert f(**dict(zip(names, values))) == positional
    assert f(values[0], **dict(zip(names[1:], values[1:]))) == positional


def _count_message(name, count, given):
    return f"{name}() takes exactly {count} positional argument{'s' if count != 1 else ''} ({given} given)"


@pytest.mark.parametrize("b,op", FUNCTIONS)
def test_argument_count_errors(b, op):
    name = f"{b}_{op}"
    f = getattr(T, name)
    k = len(arg_names(b, op))
    with pytest.raises(TypeError) as too_many:
        f(*([0.5] * (k + 1)))
    assert str(too_many.value) == _count_message(name, k, k + 1)
    with pytest.raises(TypeError) as none:
        f()
    assert str(none.value) == _count_message(name, k, 0)


@pytest.mark.parametrize("call,message", [
    (lambda: T.aff_logit_fwd(0.5), "aff_logit_fwd() takes exactly 3 positional arguments (1 given)"),
    (lambda: T.aff_logit_fwd(0.5, high=2.0),
     "aff_logit_fwd() takes exactly 3 positional arguments (1 given)"),
    (lambda: T.aff_logit_fwd(x=0.5, low=0.0),
     "aff_logit_fwd() takes exactly 3 positional arguments (2 given)"),
    (lambda: T.lower_fwd(low=0.0), "lower_fwd() takes exactly 2 positional arguments (0 given)"),
    (lambda: T.aff_logit_grad_ldet_abs_jac_inv(0.5, 0.0),
     "aff_logit_grad_ldet_abs_jac_inv() takes exactly 1 positional argument (2 given)"),
    (lambda: T.lower_grad_inv(0.5, 0.0), "lower_grad_inv() takes exactly 1 positional argument (2 given)"),
    (lambda: T.lower_ldet_abs_jac_inv(0.5, 0.0),
     "lower_ldet_abs_jac_inv() takes exactly 1 positional argument (2 given)"),
    (lambda: T.upper_grad_inv(0.5, 1.0), "upper_grad_inv() takes exactly 1 positional argument (2 given)"),
    (lambda: T.log_fwd(1.0, y=2.0), "log_fwd() got an unexpected keyword argument 'y'"),
    (lambda: T.lower_grad_inv(y=1.0, low=0.0), "lower_grad_inv() got an unexpected keyword argument 'low'"),
    (lambda: T.log_fwd(1.0, x=2.0), "log_fwd() got multiple values for keyword argument 'x'"),
    (lambda: T.aff_probit_inv(0.1, 0.0, 1.0, low=0.0),
     "aff_probit_inv() got multiple values for keyword argument 'low'"),
    (lambda: T.aff_probit_inv(0.1, 0.0, 1.0, 5.0, low=0.0),
     "aff_probit_inv() takes exactly 3 positional arguments (4 given)"),
    (lambda: T.aff_probit_inv(0.1, 0.0, lo=0.0),
     "aff_probit_inv() got an unexpected keyword argument 'lo'"),
])
def test_binding_error_texts(call, message):
    with pytest.raises(TypeError) as err:
        call()
    assert str(err.value) == message


@pytest.mark.parametrize("call", [
    lambda: T.aff_logit_fwd("a", 0.0, 1.0),
    lambda: T.aff_logit_fwd([0.5], "a", 1.0),      # low converted before the array
    lambda: T.aff_logit_fwd([0.5], 0.0, None),
    lambda: T.lower_fwd(np.array([1.0]), object()),
    lambda: T.log_fwd(None),
    lambda: T.log_fwd(memoryview(b"\x00" * 8)),    # neither ndarray, list nor tuple
    lambda: T.log_fwd({1.0}),
])
def test_float_conversion_errors(call):
    with pytest.raises(TypeError):
        call()


def test_bad_bound_reported_before_bad_array():
    with pytest.raises(TypeError, match="must be real number"):
        T.aff_logit_fwd(["not a number"], "a", 1.0)
    with pytest.raises(ValueError):
        T.aff_logit_fwd(["not a number"], 0.0, 1.0)


class _Floaty:
    def __float__(self):
        return 4.0


class _Indexy:
    def __index__(self):
        return 4


@pytest.mark.parametrize("v", [4.0, 4, np.float64(4.0), np.int32(4), np.float32(4.0), True * 4,
                               _Floaty(), _Indexy()])
def test_scalar_path_returns_numpy_float64(v):
    r = T.log_fwd(v)
    assert type(r) is np.float64
    assert r == math.log(4.0)


@pytest.mark.parametrize("v,shape", [
    ([1.0, 2.0], (2,)),
    ((1.0, 2.0), (2,)),
    ([[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]], (2, 3)),
    (np.array(2.0), (1,)),
    (np.arange(1, 25, dtype=np.int64).reshape(2, 3, 4), (2, 3, 4)),
    (np.arange(1, 7, dtype=np.float32), (6,)),
])
def test_array_path_shapes_and_values(v, shape):
    r = T.logit_inv(v)
    assert type(r) is np.ndarray
    assert r.dtype == np.float64 and r.shape == shape and r.flags.c_contiguous
    np.testing.assert_allclose(r, sp.expit(np.asarray(v, dtype=np.float64)).reshape(shape), rtol=1e-15)


@pytest.mark.parametrize("v,shape", [([], (0,)), (np.empty((3, 0)), (3, 0)), ((), (0,)),
                                     (np.empty((0, 2), dtype=np.int64), (0, 2))])
def test_empty_inputs_return_empty_float64(v, shape):
    r = T.aff_logit_fwd(v, 0.0, 1.0)
    assert r.dtype == np.float64 and r.shape == shape


def test_non_contiguous_inputs_are_copied_to_row_major():
    base = np.linspace(0.05, 0.95, 24).reshape(4, 6)
    for v in (np.asfortranarray(base), base[:, ::2], base.T):
        before = v.copy()
        r = T.logit_fwd(v)
        assert r.flags.c_contiguous and r.shape == v.shape
        np.testing.assert_allclose(r, sp.logit(v), rtol=1e-14)
        np.testing.assert_array_equal(v, before)


def test_input_is_never_written():
    v = np.linspace(0.1, 0.9, 9)
    before = v.copy()
    r = T.tanh_fwd(v)
    assert r is not v and not np.shares_memory(r, v)
    np.testing.assert_array_equal(v, before)


def test_subclass_takes_array_path_and_returns_ndarray():
    class Tagged(np.ndarray):
        pass

    v = np.array([1.0, 2.0]).view(Tagged)
    r = T.log_fwd(v)
    assert type(r) is np.ndarray
    np.testing.assert_allclose(r, np.log([1.0, 2.0]))


def test_list_and_tuple_subclasses_take_array_path():
    class L(list):
        pass

    class Tup(tuple):
        pass

    assert T.log_fwd(L([1.0])).shape == (1,)
    assert T.log_fwd(Tup((1.0, 1.0))).shape == (2,)


def test_read_only_contiguous_float64_is_refused():
    v = np.linspace(0.1, 0.9, 5)
    v.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        T.log_fwd(v)
    # A converting copy is writable, so these work.
    np.testing.assert_allclose(T.log_fwd(v[::2]), np.log(v[::2]))
    np.testing.assert_allclose(T.log_fwd(v.astype(np.float32)), np.log(v.astype(np.float32)))
    empty = np.empty(0)
    empty.flags.writeable = False
    assert T.log_fwd(empty).shape == (0,)


def test_array_conversion_errors_propagate():
    with pytest.raises(ValueError):
        T.log_fwd([1.0, [2.0, 3.0]])
    with pytest.raises(TypeError):
        T.log_fwd([1.0 + 2.0j])


def test_out_of_domain_values_never_raise():
    with np.errstate(all="raise"):
        r = T.log_fwd([-1.0, 0.0, 1.0])
    assert math.isnan(r[0]) and r[1] == -math.inf and r[2] == 0.0
    assert math.isnan(T.logit_fwd(2.0))


@pytest.mark.parametrize("b,op", FUNCTIONS)
def test_scalar_and_array_paths_agree(b, op):
    f = getattr(T, f"{b}_{op}")
    bounds = [BOUND_VALUE[n] for n in BOUNDS[b, op]]
    v = [0.2, 0.7, 1.3] if op.endswith("fwd") else [-1.5, 0.0, 2.0]
    arr = f(v, *bounds)
    scalars = np.array([f(x, *bounds) for x in v])
    np.testing.assert_array_max_ulp(arr, scalars, maxulp=2)


def test_concurrent_calls_give_serial_results():
    rng = np.random.default_rng(3)
    data = [rng.uniform(0.01, 0.99, 200_000) for _ in range(4)]
    expected = [T.aff_probit_fwd(d, -1.0, 3.0) for d in data]
    results = [None] * 4

    def work(i):
        for _ in range(5):
            results[i] = T.aff_probit_fwd(data[i], -1.0, 3.0)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, expected):
        np.testing.assert_array_equal(got, want)


@pytest.mark.parametrize("dtype", [object, np.longdouble, np.int32])
def test_any_numeric_dtype_is_converted_like_ascontiguousarray(dtype):
    x = np.array([3.0, 2.0], dtype=dtype)
    np.testing.assert_array_equal(T.log_fwd(x), np.log(np.ascontiguousarray(x, dtype=np.float64)))
