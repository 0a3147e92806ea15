// Helpers shared by the regression solvers and fits (internal).
#pragma once

#include <cstdint>
#include <limits>

namespace crv::detail {

inline void fill_nan(double *a, int64_t count) {
    for (int64_t i = 0; i < count; ++i) a[i] = std::numeric_limits<double>::quiet_NaN();
}

// G = X^T X / n and rhs = X^T y / n (left unscaled when n <= 0).
void gram_scaled(const double *X, const double *y, int64_t n, int64_t p, double *G, double *rhs);

// sum_i (y_i - x_i beta)^2.
double residual_ss(const double *X, const double *y, const double *beta, int64_t n, int64_t p);

// 3 -> rss; 1 -> n ln(rss/n) + 2 dof; other -> n ln(rss/n) + ln(n) dof. A zero
// rss scores -inf (criteria other than 3); n <= 0 scores 0 (3) or -inf.
double criterion_score(double rss, double dof, int64_t n, int64_t criterion);

// trace((L L^T)^{-1} B) for k x k B, solving column by column in col.
double trace_solve(const double *L, const double *B, double *col, int64_t k);

}  // namespace crv::detail
