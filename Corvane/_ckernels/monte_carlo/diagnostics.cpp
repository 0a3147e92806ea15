// Residual diagnostics: Breusch-Godfrey, Breusch-Pagan, autocorrelations,
// Ljung-Box, Jarque-Bera and the Jarque-Bera table lookups.
#include <cmath>

#include "diagnostics.h"
#include "fdot.hpp"
#include "linalg.h"
#include "stats_detail.hpp"
#include "stats_layout.hpp"

using crv::detail::fdot;
using crv::detail::kNaN;

const double _JB_N_GRID[CRV_JB_N_COUNT] = {10,  20,  35,  50,   75,   100,  150,  200,
                                           300, 500, 800, 1000, 1600, 2400, 10000};

const double _JB_PVAL_GRID[CRV_JB_P_COUNT] = {0.0001, 0.0005, 0.001, 0.005, 0.01, 0.05,
                                              0.1,    0.15,   0.2,   0.3,   0.4,  0.5,
                                              0.6,    0.7,    0.8,   0.85,  0.9,  0.95,
                                              0.99,   0.995,  0.999, 0.9995, 0.9999};

const double _JB_CV[CRV_JB_P_COUNT][CRV_JB_N_COUNT] = {
    {15.345, 46.996, 66.612, 71.734, 69.91, 68.032, 60.632, 54.736, 47.572, 38.847, 33.247,
     31.213, 26.956, 24.249, 19.94},
    {12.444, 31.159, 40.759, 43.256, 41.909, 40.43, 37.229, 34.33, 30.561, 26.27, 23.045, 21.979,
     19.76, 18.366, 16.052},
    {10.995, 24.97, 31.969, 33.753, 32.738, 31.84, 29.547, 27.551, 24.83, 21.812, 19.521, 18.736,
     17.15, 16.083, 14.397},
    {7.304, 13.471, 16.414, 17.281, 17.305, 16.959, 16.257, 15.638, 14.669, 13.583, 12.726,
     12.366, 11.762, 11.384, 10.792},
    {5.7029, 9.7182, 11.736, 12.392, 12.586, 12.491, 12.185, 11.882, 11.358, 10.778, 10.299,
     10.117, 9.8095, 9.6084, 9.3128},
    {2.5247, 3.7954, 4.5929, 4.9757, 5.2777, 5.43, 5.5984, 5.6758, 5.7732, 5.8551, 5.9103, 5.9242,
     5.9569, 5.9671, 5.9857},
    {1.6232, 2.347, 2.8814, 3.1834, 3.4862, 3.6734, 3.9041, 4.0327, 4.1891, 4.3317, 4.4274,
     4.4568, 4.5132, 4.5424, 4.5888},
    {1.2826, 1.823, 2.2533, 2.5094, 2.7713, 2.939, 3.1416, 3.258, 3.4003, 3.5312, 3.6198, 3.6507,
     3.7016, 3.7309, 3.7778},
    {1.1236, 1.5623, 1.9162, 2.1278, 2.3463, 2.4865, 2.6558, 2.7559, 2.8764, 2.9882, 3.0645,
     3.0909, 3.136, 3.1611, 3.2036},
    {0.9389, 1.2516, 1.4997, 1.6466, 1.7975, 1.8944, 2.0112, 2.0807, 2.1639, 2.2427, 2.2962,
     2.3153, 2.346, 2.365, 2.3968},
    {0.8077, 1.036, 1.2115, 1.3128, 1.4165, 1.4828, 1.5619, 1.6087, 1.6649, 1.7175, 1.7547,
     1.7679, 1.7889, 1.8024, 1.8248},
    {0.695, 0.8574, 0.9771, 1.0447, 1.1126, 1.1563, 1.2076, 1.2385, 1.2752, 1.3101, 1.3338, 1.342,
     1.3568, 1.3655, 1.3808},
    {0.5885, 0.6948, 0.7699, 0.8114, 0.8529, 0.88, 0.9105, 0.9292, 0.9518, 0.9732, 0.9882,
     0.9931, 1.0024, 1.0085, 1.0181},
    {0.4801, 0.5378, 0.5769, 0.5985, 0.6202, 0.6348, 0.6508, 0.661, 0.673, 0.6851, 0.694, 0.6965,
     0.7018, 0.7056, 0.7108},
    {0.3618, 0.3777, 0.3896, 0.3969, 0.4046, 0.4105, 0.4168, 0.4213, 0.4267, 0.4325, 0.4368,
     0.4376, 0.4402, 0.4421, 0.4451},
    {0.295, 0.2938, 0.2958, 0.2982, 0.301, 0.3044, 0.3071, 0.3096, 0.313, 0.3163, 0.3189, 0.3194,
     0.3209, 0.3221, 0.3245},
    {0.2192, 0.2047, 0.2002, 0.1997, 0.1997, 0.2006, 0.2016, 0.2024, 0.204, 0.206, 0.2071, 0.2074,
     0.2081, 0.2089, 0.2106},
    {0.1272, 0.1084, 0.1022, 0.1005, 0.0995, 0.0996, 0.0992, 0.0995, 0.1, 0.1005, 0.101, 0.1012,
     0.1013, 0.1019, 0.1024},
    {0.0304, 0.023, 0.0208, 0.0203, 0.0198, 0.0197, 0.0196, 0.0196, 0.0197, 0.0198, 0.0197,
     0.0199, 0.02, 0.02, 0.02},
    {0.0156, 0.0116, 0.0104, 0.0101, 0.0099, 0.0098, 0.0098, 0.0098, 0.0099, 0.0099, 0.0098,
     0.0099, 0.0099, 0.0099, 0.01},
    {0.0032, 0.0023, 0.0021, 0.002, 0.002, 0.0019, 0.0019, 0.0019, 0.002, 0.0019, 0.002, 0.002,
     0.002, 0.002, 0.002},
    {0.0016, 0.0012, 0.001, 0.001, 0.001, 0.0009, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001, 0.001,
     0.001, 0.001},
    {0.0003, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002, 0.0002,
     0.0002, 0.0002, 0.0002, 0.0002},
};

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
    return (static_cast<double>(n) - _JB_N_GRID[lo]) / (_JB_N_GRID[hi] - _JB_N_GRID[lo]);
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
    crv_jb_find_hilo_ascending(_JB_N_GRID, CRV_JB_N_COUNT, &n_lo, &n_hi, static_cast<double>(n));
    const double t = n_weight(n, n_lo, n_hi);
    double column[CRV_JB_P_COUNT];
    for (int r = 0; r < CRV_JB_P_COUNT; ++r)
        column[r] = n_lo == n_hi ? _JB_CV[r][n_lo] : lerp_at(_JB_CV[r][n_lo], _JB_CV[r][n_hi], t);
    int64_t lo = 0, hi = 0;
    crv_jb_find_hilo_descending(column, CRV_JB_P_COUNT, &lo, &hi, stat);
    if (lo == hi) return _JB_PVAL_GRID[lo];
    const double u = (stat - column[lo]) / (column[hi] - column[lo]);
    return lerp_at(_JB_PVAL_GRID[lo], _JB_PVAL_GRID[hi], u);
}

double crv_jb_isf_interp(int64_t n, double p) {
    if (std::isnan(p)) return kNaN;
    if (p <= 0.0) return std::numeric_limits<double>::infinity();
    if (p >= 1.0) return 0.0;
    int64_t n_lo = 0, n_hi = 0, p_lo = 0, p_hi = 0;
    crv_jb_find_hilo_ascending(_JB_N_GRID, CRV_JB_N_COUNT, &n_lo, &n_hi, static_cast<double>(n));
    crv_jb_find_hilo_ascending(_JB_PVAL_GRID, CRV_JB_P_COUNT, &p_lo, &p_hi, p);
    const double t = n_weight(n, n_lo, n_hi);
    auto at_row = [&](int64_t r) {
        return n_lo == n_hi ? _JB_CV[r][n_lo] : lerp_at(_JB_CV[r][n_lo], _JB_CV[r][n_hi], t);
    };
    const double v_lo = at_row(p_lo);
    if (p_lo == p_hi) return v_lo;
    const double u = (p - _JB_PVAL_GRID[p_lo]) / (_JB_PVAL_GRID[p_hi] - _JB_PVAL_GRID[p_lo]);
    return lerp_at(v_lo, at_row(p_hi), u);
}

void crv_jb_pval_interp_into(int64_t n, const double *values, int64_t count, double *out) {
    for (int64_t i = 0; i < count; ++i) out[i] = crv_jb_pval_interp(n, values[i]);
}

void crv_jb_isf_interp_into(int64_t n, const double *values, int64_t count, double *out) {
    for (int64_t i = 0; i < count; ++i) out[i] = crv_jb_isf_interp(n, values[i]);
}
