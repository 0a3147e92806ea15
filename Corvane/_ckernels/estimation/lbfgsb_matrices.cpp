// L-BFGS-B's limited-memory matrices: the correction-pair update (matupd),
// the middle matrix T and its Cholesky factor (formt), and the product with
// the middle matrix of the compact form (bmv).
#include <cstring>

#include "fdot.hpp"
#include "lbfgsb_detail.hpp"
#include "optimize.h"

using crv::detail::fdot;
using crv::detail::lbfgsb::at;
using crv::detail::lbfgsb::triangular_solve;

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
