"""Argument types shared by the family bindings, and the library loader.

Array arguments are declared with their direction and name, `In(F64, "A")`
or `Out(F64, "L")` (`Out`: the kernel writes through the pointer, as an
output or an in/out argument). Each accepts

- a NumPy array of its element type, C-contiguous and aligned to the element
  size; an `Out` array must be writeable (a read-only array, a `bytes`
  buffer or a read-only memmap is refused);
- a ctypes object of its element type: an instance (passed by reference), a
  ctypes array, a pointer or a `ctypes.byref()` of one;
- None (a null pointer), an integer address or a `ctypes.c_void_p`, passed
  unchecked.

Arrays are checked, never copied: the kernel works in the caller's memory.
Integer scalar arguments are checked against the range of their C type.
A refused argument raises TypeError, ValueError or OverflowError naming the
kernel and the argument. Sizes are not checked: this is the raw layer, and
whether an array holds as many elements as the kernel will touch is the
caller's responsibility.
"""

import ctypes
import operator

import numpy as np

i32 = ctypes.c_int32
i64 = ctypes.c_int64
f64 = ctypes.c_double
void_p = ctypes.c_void_p

_CArg = type(ctypes.byref(ctypes.c_double()))
_ADDRESS_MAX = 2**64 - 1


class ArrayArg:
    """A pointer argument to elements of one type (see the module notes)."""

    __slots__ = ("label", "ctype", "dtypes", "size", "name", "writes")

    def __init__(self, label, ctype, dtypes, name=None, writes=False):
        self.label, self.ctype, self.dtypes = label, ctype, tuple(np.dtype(d) for d in dtypes)
        self.size = ctypes.sizeof(ctype)
        self.name, self.writes = name, writes

    def declared(self, name, writes):
        return ArrayArg(self.label, self.ctype, self.dtypes, name, writes)

    def __repr__(self):
        kind = self.label.replace("float", "F").replace("uint", "U").replace("int", "I")
        if self.name is None:
            return kind
        return f"{'Out' if self.writes else 'In'}({kind}, {self.name!r})"

    def from_param(self, obj):
        if isinstance(obj, np.ndarray):
            if obj.dtype not in self.dtypes:
                raise TypeError(f"expected a {self.label} array, got dtype {obj.dtype}")
            flags = obj.flags
            if not flags.c_contiguous:
                raise ValueError(f"expected a C-contiguous {self.label} array")
            if not flags.writeable and self.writes:
                raise ValueError("read-only array where the kernel writes")
            if not flags.aligned and obj.ctypes.data % self.size:
                raise ValueError(f"{self.label} array not aligned to {self.size} bytes")
            if flags.writeable and obj.nbytes >= self.size:
                try:  # the fast way to an array's address
                    return ctypes.byref(self.ctype.from_buffer(obj))
                except (TypeError, ValueError):
                    pass
            return ctypes.c_void_p(obj.ctypes.data)
        if type(obj) is self.ctype:  # one value, by reference
            if ctypes.addressof(obj) % self.size:
                raise ValueError(f"{self.ctype.__name__} not aligned to {self.size} bytes")
            return ctypes.byref(obj)
        if obj is None:
            return None
        if isinstance(obj, int):
            if not 0 <= obj <= _ADDRESS_MAX:
                raise OverflowError(f"address {obj} out of range")
            return ctypes.c_void_p(obj)
        if isinstance(obj, ctypes.c_void_p):
            return obj
        if isinstance(obj, _CArg):
            self._check_target(obj._obj, "a reference to ")
            return obj
        if isinstance(obj, ctypes._Pointer):
            if obj._type_ is not self.ctype:
                raise TypeError(f"expected a pointer to {self.ctype.__name__}, got one to "
                                f"{obj._type_.__name__}")
            return obj
        if isinstance(obj, ctypes.Array):
            self._check_target(obj, "an array of ")
            return obj
        raise TypeError(f"expected a {self.label} array, got {type(obj).__name__}")

    def _check_target(self, target, what):
        element = target._type_ if isinstance(target, ctypes.Array) else type(target)
        if element is not self.ctype:
            raise TypeError(f"expected {what}{self.ctype.__name__}, got {what}"
                            f"{element.__name__}")
        if ctypes.addressof(target) % self.size:
            raise ValueError(f"{self.ctype.__name__} not aligned to {self.size} bytes")


F64 = ArrayArg("float64", ctypes.c_double, (np.float64, np.complex128))
"""double*; complex128 arrays pass as interleaved pairs."""
I64 = ArrayArg("int64", ctypes.c_int64, (np.int64,))
I32 = ArrayArg("int32", ctypes.c_int32, (np.int32,))
U8 = ArrayArg("uint8", ctypes.c_uint8, (np.uint8,))


def In(kind, name):
    """An array argument the kernel only reads."""
    return kind.declared(name, writes=False)


def Out(kind, name):
    """An array argument the kernel writes (an output or an in/out argument)."""
    return kind.declared(name, writes=True)


class IntArg:
    """An integer scalar argument, refused outside its C type's range."""

    __slots__ = ("ctype", "label", "low", "high")

    def __init__(self, ctype):
        bits = 8 * ctypes.sizeof(ctype)
        signed = ctype(-1).value < 0
        self.ctype = ctype
        self.label = f"{'' if signed else 'u'}int{bits}"
        if signed:
            self.low, self.high = -(2 ** (bits - 1)), 2 ** (bits - 1) - 1
        else:
            self.low, self.high = 0, 2**bits - 1

    def __repr__(self):
        return self.label

    def from_param(self, value):
        if type(value) is not int:
            if isinstance(value, self.ctype):
                return value
            try:
                value = operator.index(value)
            except TypeError:
                raise TypeError(f"expected an integer, got {type(value).__name__}") from None
        if not self.low <= value <= self.high:
            raise OverflowError(f"{value} is outside the range of {self.label} "
                                f"[{self.low}, {self.high}]")
        return self.ctype(value)


# Plain ctypes integer argtypes are declared range-checked.
_CHECKED = {ctype: IntArg(ctype) for ctype in (
    ctypes.c_int8, ctypes.c_uint8, ctypes.c_int16, ctypes.c_uint16, ctypes.c_int32,
    ctypes.c_uint32, ctypes.c_int64, ctypes.c_uint64)}


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


# ---- the library -------------------------------------------------------------

_call = ctypes._CFuncPtr.__call__
_REFUSALS = (OverflowError, TypeError, ValueError)


def _refusal(kernel, args, error):
    """The exception of the first argument its type refuses, naming the
    kernel and the argument (ctypes itself reports an ArgumentError)."""
    for position, (argtype, value) in enumerate(zip(kernel.argtypes or (), args), 1):
        try:
            argtype.from_param(value)
        except _REFUSALS as cause:
            name = getattr(argtype, "name", None)
            where = f"argument {position}" + (f" ({name})" if name else "")
            kind = next(k for k in _REFUSALS if isinstance(cause, k))
            return kind(f"{kernel.__name__}: {where}: {cause}")
    return error


class Kernel(ctypes._CFuncPtr):
    """An exported function whose refused arguments raise TypeError,
    ValueError or OverflowError naming the argument."""

    _flags_ = ctypes.CDLL._func_flags_
    _restype_ = ctypes.CDLL._func_restype_

    def __call__(self, *args):
        try:
            return _call(self, *args)
        except ctypes.ArgumentError as error:
            raise _refusal(self, args, error) from None


class Library(ctypes.CDLL):
    """A shared object whose functions are `Kernel`s."""

    def __init__(self, path):
        super().__init__(path)
        self._FuncPtr = Kernel


def declare(lib, signatures):
    """Set restype and argtypes of every kernel in `signatures` on `lib`."""
    for name, (restype, argtypes) in signatures.items():
        fn = getattr(lib, name)
        fn.restype = restype
        fn.argtypes = [_CHECKED.get(t, t) for t in argtypes]
