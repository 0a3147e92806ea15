"""Record layouts of the ctypes mirror and the symbols each module exports."""

import ctypes
import re
import shutil
import subprocess

import pytest

from Corvane._ckernels import ffi

# (record, size in bytes, {field: offset}) as the C headers define them.
LAYOUTS = [
    (ffi.arena_size_t, 16, {"doubles": 0, "slots": 8}),
    (ffi.crv_lu_t, 32, {"lu": 0, "piv": 8, "n": 16, "status": 24}),
    (ffi.c128_lu_t, 32, {"lu": 0, "piv": 8, "n": 16, "status": 24}),
    (
        ffi.kf_inputs,
        128,
        {"n_states": 0, "n_periods": 24, "transition": 32, "data": 80, "x0": 88, "P0": 96,
         "symmetrize": 104, "jitter": 112, "want_shocks": 120, "store_paths": 124},
    ),
    (ffi.kf_outputs, 88, {"x_pred": 0, "innov_cov": 64, "shocks": 72, "loglik": 80}),
]


@pytest.mark.parametrize("record,size,offsets", LAYOUTS, ids=lambda v: getattr(v, "__name__", ""))
def test_record_layout(record, size, offsets):
    assert ctypes.sizeof(record) == size
    for field, offset in offsets.items():
        assert getattr(record, field).offset == offset, field


KF_FIELD_ORDER = ["n_states", "n_obs", "n_shocks", "n_periods", "transition", "shock_loading",
                  "design", "obs_intercept", "shock_cov", "obs_cov", "data", "x0", "P0",
                  "symmetrize", "jitter", "want_shocks", "store_paths"]


def test_kf_field_order():
    assert [f[0] for f in ffi.kf_inputs._fields_] == KF_FIELD_ORDER
    assert [f[0] for f in ffi.kf_outputs._fields_] == list(ffi.KF_OUTPUT_FIELDS)


def exported(name):
    import importlib

    path = importlib.import_module(ffi.MODULES[name][0]).__file__
    out = subprocess.run(["nm", "-D", "--defined-only", path], capture_output=True, text=True,
                         check=True).stdout
    return {line.split()[-1] for line in out.splitlines() if line.strip()}


ALLOWED = re.compile(r"^(PyInit__\w+|crv_\w+|kf_\w+|ekf_\w+|ukf_\w+|klein_\w+|c128_\w+|"
                     r"spike_call|kernel_weight|andrews_bandwidth(_matrix)?|wooldridge_bandwidth|"
                     r"setulb|matupd|formt|bmv|dcstep)$")


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
@pytest.mark.parametrize("name", sorted(ffi.MODULES))
def test_exports(name):
    symbols = exported(name)
    declared = set()
    for family in ffi.families(name):
        declared |= set(family.SIGNATURES)
    missing = declared - symbols
    assert not missing, f"declared but not exported: {sorted(missing)}"
    stray = {s for s in symbols if not ALLOWED.match(s)}
    assert not stray, f"exported beyond the kernel families: {sorted(stray)}"
    if name == "transforms":
        assert not any(s.startswith("kf_") for s in symbols)
