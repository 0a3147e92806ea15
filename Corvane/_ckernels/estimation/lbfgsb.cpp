// L-BFGS-B: limited-memory quasi-Newton minimisation subject to bounds
// (Byrd, Lu, Nocedal and Zhu), with the projection step of Morales and
// Nocedal after the subspace minimisation: the iteration (generalised Cauchy
// point, subspace minimisation, line search towards x-bar, limited-memory
// update) and setulb, a reverse-communication state machine whose whole
// state lives in the caller's wa, iwa, lsave, isave and dsave arrays. The
// line search, the limited-memory matrices and the driver have sources of
// their own (lbfgsb_detail.hpp).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "arena.hpp"
#include "fdot.hpp"
#include "lbfgsb_detail.hpp"
#include "optimize.h"
#include "optimize_layout.hpp"

using crv::detail::fdot;
using namespace crv::detail::lbfgsb;

namespace {

constexpr double kBigStep = 1e10;

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
