// Workspace layouts of the optimisers (internal; the idiom is described in
// arena.hpp). The drivers allocate their workspace from the heap, sized by
// these layouts' queries, and carve it; setulb carves the caller's wa and
// iwa with SetulbWork.
#pragma once

#include <cstdint>

#include "arena.hpp"

namespace crv::detail {

// crv_neldermead: the simplex ((n + 1) x n, vertex k in row k) and its
// values, the centroid, the reflected, expanded and contracted points, a row
// buffer for the sort, and the bounds (filled only for a bounded search).
struct NelderMeadWork {
    double *simplex, *values, *centroid, *xr, *xe, *xc, *row_tmp, *lb, *ub;

    template <class D>
    NelderMeadWork(D &d, int64_t n)
        : simplex(d.take(n + 1, n)), values(d.take(n + 1)), centroid(d.take(n)), xr(d.take(n)),
          xe(d.take(n)), xc(d.take(n)), row_tmp(d.take(n)), lb(d.take(n)), ub(d.take(n)) {}
};

// setulb's wa and iwa, m correction pairs over n variables: the circular
// correction rows WS and WY (m x n), SY, SS, the factor WT and the three
// blocks of the subspace system (m x m each), the vectors z, r, d, x0, g0
// (n each) and wbp, v, p, c (2m each); iwa holds the free-variable list, the
// per-variable state and the breakpoint order (n each). wa has room for the
// reference routine's 11 m^2 matrix words, of which 5 m^2 stay unused.
struct SetulbWork {
    double *ws, *wy, *sy, *ss, *wt, *k11, *k12, *k22;
    double *z, *r, *d, *x0, *g0;
    double *wbp, *v, *p, *c;
    double *unused;
    int64_t *index, *where, *order;

    template <class D, class S>
    SetulbWork(D &dt, S &s, int64_t n, int64_t m)
        : ws(dt.take(m, n)), wy(dt.take(m, n)), sy(dt.take(m, m)), ss(dt.take(m, m)),
          wt(dt.take(m, m)), k11(dt.take(m, m)), k12(dt.take(m, m)), k22(dt.take(m, m)),
          z(dt.take(n)), r(dt.take(n)), d(dt.take(n)), x0(dt.take(n)), g0(dt.take(n)),
          wbp(dt.take(2, m)), v(dt.take(2, m)), p(dt.take(2, m)), c(dt.take(2, m)),
          unused(dt.take(5, m, m)), index(s.take(n)), where(s.take(n)), order(s.take(n)) {}
};

// crv_lbfgsb: setulb's wa, the gradient and the bound copies (n each); the
// bound types (n) and setulb's iwa in the slots.
struct LbfgsbWork {
    double *wa, *g, *lo, *hi;
    int64_t *nbd, *iwa;

    template <class D, class S>
    LbfgsbWork(D &d, S &s, int64_t n, int64_t m)
        : LbfgsbWork(d, s, n, arena_size<SetulbWork>(n, m)) {}

  private:
    template <class D, class S>
    LbfgsbWork(D &d, S &s, int64_t n, crv_arena_size_t setulb)
        : wa(d.take(setulb.doubles)), g(d.take(n)), lo(d.take(n)), hi(d.take(n)),
          nbd(s.take(n)), iwa(s.take(setulb.slots)) {}
};

}  // namespace crv::detail
