// Residual diagnostics: Breusch-Godfrey, Breusch-Pagan, autocorrelations,
// Ljung-Box, Jarque-Bera and the Jarque-Bera table lookups.
#include <cmath>

#include "arena.hpp"
#include "constants.hpp"
#include "diagnostics.h"
#include "fdot.hpp"
#include "linalg.h"
#include "stats_layout.hpp"
#include "stats_tables.hpp"

using crv::detail::fdot;
using crv::detail::kNaN;
using crv::tables::jb_cv;
using crv::tables::jb_n_grid;
using crv::tables::jb_pval_grid;

namespace {

// Residual sum of squares sum (y_i - Z_i beta)^2, accumulated fused.
double residual_ss(const double *y, const double *Z, const double *beta, int64_t n, int64_t m) {
    double ssr = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double r = y[i] - (m > 0 ? fdot(Z + i * m, beta, m) : 0.0);
        ssr = std::fma(r, r, ssr);
    }
    return ssr;
}

// First index i with before(values[i], x) false, i.e. the first entry not
// strictly on the near side of x; then the bracketing rule shared by both
// directions.
template <typename Reached>
void find_hilo(const double *values, int64_t count, int64_t *lo, int64_t *hi, double x,
               Reached reached) {
    if (count <= 0) {
        *lo = *hi = 0;
        return;
    }
    int64_t first = 0, last = count;  // answer in [first, last]
    while (first < last) {
        const int64_t mid = first + (last - first) / 2;
        if (reached(values[mid], x))
            last = mid;
        else
            first = mid + 1;
    }
    if (first == 0) {
        *lo = *hi = 0;
    } else if (first == count) {
        *lo = *hi = count - 1;
    } else {
        *hi = first;
        *lo = values[first] == x ? first : first - 1;
    }
}

inline double lerp_at(double a, double b, double t) { return a + t * (b - a); }

// Interpolation weight of n between two grid sample sizes (0 for a
// degenerate bracket).
double n_weight(int64_t n, int64_t lo, int64_t hi) {
    if (lo == hi) return 0.0;
    return (static_cast<double>(n) - jb_n_grid[lo]) / (jb_n_grid[hi] - jb_n_grid[lo]);
}

}  // namespace

crv_arena_size_t crv_bg_arena_size(int64_t n, int64_t k, int64_t p) {
    return crv::detail::arena_size<crv::detail::BgArena>(n, k, p);
}

int32_t crv_bg_stat(const double *e, const double *X, int64_t n, int64_t k, int64_t p,
                    double *arena, double *out) {
    if (k < 0) {
        *out = kNaN;
        return CRV_STAT_BAD_VARIANCE;
    }
    if (p < 0) {
        *out = kNaN;
        return CRV_STAT_BAD_LAGS;
    }
    if (n <= p) {
        *out = kNaN;
        return CRV_STAT_TOO_FEW;
    }
    const int64_t m = k + p + 1;
    const auto a = crv::detail::carve<crv::detail::BgArena>(arena, nullptr, n, k, p);
    double *Z = a.Z, *G = a.G, *L = a.L, *g = a.g, *beta = a.beta;

    for (int64_t i = 0; i < n; ++i) {
        double *zi = Z + i * m;
        zi[0] = 1.0;
        for (int64_t j = 0; j < k; ++j) zi[1 + j] = X[i * k + j];
        for (int64_t j = 1; j <= p; ++j) zi[k + j] = i - j >= 0 ? e[i - j] : 0.0;
    }
    crv_gram(Z, G, n, m);
    crv_gram_rhs(Z, e, g, n, m);
    if (crv_chol_solve(G, g, beta, L, m) != 0) return CRV_STAT_CHOL_FAILED;

    double S = 0.0;
    for (int64_t i = 0; i < n; ++i) S = std::fma(e[i], e[i], S);
    const double ssr = residual_ss(e, Z, beta, n, m);
    *out = S > 0.0 ? static_cast<double>(n) * (1.0 - ssr / S) : 0.0;
    return 0;
}

crv_arena_size_t crv_bp_arena_size(int64_t n, int64_t m) {
    return crv::detail::arena_size<crv::detail::BpArena>(n, m);
}

int32_t crv_bp_aux(const double *e, const double *Z, int64_t n, int64_t m, double *arena,
                   double *ssr, double *tss) {
    if (n == 0) return CRV_STAT_TOO_FEW;
    if (n < 0) return CRV_STAT_BAD_VARIANCE;
    const int64_t mm = m > 0 ? m : 0;
    const double dn = static_cast<double>(n);
    double sum_sq = 0.0;
    for (int64_t i = 0; i < n; ++i) sum_sq = std::fma(e[i], e[i], sum_sq);
    const double sigma2 = sum_sq / dn;
    if (!(std::isfinite(sigma2) && sigma2 > 0.0)) return CRV_STAT_BAD_VARIANCE;

    const auto a = crv::detail::carve<crv::detail::BpArena>(arena, nullptr, n, mm);
    double *w = a.w, *G = a.G, *L = a.L, *g = a.g, *beta = a.beta;
    for (int64_t i = 0; i < n; ++i) w[i] = e[i] * e[i] / sigma2;

    if (mm > 0) {
        crv_gram(Z, G, n, mm);
        crv_gram_rhs(Z, w, g, n, mm);
        if (crv_chol_solve(G, g, beta, L, mm) != 0) return CRV_STAT_CHOL_FAILED;
    }
    double w_sum = 0.0;
    for (int64_t i = 0; i < n; ++i) w_sum += w[i];
    const double w_bar = w_sum / dn;
    double total = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double c = w[i] - w_bar;
        total = std::fma(c, c, total);
    }
    *ssr = residual_ss(w, Z, beta, n, mm);
    *tss = total;
    return 0;
}

int32_t crv_bp_stat(const double *e, const double *Z, int64_t n, int64_t m, int64_t studentized,
                    double *arena, double *out) {
    *out = kNaN;
    double ssr = 0.0, tss = 0.0;
    const int32_t status = crv_bp_aux(e, Z, n, m, arena, &ssr, &tss);
    if (status != 0) return status;
    if (studentized != 0) {
        if (tss <= 0.0) {
            *out = 0.0;
        } else {
            double r2 = 1.0 - ssr / tss;
            r2 = r2 < 0.0 ? 0.0 : (r2 > 1.0 ? 1.0 : r2);
            *out = static_cast<double>(n) * r2;
        }
    } else {
        const double half_ess = 0.5 * (tss - ssr);
        *out = half_ess > 0.0 ? half_ess : 0.0;
    }
    return 0;
}

int32_t crv_acorr(const double *x, int64_t n, int64_t h, double *d, double *acf) {
    if (h < 0) return CRV_STAT_BAD_LAGS;
    double c0 = 0.0;
    if (n > 0) {
        double sum = 0.0;
        for (int64_t i = 0; i < n; ++i) sum += x[i];
        const double mean = sum / static_cast<double>(n);
        for (int64_t i = 0; i < n; ++i) d[i] = x[i] - mean;
        c0 = fdot(d, d, n);
    }
    if (!(std::isfinite(c0) && c0 > 0.0)) {
        for (int64_t j = 0; j <= h; ++j) acf[j] = kNaN;
        return CRV_STAT_BAD_VARIANCE;
    }
    acf[0] = 1.0;
    for (int64_t j = 1; j <= h; ++j) acf[j] = j < n ? fdot(d + j, d, n - j) / c0 : 0.0;
    return 0;
}

crv_arena_size_t crv_lb_arena_size(int64_t n, int64_t h) {
    return crv::detail::arena_size<crv::detail::LbArena>(n, h);
}

int32_t crv_lb_stat(const double *x, int64_t n, int64_t h, double *d, double *acf,
                    double *out) {
    if (n < 2) {
        *out = kNaN;
        return CRV_STAT_TOO_FEW;
    }
    if (h >= n) {
        h = n - 1;
    } else if (h <= 0) {
        *out = kNaN;
        return CRV_STAT_BAD_LAGS;
    }
    const int32_t status = crv_acorr(x, n, h, d, acf);
    if (status != 0) {
        *out = kNaN;
        return status;
    }
    double sum = 0.0;
    for (int64_t j = 1; j <= h; ++j) sum += acf[j] * acf[j] / static_cast<double>(n - j);
    const double dn = static_cast<double>(n);
    *out = (dn + 2.0) * dn * sum;
    return 0;
}

int32_t crv_jb_stat(const double *x, int64_t n, double *out) {
    if (n == 0) {
        *out = kNaN;
        return CRV_STAT_TOO_FEW;
    }
    if (n < 0) {
        *out = kNaN;
        return CRV_STAT_BAD_VARIANCE;
    }
    const double dn = static_cast<double>(n);
    double sum = 0.0;
    for (int64_t i = 0; i < n; ++i) sum += x[i];
    const double mean = sum / dn;
    double s2 = 0.0, s3 = 0.0, s4 = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double dev = x[i] - mean;
        const double dev2 = dev * dev;
        s2 = std::fma(dev, dev, s2);
        s3 = std::fma(dev2, dev, s3);
        s4 = std::fma(dev2, dev2, s4);
    }
    const double m2 = s2 / dn;
    if (!(std::isfinite(m2) && m2 > 0.0)) {
        *out = kNaN;
        return CRV_STAT_BAD_VARIANCE;
    }
    const double skew = (s3 / dn) / std::pow(m2, 1.5);
    const double kurt = (s4 / dn) / (m2 * m2) - 3.0;
    *out = dn * (kurt * kurt / 24.0 + skew * skew / 6.0);
    return n < 10 ? CRV_STAT_TOO_FEW : 0;
}

void crv_jb_find_hilo_ascending(const double *values, int64_t count, int64_t *lo, int64_t *hi,
                                double x) {
    find_hilo(values, count, lo, hi, x, [](double v, double t) { return v >= t; });
}

void crv_jb_find_hilo_descending(const double *values, int64_t count, int64_t *lo, int64_t *hi,
                                 double x) {
    find_hilo(values, count, lo, hi, x, [](double v, double t) { return v <= t; });
}

double crv_jb_pval_interp(int64_t n, double stat) {
    if (std::isnan(stat)) return kNaN;
    if (stat <= 0.0) return 1.0;
    if (std::isinf(stat)) return 0.0;
    int64_t n_lo = 0, n_hi = 0;
    crv_jb_find_hilo_ascending(jb_n_grid, CRV_JB_N_COUNT, &n_lo, &n_hi, static_cast<double>(n));
    const double t = n_weight(n, n_lo, n_hi);
    double column[CRV_JB_P_COUNT];
    for (int r = 0; r < CRV_JB_P_COUNT; ++r)
        column[r] = n_lo == n_hi ? jb_cv[r][n_lo] : lerp_at(jb_cv[r][n_lo], jb_cv[r][n_hi], t);
    int64_t lo = 0, hi = 0;
    crv_jb_find_hilo_descending(column, CRV_JB_P_COUNT, &lo, &hi, stat);
    if (lo == hi) return jb_pval_grid[lo];
    const double u = (stat - column[lo]) / (column[hi] - column[lo]);
    return lerp_at(jb_pval_grid[lo], jb_pval_grid[hi], u);
}

double crv_jb_isf_interp(int64_t n, double p) {
    if (std::isnan(p)) return kNaN;
    if (p <= 0.0) return std::numeric_limits<double>::infinity();
    if (p >= 1.0) return 0.0;
    int64_t n_lo = 0, n_hi = 0, p_lo = 0, p_hi = 0;
    crv_jb_find_hilo_ascending(jb_n_grid, CRV_JB_N_COUNT, &n_lo, &n_hi, static_cast<double>(n));
    crv_jb_find_hilo_ascending(jb_pval_grid, CRV_JB_P_COUNT, &p_lo, &p_hi, p);
    const double t = n_weight(n, n_lo, n_hi);
    auto at_row = [&](int64_t r) {
        return n_lo == n_hi ? jb_cv[r][n_lo] : lerp_at(jb_cv[r][n_lo], jb_cv[r][n_hi], t);
    };
    const double v_lo = at_row(p_lo);
    if (p_lo == p_hi) return v_lo;
    const double u = (p - jb_pval_grid[p_lo]) / (jb_pval_grid[p_hi] - jb_pval_grid[p_lo]);
    return lerp_at(v_lo, at_row(p_hi), u);
}

void crv_jb_pval_interp_into(int64_t n, const double *values, int64_t count, double *out) {
    for (int64_t i = 0; i < count; ++i) out[i] = crv_jb_pval_interp(n, values[i]);
}

void crv_jb_isf_interp_into(int64_t n, const double *values, int64_t count, double *out) {
    for (int64_t i = 0; i < count; ++i) out[i] = crv_jb_isf_interp(n, values[i]);
}
