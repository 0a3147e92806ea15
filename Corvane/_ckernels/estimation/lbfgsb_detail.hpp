// Internal pieces of L-BFGS-B shared by its sources: task codes, the slots
// of the state arrays isave, dsave and lsave, bound helpers, column-major
// access to the m x m blocks, and the More-Thuente line search (dcsrch),
// whose state lives in isave and dsave between calls.
//
// lbfgsb_linesearch.cpp: the line search and its safeguarded step dcstep;
// lbfgsb_matrices.cpp: the limited-memory matrices (matupd, formt, bmv);
// lbfgsb.cpp: the iteration and the reverse-communication entry setulb;
// lbfgsb_driver.cpp: crv_lbfgsb with forward-difference gradients.
#pragma once

#include <cstdint>
#include <limits>

#include "optimize.h"

namespace crv::detail::lbfgsb {

inline constexpr double kEps = 2.220446049250313e-16;
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// Task codes.
enum : int64_t {
    TASK_START = 0,
    TASK_NEW_X = 1,
    TASK_FG = 3,
    TASK_CONV = 4,
    TASK_STOP = 5,
    TASK_WARN = 6,
    TASK_ERROR = 7,
    TASK_ABNORMAL = 8,
};

// isave slots.
enum {
    I_STAGE, I_ITER, I_COL, I_HEAD, I_ITAIL, I_IUPDAT, I_NFGV, I_NLS, I_NFREE,
    I_LS_BRACKT, I_LS_STAGE, I_NSKIP, I_NRESET,
};
// dsave slots.
enum {
    D_THETA, D_FOLD, D_SBGNRM, D_STP, D_STPMAX, D_GD0, D_F0, D_DNORM,
    D_LS_FINIT, D_LS_GINIT, D_LS_GTEST, D_LS_STX, D_LS_FX, D_LS_GX, D_LS_STY, D_LS_FY,
    D_LS_GY, D_LS_STMIN, D_LS_STMAX, D_LS_WIDTH, D_LS_WIDTH1, D_LS_STPMIN, D_LS_STPMAX,
};
// lsave slots.
enum { L_CONSTRAINED, L_BOXED };

// setulb stages between calls.
enum : int64_t { STAGE_INIT_FG = 1, STAGE_LINE_SEARCH = 2, STAGE_NEW_X = 3, STAGE_DONE = 4 };

// Per-variable state during an iteration (iwa block 2).
enum : int64_t { VAR_FREE = 0, VAR_AT_LOWER = 1, VAR_AT_UPPER = 2, VAR_FIXED = 3 };

inline bool has_lower(int64_t t) { return t == 1 || t == 2; }
inline bool has_upper(int64_t t) { return t == 2 || t == 3; }

inline double clamp_to(double v, int64_t t, double lo, double hi) {
    if (has_lower(t) && v < lo) v = lo;
    if (has_upper(t) && v > hi) v = hi;
    return v;
}

// Column-major element (i, j) of an m-by-m block.
inline double &at(double *a, int64_t m, int64_t i, int64_t j) { return a[i + j * m]; }
inline double at(const double *a, int64_t m, int64_t i, int64_t j) { return a[i + j * m]; }

// Solves op(A) X = B for the non-unit triangle uplo of A (crv_shim_dtrtrs).
inline void triangular_solve(const char *uplo, const char *trans, int64_t n, int64_t nrhs,
                             const double *A, int64_t lda, double *B, int64_t ldb,
                             int64_t *info) {
    const char diag = 'N';
    crv_shim_dtrtrs(uplo, trans, &diag, &n, &nrhs, A, &lda, B, &ldb, info);
}

// ---- More-Thuente line search (reverse communication) --------------------

// The search's state between calls, kept in isave and dsave by load / save.
struct LineSearch {
    int64_t brackt, stage;
    double finit, ginit, gtest, stx, fx, gx, sty, fy, gy, stmin, stmax, width, width1;
    double stpmin, stpmax;

    void load(const int64_t *is, const double *ds) {
        brackt = is[I_LS_BRACKT];
        stage = is[I_LS_STAGE];
        finit = ds[D_LS_FINIT]; ginit = ds[D_LS_GINIT]; gtest = ds[D_LS_GTEST];
        stx = ds[D_LS_STX]; fx = ds[D_LS_FX]; gx = ds[D_LS_GX];
        sty = ds[D_LS_STY]; fy = ds[D_LS_FY]; gy = ds[D_LS_GY];
        stmin = ds[D_LS_STMIN]; stmax = ds[D_LS_STMAX];
        width = ds[D_LS_WIDTH]; width1 = ds[D_LS_WIDTH1];
        stpmin = ds[D_LS_STPMIN]; stpmax = ds[D_LS_STPMAX];
    }
    void save(int64_t *is, double *ds) const {
        is[I_LS_BRACKT] = brackt;
        is[I_LS_STAGE] = stage;
        ds[D_LS_FINIT] = finit; ds[D_LS_GINIT] = ginit; ds[D_LS_GTEST] = gtest;
        ds[D_LS_STX] = stx; ds[D_LS_FX] = fx; ds[D_LS_GX] = gx;
        ds[D_LS_STY] = sty; ds[D_LS_FY] = fy; ds[D_LS_GY] = gy;
        ds[D_LS_STMIN] = stmin; ds[D_LS_STMAX] = stmax;
        ds[D_LS_WIDTH] = width; ds[D_LS_WIDTH1] = width1;
        ds[D_LS_STPMIN] = stpmin; ds[D_LS_STPMAX] = stpmax;
    }

    // Starts a search from (f, g) at step 0 with first trial stp.
    void start(double f, double g, double stp, int64_t *ln_task);
    // Takes (f, g) at stp; either finishes (ln_task 4 or 6) or writes the
    // next trial into stp (ln_task 3).
    void step(double f, double g, double *stp_io, int64_t *ln_task);
};

}  // namespace crv::detail::lbfgsb
