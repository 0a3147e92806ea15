// Python entry points of the _beliefplan extension module: belief-plan
// densities, LKJ terms and the correlation-factor maps. Every function binds
// its arguments positionally or by keyword, checks that the kernel will stay
// inside the buffers it is given, and calls the kernel without the
// interpreter lock.
#include <cstdarg>
#include <cstdint>

#include "beliefplan.h"
#include "pyargs.hpp"

namespace {

using crv::py::Buffer;
using crv::py::Elem;
using crv::py::Ref;
using crv::py::Signature;

// Parameter values read by each code of bijectors.def (0 for unknown codes,
// which read none).
int64_t transform_params_read(int64_t code) {
    switch (code) {
#define CRV_TRANSFORM(code, name, nread, XImpl, LogjacImpl) \
    case code:                                              \
        return nread;
#include "transforms/bijectors.def"
    default:
        return 0;
    }
}

int64_t dist_params_read(int64_t code) {
    switch (code) {
#define CRV_DISTRIBUTION(code, name, nread, Impl) \
    case code:                                    \
        return nread;
#include "transforms/bijectors.def"
    default:
        return 0;
    }
}

int64_t corr_values(int64_t K) { return K < 2 ? 0 : K * (K - 1) / 2; }

// Validated copy of an index array: the kernel reads the copy, so another
// thread writing the caller's array while the lock is released cannot move
// an index out of range after the check.
class IndexCopy {
  public:
    IndexCopy() = default;
    IndexCopy(const IndexCopy &) = delete;
    IndexCopy &operator=(const IndexCopy &) = delete;
    ~IndexCopy() {
        if (data_ != local_) PyMem_Free(data_);
    }
    // 0, or -1 with MemoryError set.
    int assign(const int64_t *src, Py_ssize_t n) {
        if (n > static_cast<Py_ssize_t>(kLocal)) {
            data_ = static_cast<int64_t *>(PyMem_Malloc(static_cast<size_t>(n) * sizeof(int64_t)));
            if (data_ == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
        }
        for (Py_ssize_t i = 0; i < n; ++i) data_[i] = src[i];
        return 0;
    }
    const int64_t *get(Py_ssize_t n) const { return n > 0 ? data_ : nullptr; }
    int64_t operator[](Py_ssize_t i) const { return data_[i]; }

  private:
    static constexpr size_t kLocal = 32;
    int64_t local_[kLocal];
    int64_t *data_ = local_;
};

int fail_value(const char *format, ...) {
    va_list va;
    va_start(va, format);
    PyErr_FormatV(PyExc_ValueError, format, va);
    va_end(va);
    return -1;
}

// ---- dist_logpdf(code, params, x) -------------------------------------------

constexpr const char *const dist_logpdf_args[] = {"code", "params", "x"};
constexpr Signature dist_logpdf_sig{"dist_logpdf", dist_logpdf_args, 3, 3};

PyObject *py_dist_logpdf(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kw) {
    PyObject *a[3];
    if (crv::py::bind(dist_logpdf_sig, args, nargsf, kw, a) < 0) return nullptr;
    int64_t code;
    double x;
    Buffer params;
    if (crv::py::to_int64(a[0], &code) < 0) return nullptr;
    if (params.acquire(a[1], "params", Elem::F64, 1, false, true) < 0) return nullptr;
    if (crv::py::to_double(a[2], &x) < 0) return nullptr;
    const int64_t need = dist_params_read(code);
    if (params.size < need) {
        fail_value("dist_logpdf(): distribution code %lld reads %lld parameters but params holds %zd",
                   static_cast<long long>(code), static_cast<long long>(need), params.size);
        return nullptr;
    }
    double out;
    {
        crv::py::NoGil nogil;
        crv_dist_logpdf(code, params.f64(), &out, x);
    }
    return PyFloat_FromDouble(out);
}

// ---- transform_inverse_and_logjac(code, params, z) --------------------------

constexpr const char *const transform_args[] = {"code", "params", "z"};
constexpr Signature transform_sig{"transform_inverse_and_logjac", transform_args, 3, 3};

PyObject *py_transform_inverse_and_logjac(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                                          PyObject *kw) {
    PyObject *a[3];
    if (crv::py::bind(transform_sig, args, nargsf, kw, a) < 0) return nullptr;
    int64_t code;
    double z;
    Buffer params;
    if (crv::py::to_int64(a[0], &code) < 0) return nullptr;
    if (params.acquire(a[1], "params", Elem::F64, 1, false, true) < 0) return nullptr;
    if (crv::py::to_double(a[2], &z) < 0) return nullptr;
    const int64_t need = transform_params_read(code);
    if (params.size < need) {
        fail_value("transform_inverse_and_logjac(): transform code %lld reads %lld parameters "
                   "but params holds %zd",
                   static_cast<long long>(code), static_cast<long long>(need), params.size);
        return nullptr;
    }
    double x, logjac;
    {
        crv::py::NoGil nogil;
        crv_transform_inverse_and_logjac(code, params.f64(), &x, &logjac, z);
    }
    return Py_BuildValue("(dd)", x, logjac);
}

// ---- lkj_chol_logjac(z, dim, length) and lkj_chol_logpdf_from_z(...) --------

// `length` may not promise more values than z holds.
int check_length(const char *fname, int64_t length, Py_ssize_t available) {
    if (length > available)
        return fail_value("%s(): length %lld exceeds the %zd values of z", fname,
                          static_cast<long long>(length), available);
    return 0;
}

constexpr const char *const lkj_logjac_args[] = {"z", "dim", "length"};
constexpr Signature lkj_logjac_sig{"lkj_chol_logjac", lkj_logjac_args, 3, 3};

PyObject *py_lkj_chol_logjac(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kw) {
    PyObject *a[3];
    if (crv::py::bind(lkj_logjac_sig, args, nargsf, kw, a) < 0) return nullptr;
    Buffer z;
    int64_t dim, length;
    if (z.acquire(a[0], "z", Elem::F64, 1, false, true) < 0) return nullptr;
    if (crv::py::to_int64(a[1], &dim) < 0 || crv::py::to_int64(a[2], &length) < 0) return nullptr;
    if (check_length("lkj_chol_logjac", length, z.size) < 0) return nullptr;
    double out;
    {
        crv::py::NoGil nogil;
        crv_lkj_chol_logjac(z.f64(), dim, length, &out);
    }
    return PyFloat_FromDouble(out);
}

constexpr const char *const lkj_logpdf_args[] = {"z", "dim", "length", "eta", "log_const"};
constexpr Signature lkj_logpdf_sig{"lkj_chol_logpdf_from_z", lkj_logpdf_args, 5, 5};

PyObject *py_lkj_chol_logpdf_from_z(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                                    PyObject *kw) {
    PyObject *a[5];
    if (crv::py::bind(lkj_logpdf_sig, args, nargsf, kw, a) < 0) return nullptr;
    Buffer z;
    int64_t dim, length;
    double eta, log_const;
    if (z.acquire(a[0], "z", Elem::F64, 1, false, true) < 0) return nullptr;
    if (crv::py::to_int64(a[1], &dim) < 0 || crv::py::to_int64(a[2], &length) < 0) return nullptr;
    if (crv::py::to_double(a[3], &eta) < 0 || crv::py::to_double(a[4], &log_const) < 0)
        return nullptr;
    if (check_length("lkj_chol_logpdf_from_z", length, z.size) < 0) return nullptr;
    double out;
    {
        crv::py::NoGil nogil;
        crv_lkj_chol_logpdf_from_z(z.f64(), dim, length, &out, eta, log_const);
    }
    return PyFloat_FromDouble(out);
}

// ---- logbeliefplan(theta, ...) ----------------------------------------------

enum PlanArg {
    kTheta, kScalarIndices, kScalarDistCodes, kScalarTransformCodes, kScalarDistParams,
    kScalarTransformParams, kMatrixOffsets, kMatrixDims, kMatrixLengths, kMatrixEtas,
    kMatrixLogConstants, kPlanArgs
};

constexpr const char *const plan_args[] = {
    "theta", "scalar_indices", "scalar_dist_codes", "scalar_transform_codes",
    "scalar_dist_params", "scalar_transform_params", "matrix_offsets", "matrix_dims",
    "matrix_lengths", "matrix_etas", "matrix_log_constants"};
constexpr Signature plan_sig{"logbeliefplan", plan_args, kPlanArgs, kPlanArgs};

int check_entries(const Buffer &b, PlanArg arg, Py_ssize_t n, PlanArg counted) {
    if (n < 1) return 0;  // not passed to the kernel
    if (b.size != n)
        return fail_value("logbeliefplan(): %s has %zd entries but %s has %zd", plan_args[arg],
                          b.size, plan_args[counted], n);
    return 0;
}

int check_rows(const Buffer &b, PlanArg arg, Py_ssize_t n, Py_ssize_t cols) {
    if (n < 1) return 0;  // not passed to the kernel
    if (b.shape(0) != n || b.shape(1) != cols)
        return fail_value("logbeliefplan(): %s must have shape (%zd, %zd), got (%zd, %zd)",
                          plan_args[arg], n, cols, b.shape(0), b.shape(1));
    return 0;
}

PyObject *py_logbeliefplan(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kw) {
    PyObject *a[kPlanArgs];
    if (crv::py::bind(plan_sig, args, nargsf, kw, a) < 0) return nullptr;
    static constexpr struct {
        Elem elem;
        int ndim;
    } kinds[kPlanArgs] = {
        {Elem::F64, 1}, {Elem::I64, 1}, {Elem::I64, 1}, {Elem::I64, 1}, {Elem::F64, 2},
        {Elem::F64, 2}, {Elem::I64, 1}, {Elem::I64, 1}, {Elem::I64, 1}, {Elem::F64, 1},
        {Elem::F64, 1}};
    Buffer b[kPlanArgs];
    for (int i = 0; i < kPlanArgs; ++i)
        if (b[i].acquire(a[i], plan_args[i], kinds[i].elem, kinds[i].ndim, false, true) < 0)
            return nullptr;

    const Py_ssize_t n_theta = b[kTheta].size;
    const Py_ssize_t n_scalar = b[kScalarIndices].size;
    const Py_ssize_t n_blocks = b[kMatrixDims].size;
    if (check_entries(b[kScalarDistCodes], kScalarDistCodes, n_scalar, kScalarIndices) < 0 ||
        check_entries(b[kScalarTransformCodes], kScalarTransformCodes, n_scalar,
                      kScalarIndices) < 0 ||
        check_rows(b[kScalarDistParams], kScalarDistParams, n_scalar, 5) < 0 ||
        check_rows(b[kScalarTransformParams], kScalarTransformParams, n_scalar, 3) < 0 ||
        check_entries(b[kMatrixOffsets], kMatrixOffsets, n_blocks, kMatrixDims) < 0 ||
        check_entries(b[kMatrixLengths], kMatrixLengths, n_blocks, kMatrixDims) < 0 ||
        check_entries(b[kMatrixEtas], kMatrixEtas, n_blocks, kMatrixDims) < 0 ||
        check_entries(b[kMatrixLogConstants], kMatrixLogConstants, n_blocks, kMatrixDims) < 0)
        return nullptr;

    IndexCopy indices, offsets, lengths;
    if (indices.assign(b[kScalarIndices].i64(), n_scalar) < 0 ||
        offsets.assign(b[kMatrixOffsets].i64(), n_blocks) < 0 ||
        lengths.assign(b[kMatrixLengths].i64(), n_blocks) < 0)
        return nullptr;
    for (Py_ssize_t i = 0; i < n_scalar; ++i)
        if (indices[i] < 0 || indices[i] >= n_theta) {
            fail_value("logbeliefplan(): scalar_indices[%zd] = %lld is outside theta of length %zd",
                       i, static_cast<long long>(indices[i]), n_theta);
            return nullptr;
        }
    for (Py_ssize_t j = 0; j < n_blocks; ++j) {
        if (offsets[j] < 0 || offsets[j] > n_theta) {
            fail_value("logbeliefplan(): matrix_offsets[%zd] = %lld is outside theta of length %zd",
                       j, static_cast<long long>(offsets[j]), n_theta);
            return nullptr;
        }
        if (lengths[j] > n_theta - offsets[j]) {
            fail_value("logbeliefplan(): matrix_lengths[%zd] = %lld exceeds the %lld values of "
                       "theta from matrix_offsets[%zd]",
                       j, static_cast<long long>(lengths[j]),
                       static_cast<long long>(n_theta - offsets[j]), j);
            return nullptr;
        }
    }

    const bool scalars = n_scalar >= 1, blocks = n_blocks >= 1;
    const double *theta = b[kTheta].f64();
    const int64_t *dist_codes = scalars ? b[kScalarDistCodes].i64() : nullptr;
    const int64_t *transform_codes = scalars ? b[kScalarTransformCodes].i64() : nullptr;
    const double *dist_params = scalars ? b[kScalarDistParams].f64() : nullptr;
    const double *transform_params = scalars ? b[kScalarTransformParams].f64() : nullptr;
    const int64_t *dims = blocks ? b[kMatrixDims].i64() : nullptr;
    const double *etas = blocks ? b[kMatrixEtas].f64() : nullptr;
    const double *log_constants = blocks ? b[kMatrixLogConstants].f64() : nullptr;
    double lp;
    {
        crv::py::NoGil nogil;
        lp = crv_logbeliefplan(theta, indices.get(n_scalar), dist_codes, transform_codes,
                               dist_params, transform_params, n_scalar, offsets.get(n_blocks),
                               dims, lengths.get(n_blocks), etas, log_constants, n_blocks);
    }
    return PyFloat_FromDouble(lp);
}

// ---- cov_from_unconstrained(z, std) -----------------------------------------

constexpr const char *const cov_args[] = {"z", "std"};
constexpr Signature cov_sig{"cov_from_unconstrained", cov_args, 2, 2};

PyObject *py_cov_from_unconstrained(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                                    PyObject *kw) {
    PyObject *a[2];
    if (crv::py::bind(cov_sig, args, nargsf, kw, a) < 0) return nullptr;
    Ref z(reinterpret_cast<PyObject *>(crv::py::as_contiguous_f64(a[0])));
    if (!z) return nullptr;
    Ref std_dev(reinterpret_cast<PyObject *>(crv::py::as_contiguous_f64(a[1])));
    if (!std_dev) return nullptr;
    auto *z_arr = reinterpret_cast<PyArrayObject *>(z.get());
    auto *std_arr = reinterpret_cast<PyArrayObject *>(std_dev.get());
    const npy_intp K = PyArray_DIM(std_arr, 0);
    if (PyArray_SIZE(std_arr) < K) {
        fail_value("cov_from_unconstrained(): std holds %zd values but its first dimension is %zd",
                   static_cast<Py_ssize_t>(PyArray_SIZE(std_arr)), static_cast<Py_ssize_t>(K));
        return nullptr;
    }
    const npy_intp need = corr_values(K);
    if (PyArray_SIZE(z_arr) < need) {
        fail_value("cov_from_unconstrained(): z holds %zd values but a correlation block of "
                   "dimension %zd needs %zd",
                   static_cast<Py_ssize_t>(PyArray_SIZE(z_arr)), static_cast<Py_ssize_t>(K),
                   static_cast<Py_ssize_t>(need));
        return nullptr;
    }
    const npy_intp dims[2] = {K, K};
    Ref L(reinterpret_cast<PyObject *>(crv::py::new_f64(2, dims, true)));
    if (!L) return nullptr;
    Ref cov(reinterpret_cast<PyObject *>(crv::py::new_f64(2, dims, false)));
    if (!cov) return nullptr;
    const double *zp = static_cast<const double *>(PyArray_DATA(z_arr));
    const double *sp = static_cast<const double *>(PyArray_DATA(std_arr));
    double *Lp = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(L.get())));
    double *cp = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(cov.get())));
    {
        crv::py::NoGil nogil;
        crv_cov_from_unconstrained(zp, sp, K, Lp, cp);
    }
    return PyTuple_Pack(2, cov.get(), L.get());
}

// ---- unconstrained_from_corr_chol(L) ----------------------------------------

constexpr const char *const inverse_args[] = {"L"};
constexpr Signature inverse_sig{"unconstrained_from_corr_chol", inverse_args, 1, 1};

PyObject *py_unconstrained_from_corr_chol(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                                          PyObject *kw) {
    PyObject *a[1];
    if (crv::py::bind(inverse_sig, args, nargsf, kw, a) < 0) return nullptr;
    Ref L(reinterpret_cast<PyObject *>(crv::py::as_contiguous_f64(a[0])));
    if (!L) return nullptr;
    Buffer view;
    if (view.acquire(L.get(), "L", Elem::F64, 2, false, false) < 0) return nullptr;
    const Py_ssize_t K = view.shape(0);
    if (view.shape(1) != K) {
        fail_value("unconstrained_from_corr_chol(): L must be square, got shape (%zd, %zd)", K,
                   view.shape(1));
        return nullptr;
    }
    const npy_intp n = corr_values(K);
    Ref z(reinterpret_cast<PyObject *>(crv::py::new_f64(1, &n, false)));
    if (!z) return nullptr;
    const double *Lp = view.f64();
    double *zp = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(z.get())));
    {
        crv::py::NoGil nogil;
        crv_unconstrained_from_corr_chol(Lp, K, zp);
    }
    return z.release();
}

// ---- docstrings ---------------------------------------------------------------

// The codes of bijectors.def with the values each reads, one a line.
#define CRV_DISTRIBUTION(code, name, nread, Impl) "\n    " #code " " #name ", reads " #nread ";"
constexpr const char *kDistCodes = ""
#include "transforms/bijectors.def"
    ;
#define CRV_TRANSFORM(code, name, nread, XImpl, LogjacImpl) \
    "\n    " #code " " #name ", reads " #nread ";"
constexpr const char *kTransformCodes = ""
#include "transforms/bijectors.def"
    ;

#define CRV_F64_BUFFER(what) "numpy.ndarray of float64 or None, shape " what "\n"
#define CRV_I64_BUFFER(what) "numpy.ndarray of int64 or None, shape " what "\n"
constexpr const char *kBufferNote =
    "\n\nArray arguments typed numpy.ndarray are read through the buffer protocol: C-contiguous,\n"
    "of the given dtype and number of dimensions (None or an empty buffer stands for\n"
    "no values); they are only read. The kernel runs without the interpreter lock.\n\n"
    "Parameters\n----------\n";
constexpr const char *kBufferRaises =
    "\nRaises\n------\n"
    "TypeError\n"
    "    If an argument is missing or unknown, an array argument is no buffer, or a\n"
    "    scalar does not convert.\n"
    "ValueError\n"
    "    If an array argument has the wrong dtype or number of dimensions, or holds\n"
    "    fewer values than the call reads.\n";

PyMethodDef methods[] = {
    CRV_PY_METHOD(dist_logpdf_sig, py_dist_logpdf,
                  "Log prior density of distribution `code` at x.", kBufferNote,
                  "code : int\n"
                  "    Distribution code of the belief plan, with the parameter values it reads:",
                  kDistCodes,
                  "\n    any other code gives NaN.\n"
                  "params : " CRV_F64_BUFFER("(m,)")
                  "    The distribution's parameter row; at least as many values as the code reads.\n"
                  "x : float\n"
                  "    The constrained value.\n"
                  "\nReturns\n-------\n"
                  "float\n"
                  "    ln p(x); NaN outside the support or for an unknown code.\n",
                  kBufferRaises),
    CRV_PY_METHOD(transform_sig, py_transform_inverse_and_logjac,
                  "(x, log |dx/dz|) of transform `code` at z.", kBufferNote,
                  "code : int\n"
                  "    Transform code of the belief plan, with the parameter values it reads:",
                  kTransformCodes,
                  "\n    any other code gives NaN.\n"
                  "params : " CRV_F64_BUFFER("(m,)")
                  "    The transform's parameter row (low, unused, width); at least as many values\n"
                  "    as the code reads.\n"
                  "z : float\n"
                  "    The unconstrained value.\n"
                  "\nReturns\n-------\n"
                  "x : float\n"
                  "    The constrained value.\n"
                  "logjac : float\n"
                  "    ln |dx/dz| at z.\n",
                  kBufferRaises),
    CRV_PY_METHOD(lkj_logjac_sig, py_lkj_chol_logjac,
                  "Log-Jacobian of a correlation-block map.", kBufferNote,
                  "z : " CRV_F64_BUFFER("(length,)")
                  "    The K(K-1)/2 unconstrained values of a K x K correlation block (canonical\n"
                  "    partial correlations through tanh, row by row).\n"
                  "dim : int\n"
                  "    K.\n"
                  "length : int\n"
                  "    Values of z the kernel may read; at most len(z).\n"
                  "\nReturns\n-------\n"
                  "float\n"
                  "    ln |d vech(L) / dz| of the map from z to the strictly lower entries of the\n"
                  "    correlation Cholesky factor L; 0 when K < 2, NaN when length < K(K-1)/2.\n",
                  kBufferRaises),
    CRV_PY_METHOD(lkj_logpdf_sig, py_lkj_chol_logpdf_from_z, "LKJ log density of z.",
                  kBufferNote,
                  "z : " CRV_F64_BUFFER("(length,)")
                  "    The K(K-1)/2 unconstrained values of a K x K correlation block.\n"
                  "dim : int\n"
                  "    K.\n"
                  "length : int\n"
                  "    Values of z the kernel may read; at most len(z).\n"
                  "eta : float\n"
                  "    LKJ shape parameter.\n"
                  "log_const : float\n"
                  "    Log normalising constant of the LKJ(eta) density, added as given.\n"
                  "\nReturns\n-------\n"
                  "float\n"
                  "    sum over rows r = 1 .. K-1 (from 0) of (K - r + 2 eta - 3) ln L[r, r], the\n"
                  "    LKJ(eta) log density of the Cholesky factor L built from z without its\n"
                  "    constant, + log_const + ln |d vech(L) / dz|: the log density of z;\n"
                  "    log_const when K < 2, NaN when length < K(K-1)/2.\n",
                  kBufferRaises),
    CRV_PY_METHOD(plan_sig, py_logbeliefplan, "Log density of theta under the belief plan.",
                  kBufferNote,
                  "theta : " CRV_F64_BUFFER("(n_theta,)")
                  "    The unconstrained parameter vector.\n"
                  "scalar_indices : " CRV_I64_BUFFER("(n_scalar,)")
                  "    Position in theta of each scalar parameter, in [0, n_theta).\n"
                  "scalar_dist_codes : " CRV_I64_BUFFER("(n_scalar,)")
                  "    Each scalar's distribution code (see dist_logpdf).\n"
                  "scalar_transform_codes : " CRV_I64_BUFFER("(n_scalar,)")
                  "    Each scalar's transform code (see transform_inverse_and_logjac).\n"
                  "scalar_dist_params : " CRV_F64_BUFFER("(n_scalar, 5)")
                  "    Each scalar's distribution parameter row.\n"
                  "scalar_transform_params : " CRV_F64_BUFFER("(n_scalar, 3)")
                  "    Each scalar's transform parameter row.\n"
                  "matrix_offsets : " CRV_I64_BUFFER("(n_blocks,)")
                  "    Position in theta of each correlation block's first value.\n"
                  "matrix_dims : " CRV_I64_BUFFER("(n_blocks,)")
                  "    Each block's dimension K.\n"
                  "matrix_lengths : " CRV_I64_BUFFER("(n_blocks,)")
                  "    Values of theta each block may read from its offset.\n"
                  "matrix_etas : " CRV_F64_BUFFER("(n_blocks,)")
                  "    Each block's LKJ shape parameter.\n"
                  "matrix_log_constants : " CRV_F64_BUFFER("(n_blocks,)")
                  "    Each block's LKJ log normalising constant.\n"
                  "\nReturns\n-------\n"
                  "float\n"
                  "    The sum over scalars of ln |dx/dz| + ln p(x), plus each block's LKJ log\n"
                  "    density of its values (see lkj_chol_logpdf_from_z); NaN at the first NaN\n"
                  "    term.\n",
                  kBufferRaises,
                  "    Also if an index or offset lies outside theta, a block's length runs past\n"
                  "    its end, or the per-scalar or per-block arrays disagree in length.\n"),
    CRV_PY_METHOD(cov_sig, py_cov_from_unconstrained, "(cov, L) of a correlation block.",
                  "\n\nThe K(K-1)/2 unconstrained values of a K x K correlation block give its\n"
                  "Cholesky factor L, which with the standard deviations gives the covariance.\n"
                  "The kernel runs without the interpreter lock.\n"
                  "\nParameters\n----------\n"
                  "z : array_like\n"
                  "    At least K(K-1)/2 unconstrained values (np.ascontiguousarray(z,\n"
                  "    dtype=float64)), canonical partial correlations through tanh, row by row.\n"
                  "std : array_like, shape (K,)\n"
                  "    Standard deviations (np.ascontiguousarray(std, dtype=float64)).\n"
                  "\nReturns\n-------\n"
                  "cov : numpy.ndarray of float64, shape (K, K)\n"
                  "    diag(std) L L^T diag(std); its diagonal is exactly std^2.\n"
                  "L : numpy.ndarray of float64, shape (K, K)\n"
                  "    The lower-triangular correlation Cholesky factor built from z (zeros above\n"
                  "    the diagonal).\n"
                  "\nRaises\n------\n"
                  "TypeError\n"
                  "    If an argument is missing or unknown.\n"
                  "ValueError\n"
                  "    If an argument does not convert to float64, or z holds fewer than\n"
                  "    K(K-1)/2 values.\n"),
    CRV_PY_METHOD(inverse_sig, py_unconstrained_from_corr_chol,
                  "Unconstrained values of a correlation factor.",
                  "\n\nThe inverse of the map of cov_from_unconstrained from z to L. The kernel runs\n"
                  "without the interpreter lock.\n"
                  "\nParameters\n----------\n"
                  "L : array_like, shape (K, K)\n"
                  "    A correlation Cholesky factor (np.ascontiguousarray(L, dtype=float64)); the\n"
                  "    diagonal and upper triangle are not read.\n"
                  "\nReturns\n-------\n"
                  "numpy.ndarray of float64, shape (K(K-1)/2,)\n"
                  "    z, the inverse of cov_from_unconstrained's map: atanh of the canonical\n"
                  "    partial correlations, row by row, clamped to +-0.99999999999999 before\n"
                  "    atanh.\n"
                  "\nRaises\n------\n"
                  "TypeError\n"
                  "    If an argument is missing or unknown.\n"
                  "ValueError\n"
                  "    If L does not convert to float64, or is not square and two-dimensional.\n"),
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

CRV_DEFINE_MODULE(_beliefplan, "Belief plans and LKJ densities.", methods)
