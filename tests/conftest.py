import ctypes

import numpy as np
import pytest

from Corvane._ckernels import ffi

# ---- status codes the suite provokes -------------------------------------------
# Every integer-returning kernel called through ffi records the negative
# values it returns (size queries and bandwidths return counts, spike_call
# whatever its callback says). tests/common/test_status.py, run last, checks
# that each recorded code is a row of the status table.

PROVOKED_STATUSES = {}  # code -> the first kernel that returned it
_NOT_STATUSES = ("size", "bandwidth", "spike_call", "klein_ouc")
_LAST = "test_provoked_statuses_are_in_the_table"


def _record_status(result, func, args):
    if result < 0:
        PROVOKED_STATUSES.setdefault(result, func.__name__)
    return result


def _record_statuses():
    for name in ffi.MODULES:
        lib = ffi.load(name)
        for family in ffi.families(name):
            for kernel, (restype, _) in family.SIGNATURES.items():
                if restype in (ctypes.c_int32, ctypes.c_int64) and not any(
                        word in kernel for word in _NOT_STATUSES):
                    getattr(lib, kernel).errcheck = _record_status


_record_statuses()


def pytest_collection_modifyitems(session, config, items):
    items.sort(key=lambda item: item.name.startswith(_LAST))


@pytest.fixture(scope="session")
def provoked_statuses():
    """{status code: kernel} of the negative statuses returned so far."""
    return PROVOKED_STATUSES


@pytest.fixture(scope="session")
def lib():
    """The kernel library as carried by the _regression module (families 1-8)."""
    return ffi.load("regression")


@pytest.fixture(params=sorted(ffi.MODULES))
def any_lib(request):
    """Each module's own copy of the shared kernels."""
    return ffi.load(request.param)


@pytest.fixture
def rng():
    return np.random.default_rng(20261208)


@pytest.fixture
def make_spd(rng):
    """Random well-conditioned symmetric positive definite matrices."""

    def make(n, scale=1.0):
        a = rng.standard_normal((n, n))
        return scale * (a @ a.T + n * np.eye(n))

    return make
