// Klein's first-order solution: ordered complex QZ of the pencil through the
// caller's zgges, saddle-path check and policies from the Schur vectors,
// static-variable policies, shock impact and transition matrix.
#include <cmath>
#include <limits>

#include "linalg.h"
#include "solve.h"
#include "solve_detail.hpp"
#include "solve_layout.hpp"

namespace {

inline double modulus(const double *z) { return std::hypot(z[0], z[1]); }

// Smith's division z / w into out; |d| <= |c| takes the first branch.
inline void smith_divide(const double *z, const double *w, double *out) {
    const double c = w[0], d = w[1];
    if (std::fabs(d) <= std::fabs(c)) {
        const double t = d / c, den = c + d * t;
        out[0] = (z[0] + z[1] * t) / den;
        out[1] = (z[1] - z[0] * t) / den;
    } else {
        const double t = c / d, den = d + c * t;
        out[0] = (z[0] * t + z[1]) / den;
        out[1] = (z[1] * t - z[0]) / den;
    }
}

// Copies the complex block rows [r0, r0 + rows) x cols [0, cols) of an N x N matrix.
void complex_block(const double *M, int64_t N, int64_t r0, int64_t rows, int64_t cols,
                   double *out) {
    for (int64_t i = 0; i < rows; ++i)
        crv::detail::copy_f64(out + 2 * i * cols, M + 2 * (r0 + i) * N, 2 * cols);
}

// In-place transpose of a square complex matrix.
void complex_transpose(double *M, int64_t N) {
    for (int64_t i = 0; i < N; ++i)
        for (int64_t j = i + 1; j < N; ++j)
            for (int part = 0; part < 2; ++part) {
                const double t = M[2 * (i * N + j) + part];
                M[2 * (i * N + j) + part] = M[2 * (j * N + i) + part];
                M[2 * (j * N + i) + part] = t;
            }
}

// Real N x N row-major into complex column-major.
void to_complex_colmajor(const double *P, int64_t N, double *out) {
    for (int64_t i = 0; i < N; ++i)
        for (int64_t j = 0; j < N; ++j) {
            out[2 * (j * N + i)] = P[i * N + j];
            out[2 * (j * N + i) + 1] = 0.0;
        }
}

}  // namespace

int32_t klein_ouc(const double *alpha, const double *beta) {
    const double a2 = std::fma(alpha[1], alpha[1], alpha[0] * alpha[0]);
    const double b2 = std::fma(beta[1], beta[1], beta[0] * beta[0]);
    return a2 > b2 ? 1 : 0;
}

crv_arena_size_t klein_qz_arena_size(int64_t N) {
    return crv::detail::arena_size<crv::detail::QzArena>(N);
}

int64_t klein_qz(crv_zgges_fn zgges, int64_t N, double *A, double *B, double *VSR, double *dwork,
                 int64_t *iwork) {
    if (N == 0) return 0;
    const auto a = crv::detail::carve<crv::detail::QzArena>(dwork, iwork, N);
    const char jobvsl = 'N', jobvsr = 'V', sort = 'S';
    const int32_t n32 = static_cast<int32_t>(N), one = 1, lwork = static_cast<int32_t>(a.lwork);
    int32_t sdim = 0, info = 0;
    double vsl[2] = {0.0, 0.0};
    zgges(&jobvsl, &jobvsr, &sort, klein_ouc, &n32, A, &n32, B, &n32, &sdim, a.alpha, a.beta, vsl,
          &one, VSR, &n32, a.work, &lwork, a.rwork, a.bwork, &info);
    return info != 0 ? CRV_QZ_FAILED : 0;
}

crv_arena_size_t klein_postproc_arena_size(int64_t nk, int64_t nf) {
    return crv::detail::arena_size<crv::detail::PostprocArena>(nk, nf);
}

int64_t klein_postproc(const double *S, const double *T, const double *Z, int64_t nk, int64_t nf,
                       double *gx_c, double *hx_c, int64_t *bk, double *eig, double *dwork,
                       int64_t *iwork) {
    *bk = 2;
    if (nk < 1) return CRV_KLEIN_NO_STATES;
    const int64_t N = nk + nf, sq = 2 * nk * nk;
    const auto a = crv::detail::carve<crv::detail::PostprocArena>(dwork, iwork, nk, nf);
    double *Z11 = a.Z11, *Z21 = a.Z21, *S11 = a.S11, *T11 = a.T11, *I = a.I;
    double *Z11inv = a.Z11inv, *X = a.X, *tmp = a.tmp;
    int64_t *piv = a.piv;
    complex_block(Z, N, 0, nk, nk, Z11);
    complex_block(Z, N, nk, nf, nk, Z21);
    complex_block(S, N, 0, nk, nk, S11);
    complex_block(T, N, 0, nk, nk, T11);
    crv::detail::zero_f64(I, sq);
    for (int64_t i = 0; i < nk; ++i) I[2 * (i * nk + i)] = 1.0;

    if (c128_lu_factor_inplace(Z11, piv, nk) != 0) return CRV_KLEIN_SINGULAR;
    c128_lu_solve(Z11, piv, I, Z11inv, nk, nk);

    *bk = 0;
    const int64_t last = 2 * ((nk - 1) * N + (nk - 1));
    if (modulus(T + last) > modulus(S + last)) *bk = -1;
    if (nf > 0) {
        const int64_t next = 2 * (nk * N + nk);
        if (modulus(T + next) < modulus(S + next)) *bk = 1;
    }
    for (int64_t k = 0; k < N; ++k) {
        const double *s = S + 2 * (k * N + k), *t = T + 2 * (k * N + k);
        if (modulus(s) > 1e-12) {
            smith_divide(t, s, eig + 2 * k);
        } else {
            eig[2 * k] = std::numeric_limits<double>::infinity();
            eig[2 * k + 1] = 0.0;
        }
    }

    if (c128_lu_factor_inplace(S11, piv, nk) != 0) return CRV_KLEIN_SINGULAR;
    c128_lu_solve(S11, piv, T11, X, nk, nk);
    if (nf > 0) c128_matmul(Z21, Z11inv, nf, nk, nk, gx_c);
    complex_block(Z, N, 0, nk, nk, Z11);  // the factorisation consumed the first copy
    c128_matmul(Z11, X, nk, nk, nk, tmp);
    c128_matmul(tmp, Z11inv, nk, nk, nk, hx_c);
    return 0;
}

void crv_assemble_transition(const double *hx, const double *gx, int64_t nx, int64_t ny,
                             double *T) {
    const int64_t n = nx + ny;
    crv::detail::zero_f64(T, n * n);
    for (int64_t i = 0; i < nx; ++i) crv::detail::copy_f64(T + i * n, hx + i * nx, nx);
    for (int64_t i = 0; i < ny; ++i) crv::detail::copy_f64(T + (nx + i) * n, gx + i * nx, nx);
}

crv_arena_size_t crv_klein_solve1_arena_size(int64_t n, int64_t nx, int64_t ny, int64_t p,
                                             int64_t m, int64_t N) {
    return crv::detail::arena_size<crv::detail::Solve1Arena>(n, nx, ny, p, m, N);
}

int64_t crv_klein_from_pencil(const crv_klein_model *model, crv_klein_solution *sol,
                              double *dwork, int64_t *iwork) {
    const int64_t n = model->n, nx = model->nx, ny = model->ny, m = model->m;
    const int64_t ns = sol->n_static, np = sol->n_pred, nm = sol->n_mixed, nfw = sol->n_fwd;
    const int64_t nk = np + nm, nf = nm + nfw, N = nk + nf, nd = n - ns;
    if (nk <= 0) {
        sol->bk = 2;
        return CRV_SOLVE_NO_STATES;
    }
    const int64_t *order = sol->order;
    const int64_t *states = order + ns;
    // hx and gx are indexed by model variables: the states must be the first nx.
    if (nx != nk || ny != n - nx) return CRV_SOLVE_BAD_DIMENSIONS;
    for (int64_t i = 0; i < nk; ++i)
        if (states[i] < 0 || states[i] >= nx) return CRV_SOLVE_BAD_DIMENSIONS;

    const auto a =
        crv::detail::carve<crv::detail::Solve1Arena>(dwork, iwork, n, nx, ny, model->p, m, N);
    const auto st = crv::detail::carve<crv::detail::PencilStage>(a.stage, a.stage_slots, n, m, N);
    double *L = st.L, *B = st.B, *C = st.C, *E = st.E, *P_cur = st.P_cur, *P_lead = st.P_lead;
    double *gx_c = st.gx_c, *hx_c = st.hx_c, *gx_r = st.gx_r, *hx_r = st.hx_r, *P = st.P;
    double *M = st.M, *rhs = st.rhs, *R = st.R, *scratch = st.scratch;
    int64_t *piv = st.piv, *islots = st.phase_slots;

    crv::detail::copy_f64(L, sol->j_lead, n * n);
    crv::detail::copy_f64(B, sol->j_cur, n * n);
    crv::detail::copy_f64(C, sol->j_lag, n * n);
    crv::detail::copy_f64(E, sol->j_shock, n * m);
    double *const mats[4] = {L, B, C, E};
    const int64_t ncols[4] = {n, n, n, m};
    if (crv_pencil_rotate_static(model->dgeqrf, model->dormqr, sol->j_cur, order, n, ns, mats,
                                 ncols, 4, scratch) != 0)
        return CRV_SOLVE_ROTATION_FAILED;
    crv_pencil_assemble(L, B, C, order, n, ns, np, nm, nfw, P_cur, P_lead);
    to_complex_colmajor(P_lead, N, sol->qz_a);
    to_complex_colmajor(P_cur, N, sol->qz_b);
    if (klein_qz(model->zgges, N, sol->qz_a, sol->qz_b, sol->qz_z, scratch, islots) != 0)
        return CRV_SOLVE_QZ_FAILED;
    complex_transpose(sol->qz_a, N);
    complex_transpose(sol->qz_b, N);
    complex_transpose(sol->qz_z, N);
    const int64_t pp = klein_postproc(sol->qz_a, sol->qz_b, sol->qz_z, nk, nf, gx_c, hx_c,
                                      &sol->bk, sol->eig, scratch, islots);
    if (pp == CRV_KLEIN_NO_STATES) return CRV_SOLVE_NO_STATES;
    if (pp != 0) return CRV_SOLVE_SINGULAR;
    for (int64_t i = 0; i < nf * nk; ++i) gx_r[i] = gx_c[2 * i];
    for (int64_t i = 0; i < nk * nk; ++i) hx_r[i] = hx_c[2 * i];

    // P: policy of every variable (rows in `order` order) on the nk lagged states.
    for (int64_t r = 0; r < nd; ++r) {
        const double *src = r < nk ? hx_r + r * nk : gx_r + (r - np) * nk;
        crv::detail::copy_f64(P + (ns + r) * nk, src, nk);
    }

    if (ns >= 1) {
        // P h for the dynamic variables (hx_r holds the states' own policy).
        double *Ph = scratch;
        crv_matmul(P + ns * nk, hx_r, Ph, nd, nk, nk);
        for (int64_t s = 0; s < ns; ++s) {
            for (int64_t i = 0; i < nk; ++i) {
                double v = -C[s * n + states[i]];
                for (int64_t q = 0; q < nd; ++q) {
                    const int64_t var = order[ns + q];
                    v = std::fma(L[s * n + var], Ph[q * nk + i], v);
                    v = std::fma(-B[s * n + var], P[(ns + q) * nk + i], v);
                }
                rhs[s * nk + i] = v;
            }
            for (int64_t t = 0; t < ns; ++t) M[s * ns + t] = B[s * n + order[t]];
        }
        if (crv_lu_factor_inplace(M, piv, ns) != 0) return CRV_SOLVE_STATIC_SINGULAR;
        crv_lu_solve(M, piv, rhs, P, ns, nk);
    }

    // Impact: (J_lead Phi - J_cur) R = J_shock in rotated coordinates, `order` order.
    // The matrix is factorised even without shocks: a singular one is -504.
    for (int64_t r = 0; r < n; ++r)
        for (int64_t q = 0; q < n; ++q) {
            double v = -B[r * n + order[q]];
            if (q >= ns && q < ns + nk) {
                const int64_t i = q - ns;
                for (int64_t u = 0; u < n; ++u)
                    v = std::fma(L[r * n + order[u]], P[u * nk + i], v);
            }
            M[r * n + q] = v;
        }
    if (crv_lu_factor_inplace(M, piv, n) != 0) return CRV_SOLVE_SINGULAR;
    crv_lu_solve(M, piv, E, R, n, m);

    for (int64_t j = 0; j < n; ++j) {
        const int64_t v = order[j];
        double *row = v < nx ? sol->hx + v * nx : sol->gx + (v - nx) * nx;
        for (int64_t i = 0; i < nk; ++i) row[states[i]] = P[j * nk + i];
        crv::detail::copy_f64(sol->impact + v * m, R + j * m, m);
    }
    crv_assemble_transition(sol->hx, sol->gx, nx, ny, sol->transition);
    return 0;
}

int64_t crv_klein_solve1(const crv_klein_model *model, crv_klein_solution *sol, double *dwork,
                         int64_t *iwork) {
    const int64_t status = crv_klein_linearize(model, sol, dwork, iwork);
    if (status != 0) return status;
    return crv_klein_from_pencil(model, sol, dwork, iwork);
}
