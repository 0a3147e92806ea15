// L-BFGS-B: limited-memory quasi-Newton minimisation subject to bounds
// (Byrd, Lu, Nocedal and Zhu), with the projection step of Morales and
// Nocedal after the subspace minimisation and the More-Thuente line search.
// setulb is a reverse-communication state machine whose whole state lives in
// the caller's wa, iwa, lsave, isave and dsave arrays.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "arena.hpp"
#include "fdot.hpp"
#include "optimize.h"
#include "optimize_layout.hpp"

using crv::detail::fdot;

namespace {

constexpr double kEps = 2.220446049250313e-16;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kBigStep = 1e10;

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

void triangular_solve(const char *uplo, const char *trans, int64_t n, int64_t nrhs,
                      const double *A, int64_t lda, double *B, int64_t ldb, int64_t *info) {
    const char diag = 'N';
    crv_shim_dtrtrs(uplo, trans, &diag, &n, &nrhs, A, &lda, B, &ldb, info);
}

// ---- More-Thuente line search (reverse communication) --------------------

constexpr double kFtol = 1e-3, kGtol = 0.9, kXtol = 0.1;
constexpr double kXtrapLower = 1.1, kXtrapUpper = 4.0;

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
    void start(double f, double g, double stp, int64_t *ln_task) {
        if (stp < stpmin || stp > stpmax || !(g < 0.0)) {
            ln_task[0] = TASK_ERROR;
            ln_task[1] = stp < stpmin ? 701 : stp > stpmax ? 702 : 703;
            return;
        }
        brackt = 0;
        stage = 1;
        finit = f;
        ginit = g;
        gtest = kFtol * ginit;
        width = stpmax - stpmin;
        width1 = 2.0 * width;
        stx = 0.0; fx = finit; gx = ginit;
        sty = 0.0; fy = finit; gy = ginit;
        stmin = 0.0;
        stmax = stp + kXtrapUpper * stp;
        ln_task[0] = TASK_FG;
        ln_task[1] = 0;
    }

    // Takes (f, g) at stp; either finishes (ln_task 4 or 6) or writes the
    // next trial into stp (ln_task 3).
    void step(double f, double g, double *stp_io, int64_t *ln_task) {
        double stp = *stp_io;
        const double ftest = finit + stp * gtest;
        const bool finite = std::isfinite(f);
        if (stage == 1 && f <= ftest && g >= 0.0) stage = 2;

        ln_task[0] = 0;
        if (brackt && (stp <= stmin || stp >= stmax)) { ln_task[0] = TASK_WARN; ln_task[1] = 601; }
        if (brackt && stmax - stmin <= kXtol * stmax) { ln_task[0] = TASK_WARN; ln_task[1] = 602; }
        if (stp == stpmax && f <= ftest && g <= gtest) { ln_task[0] = TASK_WARN; ln_task[1] = 603; }
        if (stp == stpmin && (f > ftest || g >= gtest)) { ln_task[0] = TASK_WARN; ln_task[1] = 604; }
        if (finite && f <= ftest && std::fabs(g) <= kGtol * (-ginit)) {
            ln_task[0] = TASK_CONV;
            ln_task[1] = 0;
        }
        if (ln_task[0] != 0) return;

        if (!finite) {
            // No usable model at an infeasible trial: it closes the interval
            // and the search bisects back towards the best step.
            brackt = 1;
            sty = stp; fy = f; gy = g;
            stp = stx + 0.5 * (stp - stx);
        } else if (stage == 1 && f <= fx && f > ftest) {
            // Modified function psi(stp) = f - stp * gtest until sufficient
            // decrease and a nonnegative derivative are both seen.
            double fm = f - stp * gtest, fxm = fx - stx * gtest, fym = fy - sty * gtest;
            double gm = g - gtest, gxm = gx - gtest, gym = gy - gtest;
            dcstep(&stx, &fxm, &gxm, &sty, &fym, &gym, &stp, fm, gm, &brackt, stmin, stmax);
            fx = fxm + stx * gtest;
            fy = fym + sty * gtest;
            gx = gxm + gtest;
            gy = gym + gtest;
        } else {
            dcstep(&stx, &fx, &gx, &sty, &fy, &gy, &stp, f, g, &brackt, stmin, stmax);
        }

        if (brackt) {
            // Force sufficient shrinkage of the interval.
            if (std::fabs(sty - stx) >= 0.66 * width1) stp = stx + 0.5 * (sty - stx);
            width1 = width;
            width = std::fabs(sty - stx);
            stmin = std::min(stx, sty);
            stmax = std::max(stx, sty);
        } else {
            stmin = stp + kXtrapLower * (stp - stx);
            stmax = stp + kXtrapUpper * (stp - stx);
        }
        stp = std::max(stp, stpmin);
        stp = std::min(stp, stpmax);
        if (brackt && (stp <= stmin || stp >= stmax || stmax - stmin <= kXtol * stmax)) stp = stx;
        *stp_io = stp;
        ln_task[0] = TASK_FG;
        ln_task[1] = 0;
    }
};

// ---- the iteration --------------------------------------------------------

struct Lbfgsb {
    int64_t n, m;
    double *x;
    const double *l, *u;
    const int64_t *nbd;
    double *f, *g;
    double factr, pgtol;
    int64_t maxls;
    int64_t *task, *ln_task, *lsave, *isave;
    double *dsave;

    // workspace blocks
    double *ws, *wy, *sy, *ss, *wt, *k11, *k12, *k22;
    double *z, *r, *d, *x0, *g0;
    double *wbp, *v, *p, *c;
    int64_t *index, *where, *order;

    void carve(double *wa, int64_t *iwa) {
        const auto w = crv::detail::carve<crv::detail::SetulbWork>(wa, iwa, n, m);
        ws = w.ws; wy = w.wy; sy = w.sy; ss = w.ss; wt = w.wt;
        k11 = w.k11; k12 = w.k12; k22 = w.k22;
        z = w.z; r = w.r; d = w.d; x0 = w.x0; g0 = w.g0;
        wbp = w.wbp; v = w.v; p = w.p; c = w.c;
        index = w.index; where = w.where; order = w.order;
    }

    int64_t &col() { return isave[I_COL]; }
    int64_t &head() { return isave[I_HEAD]; }
    double &theta() { return dsave[D_THETA]; }
    const double *s_vec(int64_t j) const { return ws + ((isave[I_HEAD] + j) % m) * n; }
    const double *y_vec(int64_t j) const { return wy + ((isave[I_HEAD] + j) % m) * n; }

    void set_task(int64_t code, int64_t detail) {
        task[0] = code;
        task[1] = detail;
        if (code >= TASK_CONV) isave[I_STAGE] = STAGE_DONE;
    }

    void reset_memory() {
        isave[I_COL] = 0;
        isave[I_HEAD] = 0;
        isave[I_ITAIL] = 0;
        isave[I_IUPDAT] = 0;
        isave[I_NRESET] += 1;
        dsave[D_THETA] = 1.0;
    }

    // max_i |P(x - g) - x|_i
    double projected_gradient_norm() const {
        double norm = 0.0;
        for (int64_t i = 0; i < n; ++i) {
            double gi = g[i];
            const int64_t t = nbd[i];
            if (gi < 0.0) {
                if (has_upper(t)) gi = std::max(x[i] - u[i], gi);
            } else {
                if (has_lower(t)) gi = std::min(x[i] - l[i], gi);
            }
            norm = std::max(norm, std::fabs(gi));
        }
        return norm;
    }

    // Row i of W = [Y, theta S] into out (2 col).
    void w_row(int64_t i, double *out) {
        const int64_t k = col();
        const double th = theta();
        for (int64_t j = 0; j < k; ++j) {
            out[j] = y_vec(j)[i];
            out[k + j] = th * s_vec(j)[i];
        }
    }

    // Generalised Cauchy point along the projected steepest-descent path of
    // the quadratic model: z = x^c, c = W'(x^c - x), where[] and the free /
    // active lists in index (free first; nfree in isave). Returns bmv's info.
    int64_t cauchy() {
        const int64_t k = col();
        const double th = theta();
        int64_t nbreak = 0, nmoving = 0;
        for (int64_t i = 0; i < n; ++i) {
            const int64_t t = nbd[i];
            const double gi = g[i];
            z[i] = x[i];
            r[i] = kInf;  // breakpoint
            if (t == 2 && u[i] == l[i]) {
                where[i] = VAR_FIXED;
                d[i] = 0.0;
                continue;
            }
            where[i] = VAR_FREE;
            double tb = kInf;
            if (gi < 0.0 && has_upper(t)) {
                tb = (x[i] - u[i]) / gi;
                if (!(tb > 0.0)) where[i] = VAR_AT_UPPER;
            } else if (gi > 0.0 && has_lower(t)) {
                tb = (x[i] - l[i]) / gi;
                if (!(tb > 0.0)) where[i] = VAR_AT_LOWER;
            }
            if (where[i] != VAR_FREE) {
                d[i] = 0.0;
                continue;
            }
            d[i] = -gi;
            if (gi != 0.0) ++nmoving;
            if (tb < kInf && gi != 0.0) {
                r[i] = tb;
                order[nbreak++] = i;
            }
        }

        for (int64_t j = 0; j < 2 * k; ++j) c[j] = 0.0;
        for (int64_t j = 0; j < k; ++j) {
            p[j] = fdot(y_vec(j), d, n);
            p[k + j] = th * fdot(s_vec(j), d, n);
        }
        double f1 = -fdot(d, d, n);
        int64_t info = 0;
        if (nmoving > 0) {
            double f2 = -th * f1;
            if (k > 0) {
                bmv(m, sy, wt, k, p, v, &info);
                if (info != 0) return info;
                f2 -= fdot(v, p, 2 * k);
            }
            const double f2_org = f2;
            double dtm = -f1 / f2;
            double tsum = 0.0;
            std::sort(order, order + nbreak, [this](int64_t a, int64_t b) {
                return r[a] < r[b] || (r[a] == r[b] && a < b);
            });
            for (int64_t q = 0; q < nbreak; ++q) {
                const int64_t b = order[q];
                const double dt = r[b] - tsum;
                if (dtm < dt) break;
                // Move to breakpoint b, fix variable b at its bound.
                tsum = r[b];
                const double bound = d[b] > 0.0 ? u[b] : l[b];
                where[b] = d[b] > 0.0 ? VAR_AT_UPPER : VAR_AT_LOWER;
                const double zb = bound - x[b];
                z[b] = bound;
                const double gb = g[b];
                for (int64_t j = 0; j < 2 * k; ++j) c[j] = std::fma(dt, p[j], c[j]);
                double wmc = 0.0, wmp = 0.0, wmw = 0.0;
                if (k > 0) {
                    w_row(b, wbp);
                    bmv(m, sy, wt, k, wbp, v, &info);
                    if (info != 0) return info;
                    wmc = fdot(v, c, 2 * k);
                    wmp = fdot(v, p, 2 * k);
                    wmw = fdot(v, wbp, 2 * k);
                }
                f1 = f1 + dt * f2 + gb * gb + th * gb * zb - gb * wmc;
                f2 = f2 - th * gb * gb - 2.0 * gb * wmp - gb * gb * wmw;
                f2 = std::max(kEps * f2_org, f2);
                for (int64_t j = 0; j < 2 * k; ++j) p[j] = std::fma(gb, wbp[j], p[j]);
                d[b] = 0.0;
                if (--nmoving == 0) {
                    dtm = 0.0;
                    break;
                }
                dtm = -f1 / f2;
            }
            dtm = std::max(0.0, dtm);
            tsum += dtm;
            for (int64_t i = 0; i < n; ++i)
                if (where[i] == VAR_FREE && d[i] != 0.0)
                    z[i] = clamp_to(std::fma(tsum, d[i], x[i]), nbd[i], l[i], u[i]);
            for (int64_t j = 0; j < 2 * k; ++j) c[j] = std::fma(dtm, p[j], c[j]);
        }

        int64_t nfree = 0, back = n;
        for (int64_t i = 0; i < n; ++i) {
            if (where[i] == VAR_FREE) index[nfree++] = i;
            else index[--back] = i;
        }
        isave[I_NFREE] = nfree;
        return 0;
    }

    // Minimises the model over the free variables from the Cauchy point and
    // projects (or, failing descent, truncates) the result into the box; z
    // becomes x-bar. Returns nonzero when a factorisation fails.
    int64_t subspace() {
        const int64_t nfree = isave[I_NFREE], k = col();
        if (nfree == 0) return 0;
        const double th = theta();
        const int64_t *free_idx = index, *active_idx = index + nfree;
        const int64_t nact = n - nfree;
        int64_t info = 0;

        // Reduced gradient r = Z'(g + theta (z - x) - W M c), compressed.
        if (k > 0) {
            bmv(m, sy, wt, k, c, v, &info);
            if (info != 0) return info;
        }
        for (int64_t q = 0; q < nfree; ++q) {
            const int64_t i = free_idx[q];
            double wmc = 0.0;
            for (int64_t j = 0; j < k; ++j) {
                wmc = std::fma(y_vec(j)[i], v[j], wmc);
                wmc = std::fma(th * s_vec(j)[i], v[k + j], wmc);
            }
            r[q] = g[i] + th * (z[i] - x[i]) - wmc;
        }

        if (k > 0) {
            // wv = W'Z r into wbp.
            for (int64_t j = 0; j < k; ++j) {
                const double *yj = y_vec(j), *sj = s_vec(j);
                double a = 0.0, b = 0.0;
                for (int64_t q = 0; q < nfree; ++q) {
                    a = std::fma(yj[free_idx[q]], r[q], a);
                    b = std::fma(sj[free_idx[q]], r[q], b);
                }
                wbp[j] = a;
                wbp[k + j] = th * b;
            }
            // K = M^-1 - W'ZZ'W / theta = [[-K11, K12], [K12', K22]] with
            // K11 = D + Y'ZZ'Y / theta, K12(i, j) = y_i'AA's_j (j > i) or
            // -y_i'ZZ's_j (j <= i), K22 = theta S'AA'S.
            for (int64_t i = 0; i < k; ++i) {
                const double *yi = y_vec(i), *si = s_vec(i);
                for (int64_t j = 0; j < k; ++j) {
                    const double *yj = y_vec(j), *sj = s_vec(j);
                    if (j >= i) {
                        double yy = 0.0, ss_a = 0.0;
                        for (int64_t q = 0; q < nfree; ++q)
                            yy = std::fma(yi[free_idx[q]], yj[free_idx[q]], yy);
                        for (int64_t q = 0; q < nact; ++q)
                            ss_a = std::fma(si[active_idx[q]], sj[active_idx[q]], ss_a);
                        double a = yy / th;
                        if (i == j) a += at(sy, m, i, i);
                        at(k11, m, i, j) = at(k11, m, j, i) = a;
                        at(k22, m, i, j) = at(k22, m, j, i) = th * ss_a;
                    }
                    double ys = 0.0;
                    if (j > i) {
                        for (int64_t q = 0; q < nact; ++q)
                            ys = std::fma(yi[active_idx[q]], sj[active_idx[q]], ys);
                    } else {
                        for (int64_t q = 0; q < nfree; ++q)
                            ys = std::fma(yi[free_idx[q]], sj[free_idx[q]], ys);
                        ys = -ys;
                    }
                    at(k12, m, i, j) = ys;
                }
            }
            // K11 = U1'U1; E = U1^-T K12; K22 + E'E = U2'U2.
            const char up = 'U', tr = 'T', nt = 'N';
            int64_t kk = k, ld = m;
            crv_shim_dpotrf(&up, &kk, k11, &ld, &info);
            if (info != 0) return info;
            triangular_solve(&up, &tr, k, k, k11, m, k12, m, &info);
            if (info != 0) return info;
            for (int64_t i = 0; i < k; ++i)
                for (int64_t j = i; j < k; ++j) {
                    const double e = fdot(k12 + i * m, k12 + j * m, k);
                    at(k22, m, i, j) += e;
                    if (j != i) at(k22, m, j, i) = at(k22, m, i, j);
                }
            crv_shim_dpotrf(&up, &kk, k22, &ld, &info);
            if (info != 0) return info;

            // Solve K w = wv: [[-U1', 0], [E', U2']] [[U1, -E], [0, U2]] w = wv.
            double *w1 = v, *w2 = v + k;
            for (int64_t j = 0; j < k; ++j) w1[j] = -wbp[j];
            triangular_solve(&up, &tr, k, 1, k11, m, w1, m, &info);
            if (info != 0) return info;
            for (int64_t j = 0; j < k; ++j) w2[j] = wbp[k + j] - fdot(k12 + j * m, w1, k);
            triangular_solve(&up, &tr, k, 1, k22, m, w2, m, &info);
            if (info != 0) return info;
            triangular_solve(&up, &nt, k, 1, k22, m, w2, m, &info);
            if (info != 0) return info;
            for (int64_t i = 0; i < k; ++i) {
                double e = w1[i];
                for (int64_t j = 0; j < k; ++j) e = std::fma(at(k12, m, i, j), w2[j], e);
                w1[i] = e;
            }
            triangular_solve(&up, &nt, k, 1, k11, m, w1, m, &info);
            if (info != 0) return info;
            // du = -r / theta - Z'W w / theta^2, into r.
            const double inv = 1.0 / th, inv2 = inv * inv;
            for (int64_t q = 0; q < nfree; ++q) {
                const int64_t i = free_idx[q];
                double zw = 0.0;
                for (int64_t j = 0; j < k; ++j) {
                    zw = std::fma(y_vec(j)[i], w1[j], zw);
                    zw = std::fma(th * s_vec(j)[i], w2[j], zw);
                }
                r[q] = -inv * r[q] - inv2 * zw;
            }
        } else {
            for (int64_t q = 0; q < nfree; ++q) r[q] = -r[q] / th;
        }

        // x-hat = z + Z du. Inside the box: take it. Otherwise take its
        // projection when that still points downhill from x, else truncate
        // the step at the first bound it crosses.
        bool feasible = true;
        for (int64_t q = 0; q < nfree && feasible; ++q) {
            const int64_t i = free_idx[q];
            const double xi = z[i] + r[q];
            if ((has_lower(nbd[i]) && xi < l[i]) || (has_upper(nbd[i]) && xi > u[i])) feasible = false;
        }
        if (feasible) {
            for (int64_t q = 0; q < nfree; ++q) z[free_idx[q]] += r[q];
            return 0;
        }
        double dd = 0.0;
        for (int64_t q = 0; q < nact; ++q) {
            const int64_t i = active_idx[q];
            dd = std::fma(z[i] - x[i], g[i], dd);
        }
        for (int64_t q = 0; q < nfree; ++q) {
            const int64_t i = free_idx[q];
            const double xp = clamp_to(z[i] + r[q], nbd[i], l[i], u[i]);
            dd = std::fma(xp - x[i], g[i], dd);
        }
        if (dd < 0.0) {
            for (int64_t q = 0; q < nfree; ++q) {
                const int64_t i = free_idx[q];
                z[i] = clamp_to(z[i] + r[q], nbd[i], l[i], u[i]);
            }
            return 0;
        }
        double alpha = 1.0;
        int64_t hit = -1;
        for (int64_t q = 0; q < nfree; ++q) {
            const int64_t i = free_idx[q];
            const double du = r[q];
            double a = alpha;
            if (du < 0.0 && has_lower(nbd[i])) a = (l[i] - z[i]) / du;
            else if (du > 0.0 && has_upper(nbd[i])) a = (u[i] - z[i]) / du;
            if (a < alpha) {
                alpha = std::max(a, 0.0);
                hit = q;
            }
        }
        for (int64_t q = 0; q < nfree; ++q) {
            const int64_t i = free_idx[q];
            z[i] = clamp_to(std::fma(alpha, r[q], z[i]), nbd[i], l[i], u[i]);
        }
        if (hit >= 0) {
            const int64_t i = free_idx[hit];
            z[i] = r[hit] > 0.0 ? u[i] : l[i];
        }
        return 0;
    }

    // x = x0 + stp d, exactly x-bar at stp = 1, kept inside the box.
    void trial_point(double stp) {
        for (int64_t i = 0; i < n; ++i) {
            const double xi = stp == 1.0 ? z[i] : std::fma(stp, d[i], x0[i]);
            x[i] = clamp_to(xi, nbd[i], l[i], u[i]);
        }
    }

    // Computes x-bar and starts the line search towards it, or ends the run
    // (task set) when no descent direction can be found.
    void iterate() {
        for (;;) {
            int64_t info = cauchy();
            if (info != 0) {
                reset_memory();
                continue;
            }
            info = subspace();
            if (info != 0) {
                reset_memory();
                continue;
            }
            for (int64_t i = 0; i < n; ++i) d[i] = z[i] - x[i];
            const double dnorm = std::sqrt(fdot(d, d, n));
            const double gd = fdot(g, d, n);
            if (!(dnorm > 0.0) || !(gd < 0.0)) {
                // No descent from the model: retry from steepest descent once.
                if (col() > 0) {
                    reset_memory();
                    continue;
                }
                set_task(dnorm > 0.0 ? TASK_ABNORMAL : TASK_WARN, dnorm > 0.0 ? 604 : 603);
                return;
            }
            std::memcpy(x0, x, sizeof(double) * n);
            std::memcpy(g0, g, sizeof(double) * n);
            dsave[D_F0] = *f;
            dsave[D_GD0] = gd;
            dsave[D_DNORM] = dnorm;

            double stpmax = kBigStep;
            if (lsave[L_CONSTRAINED]) {
                if (isave[I_ITER] == 0) {
                    stpmax = 1.0;
                } else {
                    for (int64_t i = 0; i < n; ++i) {
                        const int64_t t = nbd[i];
                        if (d[i] < 0.0 && has_lower(t)) stpmax = std::min(stpmax, (l[i] - x[i]) / d[i]);
                        else if (d[i] > 0.0 && has_upper(t)) stpmax = std::min(stpmax, (u[i] - x[i]) / d[i]);
                    }
                    stpmax = std::max(stpmax, 1.0);
                }
            }
            double stp = 1.0;
            if (isave[I_ITER] == 0 && !lsave[L_BOXED]) stp = std::min(1.0 / dnorm, stpmax);

            LineSearch ls{};
            ls.stpmin = 0.0;
            ls.stpmax = stpmax;
            ls.start(*f, gd, stp, ln_task);
            if (ln_task[0] != TASK_FG) {
                set_task(TASK_ABNORMAL, 604);
                return;
            }
            ls.save(isave, dsave);
            dsave[D_STP] = stp;
            dsave[D_STPMAX] = stpmax;
            isave[I_NLS] = 0;
            trial_point(stp);
            isave[I_STAGE] = STAGE_LINE_SEARCH;
            set_task(TASK_FG, 0);
            return;
        }
    }

    // f and g are known at the current trial point.
    void continue_line_search() {
        isave[I_NLS] += 1;
        LineSearch ls{};
        ls.load(isave, dsave);
        double stp = dsave[D_STP];
        const double gd = fdot(g, d, n);
        ls.step(*f, gd, &stp, ln_task);
        ls.save(isave, dsave);
        bool accept = false;
        if (ln_task[0] == TASK_CONV) {
            accept = true;
        } else if (ln_task[0] == TASK_WARN) {
            accept = *f < dsave[D_F0];
        } else if (ln_task[0] == TASK_FG && isave[I_NLS] < maxls) {
            dsave[D_STP] = stp;
            trial_point(stp);
            set_task(TASK_FG, 0);
            return;
        }
        if (!accept) {
            // Back to the last iterate; retry from steepest descent, or end.
            const bool rounding = ln_task[0] == TASK_WARN;
            std::memcpy(x, x0, sizeof(double) * n);
            std::memcpy(g, g0, sizeof(double) * n);
            *f = dsave[D_F0];
            if (col() == 0) {
                set_task(rounding ? TASK_WARN : TASK_ABNORMAL, rounding ? 603 : 604);
                return;
            }
            reset_memory();
            iterate();
            return;
        }

        // New iterate: update the limited memory with s = x - x0, y = g - g0.
        isave[I_ITER] += 1;
        dsave[D_SBGNRM] = projected_gradient_norm();
        dsave[D_FOLD] = dsave[D_F0];
        double *s = d, *y = r;
        for (int64_t i = 0; i < n; ++i) {
            s[i] = x[i] - x0[i];
            y[i] = g[i] - g0[i];
        }
        const double rr = fdot(y, y, n), dr = fdot(s, y, n);
        const double ddum = -fdot(g0, s, n);
        if (dr > kEps * ddum && dr > 0.0) {
            matupd(n, m, ws, wy, sy, ss, s, y, &isave[I_ITAIL], &isave[I_IUPDAT], &isave[I_COL],
                   &isave[I_HEAD], &dsave[D_THETA], rr, dr);
            int64_t info = 0;
            formt(m, wt, sy, ss, col(), theta(), &info);
            if (info != 0) reset_memory();
        } else {
            isave[I_NSKIP] += 1;
        }
        isave[I_STAGE] = STAGE_NEW_X;
        set_task(TASK_NEW_X, 0);
    }

    // Convergence tests after a new iterate, then the next iteration.
    void after_new_x() {
        if (dsave[D_SBGNRM] <= pgtol) {
            set_task(TASK_CONV, 601);
            return;
        }
        const double fold = dsave[D_FOLD], fv = *f;
        const double scale = std::max({std::fabs(fold), std::fabs(fv), 1.0});
        if (fold - fv <= factr * kEps * scale) {
            set_task(TASK_CONV, 602);
            return;
        }
        iterate();
    }

    int64_t validate() const {
        if (n < 1) return 701;
        if (m < 1) return 702;
        if (!(factr >= 0.0)) return 703;
        if (!(pgtol >= 0.0)) return 704;
        if (maxls < 1) return 705;
        for (int64_t i = 0; i < n; ++i)
            if (nbd[i] < 0 || nbd[i] > 3) return 706;
        for (int64_t i = 0; i < n; ++i) {
            if (has_lower(nbd[i]) && std::isnan(l[i])) return 707;
            if (has_upper(nbd[i]) && std::isnan(u[i])) return 707;
            if (nbd[i] == 2 && !(l[i] <= u[i])) return 707;
        }
        return 0;
    }

    void begin() {
        std::memset(isave, 0, sizeof(int64_t) * 44);
        std::memset(dsave, 0, sizeof(double) * 29);
        std::memset(lsave, 0, sizeof(int64_t) * 4);
        ln_task[0] = ln_task[1] = 0;
        const int64_t bad = validate();
        if (bad != 0) {
            set_task(TASK_ERROR, bad);
            return;
        }
        dsave[D_THETA] = 1.0;
        bool constrained = false, boxed = true;
        for (int64_t i = 0; i < n; ++i) {
            if (nbd[i] != 0) constrained = true;
            if (nbd[i] != 2) boxed = false;
            x[i] = clamp_to(x[i], nbd[i], l[i], u[i]);
        }
        lsave[L_CONSTRAINED] = constrained;
        lsave[L_BOXED] = boxed;
        isave[I_STAGE] = STAGE_INIT_FG;
        set_task(TASK_FG, 0);
    }

    void resume() {
        switch (isave[I_STAGE]) {
        case STAGE_INIT_FG:
            isave[I_NFGV] = 1;
            if (!std::isfinite(*f)) {
                set_task(TASK_ERROR, 708);
                return;
            }
            dsave[D_SBGNRM] = projected_gradient_norm();
            if (dsave[D_SBGNRM] <= pgtol) {
                set_task(TASK_CONV, 601);
                return;
            }
            iterate();
            return;
        case STAGE_LINE_SEARCH:
            isave[I_NFGV] += 1;
            continue_line_search();
            return;
        case STAGE_NEW_X:
            after_new_x();
            return;
        default:
            set_task(TASK_ERROR, 0);
            return;
        }
    }
};

}  // namespace

// ---- limited-memory matrices ------------------------------------------------

void matupd(int64_t n, int64_t m, double *ws, double *wy, double *sy, double *ss,
            const double *s, const double *y, int64_t *itail, int64_t *iupdat, int64_t *col,
            int64_t *head, double *theta, double rr, double dr) {
    if (*col < m) {
        *itail = (*head + *col) % m;
        *col += 1;
    } else {
        // Drop the oldest pair: its slot takes the new one and SY, SS shift.
        *itail = *head;
        *head = (*head + 1) % m;
        for (int64_t j = 0; j + 1 < m; ++j)
            for (int64_t i = 0; i + 1 < m; ++i) {
                at(sy, m, i, j) = at(sy, m, i + 1, j + 1);
                at(ss, m, i, j) = at(ss, m, i + 1, j + 1);
            }
    }
    std::memcpy(ws + *itail * n, s, sizeof(double) * n);
    std::memcpy(wy + *itail * n, y, sizeof(double) * n);
    *theta = rr / dr;
    *iupdat += 1;
    const int64_t k = *col - 1;
    for (int64_t j = 0; j <= k; ++j) {
        const int64_t slot = (*head + j) % m;
        const double *sj = ws + slot * n, *yj = wy + slot * n;
        at(sy, m, k, j) = fdot(s, yj, n);
        if (j < k) at(sy, m, j, k) = fdot(sj, y, n);
        const double v = fdot(sj, s, n);
        at(ss, m, j, k) = v;
        at(ss, m, k, j) = v;
    }
}

void formt(int64_t m, double *wt, const double *sy, const double *ss, int64_t col, double theta,
           int64_t *info) {
    *info = 0;
    for (int64_t i = 0; i < col; ++i)
        for (int64_t j = i; j < col; ++j) {
            double t = theta * at(ss, m, i, j);
            for (int64_t k = 0; k < i; ++k)
                t = std::fma(at(sy, m, i, k), at(sy, m, j, k) / at(sy, m, k, k), t);
            at(wt, m, i, j) = t;
            at(wt, m, j, i) = t;
        }
    const char up = 'U';
    int64_t order = col, ld = m, status = 0;
    crv_shim_dpotrf(&up, &order, wt, &ld, &status);
    if (status != 0) *info = -1;
}

void bmv(int64_t m, const double *sy, const double *wt, int64_t col, const double *v, double *p,
         int64_t *info) {
    *info = 0;
    if (col <= 0) return;
    const double *v1 = v, *v2 = v + col;
    double *p1 = p, *p2 = p + col;
    // p2 = T^-1 (v2 + L D^-1 v1)
    for (int64_t i = 0; i < col; ++i) {
        double s = v2[i];
        for (int64_t k = 0; k < i; ++k) s = std::fma(at(sy, m, i, k), v1[k] / at(sy, m, k, k), s);
        p2[i] = s;
    }
    triangular_solve("U", "T", col, 1, wt, m, p2, m, info);
    if (*info != 0) return;
    triangular_solve("U", "N", col, 1, wt, m, p2, m, info);
    if (*info != 0) return;
    // p1 = D^-1 (L' p2 - v1)
    for (int64_t i = 0; i < col; ++i) {
        double s = -v1[i];
        for (int64_t k = i + 1; k < col; ++k) s = std::fma(at(sy, m, k, i), p2[k], s);
        p1[i] = s / at(sy, m, i, i);
    }
}

// ---- line-search step -------------------------------------------------------

void dcstep(double *stx, double *fx, double *dx, double *sty, double *fy, double *dy, double *stp,
            double fp, double dp, int64_t *brackt, double stpmin, double stpmax) {
    const double x = *stx, y = *sty, t = *stp;
    const double sgnd = dp * (*dx / std::fabs(*dx));  // NaN when dx is zero: no sign change
    double stpf;

    if (fp > *fx) {
        // Higher value: the minimum is bracketed. Cubic step if it is closer
        // to stx than the quadratic step, else their midpoint.
        const double theta = 3.0 * (*fx - fp) / (t - x) + *dx + dp;
        const double s = std::max({std::fabs(theta), std::fabs(*dx), std::fabs(dp)});
        double gamma = s * std::sqrt((theta / s) * (theta / s) - (*dx / s) * (dp / s));
        if (t < x) gamma = -gamma;
        const double pp = (gamma - *dx) + theta;
        const double q = ((gamma - *dx) + gamma) + dp;
        const double stpc = x + (pp / q) * (t - x);
        const double stpq = x + ((*dx / ((*fx - fp) / (t - x) + *dx)) / 2.0) * (t - x);
        stpf = std::fabs(stpc - x) < std::fabs(stpq - x) ? stpc : stpc + (stpq - stpc) / 2.0;
        *brackt = 1;
    } else if (sgnd < 0.0) {
        // Derivatives of opposite sign: bracketed. Step farther from stp.
        const double theta = 3.0 * (*fx - fp) / (t - x) + *dx + dp;
        const double s = std::max({std::fabs(theta), std::fabs(*dx), std::fabs(dp)});
        double gamma = s * std::sqrt((theta / s) * (theta / s) - (*dx / s) * (dp / s));
        if (t > x) gamma = -gamma;
        const double pp = (gamma - dp) + theta;
        const double q = ((gamma - dp) + gamma) + *dx;
        const double stpc = t + (pp / q) * (x - t);
        const double stpq = t + (dp / (dp - *dx)) * (x - t);
        stpf = std::fabs(stpc - t) > std::fabs(stpq - t) ? stpc : stpq;
        *brackt = 1;
    } else if (std::fabs(dp) < std::fabs(*dx)) {
        // Same sign, derivative decreasing in magnitude: the cubic is used
        // only when it tends to infinity in the step direction.
        const double theta = 3.0 * (*fx - fp) / (t - x) + *dx + dp;
        const double s = std::max({std::fabs(theta), std::fabs(*dx), std::fabs(dp)});
        double gamma = s * std::sqrt(std::max(0.0, (theta / s) * (theta / s) - (*dx / s) * (dp / s)));
        if (t > x) gamma = -gamma;
        const double pp = (gamma - dp) + theta;
        const double q = (gamma + (*dx - dp)) + gamma;
        const double ratio = pp / q;
        double stpc;
        if (ratio < 0.0 && gamma != 0.0) stpc = t + ratio * (x - t);
        else if (t > x) stpc = stpmax;
        else stpc = stpmin;
        const double stpq = t + (dp / (dp - *dx)) * (x - t);
        if (*brackt) {
            stpf = std::fabs(stpc - t) < std::fabs(stpq - t) ? stpc : stpq;
            if (t > x) stpf = std::min(t + 0.66 * (y - t), stpf);
            else stpf = std::max(t + 0.66 * (y - t), stpf);
        } else {
            stpf = std::fabs(stpc - t) > std::fabs(stpq - t) ? stpc : stpq;
            stpf = std::min(stpmax, stpf);
            stpf = std::max(stpmin, stpf);
        }
    } else {
        // Same sign, derivative not decreasing: cubic between stp and sty
        // when bracketed, else the end of the allowed interval.
        if (*brackt) {
            const double theta = 3.0 * (fp - *fy) / (y - t) + *dy + dp;
            const double s = std::max({std::fabs(theta), std::fabs(*dy), std::fabs(dp)});
            double gamma = s * std::sqrt((theta / s) * (theta / s) - (*dy / s) * (dp / s));
            if (t > y) gamma = -gamma;
            const double pp = (gamma - dp) + theta;
            const double q = ((gamma - dp) + gamma) + *dy;
            stpf = t + (pp / q) * (y - t);
        } else {
            stpf = t > x ? stpmax : stpmin;
        }
    }

    // Update the interval of uncertainty.
    if (fp > *fx) {
        *sty = t;
        *fy = fp;
        *dy = dp;
    } else {
        if (sgnd < 0.0) {
            *sty = *stx;
            *fy = *fx;
            *dy = *dx;
        }
        *stx = t;
        *fx = fp;
        *dx = dp;
    }
    // A non-finite interpolant (an infinite or NaN endpoint value) falls
    // back to bisection, or to the end of the allowed interval.
    if (!std::isfinite(stpf)) stpf = *brackt ? *stx + 0.5 * (*sty - *stx) : (t > x ? stpmax : stpmin);
    *stp = stpf;
}

// ---- reverse-communication entry --------------------------------------------

void setulb(int64_t n, int64_t m, double *x, const double *l, const double *u, const int64_t *nbd,
            double *f, double *g, double factr, double pgtol, double *wa, int64_t *iwa,
            int64_t *task, int64_t *lsave, int64_t *isave, double *dsave, int64_t maxls,
            int64_t *ln_task) {
    Lbfgsb s{};
    s.n = n; s.m = m; s.x = x; s.l = l; s.u = u; s.nbd = nbd; s.f = f; s.g = g;
    s.factr = factr; s.pgtol = pgtol; s.maxls = maxls;
    s.task = task; s.ln_task = ln_task; s.lsave = lsave; s.isave = isave; s.dsave = dsave;
    if (task[0] == TASK_START) {
        s.begin();
        return;
    }
    if (task[0] != TASK_FG && task[0] != TASK_NEW_X) return;  // ended or stopped
    s.carve(wa, iwa);
    s.resume();
}

// ---- driver -------------------------------------------------------------------

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
