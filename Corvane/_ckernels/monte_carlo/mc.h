/* Monte Carlo driver: replications of a chain of stages run over an OpenMP
 * team, the runner protocol every stage follows, the shock generator of the
 * simulation runners and the payload runner.
 *
 * The caller owns every record and block: per-thread blocks are n_threads
 * consecutive blocks of a stage's word count, selected by the OpenMP thread
 * number; result tables hold one row per kept replication. */
#ifndef CORVANE_MC_H
#define CORVANE_MC_H

#include "crv_api.h"
#include "status.h"

/* A stage's function: this thread's blocks of the stage (null where the word
 * count is 0) and the stage's ctx. 0 = success; anything else fails the
 * replication at this stage and is reported as its status. Must be
 * re-entrant. */
typedef int32_t (*crv_mc_runner)(int64_t rep, double *input, double *out, double *work,
                                 int64_t *iout, void *ctx);

/* Copies a rectangle of n_rows x n_cols values into the stage's input block:
 * element (i, c) goes to word dst_offset + i dst_stride + c and comes from
 * base[src_row_len (src_row0 + i) + cols[c]]. source -1: every element is
 * fill; <= -2: base = table + src_offset (+ rep table_rep_stride when
 * per_rep); 0 .. s-1: base = this thread's out block of that earlier stage +
 * src_offset. */
typedef struct crv_mc_binding {
    int64_t source;
    int64_t src_offset;
    int64_t src_row_len;
    int64_t src_row0;
    int64_t n_rows;
    const int64_t *cols;
    int64_t n_cols;
    int64_t dst_offset;
    int64_t dst_stride;
    double fill;
    const double *table;
    int64_t table_rep_stride;
    int32_t per_rep;
} crv_mc_binding;

typedef struct crv_mc_stage {
    crv_mc_runner runner;
    double *input_base;   /* n_threads x in_words */
    double *work_base;    /* n_threads x work_words */
    double *out_base;     /* n_threads x out_words */
    int64_t *iout_base;   /* n_threads x iout_words */
    double *results;      /* rows of out_count */
    int64_t *iresults;    /* rows of iout_count */
    const int64_t *row_map; /* n_reps: result row of each replication, < 0 = not kept */
    int64_t in_words;
    int64_t work_words;
    int64_t out_words;
    int64_t iout_words;
    int64_t out_count;    /* == out_words */
    int64_t iout_count;   /* == iout_words */
    void *ctx;
    const crv_mc_binding *bindings;
    int64_t n_bindings;
} crv_mc_stage;

typedef struct crv_mc_job {
    crv_mc_stage *stages;
    int64_t n_stages;
    int64_t n_reps;
    int64_t n_threads;
    int32_t stop_on_error;
    int64_t halted;              /* out */
    int64_t first_failed_rep;    /* out, -1 if none */
    int64_t first_failed_stage;  /* out, -1 if none */
    int32_t first_failed_status; /* out, 0 if none */
    int64_t *failed_stage;       /* out, n_reps: -1 done, s failed, INT64_MIN never run */
    int64_t *status;             /* out, n_reps: 0, the failing status, INT64_MIN never run */
    int32_t timing;
    double *stage_seconds;       /* n_threads x n_stages, with timing only */
    int64_t *stage_calls;
    int64_t *stage_failures;
} crv_mc_job;

/* One independently keyed group of shocks: kind 1 = uniform into cols[0],
 * lower + width u; otherwise multivariate normal mean + loading z into the m
 * columns cols. */
typedef struct crv_mc_shock_block {
    int32_t kind;
    int64_t dim;
    const int64_t *cols;
    const double *loading; /* dim x dim */
    const double *mean;    /* dim, null = 0 */
    double lower;
    double width;
    uint64_t key0;
    uint64_t key1;
} crv_mc_shock_block;

typedef struct crv_mc_shock_spec {
    const crv_mc_shock_block *blocks;
    int64_t n_blocks;
    int64_t n_periods;
    int64_t n_shocks;
    double scale;
    int64_t scratch_width; /* >= every normal dim, >= 1 with a uniform block */
} crv_mc_shock_spec;

typedef struct crv_mc_payload {
    const double *data;
    int64_t n;
    int32_t per_rep;
} crv_mc_payload;

/* Runs every replication of the job. Returns -1201 when the job is invalid
 * (nothing written then), else 1 when a failure halted the run
 * (stop_on_error), 0 otherwise; per-replication failures are reported in
 * failed_stage and status, and rows of failed or skipped replications are
 * NaN / INT64_MIN in every stage's result tables. */
CRV_API int64_t crv_mc_run(crv_mc_job *job);

/* Runs the replications first .. first + count - 1 of an experiment, as
 * crv_mc_run does, with the global index first + i passed to the runners,
 * to per-replication tables and as first_failed_rep; entry i of row_map,
 * failed_stage and status belongs to replication first + i, so n_reps (the
 * length of those arrays) is at least count. Shock streams are keyed by the
 * global index: any split of an experiment into ranges yields the rows of the
 * whole run. crv_mc_run(job) is crv_mc_run_range(job, 0, n_reps). Returns
 * -1201 for an invalid job, first < 0, count < 1, count > n_reps or
 * first + count past INT64_MAX. */
CRV_API int64_t crv_mc_run_range(crv_mc_job *job, int64_t first, int64_t count);

/* n_periods x scratch_width words (0 when either is not positive). */
CRV_API int64_t crv_mc_shock_scratch_size(const crv_mc_shock_spec *plan);

/* out (n_periods x n_shocks) = the shocks of replication rep: zeroed, then
 * each block in order draws from Philox keyed (key0, key1) on stream (rep, 0)
 * and writes its columns, scaled. A block that does not fit the output or the
 * scratch (a column outside [0, n_shocks), dim above scratch_width, null
 * cols or loading) writes nothing. */
CRV_API void crv_mc_shock_draw(const crv_mc_shock_spec *plan, uint64_t rep, double *scratch,
                               double *out);

/* Runner: out = n words of ctx's data (from rep n when per_rep), iout[0] = 0
 * when iout is given. Returns 0, or -1201 for a null ctx, or a null data or
 * out with n > 0. */
CRV_API int32_t crv_mc_payload_runner(int64_t rep, double *input, double *out, double *work,
                                      int64_t *iout, void *ctx);

/* The payload copy outside the driver; nothing when n <= 0. */
CRV_API void crv_add_payload_step(const double *data, int64_t n, int32_t per_rep, uint64_t rep,
                                  double *out);

CRV_LAYOUT_CHECK(sizeof(crv_mc_binding) == 104, "crv_mc_binding layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_binding, fill) == 72, "crv_mc_binding layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_binding, per_rep) == 96, "crv_mc_binding layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_stage) == 136, "crv_mc_stage layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_stage, ctx) == 112, "crv_mc_stage layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_job) == 120, "crv_mc_job layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_job, halted) == 40, "crv_mc_job layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_job, first_failed_status) == 64, "crv_mc_job layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_job, failed_stage) == 72, "crv_mc_job layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_job, timing) == 88, "crv_mc_job layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_shock_block) == 72, "crv_mc_shock_block layout");
CRV_LAYOUT_CHECK(offsetof(crv_mc_shock_block, lower) == 40, "crv_mc_shock_block layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_shock_spec) == 48, "crv_mc_shock_spec layout");
CRV_LAYOUT_CHECK(sizeof(crv_mc_payload) == 24, "crv_mc_payload layout");

#endif
