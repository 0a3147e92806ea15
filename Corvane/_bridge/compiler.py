"""Compile generated model code, cache the library, load it with ctypes.

The compiler is `CXX` when set (a command line, e.g. ``ccache g++``), else
the compiler that built the package, recorded at build time in
`Corvane._buildinfo` together with the package's numeric flags; models are
built with those flags (never -ffast-math), so their arithmetic is the
kernels'. Libraries live in a cache directory (`CORVANE_CACHE_DIR`, else the
per-user cache of `platformdirs`) under a key hashing the source, the
compiler (command and ``--version``), the flags, the installed headers and
the package version. Several processes may build the same model at once:
each compiles to its own temporary name and renames into place.
"""

import ctypes
import functools
import hashlib
import json
import os
import re
import shlex
import shutil
import subprocess
import threading
import uuid
from pathlib import Path

import numpy as np
import platformdirs

import Corvane

from .. import _buildinfo
from .._ckernels.ffi import filters as _filters_ffi
from .._ckernels.ffi import solve as _solve_ffi
from ..errors import ModelError
from .codegen import ModelSpec, generate

__all__ = ["CompiledModel", "ModelSpec", "cache_dir", "compile_model", "compile_source"]

# Flags every model library gets besides the recorded language standard and
# numeric flags.
_LIBRARY_FLAGS = ("-O2", "-fPIC", "-shared", "-fvisibility=hidden",
                  "-fvisibility-inlines-hidden")
_HEADER = Path("corvane") / "scalars.hpp"

_memo = {}          # cache key -> CompiledModel
_spec_memo = {}     # ModelSpec -> cache key
_memo_lock = threading.Lock()


def cache_dir():
    """Folder of compiled models: `CORVANE_CACHE_DIR`, else the user cache."""
    override = os.environ.get("CORVANE_CACHE_DIR")
    return Path(override) if override else Path(platformdirs.user_cache_dir("corvane"))


def compiler_command():
    """The C++ compiler command line: `CXX`, else the package's own compiler."""
    cxx = os.environ.get("CXX", "").strip()
    return tuple(shlex.split(cxx)) if cxx else tuple(_buildinfo.CXX)


def compile_flags():
    """Language standard, the package's numeric flags and the library flags."""
    return (f"-std={_buildinfo.CPP_STD}", *_buildinfo.NUMERIC_ARGS, *_LIBRARY_FLAGS)


@functools.cache
def _compiler_identity(command):
    """Resolved path and `--version` text of a compiler command."""
    path = shutil.which(command[0]) if command else None
    if path is None:
        raise ModelError(f"no C++ compiler: {' '.join(command) or '(empty)'} was not found "
                         f"(set CXX to a C++20 compiler)")
    try:
        proc = subprocess.run([path, *command[1:], "--version"], capture_output=True,
                              text=True, env=_compiler_env(), check=False)
    except OSError as exc:
        raise ModelError(f"C++ compiler {path} cannot run: {exc}") from None
    return f"{path}\n{proc.stdout}{proc.stderr}"


@functools.cache
def _header_text():
    return (Path(Corvane.get_include()) / _HEADER).read_text()


def _compiler_env():
    # The compiler needs none of this process's preloaded libraries (for
    # example a sanitizer runtime).
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


def cache_key(source, name="model"):
    """File stem of a source's library: the model name and a content hash."""
    command = compiler_command()
    digest = hashlib.sha256(json.dumps({
        "source": source,
        "compiler": _compiler_identity(command),
        "command": command,
        "flags": compile_flags(),
        "headers": _header_text(),
        "version": Corvane.__version__,
    }, sort_keys=True).encode()).hexdigest()
    stem = re.sub(r"[^A-Za-z0-9_]+", "_", name).strip("_")[:48] or "model"
    return f"{stem}-{digest[:32]}"


def _run_compiler(command):
    """Run one compiler command; (return code, diagnostics)."""
    proc = subprocess.run(command, capture_output=True, text=True, env=_compiler_env(),
                          check=False)
    return proc.returncode, (proc.stderr + proc.stdout).strip()


def _write_atomic(path, text):
    tmp = path.with_name(f".{path.name}.{os.getpid()}.{uuid.uuid4().hex}.tmp")
    tmp.write_text(text)
    os.replace(tmp, path)


def compile_source(source, name="model", key=None):
    """Path of the shared library built from C++ `source`, compiled unless the
    cache already holds it. A compiler failure raises ModelError with the
    compiler's message and the source file's path."""
    key = key or cache_key(source, name)
    folder = cache_dir()
    library = folder / f"{key}.so"
    if library.is_file():
        return library
    try:
        folder.mkdir(parents=True, exist_ok=True)
        src = folder / f"{key}.cpp"
        _write_atomic(src, source)
    except OSError as exc:
        raise ModelError(f"model {name}: cannot write to the model cache {folder}: {exc} "
                         f"(set CORVANE_CACHE_DIR to a writable folder)") from None
    tmp = folder / f".{key}.{os.getpid()}.{uuid.uuid4().hex}.so.tmp"
    command = [*compiler_command(), *compile_flags(), "-I", Corvane.get_include(),
               "-o", str(tmp), str(src)]
    try:
        code, messages = _run_compiler(command)
    except OSError as exc:
        code, messages = -1, str(exc)
    if code != 0 or not tmp.is_file():
        tmp.unlink(missing_ok=True)
        raise ModelError(f"model {name}: compiling the generated code failed "
                         f"({' '.join(command[:1])} exit status {code}); source: {src}\n"
                         f"{messages}")
    os.replace(tmp, library)
    return library


def compile_model(spec):
    """The compiled model of `spec`: generated, compiled (or found in the
    cache) and loaded; one CompiledModel per cache key in a process."""
    if not isinstance(spec, ModelSpec):
        raise ModelError(f"compile_model expects a ModelSpec, got {type(spec).__name__}")
    with _memo_lock:
        key = _spec_memo.get(spec)
        if key is not None and key in _memo:
            return _memo[key]
    source = generate(spec)
    key = cache_key(source, spec.name)
    with _memo_lock:
        if key in _memo:
            _spec_memo[spec] = key
            return _memo[key]
    library = compile_source(source, spec.name, key)
    try:
        model = CompiledModel(spec, library)
    except OSError:
        # an unreadable or foreign file under our name: build it again
        library.unlink(missing_ok=True)
        model = CompiledModel(spec, compile_source(source, spec.name, key))
    with _memo_lock:
        model = _memo.setdefault(key, model)
        _spec_memo[spec] = key
    return model


class CompiledModel:
    """A loaded model library and its callbacks.

    `residual_fn` and `hessian_fn` are the complex and bicomplex residual
    callbacks (`crv_residual_fn`), `obs_fn` and `obs_jac_fn` the observation
    function and its row-major Jacobian (`crv_obs_fn`, None without
    observables). Python-side evaluation: `residuals`, `steady_state`,
    `observe`.
    """

    def __init__(self, spec, library):
        self.spec = spec
        self.library = Path(library)
        self._dll = ctypes.CDLL(str(self.library))
        self.n, self.m = len(spec.variables), len(spec.shocks)
        self.p, self.n_obs = len(spec.parameters), len(spec.observables)
        self.nx = spec.nx
        self.flags = np.array(spec.flags, dtype=np.uint8)
        dims = np.zeros(5, dtype=np.int64)
        dims_fn = self._dll.crv_model_dims
        dims_fn.restype, dims_fn.argtypes = None, [ctypes.c_void_p]
        dims_fn(dims.ctypes.data)
        expected = (self.n, self.m, self.p, self.n_obs, int(spec.steady_state is not None))
        if tuple(dims) != expected:
            raise OSError(f"{self.library}: dimensions {tuple(dims)} do not match the model's "
                          f"{expected}")
        self.residual_fn = _solve_ffi.residual_fn(("crv_model_residual", self._dll))
        self.hessian_fn = _solve_ffi.residual_fn(("crv_model_hessian", self._dll))
        self.residual_address = ctypes.cast(self.residual_fn, ctypes.c_void_p).value
        self.hessian_address = ctypes.cast(self.hessian_fn, ctypes.c_void_p).value
        self.obs_fn = self.obs_jac_fn = None
        if self.n_obs:
            self.obs_fn = _filters_ffi.OBS_FN(("crv_model_obs", self._dll))
            self.obs_jac_fn = _filters_ffi.OBS_FN(("crv_model_obs_jac", self._dll))
        self._steady_fn = None
        if spec.steady_state is not None:
            self._steady_fn = self._dll.crv_model_steady_state
            self._steady_fn.restype = None
            self._steady_fn.argtypes = [ctypes.c_void_p, ctypes.c_void_p]

    def __repr__(self):
        return (f"<CompiledModel {self.spec.name}: n={self.n} nx={self.nx} m={self.m} "
                f"p={self.p} n_obs={self.n_obs} at {self.library}>")

    def _params(self, params):
        params = np.ascontiguousarray(params, dtype=float).reshape(-1)
        if params.size != self.p:
            raise ModelError(f"model {self.spec.name}: {params.size} parameter values for "
                             f"{self.p} parameters")
        return params

    def _point(self, x, what="x"):
        x = np.ascontiguousarray(x, dtype=float).reshape(-1)
        if x.size != self.n:
            raise ModelError(f"model {self.spec.name}: {what} has {x.size} values for "
                             f"{self.n} variables")
        return x

    def residuals(self, x, params):
        """Re F(x, x, x, 0): the static residuals at x, length n."""
        z = self._point(x).astype(complex)
        theta = self._params(params).astype(complex)
        shocks = np.zeros(max(self.m, 1), dtype=complex)
        out = np.zeros(max(self.n, 1), dtype=complex)
        address = z.ctypes.data
        self.residual_fn(address, address, address, shocks.ctypes.data, theta.ctypes.data,
                         out.ctypes.data)
        return out.real[:self.n].copy()

    def steady_state(self, params):
        """The closed-form steady state in variable order, None without one."""
        if self._steady_fn is None:
            return None
        params = self._params(params)
        ss = np.zeros(max(self.n, 1))
        self._steady_fn(params.ctypes.data, ss.ctypes.data)
        return ss[:self.n].copy()

    def observe(self, x, params):
        """h(x, params), the observables at the variable vector x (levels)."""
        out = np.zeros(self.n_obs)
        if self.obs_fn is None:
            return out
        x, params = self._point(x), self._params(params)
        dp = ctypes.POINTER(ctypes.c_double)
        self.obs_fn(x.ctypes.data_as(dp), params.ctypes.data_as(dp), out.ctypes.data_as(dp))
        return out
