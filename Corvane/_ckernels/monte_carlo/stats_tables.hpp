// The statistics kernels' read-only tables (internal; callers outside the
// library read them by name through crv_stat_table, diagnostics.h).
#pragma once

#include "diagnostics.h"
#include "hac.h"

namespace crv::tables {

// Jarque-Bera sample sizes, upper-tail probabilities and critical values
// (row = probability, column = sample size).
extern const double jb_n_grid[CRV_JB_N_COUNT];
extern const double jb_pval_grid[CRV_JB_P_COUNT];
extern const double jb_cv[CRV_JB_P_COUNT][CRV_JB_N_COUNT];

// (a, q) of the AR(1) plug-in bandwidth per kernel code.
extern const double kernel_specs[CRV_KERNEL_COUNT][2];

}  // namespace crv::tables
