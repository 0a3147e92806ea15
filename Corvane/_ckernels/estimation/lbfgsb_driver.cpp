// crv_lbfgsb: L-BFGS-B over setulb with forward-difference gradients, on a
// heap workspace laid out by LbfgsbWork.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "arena.hpp"
#include "lbfgsb_detail.hpp"
#include "optimize.h"
#include "optimize_layout.hpp"

using namespace crv::detail::lbfgsb;

namespace {

const char *task_message(int64_t code) {
    switch (code) {
    case TASK_CONV: return "CONVERGENCE";
    case TASK_STOP: return "STOP: iteration or evaluation limit reached";
    case TASK_WARN: return "WARNING: rounding errors prevent progress";
    case TASK_ERROR: return "ERROR: invalid input";
    case TASK_ABNORMAL: return "ABNORMAL: line search failed";
    default: return "UNKNOWN";
    }
}

void fill_result(crv_opt_result *r, int64_t status, int64_t nfev, int64_t nit, double fun,
                 const char *msg) {
    if (!r) return;
    r->status = status;
    r->nfev = nfev;
    r->nit = nit;
    r->fun = fun;
    r->success = status == TASK_CONV;
    r->message = msg;
}

}  // namespace

int64_t crv_lbfgsb(crv_opt_fn fn, void *context, int64_t n, double *x, const double *lower,
                   const double *upper, const int64_t *bound_types,
                   const crv_lbfgsb_options *options, crv_opt_result *result) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (!fn || !x || !options || n < 1 || options->m < 1) {
        fill_result(result, TASK_ERROR, 0, 0, 0.0, task_message(TASK_ERROR));
        return TASK_ERROR;
    }
    const int64_t m = options->m;
    // The LbfgsbWork layout on the heap; a size beyond the address space is
    // an allocation failure (its query saturates instead of wrapping).
    using crv::detail::LbfgsbWork;
    const crv_arena_size_t size = crv::detail::arena_size<LbfgsbWork>(n, m);
    double *dwork = crv::detail::heap_block<double>(size.doubles);
    int64_t *iwork = crv::detail::heap_block<int64_t>(size.slots);
    if (!dwork || !iwork) {
        std::free(dwork);
        std::free(iwork);
        fill_result(result, CRV_OPT_ALLOC_FAILED, 0, 0, nan, "ERROR: workspace allocation failed");
        return CRV_OPT_ALLOC_FAILED;
    }
    const auto ws = crv::detail::carve<LbfgsbWork>(dwork, iwork, n, m);
    double *wa = ws.wa, *g = ws.g, *lo = ws.lo, *hi = ws.hi;
    int64_t *nbd = ws.nbd, *iwa = ws.iwa;
    for (int64_t i = 0; i < n; ++i) {
        lo[i] = lower ? lower[i] : 0.0;
        hi[i] = upper ? upper[i] : 0.0;
        nbd[i] = bound_types ? bound_types[i] : 0;
        g[i] = 0.0;
    }

    int64_t task[2] = {TASK_START, 0}, ln_task[2] = {0, 0};
    int64_t lsave[4] = {0, 0, 0, 0}, isave[44] = {0};
    double dsave[29] = {0.0};
    double f = 0.0;
    int64_t nfev = 0, nit = 0;
    const double h_fixed = options->fd_step;
    for (;;) {
        setulb(n, m, x, lo, hi, nbd, &f, g, options->factr, options->pgtol, wa, iwa, task, lsave,
               isave, dsave, options->maxls, ln_task);
        if (task[0] == TASK_FG) {
            f = fn(x, context);
            if (!std::isfinite(f)) {
                for (int64_t j = 0; j < n; ++j) g[j] = 0.0;
                nfev += 1;
                continue;
            }
            for (int64_t j = 0; j < n; ++j) {
                const double xj = x[j];
                const double h = h_fixed > 0.0 ? h_fixed
                                               : std::max(std::fabs(xj), 1.0) * 1.4901161193847656e-8;
                x[j] = xj + h;
                const double fj = fn(x, context);
                x[j] = xj;
                g[j] = std::isfinite(fj) ? (fj - f) / h : 0.0;
            }
            nfev += n + 1;
        } else if (task[0] == TASK_NEW_X) {
            nit += 1;
            if (options->maxiter > 0 && nit >= options->maxiter) {
                task[0] = TASK_STOP;
                task[1] = 504;
            } else if (options->maxfun > 0 && nfev > options->maxfun) {
                task[0] = TASK_STOP;
                task[1] = 502;
            }
        } else {
            break;
        }
    }

    fill_result(result, task[0], nfev, nit, f, task_message(task[0]));
    std::free(dwork);
    std::free(iwork);
    return task[0];
}
