// Discrete Lyapunov equation X = A X A^T + Q through the real Schur form of A
// (Bartels-Stewart for the Stein equation, as Kitagawa writes it).
//
// dgees sees the row-major A as the column-major A^T = V S V^T. Read back
// row-major, its matrix is L = S^T (lower quasi-triangular) and its vectors
// are W = V^T, so A = W^T L W and Y = W X W^T solves Y = L Y L^T + C with
// C = W Q W^T. Y is solved by block columns q left to right; in column q,
// with G = Y L^T,
//   Y_pq - L_pp Y_pq L_qq^T = C_pq + L_pp (W_q)_p + sum_{r < p} L_pr G_rq,
//   W_q = sum_{t < q} Y_.t L_qt^T,
// for the row blocks p >= q in ascending order (rows above q are known by
// symmetry). Each block is 1 x 1 or 2 x 2, its equation a system of at most
// four unknowns.
#include <cmath>
#include <cstdint>

#include "arena.hpp"
#include "constants.hpp"
#include "fdot.hpp"
#include "filters.h"
#include "filters_layout.hpp"
#include "linalg.h"

using crv::detail::fdot;

namespace {

// Roots this close to the unit circle or closer count as unit roots whatever
// the caller asks: beyond it the solution carries less than half the digits.
constexpr double kRootTolFloor = 1.4901161193847656e-08;  // 2^-26

int32_t no_sort(const double *, const double *) { return 0; }

// Solves M y = b in place (b becomes y) for K <= 4 by Gaussian elimination
// with partial pivoting; false on a zero or non-finite pivot.
bool small_solve(double (&M)[4][4], double (&b)[4], int K) {
    for (int c = 0; c < K; ++c) {
        int piv = c;
        for (int r = c + 1; r < K; ++r)
            if (std::fabs(M[r][c]) > std::fabs(M[piv][c])) piv = r;
        if (!(std::fabs(M[piv][c]) > 0.0) || !std::isfinite(M[piv][c])) return false;
        if (piv != c) {
            for (int j = 0; j < K; ++j) std::swap(M[c][j], M[piv][j]);
            std::swap(b[c], b[piv]);
        }
        for (int r = c + 1; r < K; ++r) {
            const double f = M[r][c] / M[c][c];
            for (int j = c + 1; j < K; ++j) M[r][j] = std::fma(-f, M[c][j], M[r][j]);
            b[r] = std::fma(-f, b[c], b[r]);
        }
    }
    for (int r = K - 1; r >= 0; --r) {
        double v = b[r];
        for (int j = r + 1; j < K; ++j) v = std::fma(-M[r][j], b[j], v);
        b[r] = v / M[r][r];
    }
    return true;
}

// The Stein equation Y = L Y L^T + C of the lower quasi-triangular L (2 x 2
// blocks where wi != 0), C in the lower triangle of Y on entry, the symmetric
// solution in Y on return. Wq and Gq hold W_q and column block q of G, one
// row per column of the block. False when a block system is singular.
bool stein_lower(const double *L, const double *wi, double *Y, double *Wq, double *Gq,
                 int64_t n) {
    for (int64_t jq = 0; jq < n;) {
        const int sq = (wi[jq] != 0.0 && jq + 1 < n) ? 2 : 1;
        const double *Lq = L + jq * n;  // row jq of L
        for (int c = 0; c < sq; ++c)
            for (int64_t r = 0; r < n; ++r)
                Wq[c * n + r] = fdot(Y + r * n, Lq + c * n, jq);
        // G_rq = (W_q)_r + Y_rq L_qq^T for the rows known by symmetry.
        for (int c = 0; c < sq; ++c)
            for (int64_t r = 0; r < jq; ++r) {
                double g = Wq[c * n + r];
                for (int e = 0; e < sq; ++e) g = std::fma(Y[r * n + jq + e], Lq[c * n + jq + e], g);
                Gq[c * n + r] = g;
            }
        for (int64_t jp = jq; jp < n;) {
            const int sp = (wi[jp] != 0.0 && jp + 1 < n) ? 2 : 1;
            const double *Lp = L + jp * n;
            const int K = sp * sq;
            double M[4][4], b[4];
            for (int a = 0; a < sp; ++a)
                for (int c = 0; c < sq; ++c) {
                    const int row = a * sq + c;
                    double v = fdot(Lp + a * n, Gq + c * n, jp);
                    for (int e = 0; e < sp; ++e)
                        v = std::fma(Lp[a * n + jp + e], Wq[c * n + jp + e], v);
                    b[row] = Y[(jp + a) * n + jq + c] + v;
                    for (int e = 0; e < sp; ++e)
                        for (int f = 0; f < sq; ++f)
                            M[row][e * sq + f] = std::fma(-Lp[a * n + jp + e],
                                                          Lq[c * n + jq + f],
                                                          row == e * sq + f ? 1.0 : 0.0);
                }
            if (!small_solve(M, b, K)) return false;
            if (jp == jq && sq == 2) b[1] = b[2] = 0.5 * (b[1] + b[2]);
            for (int a = 0; a < sp; ++a)
                for (int c = 0; c < sq; ++c) {
                    Y[(jp + a) * n + jq + c] = b[a * sq + c];
                    Y[(jq + c) * n + jp + a] = b[a * sq + c];
                }
            for (int c = 0; c < sq; ++c)
                for (int a = 0; a < sp; ++a) {
                    double g = Wq[c * n + jp + a];
                    for (int e = 0; e < sq; ++e)
                        g = std::fma(b[a * sq + e], Lq[c * n + jq + e], g);
                    Gq[c * n + jp + a] = g;
                }
            jp += sp;
        }
        jq += sq;
    }
    return true;
}

void transpose_inplace(double *M, int64_t n) {
    for (int64_t i = 0; i < n; ++i)
        for (int64_t j = i + 1; j < n; ++j) std::swap(M[i * n + j], M[j * n + i]);
}

}  // namespace

crv_arena_size_t crv_dlyap_arena_size(int64_t n) {
    return crv::detail::arena_size<crv::detail::DlyapArena>(n);
}

int32_t crv_dlyap(const crv_dlyap_lapack *lapack, const double *A, const double *Q, double *X,
                  double *radius, int64_t n, double root_tol, double *dwork, int64_t *iwork) {
    *radius = 0.0;
    if (n < 1) return 0;
    if (lapack == nullptr || lapack->dgees == nullptr) return CRV_DLYAP_SCHUR_FAILED;
    for (int64_t i = 0; i < n * n; ++i)
        if (!std::isfinite(A[i]) || !std::isfinite(Q[i])) return CRV_DLYAP_SCHUR_FAILED;
    const auto a = crv::detail::carve<crv::detail::DlyapArena>(dwork, iwork, n);
    crv::detail::copy_f64(a.T, A, n * n);
    const char jobvs = 'V', sort = 'N';
    const int32_t n32 = static_cast<int32_t>(n), lwork = static_cast<int32_t>(a.lwork);
    int32_t sdim = 0, info = 0;
    lapack->dgees(&jobvs, &sort, no_sort, &n32, a.T, &n32, &sdim, a.wr, a.wi, a.W, &n32, a.work,
                  &lwork, a.bwork, &info);
    if (info != 0) return CRV_DLYAP_SCHUR_FAILED;

    double rho = 0.0;
    for (int64_t i = 0; i < n; ++i) {
        const double modulus = std::hypot(a.wr[i], a.wi[i]);
        if (!std::isfinite(modulus)) return CRV_DLYAP_SCHUR_FAILED;
        rho = modulus > rho ? modulus : rho;
    }
    *radius = rho;
    const double tol = root_tol > kRootTolFloor ? root_tol : kRootTolFloor;
    if (rho >= 1.0 - tol) return CRV_DLYAP_UNIT_ROOT;

    // C = W Q W^T into Y; the solve; X = W^T Y W.
    crv_matmul(a.W, Q, a.prod, n, n, n);
    crv_matmul_abt(a.prod, a.W, a.Y, n, n, n);
    if (!stein_lower(a.T, a.wi, a.Y, a.Wq, a.Gq, n)) return CRV_DLYAP_UNIT_ROOT;
    transpose_inplace(a.W, n);
    crv_matmul(a.W, a.Y, a.prod, n, n, n);
    crv_matmul_abt(a.prod, a.W, X, n, n, n);
    crv_sym_inplace(X, n);
    return 0;
}
