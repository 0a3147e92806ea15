"""The compiled example models (`libcrv_models.so`, next to the kernels in
`Corvane/_ckernels/models/`): their names, as the library enumerates them,
and each model's description record read into an `ExampleModel`.

    from Corvane._bridge.examples import example_model, example_names
    example_names()          # ("rbc", "growth", "linear_determinate", ...)
    rbc = example_model("rbc")
    rbc.n, rbc.param_names, rbc.residual   # dimensions, names, callback address
"""

import functools

import numpy as np

from Corvane._ckernels import ffi


def example_library():
    """The compiled example-model library (a loaded `ffi.Library`)."""
    return ffi.load_models()


@functools.cache
def _records():
    lib = example_library()
    found, i = {}, 0
    while rec := lib.crv_example_model_at(i):
        found[rec.contents.name.decode()] = rec.contents
        i += 1
    return found


def example_names():
    """The names of the library's models, in the library's order."""
    return tuple(_records())


class ExampleModel:
    """Description of a compiled example model: dimensions, names, timing
    flags, default parameters, steady-state guess and callback addresses
    (`residual`, `hessian`, `obs_fn`, `obs_jac`, `obs_linear_fn`,
    `obs_linear_jac`). Observation functions take levels."""

    CALLBACKS = ("residual", "hessian", "obs_fn", "obs_jac", "obs_linear_fn", "obs_linear_jac")

    def __init__(self, name):
        records = _records()
        if name not in records:
            raise ValueError(f"no example model {name!r}; the library has "
                             f"{', '.join(records)}")
        rec = records[name]
        self.library = example_library()
        self.name = name
        self.n, self.nx, self.ny, self.m, self.p, self.n_obs = (
            rec.n, rec.nx, rec.ny, rec.m, rec.p, rec.n_obs)

        def names(ptr, count):
            return tuple(ptr[i].decode() for i in range(count))

        self.names = names(rec.var_names, self.n)
        self.shock_names = names(rec.shock_names, self.m)
        self.param_names = names(rec.param_names, self.p)
        self.obs_names = names(rec.obs_names, self.n_obs)
        self.flags = np.array(rec.flags[:self.n], dtype=np.uint8)
        self.params = np.array(rec.params[:self.p], dtype=float)
        self.x_guess = np.array(rec.x_guess[:self.n], dtype=float)
        for cb in self.CALLBACKS:
            setattr(self, cb, getattr(rec, cb))

    def observation(self, kind="log"):
        """(obs_fn, obs_jac) addresses: kind "log" (logs) or "linear" (levels)."""
        if kind == "log":
            return self.obs_fn, self.obs_jac
        if kind == "linear":
            return self.obs_linear_fn, self.obs_linear_jac
        raise ValueError(f"unknown observation kind {kind!r}")

    def param_index(self, name):
        return self.param_names.index(name)


def example_model(name):
    """The compiled example model `name` (one of `example_names()`)."""
    return ExampleModel(name)
