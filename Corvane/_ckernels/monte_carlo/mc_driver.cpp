// The replication driver: validation, the OpenMP replication loop, input
// bindings, result rows and the halt protocol; and the payload runner.
#include <omp.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>

#include "mc.h"

namespace {

constexpr int64_t kNeverRun = INT64_MIN;

inline void copy_words(void *dst, const void *src, int64_t count) {
    if (count > 0) std::memcpy(dst, src, static_cast<size_t>(count) * 8);
}

// Block t of a per-thread buffer, or null when the stage has no words there.
template <typename T>
inline T *thread_block(T *base, int64_t words, int64_t t) {
    return words > 0 ? base + t * words : nullptr;
}

// a + b * c in int64 without overflow; false when it does not fit.
inline bool mul_add(int64_t a, int64_t b, int64_t c, int64_t &result) {
    int64_t product;
    if (__builtin_mul_overflow(b, c, &product)) return false;
    return !__builtin_add_overflow(a, product, &result);
}

bool valid_stage(const crv_mc_stage &st) {
    if (st.runner == nullptr || st.row_map == nullptr) return false;
    if (st.in_words < 0 || st.work_words < 0 || st.out_words < 0 || st.iout_words < 0) return false;
    if (st.out_count != st.out_words || st.iout_count != st.iout_words) return false;
    if (st.n_bindings < 0 || (st.n_bindings > 0 && st.bindings == nullptr)) return false;
    if (st.out_count > 0 && (st.results == nullptr || st.out_base == nullptr)) return false;
    if (st.iout_count > 0 && (st.iresults == nullptr || st.iout_base == nullptr)) return false;
    if (st.in_words > 0 && st.input_base == nullptr) return false;
    if (st.work_words > 0 && st.work_base == nullptr) return false;
    return true;
}

bool valid_job(const crv_mc_job *job) {
    if (job == nullptr || job->stages == nullptr) return false;
    if (job->failed_stage == nullptr || job->status == nullptr) return false;
    if (job->n_stages < 1 || job->n_reps < 1) return false;
    if (job->n_threads < 1 || job->n_threads > INT32_MAX) return false;
    if (job->timing && (job->stage_seconds == nullptr || job->stage_calls == nullptr ||
                        job->stage_failures == nullptr))
        return false;
    for (int64_t s = 0; s < job->n_stages; ++s)
        if (!valid_stage(job->stages[s])) return false;
    return true;
}

// Applies binding b of stage s for replication r on thread t: 0 or -1201.
// Every index is checked against int64 overflow before it is used.
int32_t apply_binding(const crv_mc_job &job, int64_t s, const crv_mc_binding &b, int64_t r,
                      int64_t t) {
    const crv_mc_stage &st = job.stages[s];
    if (b.n_rows < 0 || b.n_cols < 0 || b.dst_offset < 0 || b.dst_stride < b.n_cols)
        return CRV_MC_INVALID;
    if (b.n_rows == 0) return 0;
    int64_t dst_end;  // one past the last destination word
    if (!mul_add(b.dst_offset, b.dst_stride, b.n_rows - 1, dst_end) ||
        __builtin_add_overflow(dst_end, b.n_cols, &dst_end) || st.in_words < dst_end)
        return CRV_MC_INVALID;
    if (b.n_cols == 0) return 0;
    double *dst = st.input_base + t * st.in_words + b.dst_offset;

    if (b.source == -1) {
        for (int64_t i = 0; i < b.n_rows; ++i)
            for (int64_t c = 0; c < b.n_cols; ++c) dst[i * b.dst_stride + c] = b.fill;
        return 0;
    }

    if (b.src_offset < 0 || b.src_row_len <= 0 || b.src_row0 < 0 || b.cols == nullptr)
        return CRV_MC_INVALID;
    int64_t max_col = 0;
    for (int64_t c = 0; c < b.n_cols; ++c) {
        if (b.cols[c] < 0 || b.cols[c] >= b.src_row_len) return CRV_MC_INVALID;
        if (b.cols[c] > max_col) max_col = b.cols[c];
    }
    // Position (from the source's start) of the last element read; every
    // other element lies below it.
    int64_t last_row, last;
    if (__builtin_add_overflow(b.src_row0, b.n_rows - 1, &last_row) ||
        !mul_add(b.src_offset, b.src_row_len, last_row, last) ||
        __builtin_add_overflow(last, max_col, &last))
        return CRV_MC_INVALID;

    const double *base;
    if (b.source <= -2) {
        if (b.table == nullptr || b.table_rep_stride < 0) return CRV_MC_INVALID;
        int64_t start = b.src_offset;
        if (b.per_rep && (!mul_add(b.src_offset, r, b.table_rep_stride, start) ||
                          __builtin_add_overflow(start, last - b.src_offset, &last)))
            return CRV_MC_INVALID;
        base = b.table + start;
    } else {
        if (b.source >= s) return CRV_MC_INVALID;
        const crv_mc_stage &src = job.stages[b.source];
        if (last >= src.out_words) return CRV_MC_INVALID;
        base = src.out_base + t * src.out_words + b.src_offset;
    }
    for (int64_t i = 0; i < b.n_rows; ++i) {
        const double *row = base + b.src_row_len * (b.src_row0 + i);
        for (int64_t c = 0; c < b.n_cols; ++c) dst[i * b.dst_stride + c] = row[b.cols[c]];
    }
    return 0;
}

bool halted(const crv_mc_job *job) {
    int64_t flag;
#pragma omp critical(crv_mc_halt)
    flag = job->halted;
    return flag != 0;
}

void record_halt(crv_mc_job *job, int64_t r, int64_t s, int32_t status) {
#pragma omp critical(crv_mc_halt)
    {
        if (job->halted == 0) {
            job->first_failed_rep = r;
            job->first_failed_stage = s;
            job->first_failed_status = status;
            job->halted = 1;
        }
    }
}

// Runs the stages of replication first + i on thread t; i indexes the
// job's per-replication arrays.
void run_replication(crv_mc_job *job, int64_t first, int64_t i, int64_t t) {
    if (job->stop_on_error && halted(job)) return;
    const int64_t r = first + i;
    const int64_t n_stages = job->n_stages;
    for (int64_t s = 0; s < n_stages; ++s) {
        const crv_mc_stage &st = job->stages[s];
        const double t0 = job->timing ? omp_get_wtime() : 0.0;
        int32_t status = 0;
        for (int64_t b = 0; b < st.n_bindings && status == 0; ++b)
            status = apply_binding(*job, s, st.bindings[b], r, t);
        double *out = thread_block(st.out_base, st.out_words, t);
        int64_t *iout = thread_block(st.iout_base, st.iout_words, t);
        if (status == 0)
            status = st.runner(r, thread_block(st.input_base, st.in_words, t), out,
                               thread_block(st.work_base, st.work_words, t), iout, st.ctx);
        if (status == 0) {
            const int64_t row = st.row_map[i];
            if (row >= 0) {
                copy_words(st.results + row * st.out_count, out, st.out_count);
                copy_words(st.iresults + row * st.iout_count, iout, st.iout_count);
            }
        }
        if (job->timing) {
            const int64_t cell = t * n_stages + s;
            job->stage_seconds[cell] += omp_get_wtime() - t0;
            job->stage_calls[cell] += 1;
            if (status != 0) job->stage_failures[cell] += 1;
        }
        if (status != 0) {
            job->failed_stage[i] = s;
            job->status[i] = status;
            if (job->stop_on_error) record_halt(job, r, s, status);
            return;
        }
    }
    job->failed_stage[i] = -1;
    job->status[i] = 0;
}

// The replications first .. first + count - 1 into entries 0 .. count - 1.
int64_t run_range(crv_mc_job *job, int64_t first, int64_t count) {
    const int64_t n_stages = job->n_stages;

    job->halted = 0;
    job->first_failed_rep = -1;
    job->first_failed_stage = -1;
    job->first_failed_status = 0;
    for (int64_t i = 0; i < count; ++i) {
        job->failed_stage[i] = kNeverRun;
        job->status[i] = kNeverRun;
    }
    if (job->timing) {
        const int64_t cells = job->n_threads * n_stages;
        for (int64_t i = 0; i < cells; ++i) {
            job->stage_seconds[i] = 0.0;
            job->stage_calls[i] = 0;
            job->stage_failures[i] = 0;
        }
    }

#pragma omp parallel num_threads(static_cast<int>(job->n_threads))
    {
        const int64_t t = omp_get_thread_num();
#pragma omp for schedule(static)
        for (int64_t i = 0; i < count; ++i) run_replication(job, first, i, t);
    }

    // Rows of failed or never-run replications: all NaN / INT64_MIN, also
    // where earlier stages had stored their outputs.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (int64_t i = 0; i < count; ++i) {
        if (job->failed_stage[i] == -1) continue;
        for (int64_t s = 0; s < n_stages; ++s) {
            const crv_mc_stage &st = job->stages[s];
            const int64_t row = st.row_map[i];
            if (row < 0) continue;
            for (int64_t w = 0; w < st.out_count; ++w) st.results[row * st.out_count + w] = nan;
            for (int64_t w = 0; w < st.iout_count; ++w)
                st.iresults[row * st.iout_count + w] = kNeverRun;
        }
    }
    return halted(job) ? 1 : 0;
}

}  // namespace

int64_t crv_mc_run(crv_mc_job *job) {
    if (!valid_job(job)) return CRV_MC_INVALID;
    return run_range(job, 0, job->n_reps);
}

int64_t crv_mc_run_range(crv_mc_job *job, int64_t first, int64_t count) {
    if (!valid_job(job) || first < 0 || count < 1 || count > job->n_reps) return CRV_MC_INVALID;
    int64_t end;
    if (__builtin_add_overflow(first, count, &end)) return CRV_MC_INVALID;
    return run_range(job, first, count);
}

int32_t crv_mc_payload_runner(int64_t rep, double *input, double *out, double *work,
                              int64_t *iout, void *ctx) {
    const crv_mc_payload *payload = static_cast<const crv_mc_payload *>(ctx);
    if (payload == nullptr) return CRV_MC_INVALID;
    if (payload->n > 0 && (payload->data == nullptr || out == nullptr)) return CRV_MC_INVALID;
    crv_add_payload_step(payload->data, payload->n, payload->per_rep, static_cast<uint64_t>(rep),
                         out);
    if (iout != nullptr) iout[0] = 0;
    return 0;
}

void crv_add_payload_step(const double *data, int64_t n, int32_t per_rep, uint64_t rep,
                          double *out) {
    if (n <= 0 || data == nullptr || out == nullptr) return;
    const double *src = per_rep ? data + rep * static_cast<uint64_t>(n) : data;
    copy_words(out, src, n);
}
