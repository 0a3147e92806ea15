// Bounded Nelder-Mead simplex search.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "arena.hpp"
#include "constants.hpp"
#include "optimize.h"
#include "optimize_layout.hpp"

namespace {

using crv::detail::kInf;
using crv::detail::kNaN;

const char *const kMsgSuccess = "Optimization terminated successfully.";
const char *const kMsgMaxfev = "Maximum number of function evaluations has been exceeded.";
const char *const kMsgMaxiter = "Maximum number of iterations has been exceeded.";
const char *const kMsgBadN = "ERROR: n must be >= 1";
const char *const kMsgBadPtr = "ERROR: null objective or starting point";
const char *const kMsgAlloc = "ERROR: workspace allocation failed";

void fill(crv_opt_result *r, int64_t status, int64_t nfev, int64_t nit, double fun,
          const char *msg) {
    if (!r) return;
    r->status = status;
    r->nfev = nfev;
    r->nit = nit;
    r->fun = fun;
    r->success = status == 0;
    r->message = msg;
}

// Strict order of objective values with NaN after every number.
inline bool before(double a, double b) { return a < b || (std::isnan(b) && !std::isnan(a)); }

struct Simplex {
    int64_t n;
    double *v;  // (n + 1) x n vertices, row k = vertex k
    double *f;  // n + 1 values
    double *row_tmp;
    const double *lb, *ub;  // null when unbounded

    double *vertex(int64_t k) { return v + k * n; }

    void clip(double *p) const {
        if (!lb) return;
        for (int64_t i = 0; i < n; ++i) {
            if (p[i] < lb[i]) p[i] = lb[i];
            if (p[i] > ub[i]) p[i] = ub[i];
        }
    }

    // Stable insertion sort of the vertices by value.
    void sort() {
        for (int64_t k = 1; k <= n; ++k) {
            const double fk = f[k];
            if (!before(fk, f[k - 1])) continue;
            std::memcpy(row_tmp, vertex(k), sizeof(double) * n);
            int64_t j = k;
            while (j > 0 && before(fk, f[j - 1])) {
                f[j] = f[j - 1];
                std::memcpy(vertex(j), vertex(j - 1), sizeof(double) * n);
                --j;
            }
            f[j] = fk;
            std::memcpy(vertex(j), row_tmp, sizeof(double) * n);
        }
    }

    void replace_worst(const double *p, double fp) {
        std::memcpy(vertex(n), p, sizeof(double) * n);
        f[n] = fp;
    }

    bool converged(double xatol, double fatol) {
        const double *x0 = vertex(0);
        double dx = 0.0;
        for (int64_t k = 1; k <= n; ++k) {
            const double *xk = vertex(k);
            for (int64_t i = 0; i < n; ++i) {
                const double d = std::fabs(xk[i] - x0[i]);
                if (std::isnan(d)) return false;
                if (d > dx) dx = d;
            }
        }
        double df = 0.0;
        for (int64_t k = 1; k <= n; ++k) {
            const double d = std::fabs(f[0] - f[k]);
            if (std::isnan(d)) return false;
            if (d > df) df = d;
        }
        return dx <= xatol && df <= fatol;
    }
};

// p = a * y + b * w, componentwise, then clipped.
inline void combine(const Simplex &s, double a, const double *y, double b, const double *w,
                    double *p) {
    for (int64_t i = 0; i < s.n; ++i) p[i] = a * y[i] + b * w[i];
    s.clip(p);
}

}  // namespace

int64_t crv_neldermead(crv_opt_fn fn, void *context, int64_t n, double *x, const double *lower,
                       const double *upper, const int64_t *bound_types,
                       const crv_nm_options *options, crv_opt_result *result) {
    if (n < 1) {
        fill(result, CRV_OPT_BAD_INPUT, 0, 0, kNaN, kMsgBadN);
        return CRV_OPT_BAD_INPUT;
    }
    if (!fn || !x) {
        fill(result, CRV_OPT_BAD_INPUT, 0, 0, kNaN, kMsgBadPtr);
        return CRV_OPT_BAD_INPUT;
    }
    int64_t maxiter = options ? options->maxiter : 0;
    int64_t maxfev = options ? options->maxfev : 0;
    const double xatol = options ? options->xatol : 1e-4;
    const double fatol = options ? options->fatol : 1e-4;
    const int64_t default_limit = n > INT64_MAX / 200 ? INT64_MAX : 200 * n;
    if (maxiter <= 0) maxiter = default_limit;
    if (maxfev <= 0) maxfev = default_limit;

    // The NelderMeadWork layout on the heap. Its simplex alone needs more than
    // the address space beyond 2^31 variables: such a search is refused
    // before its size is formed.
    using crv::detail::NelderMeadWork;
    const bool bounded = bound_types != nullptr;
    const int64_t words =
        n > (int64_t{1} << 31) ? -1 : crv::detail::arena_size<NelderMeadWork>(n).doubles;
    double *work = crv::detail::heap_block<double>(words);
    if (!work) {
        fill(result, CRV_OPT_ALLOC_FAILED, 0, 0, kNaN, kMsgAlloc);
        return CRV_OPT_ALLOC_FAILED;
    }
    const auto ws = crv::detail::carve<NelderMeadWork>(work, nullptr, n);
    Simplex s{n, ws.simplex, ws.values, ws.row_tmp, nullptr, nullptr};
    double *y = ws.centroid, *xr = ws.xr, *xe = ws.xe, *xc = ws.xc;
    if (bounded) {
        double *lb = ws.lb, *ub = ws.ub;
        for (int64_t i = 0; i < n; ++i) {
            const int64_t t = bound_types[i];
            lb[i] = ((t == 1 || t == 2) && lower) ? lower[i] : -kInf;
            ub[i] = ((t == 2 || t == 3) && upper) ? upper[i] : kInf;
        }
        s.lb = lb;
        s.ub = ub;
        s.clip(x);
    }

    // Initial simplex: vertex k perturbs component k-1.
    for (int64_t k = 0; k <= n; ++k) {
        double *v = s.vertex(k);
        std::memcpy(v, x, sizeof(double) * n);
        if (k > 0) v[k - 1] = v[k - 1] != 0.0 ? 1.05 * v[k - 1] : 0.00025;
        if (bounded) {
            for (int64_t i = 0; i < n; ++i)
                if (v[i] > s.ub[i]) v[i] = 2.0 * s.ub[i] - v[i];
            s.clip(v);
        }
        s.f[k] = kInf;
    }

    int64_t nfev = 0;
    for (int64_t k = 0; k <= n && nfev < maxfev; ++k) {
        s.f[k] = fn(s.vertex(k), context);
        ++nfev;
    }
    s.sort();

    int64_t nit = 1;
    while (nfev < maxfev && nit < maxiter) {
        if (s.converged(xatol, fatol)) break;
        const double *worst = s.vertex(n);
        for (int64_t i = 0; i < n; ++i) y[i] = 0.0;
        for (int64_t k = 0; k < n; ++k) {
            const double *v = s.vertex(k);
            for (int64_t i = 0; i < n; ++i) y[i] += v[i];
        }
        for (int64_t i = 0; i < n; ++i) y[i] /= static_cast<double>(n);

        combine(s, 2.0, y, -1.0, worst, xr);
        const double fr = fn(xr, context);
        ++nfev;
        bool shrink = false;
        if (fr < s.f[0]) {
            combine(s, 3.0, y, -2.0, worst, xe);
            const double fe = fn(xe, context);
            ++nfev;
            if (fe < fr) s.replace_worst(xe, fe);
            else s.replace_worst(xr, fr);
        } else if (fr < s.f[n - 1]) {
            s.replace_worst(xr, fr);
        } else if (fr < s.f[n]) {
            combine(s, 1.5, y, -0.5, worst, xc);
            const double fc = fn(xc, context);
            ++nfev;
            if (fc <= fr) s.replace_worst(xc, fc);
            else shrink = true;
        } else {
            combine(s, 0.5, y, 0.5, worst, xc);
            const double fcc = fn(xc, context);
            ++nfev;
            if (fcc < s.f[n]) s.replace_worst(xc, fcc);
            else shrink = true;
        }

        bool limit_hit = false;
        if (shrink) {
            const double *x0 = s.vertex(0);
            for (int64_t k = 1; k <= n; ++k) {
                double *v = s.vertex(k);
                for (int64_t i = 0; i < n; ++i) v[i] = x0[i] + 0.5 * (v[i] - x0[i]);
                s.clip(v);
                if (nfev >= maxfev) {
                    limit_hit = true;
                    break;
                }
                s.f[k] = fn(v, context);
                ++nfev;
            }
        }
        s.sort();
        if (limit_hit) break;
        ++nit;
    }

    std::memcpy(x, s.vertex(0), sizeof(double) * n);
    const double fun = s.f[0];
    std::free(work);

    int64_t status;
    const char *msg;
    if (nfev < maxfev && nit < maxiter) { status = 0; msg = kMsgSuccess; }
    else if (nfev >= maxfev) { status = 1; msg = kMsgMaxfev; }
    else { status = 2; msg = kMsgMaxiter; }
    fill(result, status, nfev, nit, fun, msg);
    return status;
}
