import numpy as np
import pytest

from Corvane._ckernels import ffi


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
