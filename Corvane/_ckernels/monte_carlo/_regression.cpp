// Python entry points of the _regression extension module: the seven fits,
// generated from one table of argument lists and one trampoline.
//
// f(X, y, <buffers and scalars>, intercept=True) -> (rss, tss, status).
// X and y go through np.ascontiguousarray(dtype=float64); X must be 2-D and
// y 1-D with as many rows; with intercept X becomes column_stack((ones(n), X)).
// Every other array is the caller's writable, C-contiguous, 1-D float64 buffer
// (int64 for statuses) of exactly the size its rule gives for the actual n,
// p (intercept column included), p' (penalised coefficients) and n_alphas;
// an array the fit writes may not share memory with any other argument. The
// kernel runs without the interpreter lock and writes the coefficients into
// coef.
#include <cstdint>
#include <iterator>
#include <limits>

#include "pyargs.hpp"
#include "regression.h"

namespace {

using crv::py::Buffer;
using crv::py::Elem;
using crv::py::Ref;
using crv::py::Signature;

// ---- arguments ----------------------------------------------------------------

enum class Kind { Data, Real, Integer, Array, OptionalArray, IntArray, Flag };

// Element counts of the buffers, from the problem's dimensions.
enum class Size { None, P, PP, NAlphas, Knots, KnotsQ, AlphasQ, Lars, Dof };

// Every argument any fit takes (a name may carry different size rules).
enum Arg {
    aX, aY, aAlphas, aCoef, aSe, aL, aG, aGUnpen, aGBase, aGv, aCol, aCoefWork, aGcoef,
    aOlsWork, aLamPath, aBetaPath, aBetaGrid, aLarsWork, aStatuses, aBeta, aDofWork, aAlpha,
    aL1Ratio, aTol, aMaxIter, aCriterion, aIntercept, kArgs
};

struct ArgInfo {
    const char *name;
    Kind kind;
    Size size;
    const char *doc;  // its entry in the docstrings' Parameters section
};

constexpr ArgInfo kArgInfo[kArgs] = {
    {"X", Kind::Data, Size::None,
     "Regressors (np.ascontiguousarray(X, dtype=float64)); with intercept a column of ones\n"
     "    is put first."},
    {"y", Kind::Data, Size::None, "Response (np.ascontiguousarray(y, dtype=float64))."},
    {"alphas", Kind::Array, Size::NAlphas, "Penalty grid (read; its length is n_alphas)."},
    {"coef", Kind::Array, Size::P,
     "Receives the coefficients, the intercept's first; NaN on a nonzero status."},
    {"se", Kind::OptionalArray, Size::P,
     "Receives the standard errors sqrt(rss / (n - p) |L^-1 e_k|^2), NaN when p >= n;\n"
     "    None skips them."},
    {"L", Kind::Array, Size::PP, "Scratch: the Cholesky factor."},
    {"G", Kind::Array, Size::PP, "Scratch: the (penalised) Gram matrix."},
    {"G_unpen", Kind::Array, Size::PP, "Scratch: the unpenalised Gram matrix."},
    {"G_base", Kind::Array, Size::PP,
     "Scratch: the Gram matrix (centred with an intercept) the penalties are added to."},
    {"g", Kind::Array, Size::P, "Scratch: X^T y."},
    {"col", Kind::Array, Size::P, "Scratch: one column."},
    {"coef_work", Kind::Array, Size::P, "Scratch: the coefficients of the alpha being scored."},
    {"Gcoef", Kind::Array, Size::P, "Scratch: G coef, kept up to date by coordinate descent."},
    {"work", Kind::Array, Size::P, "Scratch."},
    {"lam_path", Kind::Array, Size::Knots, "Receives the penalties of the LARS path's knots."},
    {"beta_path", Kind::Array, Size::KnotsQ,
     "Receives the penalised coefficients at the knots, knot by knot."},
    {"beta_grid", Kind::Array, Size::AlphasQ,
     "Receives the penalised coefficients at every alpha, alpha by alpha."},
    {"work", Kind::Array, Size::Lars, "Scratch of the LARS path."},
    {"statuses", Kind::IntArray, Size::NAlphas, "Receives the status of every alpha."},
    {"beta", Kind::Array, Size::P, "Scratch: the warm start along the path."},
    {"dof_work", Kind::Array, Size::Dof, "Scratch of the degrees-of-freedom count."},
    {"alpha", Kind::Real, Size::None, "Penalty."},
    {"l1_ratio", Kind::Real, Size::None,
     "Share of the penalty on the L1 norm: l1 = l1_ratio alpha, l2 = (1 - l1_ratio) alpha."},
    {"tol", Kind::Real, Size::None,
     "Convergence tolerance of coordinate descent; in lasso_gs_fit the smallest penalty\n"
     "    of the LARS path."},
    {"max_iter", Kind::Integer, Size::None,
     "Iteration limit: coordinate-descent sweeps, or LARS steps in lasso_gs_fit."},
    {"criterion", Kind::Integer, Size::None,
     "Selection criterion: 3 in-sample RSS, 1 AIC, any other value BIC."},
    {"intercept", Kind::Flag, Size::None,
     "Put a column of ones first in X; its coefficient is not penalised."},
};

constexpr const char *size_rule(Size s) {
    switch (s) {
    case Size::P: return "p";
    case Size::PP: return "p*p";
    case Size::NAlphas: return "n_alphas";
    case Size::Knots: return "max_iter + 1";
    case Size::KnotsQ: return "(max_iter + 1)*p'";
    case Size::AlphasQ: return "n_alphas*p'";
    case Size::Lars: return "p'*p' + 8*p'";
    case Size::Dof: return "3*p'*p' + p'";
    case Size::None: break;
    }
    return "";
}

// Dimensions and converted values of one call.
struct Call {
    int64_t n = 0, p = 0, q = 0, n_alphas = 0;
    int64_t max_iter = 0, criterion = 0;
    double alpha = 0.0, l1_ratio = 0.0, tol = 0.0;
    bool intercept = true;
    const double *X = nullptr, *y = nullptr;
    double *buf[kArgs] = {};
    int64_t *statuses = nullptr;
};

// Saturating arithmetic for the sizes: an impossible requirement stays
// impossible instead of wrapping around.
int64_t mul(int64_t a, int64_t b) {
    int64_t r;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<int64_t>::max() : r;
}
int64_t add(int64_t a, int64_t b) {
    int64_t r;
    return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<int64_t>::max() : r;
}

int64_t required(Size s, const Call &c) {
    const int64_t knots = add(c.max_iter > 0 ? c.max_iter : 0, 1);  // the first knot always
    switch (s) {
    case Size::P: return c.p;
    case Size::PP: return mul(c.p, c.p);
    case Size::NAlphas: return c.n_alphas;
    case Size::Knots: return knots;
    case Size::KnotsQ: return mul(knots, c.q);
    case Size::AlphasQ: return mul(c.n_alphas, c.q);
    case Size::Lars: return add(mul(c.q, c.q), mul(8, c.q));
    case Size::Dof: return add(mul(3, mul(c.q, c.q)), c.q);
    case Size::None: break;
    }
    return 0;
}

// ---- the fits ---------------------------------------------------------------

using Kernel = int64_t (*)(const Call &, crv_fit_result *);

struct Fit {
    Signature sig;
    const Arg *args;  // sig.nargs entries, in order
    Kernel kernel;
    bool ols;  // ols_fit's row and regressor checks
};

constexpr Arg ols_args[] = {aX, aY, aCoef, aSe, aL, aG, aGv, aOlsWork, aIntercept};
constexpr Arg ridge_args[] = {aX, aY, aCoef, aAlpha, aL, aG, aGUnpen, aGv, aCol, aIntercept};
constexpr Arg ridge_gs_args[] = {aX,     aY, aAlphas, aCriterion, aCoef, aGBase,
                                 aG,     aL, aGv,     aCoefWork,  aCol,  aIntercept};
constexpr Arg lasso_args[] = {aX, aY, aCoef, aAlpha, aMaxIter, aTol, aGBase, aG, aGv, aGcoef,
                              aIntercept};
constexpr Arg lasso_gs_args[] = {aX,  aY,       aAlphas,   aCoef,     aMaxIter,
                                 aTol, aGBase,  aG,        aGv,       aLamPath,
                                 aBetaPath, aBetaGrid, aLarsWork, aIntercept};
constexpr Arg elastic_net_args[] = {aX,     aY,     aCoef, aAlpha, aL1Ratio, aMaxIter,
                                    aTol,   aGBase, aG,    aGv,    aGcoef,   aIntercept};
constexpr Arg elastic_net_gs_args[] = {aX,     aY,     aAlphas,   aL1Ratio,  aCriterion,
                                       aCoef,  aMaxIter, aTol,    aGBase,    aG,
                                       aGv,    aBetaGrid, aStatuses, aGcoef,  aBeta,
                                       aDofWork, aIntercept};

// Argument-name lists for binding, derived from the Arg lists.
template <const auto &Args> struct Names {
    static constexpr auto make() {
        struct {
            const char *v[std::size(Args)];
        } out{};
        for (size_t i = 0; i < std::size(Args); ++i) out.v[i] = kArgInfo[Args[i]].name;
        return out;
    }
    static constexpr auto value = make();
};

// ---- docstrings ---------------------------------------------------------------

constexpr const char *type_text(Kind k) {
    switch (k) {
    case Kind::Data: return "array_like";
    case Kind::Real: return "float";
    case Kind::Integer: return "int";
    case Kind::Array: return "numpy.ndarray of float64";
    case Kind::OptionalArray: return "numpy.ndarray of float64 or None";
    case Kind::IntArray: return "numpy.ndarray of int64";
    case Kind::Flag: return "bool, default True";
    }
    return "";
}

// The shape of an argument, after its type: (n, k) and (n,) for the data,
// (size rule,) for a buffer, nothing for a scalar.
constexpr const char *shape_text(Arg a) {
    if (a == aX) return ", shape (n, k)";
    if (a == aY) return ", shape (n,)";
    return kArgInfo[a].size == Size::None ? "" : ", shape (";
}

// The numpydoc Parameters section of a fit, from its argument list:
// "name : type, shape (rule,)" and the argument's doc, one entry each.
template <const auto &Args> struct ParamsDoc {
    template <class Put> static constexpr void write(Put &&put) {
        put("Parameters\n----------\n");
        for (Arg a : Args) {
            const ArgInfo &info = kArgInfo[a];
            put(info.name);
            put(" : ");
            put(type_text(info.kind));
            put(shape_text(a));
            if (a != aX && a != aY && info.size != Size::None) {
                put(size_rule(info.size));
                put(",)");
            }
            put("\n    ");
            put(info.doc);
            put("\n");
        }
    }
    static constexpr size_t size() {
        size_t n = 1;
        write([&](const char *s) { n += crv::py::text_length(s); });
        return n;
    }
    static constexpr auto make() {
        struct {
            char text[size()];
        } out{};
        size_t k = 0;
        write([&](const char *s) {
            while (*s != '\0') out.text[k++] = *s++;
        });
        return out;
    }
    static constexpr auto value = make();
};

constexpr const char *kFitNotes =
    "\n\nn is the number of rows, p the number of columns of X with the intercept column,\n"
    "p' the number of penalised coefficients (p - 1 with an intercept, else p). Every\n"
    "array argument but X and y is the caller's writable, C-contiguous, one-dimensional\n"
    "buffer of exactly the size its shape gives, sharing no memory with another argument\n"
    "the fit writes. The fit runs without the interpreter lock.\n\n";

constexpr const char *kFitReturns =
    "\nReturns\n-------\n"
    "rss : float\n"
    "    Residual sum of squares, sum (y_i - x_i coef)^2 (0 when n = 0); NaN on a nonzero\n"
    "    status.\n"
    "tss : float\n"
    "    Total sum of squares, sum (y_i - ybar)^2 (0 when n = 0); NaN on a nonzero status.\n"
    "status : int\n"
    "    0, or the kernel's negative status code\n"
    "    (Corvane._ckernels.ffi.status.MESSAGES[status] says what it means).\n"
    "\nRaises\n------\n"
    "TypeError\n"
    "    If an argument is missing or unknown, an array argument is no buffer, or a\n"
    "    scalar does not convert.\n"
    "ValueError\n"
    "    If X is not two-dimensional, y not one-dimensional or of another length (OLS:\n"
    "    no rows, or no regressor without an intercept), or a buffer has the wrong dtype,\n"
    "    number of dimensions or size, is read-only, is not aligned to 8 bytes, or\n"
    "    shares memory with another argument.\n";

constexpr const char *kInterceptDefault[] = {"True"};

template <const auto &Args>
constexpr Signature signature(const char *name) {
    constexpr Py_ssize_t nargs = std::size(Args);
    // intercept, the last argument, is optional
    return {name, Names<Args>::value.v, nargs, nargs - 1, kInterceptDefault};
}

crv_fit_result record(const Call &c, double *se) {
    return {c.n, c.p, c.buf[aCoef], se, 0.0, 0.0, 0};
}

constexpr Fit kFits[] = {
    {signature<ols_args>("ols_fit"), ols_args,
     [](const Call &c, crv_fit_result *r) {
         return crv_mc_ols_fit(c.X, c.y, r, c.buf[aL], c.buf[aG], c.buf[aGv], c.buf[aOlsWork]);
     },
     true},
    {signature<ridge_args>("ridge_fit"), ridge_args,
     [](const Call &c, crv_fit_result *r) {
         return crv_mc_ridge_fit(c.X, c.y, c.intercept, r, c.buf[aL], c.buf[aG], c.buf[aGUnpen],
                                 c.buf[aGv], c.alpha, c.buf[aCol]);
     },
     false},
    {signature<ridge_gs_args>("ridge_gs_fit"), ridge_gs_args,
     [](const Call &c, crv_fit_result *r) {
         return crv_mc_ridge_gs_fit(c.X, c.y, c.buf[aAlphas], c.n_alphas, c.criterion,
                                    c.intercept, r, c.buf[aGBase], c.buf[aG], c.buf[aL],
                                    c.buf[aGv], c.buf[aCoefWork], c.buf[aCol]);
     },
     false},
    {signature<lasso_args>("lasso_fit"), lasso_args,
     [](const Call &c, crv_fit_result *r) {
         return crv_mc_lasso_fit(c.X, c.y, c.intercept, c.max_iter, r, c.buf[aGBase], c.buf[aG],
                                 c.buf[aGv], c.alpha, c.tol, c.buf[aGcoef]);
     },
     false},
    {signature<lasso_gs_args>("lasso_gs_fit"), lasso_gs_args,
     [](const Call &c, crv_fit_result *r) {
         return crv_mc_lasso_gs_fit(c.X, c.y, c.buf[aAlphas], c.n_alphas, c.intercept,
                                    c.max_iter, r, c.buf[aGBase], c.tol, c.buf[aG], c.buf[aGv],
                                    c.buf[aLamPath], c.buf[aBetaPath], c.buf[aBetaGrid],
                                    c.buf[aLarsWork]);
     },
     false},
    {signature<elastic_net_args>("elastic_net_fit"), elastic_net_args,
     [](const Call &c, crv_fit_result *r) {
         return crv_mc_elastic_net_fit(c.X, c.y, c.intercept, c.max_iter, r, c.buf[aGBase],
                                       c.buf[aG], c.buf[aGv], c.alpha, c.l1_ratio, c.tol,
                                       c.buf[aGcoef]);
     },
     false},
    {signature<elastic_net_gs_args>("elastic_net_gs_fit"), elastic_net_gs_args,
     [](const Call &c, crv_fit_result *r) {
         return crv_mc_elastic_net_gs_fit(c.X, c.y, c.buf[aAlphas], c.n_alphas, c.criterion,
                                          c.intercept, c.max_iter, r, c.l1_ratio, c.tol,
                                          c.buf[aGBase], c.buf[aG], c.buf[aGv], c.buf[aBetaGrid],
                                          c.statuses, c.buf[aGcoef], c.buf[aBeta],
                                          c.buf[aDofWork]);
     },
     false},
};

enum FitId { kOls, kRidge, kRidgeGs, kLasso, kLassoGs, kElasticNet, kElasticNetGs };

// ---- messages -----------------------------------------------------------------

constexpr const char *kXNot2D = "X must be a two-dimensional array.";
constexpr const char *kYNot1D = "y must be a one-dimensional array.";
constexpr const char *kRowsDiffer = "X and y must have the same number of rows.";
constexpr const char *kNoRows = "OLS requires at least one row.";
constexpr const char *kNoRegressor = "OLS without an intercept requires at least one regressor.";

int fail(PyObject *type, const char *message) {
    PyErr_SetString(type, message);
    return -1;
}

// The pending exception's text (empty when there is none); clears it.
Ref take_error_text() {
#if PY_VERSION_HEX >= 0x030C0000
    Ref exc(PyErr_GetRaisedException());
    if (!exc) return Ref(PyUnicode_FromString(""));
    return Ref(PyObject_Str(exc.get()));
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    Ref t(type), v(value), b(tb);
    if (!v) return Ref(PyUnicode_FromString(""));
    return Ref(PyObject_Str(v.get()));
#endif
}

// Replaces the buffer helper's error by one naming the argument, what it must
// be and its required size. TypeError for an object that is no buffer at all.
// A negative need (alphas, which sets n_alphas) names no size.
int buffer_error(const char *fname, const ArgInfo &info, int64_t need, PyObject *obj) {
    Ref reason = take_error_text();
    if (!reason) return -1;
    PyObject *type = PyObject_CheckBuffer(obj) ? PyExc_ValueError : PyExc_TypeError;
    const char *dtype = info.kind == Kind::IntArray ? "int64" : "float64";
    if (need < 0)
        PyErr_Format(type, "%s(): %s must be a writable, C-contiguous, one-dimensional %s array (%U)",
                     fname, info.name, dtype, reason.get());
    else
        PyErr_Format(type,
                     "%s(): %s must be a writable, C-contiguous, one-dimensional %s array of "
                     "%s = %lld elements (%U)",
                     fname, info.name, dtype, size_rule(info.size), static_cast<long long>(need),
                     reason.get());
    return -1;
}

int size_error(const char *fname, const ArgInfo &info, int64_t need, Py_ssize_t got) {
    PyErr_Format(PyExc_ValueError, "%s(): %s must have %s = %lld elements, got %zd", fname,
                 info.name, size_rule(info.size), static_cast<long long>(need), got);
    return -1;
}

// ---- the trampoline -----------------------------------------------------------

// Memory of one array; X, y and alphas are only read.
struct Span {
    const char *name;
    const char *lo;
    const char *hi;
    bool written;
};

// Two arrays conflict when they share memory and the kernel writes either.
bool conflict(const Span &a, const Span &b) {
    return (a.written || b.written) && a.lo < b.hi && b.lo < a.hi;
}

// X (with the intercept column when asked) and y, checked in the documented
// order. On success *x_out and *y_out receive new references.
int prepare_data(const Fit &fit, PyObject *x_obj, PyObject *y_obj, Call &c, PyObject **x_out,
                 PyObject **y_out) {
    Ref X(reinterpret_cast<PyObject *>(crv::py::as_contiguous_f64(x_obj)));
    if (!X) return -1;
    auto *x_arr = reinterpret_cast<PyArrayObject *>(X.get());
    if (PyArray_NDIM(x_arr) != 2) return fail(PyExc_ValueError, kXNot2D);
    Ref y(reinterpret_cast<PyObject *>(crv::py::as_contiguous_f64(y_obj)));
    if (!y) return -1;
    auto *y_arr = reinterpret_cast<PyArrayObject *>(y.get());
    if (PyArray_NDIM(y_arr) != 1) return fail(PyExc_ValueError, kYNot1D);
    const npy_intp n = PyArray_DIM(x_arr, 0), k = PyArray_DIM(x_arr, 1);
    if (PyArray_DIM(y_arr, 0) != n) return fail(PyExc_ValueError, kRowsDiffer);
    if (fit.ols && n < 1) return fail(PyExc_ValueError, kNoRows);
    if (fit.ols && !c.intercept && k < 1) return fail(PyExc_ValueError, kNoRegressor);

    if (c.intercept) {  // column_stack((ones(n), X))
        const npy_intp dims[2] = {n, k + 1};
        Ref s(reinterpret_cast<PyObject *>(crv::py::new_f64(2, dims, false)));
        if (!s) return -1;
        const auto *src = static_cast<const double *>(PyArray_DATA(x_arr));
        auto *dst = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(s.get())));
        for (npy_intp i = 0; i < n; ++i) {
            dst[i * (k + 1)] = 1.0;
            for (npy_intp j = 0; j < k; ++j) dst[i * (k + 1) + j + 1] = src[i * k + j];
        }
        x_arr = reinterpret_cast<PyArrayObject *>(s.get());
        *x_out = s.release();
    }
    c.n = n;
    c.p = PyArray_DIM(x_arr, 1);
    c.X = static_cast<const double *>(PyArray_DATA(x_arr));
    c.y = static_cast<const double *>(PyArray_DATA(y_arr));
    if (*x_out == nullptr) *x_out = X.release();
    *y_out = y.release();
    return 0;
}

template <FitId Id>
PyObject *fit_call(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    const Fit &fit = kFits[Id];
    const char *fname = fit.sig.name;
    constexpr Py_ssize_t kMax = 17;
    PyObject *a[kMax];
    if (crv::py::bind(fit.sig, args, nargsf, kwnames, a) < 0) return nullptr;
    const Py_ssize_t nargs = fit.sig.nargs;

    Call c;
    PyObject *x_obj = nullptr, *y_obj = nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        const Arg arg = fit.args[i];
        if (arg == aX) x_obj = a[i];
        if (arg == aY) y_obj = a[i];
        if (arg == aIntercept && a[i] != nullptr && crv::py::to_bool(a[i], &c.intercept) < 0)
            return nullptr;
    }
    PyObject *x_new = nullptr, *y_new = nullptr;
    const int prepared = prepare_data(fit, x_obj, y_obj, c, &x_new, &y_new);
    const Ref X(x_new), y(y_new);  // keep the arrays alive through the kernel call
    if (prepared < 0) return nullptr;

    // Scalars, and alphas, which gives n_alphas.
    Buffer bufs[kMax];
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        const Arg arg = fit.args[i];
        int rc = 0;
        switch (arg) {
        case aAlpha: rc = crv::py::to_double(a[i], &c.alpha); break;
        case aL1Ratio: rc = crv::py::to_double(a[i], &c.l1_ratio); break;
        case aTol: rc = crv::py::to_double(a[i], &c.tol); break;
        case aMaxIter: rc = crv::py::to_int64(a[i], &c.max_iter); break;
        case aCriterion: rc = crv::py::to_int64(a[i], &c.criterion); break;
        case aAlphas:
            rc = bufs[i].acquire(a[i], "alphas", Elem::F64, 1, true, false);
            if (rc < 0) return buffer_error(fname, kArgInfo[aAlphas], -1, a[i]), nullptr;
            c.n_alphas = bufs[i].size;
            c.buf[aAlphas] = bufs[i].f64();
            break;
        default: break;
        }
        if (rc < 0) return nullptr;
    }
    c.q = c.intercept ? (c.p > 0 ? c.p - 1 : 0) : c.p;

    // Buffers in argument order, each checked against its size rule.
    Span spans[kMax + 2];
    int nspans = 0;
    if (c.n * c.p > 0)
        spans[nspans++] = {"X", reinterpret_cast<const char *>(c.X),
                           reinterpret_cast<const char *>(c.X + c.n * c.p), false};
    if (c.n > 0)
        spans[nspans++] = {"y", reinterpret_cast<const char *>(c.y),
                           reinterpret_cast<const char *>(c.y + c.n), false};
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        const Arg arg = fit.args[i];
        const ArgInfo &info = kArgInfo[arg];
        if (info.size == Size::None) continue;
        const int64_t need = required(info.size, c);
        if (arg != aAlphas) {
            const bool optional = info.kind == Kind::OptionalArray;
            const Elem elem = info.kind == Kind::IntArray ? Elem::I64 : Elem::F64;
            if (bufs[i].acquire(a[i], info.name, elem, 1, true, optional) < 0) {
                buffer_error(fname, info, need, a[i]);
                return nullptr;
            }
            if (optional && a[i] == Py_None) continue;
        }
        if (bufs[i].size != need) {
            size_error(fname, info, need, bufs[i].size);
            return nullptr;
        }
        if (info.kind == Kind::IntArray) {
            c.statuses = bufs[i].i64();
        } else {
            c.buf[arg] = bufs[i].f64();
        }
        if (need == 0) continue;
        const char *lo = static_cast<const char *>(info.kind == Kind::IntArray
                                                       ? static_cast<void *>(bufs[i].i64())
                                                       : static_cast<void *>(bufs[i].f64()));
        const Span span{info.name, lo, lo + need * 8, arg != aAlphas};
        for (int s = 0; s < nspans; ++s)
            if (conflict(span, spans[s])) {
                PyErr_Format(PyExc_ValueError,
                             "%s(): %s and %s share memory; the fit writes one of them", fname,
                             spans[s].name, info.name);
                return nullptr;
            }
        spans[nspans++] = span;
    }

    crv_fit_result rec = record(c, c.buf[aSe]);
    int64_t status;
    {
        crv::py::NoGil nogil;
        status = fit.kernel(c, &rec);
    }
    return Py_BuildValue("(ddL)", rec.rss, rec.tss, static_cast<long long>(status));
}

#define CRV_FIT_METHOD(id, args, summary)                                              \
    CRV_PY_METHOD(kFits[id].sig, fit_call<id>, summary, kFitNotes, ParamsDoc<args>::value.text, \
                  kFitReturns)

PyMethodDef methods[] = {
    CRV_FIT_METHOD(kOls, ols_args, "Least squares; standard errors into se (None skips them)."),
    CRV_FIT_METHOD(kRidge, ridge_args,
                   "Ridge regression with penalty alpha (intercept unpenalised)."),
    CRV_FIT_METHOD(kRidgeGs, ridge_gs_args,
                   "Ridge regression with the alpha chosen by criterion (3 RSS, 1 AIC, else BIC)."),
    CRV_FIT_METHOD(kLasso, lasso_args,
                   "Lasso by coordinate descent, objective (1/2n)|y - Xb|^2 + alpha |b|_1."),
    CRV_FIT_METHOD(kLassoGs, lasso_gs_args,
                   "Lasso along the LARS path, the alpha of lowest in-sample RSS."),
    CRV_FIT_METHOD(kElasticNet, elastic_net_args,
                   "Elastic net by coordinate descent, penalties from alpha and l1_ratio."),
    CRV_FIT_METHOD(kElasticNetGs, elastic_net_gs_args,
                   "Elastic net along a warm-started path, the alpha chosen by criterion."),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

CRV_DEFINE_MODULE(_regression, "Regression fits.", methods)
