"""Argument types shared by the family bindings.

Array arguments accept a C-contiguous NumPy array of the right dtype, None
(a null pointer), an integer address or a ctypes pointer. Arrays are checked,
never copied: the kernel writes into the caller's memory.
"""

import ctypes

import numpy as np

i32 = ctypes.c_int32
i64 = ctypes.c_int64
f64 = ctypes.c_double
void_p = ctypes.c_void_p


class _ArrayArg:
    dtypes: tuple = ()
    ctype = None
    label = ""

    @classmethod
    def from_param(cls, obj):
        if obj is None:
            return None
        if isinstance(obj, np.ndarray):
            if obj.dtype not in cls.dtypes:
                raise TypeError(f"expected a {cls.label} array, got dtype {obj.dtype}")
            if not obj.flags.c_contiguous:
                raise ValueError(f"expected a C-contiguous {cls.label} array")
            return ctypes.c_void_p(obj.ctypes.data)
        if isinstance(obj, int):
            return ctypes.c_void_p(obj)
        if isinstance(obj, ctypes.c_void_p):
            return obj
        if isinstance(obj, (ctypes._Pointer, ctypes.Array)):
            if obj._type_ is not cls.ctype:
                raise TypeError(f"expected a {cls.label} array, got elements of "
                                f"{obj._type_.__name__}")
            return obj
        raise TypeError(f"expected a {cls.label} array, got {type(obj).__name__}")


class F64(_ArrayArg):
    """double*; complex128 arrays pass as interleaved pairs."""

    dtypes = (np.dtype(np.float64), np.dtype(np.complex128))
    ctype = ctypes.c_double
    label = "float64"


class I64(_ArrayArg):
    dtypes = (np.dtype(np.int64),)
    ctype = ctypes.c_int64
    label = "int64"


class I32(_ArrayArg):
    dtypes = (np.dtype(np.int32),)
    ctype = ctypes.c_int32
    label = "int32"


class U8(_ArrayArg):
    dtypes = (np.dtype(np.uint8),)
    ctype = ctypes.c_uint8
    label = "uint8"


class arena_size_t(ctypes.Structure):
    """Scratch requirement: doubles, then 64-bit integer slots."""

    _fields_ = [("doubles", i64), ("slots", i64)]

    def __iter__(self):
        return iter((self.doubles, self.slots))


def ptr(record):
    """Pointer to a ctypes record, for record arguments."""
    return ctypes.pointer(record)


def array_address(a):
    """Address of an array's first element, or 0 for None."""
    return 0 if a is None else a.ctypes.data


def declare(lib, signatures):
    """Set restype and argtypes of every kernel in `signatures` on `lib`."""
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = argtypes
