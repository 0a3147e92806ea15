"""Random numbers: the Philox state, NumPy's bitgen_t and the fill kernels."""

import ctypes

from ._types import F64, Out, f64, i64, void_p

u32 = ctypes.c_uint32
u64 = ctypes.c_uint64


class crv_philox_state(ctypes.Structure):
    _fields_ = [
        ("key", u64 * 2),
        ("ctr", u64 * 4),
        ("buffer", u64 * 4),
        ("buffer_pos", i64),
    ]


# Member types of NumPy's bit-generator interface (numpy/random/bitgen.h).
next_uint64_t = ctypes.CFUNCTYPE(u64, ctypes.c_void_p)
next_uint32_t = ctypes.CFUNCTYPE(u32, ctypes.c_void_p)
next_double_t = ctypes.CFUNCTYPE(ctypes.c_double, ctypes.c_void_p)


class bitgen_t(ctypes.Structure):
    _fields_ = [
        ("state", ctypes.c_void_p),
        ("next_uint64", next_uint64_t),
        ("next_uint32", next_uint32_t),
        ("next_double", next_double_t),
        ("next_raw", next_uint64_t),
    ]


def bitgen_from_numpy(bit_generator):
    """A bitgen_t over a NumPy bit generator (kept alive by the caller).

    Uses the generator's own C state and functions (its `ctypes` interface);
    the record is only valid while `bit_generator` lives."""
    iface = bit_generator.ctypes
    return bitgen_t(
        ctypes.c_void_p(iface.state_address),
        ctypes.cast(iface.next_uint64, next_uint64_t),
        ctypes.cast(iface.next_uint32, next_uint32_t),
        ctypes.cast(iface.next_double, next_double_t),
        ctypes.cast(iface.next_uint64, next_uint64_t),
    )


RECORDS = {"crv_philox_state": crv_philox_state, "bitgen_t": bitgen_t}

_PS = ctypes.POINTER(crv_philox_state)
_BG = ctypes.POINTER(bitgen_t)

SIGNATURES = {
    "crv_philox_seed": (None, [_PS, u64, u64, u64, u64]),
    "crv_philox_next_u64": (u64, [_PS]),
    "crv_philox_bg_next_u64": (u64, [void_p]),
    "crv_philox_bg_next_u32": (u32, [void_p]),
    "crv_philox_bg_next_double": (f64, [void_p]),
    "crv_philox_bg_next_raw": (u64, [void_p]),
    "crv_philox_standard_normal_fill": (None, [_PS, i64, Out(F64, "out")]),
    "crv_philox_standard_uniform_fill": (None, [_PS, i64, Out(F64, "out")]),
    "crv_rng_standard_normal_fill": (None, [_BG, i64, Out(F64, "out")]),
    "crv_rng_standard_uniform_fill": (None, [_BG, i64, Out(F64, "out")]),
}
