// Python entry points of the _transforms extension module: one function per
// bijector kernel, all generated from bijectors.def and one trampoline.
//
// f(v, [low], [high]): bounds are converted to doubles first (low, then high);
// an ndarray, list or tuple v takes the array path (np.ascontiguousarray(v,
// dtype=float64), result np.empty_like of it, array kernel over all
// elements); anything else is converted to one double and gives a
// numpy.float64 from the scalar kernel. Kernels run without the interpreter
// lock.
#include <iterator>

#include "bijectors.h"
#include "pyargs.hpp"

namespace {

using crv::py::Ref;
using crv::py::Signature;

using Scalar0 = void (*)(const double *, double *);
using Scalar1 = void (*)(const double *, double *, const double *);
using Scalar2 = void (*)(const double *, double *, const double *, const double *);
using Array0 = void (*)(const double *, double *, int64_t);
using Array1 = void (*)(const double *, double *, int64_t, const double *);
using Array2 = void (*)(const double *, double *, int64_t, const double *, const double *);

inline void run(Scalar0 f, const double *in, double *out, const double *) { f(in, out); }
inline void run(Scalar1 f, const double *in, double *out, const double *b) { f(in, out, b); }
inline void run(Scalar2 f, const double *in, double *out, const double *b) {
    f(in, out, b, b + 1);
}
inline void run(Array0 f, const double *in, double *out, int64_t n, const double *) {
    f(in, out, n);
}
inline void run(Array1 f, const double *in, double *out, int64_t n, const double *b) {
    f(in, out, n, b);
}
inline void run(Array2 f, const double *in, double *out, int64_t n, const double *b) {
    f(in, out, n, b, b + 1);
}

template <const Signature &Sig, auto ScalarKernel, auto ArrayKernel>
PyObject *bijector_call(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    constexpr Py_ssize_t nbounds = Sig.nargs - 1;
    PyObject *bound[3];
    if (crv::py::bind(Sig, args, nargsf, kwnames, bound) < 0) return nullptr;
    double bounds[2] = {0.0, 0.0};
    for (Py_ssize_t i = 0; i < nbounds; ++i)
        if (crv::py::to_double(bound[i + 1], &bounds[i]) < 0) return nullptr;

    PyObject *v = bound[0];
    if (!PyArray_Check(v) && !PyList_Check(v) && !PyTuple_Check(v)) {
        double in, out;
        if (crv::py::to_double(v, &in) < 0) return nullptr;
        {
            crv::py::NoGil nogil;
            run(ScalarKernel, &in, &out, bounds);
        }
        return crv::py::f64_scalar(out);
    }

    Ref xx(reinterpret_cast<PyObject *>(crv::py::as_contiguous_f64(v)));
    if (!xx) return nullptr;
    auto *in_arr = reinterpret_cast<PyArrayObject *>(xx.get());
    Ref yy(reinterpret_cast<PyObject *>(crv::py::empty_like(in_arr)));
    if (!yy) return nullptr;
    const int64_t n = PyArray_SIZE(in_arr);
    if (n == 0) return yy.release();
    if (crv::py::require_writable(in_arr) < 0) return nullptr;
    const auto *in = static_cast<const double *>(PyArray_DATA(in_arr));
    auto *out = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(yy.get())));
    {
        crv::py::NoGil nogil;
        run(ArrayKernel, in, out, n, bounds);
    }
    return yy.release();
}

// The 63 functions: one per CRV_BIJECTOR_OP row of bijectors.def. The first
// argument is the operation's (x or y), then the row's bounds. The numpydoc
// docstring is assembled from the rows: the operation, the formula, the
// bijector's domain and definition, the arguments and the bounds.
#define CRV_ARG_DOC_x                                                                      \
    "x : float or array_like\n"                                                            \
    "    The constrained value: an ndarray, list or tuple is converted with\n"              \
    "    np.ascontiguousarray(x, dtype=float64) and mapped element by element; anything\n" \
    "    else is converted to one float.\n"
#define CRV_ARG_DOC_y                                                                      \
    "y : float or array_like\n"                                                            \
    "    The unconstrained value: an ndarray, list or tuple is converted with\n"            \
    "    np.ascontiguousarray(y, dtype=float64) and mapped element by element; anything\n" \
    "    else is converted to one float.\n"

#define CRV_OPERATION(op, argument, doc)         \
    constexpr const char *kArg_##op = #argument; \
    constexpr const char *kDoc_##op = doc;       \
    constexpr const char *kArgDoc_##op = CRV_ARG_DOC_##argument;
#include "bijectors.def"

#define CRV_BIJECTOR(b, domain, definition)       \
    constexpr const char *kDomain_##b = domain; \
    constexpr const char *kDefinition_##b = definition;
#include "bijectors.def"

#define CRV_BOUND_NAMES_NONE
#define CRV_BOUND_NAMES_LOW , "low"
#define CRV_BOUND_NAMES_HIGH , "high"
#define CRV_BOUND_NAMES_LOW_HIGH , "low", "high"

#define CRV_BOUND_DOC_LOW "low : float\n    The lower bound.\n"
#define CRV_BOUND_DOC_HIGH "high : float\n    The upper bound.\n"
#define CRV_BOUND_DOCS_NONE ""
#define CRV_BOUND_DOCS_LOW CRV_BOUND_DOC_LOW
#define CRV_BOUND_DOCS_HIGH CRV_BOUND_DOC_HIGH
#define CRV_BOUND_DOCS_LOW_HIGH CRV_BOUND_DOC_LOW CRV_BOUND_DOC_HIGH

constexpr const char *kBijectorReturns =
    "\nReturns\n-------\n"
    "numpy.float64 or numpy.ndarray\n"
    "    A numpy.float64 for a scalar argument; for an array, list or tuple a new float64\n"
    "    array of its shape. Nothing is checked or clamped: a value outside the domain\n"
    "    gives what IEEE arithmetic gives (NaN, an infinity).\n"
    "\nRaises\n------\n"
    "TypeError\n"
    "    If an argument is missing or unknown, or a bound or a scalar argument does not\n"
    "    convert to float.\n"
    "ValueError\n"
    "    If an array argument does not convert to float64 (a ragged list), or is a\n"
    "    read-only float64 array.\n";

#define CRV_BIJECTOR_OP(b, op, bounds, Impl, formula)                                       \
    constexpr const char *kArgs_##b##_##op[] = {kArg_##op CRV_BOUND_NAMES_##bounds};        \
    constexpr Signature sig_##b##_##op{#b "_" #op, kArgs_##b##_##op,                        \
                                       std::size(kArgs_##b##_##op), std::size(kArgs_##b##_##op)};
#include "bijectors.def"

#define CRV_BIJECTOR_OP(b, op, bounds, Impl, formula)                                           \
    CRV_PY_METHOD(sig_##b##_##op,                                                               \
                  (bijector_call<sig_##b##_##op, crv_##b##_##op, crv_##b##_##op##_arr>),        \
                  kDoc_##op, ", for the " #b " bijector: ", formula, ".\n\nThe " #b           \
                  " bijector maps ", kDomain_##b, " to the real line: ", kDefinition_##b,       \
                  ".\n\nParameters\n----------\n", kArgDoc_##op, CRV_BOUND_DOCS_##bounds,     \
                  kBijectorReturns),
PyMethodDef methods[] = {
#include "bijectors.def"
    {nullptr, nullptr, 0, nullptr},
};

// Module attributes besides the functions: np and float64.
int add_numpy_names(PyObject *module) {
    Ref np(PyImport_ImportModule("numpy"));
    if (!np) return -1;
    Ref float64(PyObject_GetAttrString(np.get(), "float64"));
    if (!float64) return -1;
    if (PyModule_AddObjectRef(module, "np", np.get()) < 0) return -1;
    return PyModule_AddObjectRef(module, "float64", float64.get());
}

}  // namespace

CRV_DEFINE_MODULE_EXEC(_transforms, "Parameter bijectors.", methods, add_numpy_names)
