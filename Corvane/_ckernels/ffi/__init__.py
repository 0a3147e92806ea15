"""ctypes mirror of the kernel library: the raw layer.

Each extension module carries its own copy of the kernels it exports;
`load(name)` opens one module's shared object and declares the restype and
argtypes of every kernel family it carries:

    from Corvane._ckernels import ffi
    lib = ffi.load("regression")
    status = lib.crv_chol(A, L, n, 0.0)

Records are ctypes Structures named as in the C headers (`ffi.kf_inputs`);
this package holds records, signatures, constants and `load()`, nothing
else. The builders that turn arrays into records and jobs live in
`Corvane._bridge`.

What the binding checks: array arguments are of the element type, C-contiguous
and aligned, arrays the kernel writes are writeable, a `byref()` refers to
the right element type, integers fit their C type; a refused argument raises
TypeError, ValueError or OverflowError naming the kernel and the argument
(see `_types`). What it cannot check: pointers and sizes. Whether an array
holds every element a kernel touches for the dimensions passed, whether an
arena has the size the kernel's `*_arena_size` asks for, whether a record's
pointers are live: all of that is the caller's responsibility, and a mistake
is undefined behaviour, not an exception.
"""

import functools
import importlib
import importlib.resources

from . import (  # one family per line
    beliefplan,
    bijectors,
    filters,
    linalg,
    mc,
    mcstats,
    optimize,
    mcmc,
    models,
    objective,
    regression,
    rng,
    simulate,
    solve,
    stats,
    status,
)
from ._types import (F64, I32, I64, U8, ArrayArg, In, IntArg, Library, Out, arena_size_t,
                     array_address, declare, ptr)
from .filters import (KF_OUTPUT_FIELDS, KF_SMOOTHER_OUTPUT_FIELDS, crv_dlyap_lapack, kf_inputs,
                      kf_outputs, kf_smoother_outputs)
from .linalg import c128_lu_t, crv_lu_t
from .regression import crv_fit_result

# Kernel families each extension module carries, one per line.
_TRANSFORMS = (
    linalg,
    status,
    bijectors,
)
_REGRESSION = (
    linalg,
    status,
    solve,
    filters,
    simulate,
    rng,
    mc,
    regression,
    stats,
    mcstats,
)
_BELIEFPLAN = (
    linalg,
    status,
    solve,
    filters,
    simulate,
    rng,
    beliefplan,
    optimize,
    mcmc,
    objective,
)

MODULES = {
    "transforms": ("Corvane._ckernels.transforms._transforms", _TRANSFORMS),
    "regression": ("Corvane._ckernels.monte_carlo._regression", _REGRESSION),
    "beliefplan": ("Corvane._ckernels.estimation._beliefplan", _BELIEFPLAN),
}


@functools.cache
def load(name):
    """The shared object of module `name` with every carried kernel declared."""
    module_name, families = MODULES[name]
    module = importlib.import_module(module_name)
    lib = Library(module.__file__)
    for family in families:
        declare(lib, family.SIGNATURES)
    return lib


@functools.cache
def load_models():
    """The compiled example-model library, its exports declared."""
    path = importlib.resources.files("Corvane._ckernels") / "models" / "libcrv_models.so"
    lib = Library(str(path))
    declare(lib, models.SIGNATURES)
    return lib


def families(name):
    """The family binding modules carried by module `name`."""
    return MODULES[name][1]


__all__ = [
    "ArrayArg", "F64", "I32", "I64", "In", "IntArg", "Library", "Out", "U8", "KF_OUTPUT_FIELDS",
    "KF_SMOOTHER_OUTPUT_FIELDS", "crv_dlyap_lapack", "kf_smoother_outputs",
    "MODULES", "arena_size_t", "array_address", "c128_lu_t", "crv_lu_t", "families", "kf_inputs", "kf_outputs",
    "load", "load_models", "ptr",
]
