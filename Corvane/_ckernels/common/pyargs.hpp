// CPython boundary helpers shared by the extension modules. Header only.
//
// API (namespace crv::py):
//
//   Signature {name, argnames, nargs, nrequired, defaults}
//       One function's argument list: `nargs` names, the first `nrequired`
//       required, the rest optional (absent ones bind to nullptr; `defaults`
//       holds the text of their default values, for the docstring).
//   int bind(const Signature &, PyObject *const *args, Py_ssize_t nargsf,
//            PyObject *kwnames, PyObject **out)
//       Binds a METH_FASTCALL | METH_KEYWORDS call positionally or by
//       keyword into out[0 .. nargs) (borrowed references). Returns 0, or -1
//       with the TypeError set:
//         "%.200s() takes %.8s %zd positional argument%.1s (%zd given)"
//             ("exactly" / "at least" / "at most"; for a required argument
//             missing after keywords, "given" counts the leading ones bound)
//         "%s() got an unexpected keyword argument '%U'"
//         "%s() got multiple values for keyword argument '%U'"
//         "%.200s() keywords must be strings"
//   int to_double(PyObject *, double *)      float conversion (float, int,
//                                            __float__, __index__)
//   int to_int64(PyObject *, int64_t *)      integer conversion (__index__)
//   int to_bool(PyObject *, bool *)          truth value
//       Each returns 0, or -1 with the conversion's own exception set.
//   PyArrayObject *as_contiguous_f64(PyObject *)
//       New reference to np.ascontiguousarray(obj, dtype=float64) (any cast, as
//       NumPy does): base-class
//       ndarray, C order, aligned, at least one dimension; nullptr on error.
//   PyArrayObject *empty_like(PyArrayObject *), new_f64(ndim, dims, zero)
//       New float64 arrays (C order); nullptr on error.
//   int require_writable(PyArrayObject *)   0, or -1 with NumPy's ValueError
//       for a read-only buffer.
//   Buffer                                  PEP 3118 view of an argument:
//       acquire(obj, argname, Elem::F64 | Elem::I64, ndim, writable,
//               allow_none) checks element type, number of dimensions and
//       C contiguity (ValueError / TypeError naming the argument); None (when
//       allowed) and empty buffers give data == nullptr. Data not aligned to
//       8 bytes is refused with a ValueError naming the argument when the
//       buffer is written (writable), and otherwise read from an aligned
//       C-contiguous copy of the same shape. Released on scope exit.
//   Ref                                     owning PyObject* (Py_XDECREF).
//   NoGil / without_gil(f)                  releases the interpreter lock for
//       the lifetime of the guard / the call of f. Only plain memory may be
//       touched meanwhile.
//   PyObject *f64_scalar(double)            new numpy.float64.
//   PyObject *float_tuple({a, b, ...})      new tuple of Python floats.
//   PyObject *steal_tuple(Ref &&...)        new tuple taking over the given
//       references; nullptr (all released) if any is null.
//   CRV_PY_METHOD(sig, fn, doc...)
//       The PyMethodDef of a METH_FASTCALL | METH_KEYWORDS function bound by
//       `sig` (a constexpr Signature): name sig.name, and the docstring
//       "name(a, b, c=default)\n--\n\n" followed by the doc pieces, so help()
//       and inspect.signature() show the binder's own argument list.
//   CRV_DEFINE_MODULE_EXEC(name, doc, methods, exec)
//       CRV_DEFINE_MODULE with one more Py_mod_exec step run after NumPy is
//       imported (module attributes).
#pragma once

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "pymodule.hpp"
#include <numpy/arrayscalars.h>

namespace crv::py {

struct Signature {
    const char *name;
    const char *const *argnames;
    Py_ssize_t nargs;
    Py_ssize_t nrequired;
    const char *const *defaults = nullptr;  // nargs - nrequired texts
};

// ---- docstrings -------------------------------------------------------------

constexpr size_t text_length(const char *s) {
    size_t n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

// Characters of "name(a, b=default)\n--\n\n" + pieces, with the final NUL.
template <class... Pieces>
constexpr size_t docstring_size(const Signature &sig, Pieces... pieces) {
    size_t n = text_length(sig.name) + 1;
    for (Py_ssize_t i = 0; i < sig.nargs; ++i) {
        n += (i > 0 ? 2 : 0) + text_length(sig.argnames[i]);
        if (i >= sig.nrequired) n += 1 + text_length(sig.defaults[i - sig.nrequired]);
    }
    return n + 6 + (text_length(pieces) + ... + 0) + 1;
}

template <size_t N> struct DocString {
    char text[N];
};

template <size_t N, class... Pieces>
constexpr DocString<N> make_docstring(const Signature &sig, Pieces... pieces) {
    DocString<N> out{};
    size_t k = 0;
    auto put = [&](const char *s) {
        while (*s != '\0') out.text[k++] = *s++;
    };
    put(sig.name);
    put("(");
    for (Py_ssize_t i = 0; i < sig.nargs; ++i) {
        if (i > 0) put(", ");
        put(sig.argnames[i]);
        if (i >= sig.nrequired) {
            put("=");
            put(sig.defaults[i - sig.nrequired]);
        }
    }
    put(")\n--\n\n");
    (put(pieces), ...);
    out.text[k] = '\0';
    return out;
}

// ---- argument binding -------------------------------------------------------

inline int raise_count(const Signature &sig, Py_ssize_t given) {
    const char *how;
    Py_ssize_t expected;
    if (sig.nrequired == sig.nargs) {
        how = "exactly";
        expected = sig.nargs;
    } else if (given < sig.nrequired) {
        how = "at least";
        expected = sig.nrequired;
    } else {
        how = "at most";
        expected = sig.nargs;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, how, expected, expected == 1 ? "" : "s", given);
    return -1;
}

inline bool name_equals(PyObject *key, const char *name) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyUnicode_EqualToUTF8(key, name) == 1;
#else
    return PyUnicode_CompareWithASCIIString(key, name) == 0;
#endif
}

inline int bind(const Signature &sig, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                PyObject **out) {
    const Py_ssize_t npos = PyVectorcall_NARGS(nargsf);
    if (npos > sig.nargs) return raise_count(sig, npos);
    for (Py_ssize_t i = 0; i < npos; ++i) out[i] = args[i];
    for (Py_ssize_t i = npos; i < sig.nargs; ++i) out[i] = nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return -1;
        }
        Py_ssize_t idx = 0;
        while (idx < sig.nargs && !name_equals(key, sig.argnames[idx])) ++idx;
        if (idx == sig.nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                         key);
            return -1;
        }
        if (out[idx] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         sig.name, key);
            return -1;
        }
        out[idx] = args[npos + k];
    }
    for (Py_ssize_t i = npos; i < sig.nrequired; ++i)
        if (out[i] == nullptr) return raise_count(sig, i);
    return 0;
}

// ---- scalar conversion ------------------------------------------------------

inline int to_double(PyObject *obj, double *value) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) return -1;
    *value = v;
    return 0;
}

inline int to_int64(PyObject *obj, int64_t *value) {
    static_assert(sizeof(long long) == sizeof(int64_t), "64-bit long long");
    const long long v = PyLong_AsLongLong(obj);
    if (v == -1 && PyErr_Occurred()) return -1;
    *value = static_cast<int64_t>(v);
    return 0;
}

inline int to_bool(PyObject *obj, bool *value) {
    const int v = PyObject_IsTrue(obj);
    if (v < 0) return -1;
    *value = v != 0;
    return 0;
}

// ---- ownership and the interpreter lock -------------------------------------

class Ref {
  public:
    Ref() = default;
    explicit Ref(PyObject *obj) : obj_(obj) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept {
        PyObject *old = std::exchange(obj_, std::exchange(other.obj_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }
    PyObject *get() const { return obj_; }
    PyObject *release() { return std::exchange(obj_, nullptr); }
    explicit operator bool() const { return obj_ != nullptr; }

  private:
    PyObject *obj_ = nullptr;
};

class NoGil {
  public:
    NoGil() : state_(PyEval_SaveThread()) {}
    NoGil(const NoGil &) = delete;
    NoGil &operator=(const NoGil &) = delete;
    ~NoGil() { PyEval_RestoreThread(state_); }

  private:
    PyThreadState *state_;
};

template <class F> inline decltype(auto) without_gil(F &&f) {
    NoGil guard;
    return std::forward<F>(f)();
}

// ---- arrays -----------------------------------------------------------------

inline PyArrayObject *as_contiguous_f64(PyObject *obj) {
    PyObject *arr = PyArray_FromAny(obj, PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                                    NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED |
                                        NPY_ARRAY_ENSUREARRAY | NPY_ARRAY_FORCECAST,
                                    nullptr);
    if (arr == nullptr) return nullptr;
    if (PyArray_NDIM(reinterpret_cast<PyArrayObject *>(arr)) == 0) {
        npy_intp one = 1;
        PyArray_Dims shape = {&one, 1};
        PyObject *flat = PyArray_Newshape(reinterpret_cast<PyArrayObject *>(arr), &shape, NPY_CORDER);
        Py_DECREF(arr);
        arr = flat;
    }
    return reinterpret_cast<PyArrayObject *>(arr);
}

inline PyArrayObject *empty_like(PyArrayObject *proto) {
    return reinterpret_cast<PyArrayObject *>(PyArray_NewLikeArray(proto, NPY_CORDER, nullptr, 0));
}

inline PyArrayObject *new_f64(int ndim, const npy_intp *dims, bool zero) {
    PyObject *arr = zero ? PyArray_ZEROS(ndim, const_cast<npy_intp *>(dims), NPY_DOUBLE, 0)
                         : PyArray_EMPTY(ndim, const_cast<npy_intp *>(dims), NPY_DOUBLE, 0);
    return reinterpret_cast<PyArrayObject *>(arr);
}

inline int require_writable(PyArrayObject *arr) {
    if (PyArray_ISWRITEABLE(arr)) return 0;
    // Ask for a writable buffer so NumPy raises its own error.
    Py_buffer view;
    if (PyObject_GetBuffer(reinterpret_cast<PyObject *>(arr), &view, PyBUF_WRITABLE) == 0) {
        PyBuffer_Release(&view);
        PyErr_SetString(PyExc_ValueError, "buffer source array is read-only");
    }
    return -1;
}

enum class Elem { F64, I64 };

class Buffer {
  public:
    Buffer() = default;
    Buffer(const Buffer &) = delete;
    Buffer &operator=(const Buffer &) = delete;
    ~Buffer() {
        if (held_) PyBuffer_Release(&view_);
    }

    // Returns 0, or -1 with the exception set.
    int acquire(PyObject *obj, const char *argname, Elem elem, int ndim, bool writable,
                bool allow_none) {
        if (obj == Py_None && allow_none) return 0;
        int flags = PyBUF_FORMAT | PyBUF_C_CONTIGUOUS;
        if (writable) flags |= PyBUF_WRITABLE;
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) {
            if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyObject_CheckBuffer(obj)) {
                PyErr_Clear();
                PyErr_Format(PyExc_TypeError, "argument '%s' must be %s array, not %.200s",
                             argname, elem == Elem::F64 ? "a float64" : "an int64",
                             Py_TYPE(obj)->tp_name);
            }
            return -1;
        }
        held_ = true;
        if (!format_matches(elem)) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer dtype mismatch for argument '%s': expected %s but got format '%s'",
                         argname, elem == Elem::F64 ? "float64" : "int64",
                         view_.format ? view_.format : "B");
            return -1;
        }
        if (view_.ndim != ndim) {
            PyErr_Format(PyExc_ValueError,
                         "Buffer has wrong number of dimensions for argument '%s' "
                         "(expected %d, got %d)",
                         argname, ndim, view_.ndim);
            return -1;
        }
        size = view_.len / view_.itemsize;
        if (size == 0) return 0;
        if (reinterpret_cast<uintptr_t>(view_.buf) % alignof(int64_t) != 0) {
            if (writable) {
                PyErr_Format(PyExc_ValueError,
                             "argument '%s' is not aligned to 8 bytes; the kernel writes it in "
                             "place, so pass an aligned array",
                             argname);
                return -1;
            }
            if (read_aligned_copy(obj, elem) < 0) return -1;
        }
        data_ = view_.buf;
        return 0;
    }

    double *f64() const { return static_cast<double *>(data_); }
    int64_t *i64() const { return static_cast<int64_t *>(data_); }
    Py_ssize_t shape(int axis) const { return held_ ? view_.shape[axis] : 0; }

    Py_ssize_t size = 0;  // element count; 0 for None

  private:
    // Replaces the view by one of an aligned C-contiguous copy of obj.
    int read_aligned_copy(PyObject *obj, Elem elem) {
        PyObject *copy = PyArray_FromAny(
            obj, PyArray_DescrFromType(elem == Elem::F64 ? NPY_DOUBLE : NPY_INT64), 0, 0,
            NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_ENSURECOPY |
                NPY_ARRAY_ENSUREARRAY,
            nullptr);
        if (copy == nullptr) return -1;
        PyBuffer_Release(&view_);
        held_ = false;
        copy_ = Ref(copy);
        if (PyObject_GetBuffer(copy, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) return -1;
        held_ = true;
        return 0;
    }

    bool format_matches(Elem elem) const {
        if (view_.itemsize != 8) return false;
        const char *f = view_.format ? view_.format : "B";
        if (*f == '@' || *f == '=' || *f == '<') ++f;
        if (elem == Elem::F64) return std::strcmp(f, "d") == 0;
        return std::strcmp(f, "q") == 0 || std::strcmp(f, "l") == 0;
    }

    Ref copy_;  // the aligned copy the view is of, if one was made
    Py_buffer view_{};
    bool held_ = false;
    void *data_ = nullptr;
};

// ---- results ----------------------------------------------------------------

inline PyObject *f64_scalar(double value) {
    PyObject *s = PyArrayScalar_New(Double);
    if (s != nullptr) PyArrayScalar_VAL(s, Double) = value;
    return s;
}

inline PyObject *float_tuple(std::initializer_list<double> values) {
    PyObject *t = PyTuple_New(static_cast<Py_ssize_t>(values.size()));
    if (t == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (double v : values) {
        PyObject *item = PyFloat_FromDouble(v);
        if (item == nullptr) {
            Py_DECREF(t);
            return nullptr;
        }
        PyTuple_SET_ITEM(t, i++, item);
    }
    return t;
}

template <class... R> inline PyObject *steal_tuple(R &&...items) {
    static_assert((std::is_same_v<std::remove_cvref_t<R>, Ref> && ...), "steal_tuple takes Refs");
    if ((!items || ...)) return nullptr;
    PyObject *t = PyTuple_New(sizeof...(R));
    if (t == nullptr) return nullptr;
    Py_ssize_t i = 0;
    ((PyTuple_SET_ITEM(t, i++, items.release())), ...);
    return t;
}

}  // namespace crv::py

#define CRV_PY_METHOD(sig, fn, ...)                                                       \
    {(sig).name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(fn)),      \
     METH_FASTCALL | METH_KEYWORDS, [] {                                                   \
         static constexpr auto doc = crv::py::make_docstring<crv::py::docstring_size(      \
             sig, __VA_ARGS__)>(sig, __VA_ARGS__);                                         \
         return static_cast<const char *>(doc.text);                                       \
     }()}

#define CRV_DEFINE_MODULE_EXEC(name, doc, methods, exec)                      \
    static PyModuleDef_Slot name##_slots[] = {                               \
        {Py_mod_exec, reinterpret_cast<void *>(crv::py::import_numpy)},      \
        {Py_mod_exec, reinterpret_cast<void *>(exec)},                       \
        CRV_MODULE_SLOT_INTERP                                               \
        {0, nullptr}};                                                       \
    static PyModuleDef name##_def = {PyModuleDef_HEAD_INIT, #name, doc, 0,   \
                                     methods, name##_slots, nullptr,         \
                                     nullptr, nullptr};                      \
    PyMODINIT_FUNC PyInit_##name(void) { return PyModuleDef_Init(&name##_def); }
