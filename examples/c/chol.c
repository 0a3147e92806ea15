/* Calling a Corvane kernel from C: the Cholesky factor of a symmetric matrix
 * and a solve with it, then the status of a matrix that is not positive
 * definite and the library's message for it.
 *
 * The kernels live in the package's extension modules, which export them under
 * their C names; each module carries the dense linear algebra and the status
 * messages. Compile against the installed headers and link to one module (and
 * to libpython, whose symbols the module uses):
 *
 *   INC=$(python -c "import Corvane; print(Corvane.get_include())")
 *   MOD=$(python -c "import Corvane._ckernels.transforms._transforms as m; print(m.__file__)")
 *   LIBPY=$(python -c "import sysconfig as s; print(s.get_config_var('LIBDIR'))")
 *   cc -std=c11 -I"$INC" chol.c "$MOD" -L"$LIBPY" -lpython3.11 \
 *      -Wl,-rpath,"$(dirname "$MOD")" -Wl,-rpath,"$LIBPY" -o chol
 *   ./chol
 *
 * (tests/examples/test_c_example.py does the same.) Matrices are dense,
 * row-major and contiguous; dimensions are int64_t; kernels return 0 or a
 * negative status code. */
#include <stdio.h>

#include <corvane/linalg.h>
#include <corvane/status.h>

static void print_matrix(const char *name, const double *M, int64_t n) {
    printf("%s\n", name);
    for (int64_t i = 0; i < n; ++i) {
        for (int64_t j = 0; j < n; ++j) printf(j ? " %.17g" : "%.17g", M[i * n + j]);
        printf("\n");
    }
}

int main(void) {
    enum { N = 3 };
    const double A[N * N] = {
        4.0, 2.0, 0.4,
        2.0, 3.0, 0.5,
        0.4, 0.5, 2.0,
    };
    const double b[N] = {1.0, -2.0, 0.5};
    double L[N * N], z[N], x[N];

    int64_t status = crv_chol(A, L, N, 0.0);
    if (status != 0) {
        fprintf(stderr, "crv_chol: %s\n", crv_status_message(status));
        return 1;
    }
    print_matrix("L", L, N);

    /* A x = b as L z = b, then L^T x = z. */
    crv_forward_subst(L, b, z, N);
    crv_backward_subst_chol_t(L, z, x, N);
    printf("x\n%.17g %.17g %.17g\n", x[0], x[1], x[2]);

    /* An indefinite matrix: the kernel says so with a status code. */
    const double B[2 * 2] = {1.0, 2.0, 2.0, 1.0};
    double LB[2 * 2];
    status = crv_chol(B, LB, 2, 0.0);
    printf("status %lld%s\n", (long long)status,
           status == CRV_CHOL_NOT_PD ? " (CRV_CHOL_NOT_PD)" : "");
    printf("message %s\n", crv_status_message(status));
    return status == CRV_CHOL_NOT_PD ? 0 : 1;
}
