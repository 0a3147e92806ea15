// L-BFGS-B's line search: the More-Thuente search (dcsrch) driven by
// reverse communication, and its safeguarded step dcstep.
#include <algorithm>
#include <cmath>

#include "lbfgsb_detail.hpp"
#include "optimize.h"

namespace crv::detail::lbfgsb {

namespace {

constexpr double kFtol = 1e-3, kGtol = 0.9, kXtol = 0.1;
constexpr double kXtrapLower = 1.1, kXtrapUpper = 4.0;

}  // namespace

void LineSearch::start(double f, double g, double stp, int64_t *ln_task) {
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

void LineSearch::step(double f, double g, double *stp_io, int64_t *ln_task) {
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

}  // namespace crv::detail::lbfgsb

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
