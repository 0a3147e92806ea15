// Race checker for the Monte Carlo driver and the model-data runners, run
// under Helgrind: a job with many replications on several threads that draws
// shocks, simulates (first order and pruned second order) and filters
// (linear and unscented), with timing on; then the same job on one thread,
// compared bit for bit; then a job whose replications fail here and there
// with stop_on_error, so that threads meet in the halt critical section.
// Exit status 0 when the results agree.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "mc_runners.h"

namespace {

using Vec = std::vector<double>;

// Deterministic values in [-1, 1).
struct Lcg {
    uint64_t s = 88172645463325252ull;
    double next() {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<double>(s >> 11) * 0x1.0p-52 - 1.0;
    }
    Vec fill(int64_t count, double scale, double diagonal = 0.0, int64_t n = 0) {
        Vec v(static_cast<size_t>(count));
        for (int64_t i = 0; i < count; ++i) v[i] = scale * next();
        for (int64_t i = 0; i < n; ++i) v[i * n + i] += diagonal;
        return v;
    }
};

Vec identity(int64_t n, double scale) {
    Vec v(static_cast<size_t>(n * n), 0.0);
    for (int64_t i = 0; i < n; ++i) v[i * n + i] = scale;
    return v;
}

Vec concat(std::initializer_list<const Vec *> parts) {
    Vec out;
    for (const Vec *p : parts) out.insert(out.end(), p->begin(), p->end());
    return out;
}

std::vector<int64_t> iota(int64_t count, int64_t from = 0) {
    std::vector<int64_t> v(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) v[i] = from + i;
    return v;
}

// y = Z v + d with Z (2 x 3) and d (2) at the start of the parameter block.
void observe(const double *v, const double *params, double *y) {
    for (int i = 0; i < 2; ++i)
        y[i] = params[6 + i] + params[3 * i] * v[0] + params[3 * i + 1] * v[1] +
               params[3 * i + 2] * v[2];
}

// Fails replications 5, 42, 77, ... (rep % 37 == 5).
int32_t sometimes_fails(int64_t rep, double *, double *out, double *, int64_t *iout, void *) {
    out[0] = static_cast<double>(rep);
    iout[0] = rep;
    return rep % 37 == 5 ? -77 : 0;
}

// A stage with its per-thread blocks, result tables and bindings.
struct Stage {
    crv_mc_stage rec{};
    Vec input, work, out, results;
    std::vector<int64_t> iout, iresults, row_map;
    std::vector<crv_mc_binding> bindings;
    std::vector<std::vector<int64_t>> cols;
    Vec table;

    Stage(crv_mc_runner runner, void *ctx, int64_t in_words, int64_t out_words) {
        rec.runner = runner;
        rec.ctx = ctx;
        rec.in_words = in_words;
        rec.out_words = rec.out_count = out_words;
        rec.iout_words = rec.iout_count = 1;
    }
    // The shared model arrays from word 0 of the input.
    void bind_table(Vec values) {
        table = std::move(values);
        add(-2, 0, static_cast<int64_t>(table.size()), 0, 1, iota(table.size()));
        bindings.back().table = table.data();
    }
    void add(int64_t source, int64_t src_offset, int64_t src_row_len, int64_t dst_offset,
             int64_t n_rows, std::vector<int64_t> c) {
        cols.push_back(std::move(c));
        crv_mc_binding b{};
        b.source = source;
        b.src_offset = src_offset;
        b.src_row_len = src_row_len;
        b.n_rows = n_rows;
        b.n_cols = static_cast<int64_t>(cols.back().size());
        b.dst_offset = dst_offset;
        b.dst_stride = b.n_cols;
        bindings.push_back(b);
    }
    void allocate(int64_t n_threads, int64_t n_reps) {
        input.assign(n_threads * rec.in_words, 0.0);
        out.assign(n_threads * rec.out_words, 0.0);
        iout.assign(n_threads, 0);
        results.assign(n_reps * rec.out_words, 0.0);
        iresults.assign(n_reps, 0);
        row_map = iota(n_reps);
        for (size_t i = 0; i < bindings.size(); ++i) bindings[i].cols = cols[i].data();
        rec.input_base = input.data();
        rec.out_base = out.data();
        rec.iout_base = iout.data();
        rec.results = results.data();
        rec.iresults = iresults.data();
        rec.row_map = row_map.data();
        rec.bindings = bindings.data();
        rec.n_bindings = static_cast<int64_t>(bindings.size());
    }
};

struct Chain {
    static constexpr int64_t T = 24, n = 4, m = 2, k = 2;        // first order
    static constexpr int64_t nx = 2, ny = 1, m2 = 1, k2 = 2;     // second order
    Lcg lcg;
    Vec loading = {1.0, 0.0, 0.4, 0.8}, one = {1.0};
    int64_t cols_n[2] = {0, 1}, cols_1[1] = {0};
    crv_mc_shock_block block1{0, 2, cols_n, loading.data(), nullptr, 0, 0, 11, 12};
    crv_mc_shock_block block2{0, 1, cols_1, one.data(), nullptr, 0, 0, 13, 14};
    crv_mc_shock_spec spec1{&block1, 1, T, m, 1.0, 2};
    crv_mc_shock_spec spec2{&block2, 1, T, m2, 1.0, 1};
    crv_mc_simulate_order1_ctx sim1{};
    crv_mc_filter_linear_ctx kf{T, n, k, m, 1, 0.0, 1};
    crv_mc_simulate_order2_ctx sim2{};
    crv_mc_filter_unscented_ctx ukf{};
    std::vector<Stage> stages;

    Chain() {
        const int64_t words1 = crv_simulate_order1_arena_size(n, m, T, 0);
        sim1 = {nullptr, T, n, m, 0, 0, &spec1, words1};
        stages.emplace_back(crv_mc_simulate_order1_runner, &sim1,
                            words1 + crv_mc_shock_scratch_size(&spec1), T * n);
        Vec A = lcg.fill(n * n, 0.1, 0.5, n), R = lcg.fill(n * m, 1.0), zero(n, 0.0);
        stages.back().bind_table(concat({&A, &R, &zero, &zero}));

        // Linear filter on states 0 and 2: Z picks them, data from stage 0.
        Vec Z(k * n, 0.0), d(k, 0.0), S = {1.0, 0.4, 0.4, 0.8 * 0.8 + 0.16};
        Z[0] = 1.0, Z[n + 2] = 1.0;
        Vec H = identity(k, 0.01), P0 = identity(n, 1.0);
        stages.emplace_back(crv_mc_filter_linear_runner, &kf,
                            crv_filter_linear_input_arena_size(n, k, m, T),
                            crv_filter_linear_output_arena_size(n, k, m, T, 1));
        Vec data(T * k, 0.0);
        stages.back().bind_table(concat({&A, &R, &Z, &d, &S, &H, &data, &zero, &P0}));
        const int64_t data_at = n * n + n * m + k * n + k + m * m + k * k;
        stages.back().add(0, 0, n, data_at, T, {0, 2});

        // Pruned second order with observations, then the unscented filter.
        const int64_t q = nx + ny;
        Vec hx = lcg.fill(nx * nx, 0.1, 0.5, nx), gx = lcg.fill(ny * nx, 1.0),
            impact = lcg.fill(q * m2, 1.0), hxx = lcg.fill(nx * nx * nx, 0.05),
            gxx = lcg.fill(ny * nx * nx, 0.05), hxe = lcg.fill(nx * nx * m2, 0.05),
            gxe = lcg.fill(ny * nx * m2, 0.05), hee = lcg.fill(nx * m2 * m2, 0.05),
            gee = lcg.fill(ny * m2 * m2, 0.05), hss = lcg.fill(nx, 0.05),
            gss = lcg.fill(ny, 0.05), params = lcg.fill(k2 * q + k2, 1.0), zq(q, 0.0),
            zx(nx, 0.0);
        const int64_t words2 = crv_simulate_order2_arena_size(nx, ny, m2, T, params.size());
        sim2 = {observe, T, nx, ny, m2, static_cast<int64_t>(params.size()), k2, &spec2, words2};
        stages.emplace_back(crv_mc_simulate_order2_runner, &sim2,
                            words2 + crv_mc_shock_scratch_size(&spec2), T * (q + k2));
        Vec E(T * m2, 0.0);
        stages.back().bind_table(concat({&hx, &gx, &impact, &hxx, &gxx, &hxe, &gxe, &hee, &gee,
                                         &hss, &gss, &zq, &zx, &E, &params}));

        ukf = {observe, T, nx, ny, m2, k2, static_cast<int64_t>(params.size()),
               1.0, 2.0, 0.0, 1, 0.0};
        stages.emplace_back(crv_mc_filter_unscented_runner, &ukf,
                            crv_filter_unscented_input_arena_size(nx, ny, m2, k2, T,
                                                                  params.size()),
                            crv_filter_unscented_output_arena_size(nx, ny, k2, T));
        Vec S2 = {1.0}, H2 = identity(k2, 0.05), x0(2 * nx, 0.0), P02 = identity(2 * nx, 0.1),
            data2(T * k2, 0.0);
        Vec model = concat({&hx, &gx, &impact, &hxx, &gxx, &hxe, &gxe, &hee, &gee, &hss, &gss,
                            &zq, &params, &S2, &H2, &data2, &x0, &P02});
        const int64_t data2_at = static_cast<int64_t>(model.size()) - T * k2 - 2 * nx -
                                 4 * nx * nx;
        stages.back().bind_table(std::move(model));
        stages.back().add(2, T * q, T * k2, data2_at, 1, iota(T * k2));
    }
};

struct Run {
    std::vector<int64_t> failed_stage, status;
    Vec seconds;
    std::vector<int64_t> calls, failures;
    int64_t result;
    crv_mc_job job{};
};

void run(std::vector<Stage> &stages, int64_t n_reps, int64_t n_threads, int32_t stop_on_error,
         Run &r) {
    std::vector<crv_mc_stage> recs;
    for (Stage &s : stages) {
        s.allocate(n_threads, n_reps);
        recs.push_back(s.rec);
    }
    const int64_t cells = n_threads * static_cast<int64_t>(stages.size());
    r.failed_stage.assign(n_reps, 0);
    r.status.assign(n_reps, 0);
    r.seconds.assign(cells, 0.0);
    r.calls.assign(cells, 0);
    r.failures.assign(cells, 0);
    r.job = {recs.data(), static_cast<int64_t>(recs.size()), n_reps, n_threads, stop_on_error,
             0, 0, 0, 0, r.failed_stage.data(), r.status.data(), 1, r.seconds.data(),
             r.calls.data(), r.failures.data()};
    r.result = crv_mc_run(&r.job);
}

}  // namespace

int main() {
    constexpr int64_t n_reps = 200, n_threads = 4;
    int bad = 0;

    Chain parallel, serial;
    Run a, b;
    run(parallel.stages, n_reps, n_threads, 0, a);
    run(serial.stages, n_reps, 1, 0, b);
    if (a.result != 0 || b.result != 0) ++bad, std::printf("crv_mc_run returned %ld / %ld\n",
                                                          (long)a.result, (long)b.result);
    for (int64_t r = 0; r < n_reps; ++r)
        if (a.failed_stage[r] != -1 || b.failed_stage[r] != -1) {
            ++bad;
            std::printf("replication %ld failed at stage %ld / %ld\n", (long)r,
                        (long)a.failed_stage[r], (long)b.failed_stage[r]);
            break;
        }
    for (size_t s = 0; s < parallel.stages.size(); ++s)
        if (std::memcmp(parallel.stages[s].results.data(), serial.stages[s].results.data(),
                        parallel.stages[s].results.size() * sizeof(double)) != 0) {
            ++bad;
            std::printf("stage %zu: %ld threads differ from one\n", s, (long)n_threads);
        }

    // Scattered failures with stop_on_error: the threads race to the halt.
    Chain halting;
    halting.stages.emplace_back(sometimes_fails, nullptr, 0, 1);
    Run c;
    run(halting.stages, n_reps, n_threads, 1, c);
    if (c.result != 1 || c.job.first_failed_stage != 4 || c.job.first_failed_rep % 37 != 5) {
        ++bad;
        std::printf("halting job: result %ld, first failure rep %ld stage %ld\n", (long)c.result,
                    (long)c.job.first_failed_rep, (long)c.job.first_failed_stage);
    }
    std::printf("race check: %ld replications on %ld threads, %s\n", (long)n_reps,
                (long)n_threads, bad ? "MISMATCH" : "results agree");
    return bad ? 1 : 0;
}
