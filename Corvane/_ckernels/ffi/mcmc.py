"""MCMC sampler: configuration, output and result records, the log-posterior
callback type and crv_mcmc_run."""

import ctypes

from ._types import F64, In, f64, i32, i64, void_p
from .rng import bitgen_t
from .status import STATUS

_dp = ctypes.POINTER(ctypes.c_double)

# double logpost(const double *x, void *context)
logpost_fn = ctypes.CFUNCTYPE(f64, _dp, ctypes.c_void_p)

ALLOC_FAILED = STATUS["CRV_MCMC_ALLOC_FAILED"]
INVALID_ARGS = STATUS["CRV_MCMC_INVALID_ARGS"]


class crv_mcmc_config(ctypes.Structure):
    _fields_ = [
        ("n_draws", i64),
        ("n_burn", i64),
        ("thin", i64),
        ("adapt", i32),
        ("adapt_start", i64),
        ("adapt_interval", i64),
        ("adapt_eps", f64),
        ("init_scale", f64),
    ]


class crv_mcmc_output(ctypes.Structure):
    _fields_ = [("draws", _dp), ("logpost", _dp)]


class crv_mcmc_result(ctypes.Structure):
    _fields_ = [
        ("accepted", i64),
        ("n_iter", i64),
        ("reserved", i64),
        ("status", i64),
        ("message", ctypes.c_char_p),
    ]


RECORDS = {
    "crv_mcmc_config": crv_mcmc_config,
    "crv_mcmc_output": crv_mcmc_output,
    "crv_mcmc_result": crv_mcmc_result,
}

SIGNATURES = {
    # The callback travels as a plain address (a logpost_fn instance, an
    # exported kernel's address or None), so compiled callbacks pass unwrapped.
    "crv_mcmc_run": (i64, [void_p, void_p, ctypes.POINTER(bitgen_t), In(F64, "x0"), i64,
                           ctypes.POINTER(crv_mcmc_config), ctypes.POINTER(crv_mcmc_output),
                           ctypes.POINTER(crv_mcmc_result)]),
}
