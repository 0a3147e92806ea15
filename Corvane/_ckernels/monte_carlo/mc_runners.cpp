// Model-data runners: raw data, order-1 and order-2 simulation, linear,
// extended and unscented filters. Each block layout is described once, as a
// sequence of named blocks; the size functions, the steps and runners and
// crv_mc_block_layout read the same description.
#include <cstring>
#include <limits>

#include "mc_runners.h"
#include "simulate.h"

namespace {

constexpr int64_t kMaxWords = std::numeric_limits<int64_t>::max();

inline int64_t dim(int64_t v) { return v > 0 ? v : 0; }

// Saturating arithmetic on word counts: a layout too large for int64 sizes
// to INT64_MAX, which no caller can allocate.
inline int64_t mul(int64_t a, int64_t b) {
    int64_t r;
    return __builtin_mul_overflow(a, b, &r) ? kMaxWords : r;
}
inline int64_t mul(int64_t a, int64_t b, int64_t c) { return mul(mul(a, b), c); }
inline int64_t add(int64_t a, int64_t b) {
    int64_t r;
    return __builtin_add_overflow(a, b, &r) ? kMaxWords : r;
}

// The kernels' own arena-size formulas are quadratic in the dimensions and
// unchecked; beyond 2^24 per dimension (far past any allocatable block) the
// arena counts as INT64_MAX instead of being evaluated.
template <typename... D>
inline bool arena_formula_safe(D... dims) {
    return ((dims <= (int64_t{1} << 24)) && ...);
}

// Where a layout description reports its named blocks (crv_mc_block_layout).
struct FieldSink {
    crv_mc_block_field *fields;
    int64_t capacity;
    int64_t count = 0;
};

// Consecutive blocks from word 0: take(name, shape...) returns the offset of
// a block of the product of its shape in words (saturating), and reports it
// to the sink when there is one.
struct Cursor {
    int64_t at = 0;
    FieldSink *sink = nullptr;

    template <typename... D>
    int64_t take(const char *name, D... shape) {
        static_assert(sizeof...(D) <= 3, "blocks have at most three dimensions");
        int64_t words = 1;
        ((words = mul(words, shape)), ...);
        const int64_t offset = at;
        if (__builtin_add_overflow(at, words, &at)) at = kMaxWords;
        if (sink != nullptr) {
            if (sink->count < sink->capacity) {
                crv_mc_block_field &f = sink->fields[sink->count];
                f = crv_mc_block_field{name, offset, words, int64_t{sizeof...(D)}, {0, 0, 0}};
                int i = 0;
                ((f.shape[i++] = shape), ...);
            }
            ++sink->count;
        }
        return offset;
    }
};

// ---- input blocks ----------------------------------------------------------

struct Order1Input {
    int64_t A, R, mu, s0, E, params, arena, end;
    Order1Input(int64_t n, int64_t m, int64_t T, int64_t n_params, FieldSink *sink = nullptr) {
        Cursor c{0, sink};
        A = c.take("A", n, n);
        R = c.take("R", n, m);
        mu = c.take("mu", n);
        s0 = c.take("s0", n);
        E = c.take("E", T, m);
        params = c.take("params", n_params);
        arena = c.take("arena", arena_formula_safe(n)
                                    ? crv_simulate_linear_states_arena_size(n).doubles
                                    : kMaxWords);
        end = c.at;
    }
};

struct Order2Input {
    int64_t h_x, g_x, R, h_xx, g_xx, h_xe, g_xe, h_ee, g_ee, h_ss, g_ss, offset, x0, E, params,
        arena, end;
    Order2Input(int64_t nx, int64_t ny, int64_t m, int64_t T, int64_t n_params,
                FieldSink *sink = nullptr) {
        Cursor c{0, sink};
        h_x = c.take("h_x", nx, nx);
        g_x = c.take("g_x", ny, nx);
        R = c.take("R", add(nx, ny), m);
        h_xx = c.take("h_xx", nx, mul(nx, nx));
        g_xx = c.take("g_xx", ny, mul(nx, nx));
        h_xe = c.take("h_xe", nx, mul(nx, m));
        g_xe = c.take("g_xe", ny, mul(nx, m));
        h_ee = c.take("h_ee", nx, mul(m, m));
        g_ee = c.take("g_ee", ny, mul(m, m));
        h_ss = c.take("h_ss", nx);
        g_ss = c.take("g_ss", ny);
        offset = c.take("offset", add(nx, ny));
        x0 = c.take("x0", nx);
        E = c.take("E", T, m);
        params = c.take("params", n_params);
        arena = c.take("arena", arena_formula_safe(nx, m)
                                    ? crv_simulate_second_order_pruned_arena_size(nx, m).doubles
                                    : kMaxWords);
        end = c.at;
    }
};

struct LinearInput {
    int64_t A, B, Z, d, S, H, data, x0, P0, arena, end;
    LinearInput(int64_t n, int64_t m, int64_t k, int64_t T, FieldSink *sink = nullptr) {
        Cursor c{0, sink};
        A = c.take("A", n, n);
        B = c.take("B", n, k);
        Z = c.take("Z", m, n);
        d = c.take("d", m);
        S = c.take("S", k, k);
        H = c.take("H", m, m);
        data = c.take("data", T, m);
        x0 = c.take("x0", n);
        P0 = c.take("P0", n, n);
        arena = c.take("arena",
                       arena_formula_safe(n, m, k) ? kf_arena_size(n, m, k).doubles : kMaxWords);
        end = c.at;
    }
};

struct ExtendedInput {
    int64_t A, B, params, S, H, data, x0, P0, arena, end;
    ExtendedInput(int64_t n, int64_t m, int64_t k, int64_t T, int64_t n_params,
                  FieldSink *sink = nullptr) {
        Cursor c{0, sink};
        A = c.take("A", n, n);
        B = c.take("B", n, k);
        params = c.take("params", n_params);
        S = c.take("S", k, k);
        H = c.take("H", m, m);
        data = c.take("data", T, m);
        x0 = c.take("x0", n);
        P0 = c.take("P0", n, n);
        arena = c.take("arena",
                       arena_formula_safe(n, m, k) ? ekf_arena_size(n, m, k).doubles : kMaxWords);
        end = c.at;
    }
};

struct UnscentedInput {
    int64_t hx, gx, impact, h_xx, g_xx, h_xe, g_xe, h_ee, g_ee, h_ss, g_ss, ss, params, S, H,
        data, x0, P0, arena, end;
    UnscentedInput(int64_t nx, int64_t ny, int64_t m, int64_t k, int64_t T, int64_t n_params,
                   FieldSink *sink = nullptr) {
        Cursor c{0, sink};
        hx = c.take("hx", nx, nx);
        gx = c.take("gx", ny, nx);
        impact = c.take("impact", add(nx, ny), m);
        h_xx = c.take("h_xx", nx, mul(nx, nx));
        g_xx = c.take("g_xx", ny, mul(nx, nx));
        h_xe = c.take("h_xe", nx, mul(nx, m));
        g_xe = c.take("g_xe", ny, mul(nx, m));
        h_ee = c.take("h_ee", nx, mul(m, m));
        g_ee = c.take("g_ee", ny, mul(m, m));
        h_ss = c.take("h_ss", nx);
        g_ss = c.take("g_ss", ny);
        ss = c.take("ss", add(nx, ny));
        params = c.take("params", n_params);
        S = c.take("S", m, m);
        H = c.take("H", k, k);
        data = c.take("data", T, k);
        x0 = c.take("x0", mul(2, nx));
        P0 = c.take("P0", mul(2, nx), mul(2, nx));
        arena = c.take("arena", arena_formula_safe(nx, ny, m, k)
                                    ? ukf_arena_size(nx, ny, m, k).doubles
                                    : kMaxWords);
        end = c.at;
    }
};

// ---- out blocks --------------------------------------------------------------

struct RawOutput {
    int64_t data, data2, end;
    RawOutput(int64_t n_data, int64_t n_data2, FieldSink *sink = nullptr) {
        Cursor c{0, sink};
        data = c.take("data", n_data);
        data2 = c.take("data2", n_data2);
        end = c.at;
    }
};

// The simulated rows (width n or nx + ny), then the observations.
struct SimulationOutput {
    int64_t states, obs, end;
    SimulationOutput(int64_t width, int64_t T, int64_t n_obs, FieldSink *sink = nullptr) {
        Cursor c{0, sink};
        states = c.take("states", T, width);
        obs = c.take("obs", T, n_obs);
        end = c.at;
    }
};

// Linear and extended filters: the kf_outputs fields in record order.
struct KalmanOutput {
    int64_t x_pred, x_filt, P_pred, P_filt, y_pred, y_filt, innov, std_innov, innov_cov, shocks,
        loglik, end;
    KalmanOutput(int64_t n, int64_t m, int64_t k, int64_t T, bool want_shocks,
                 FieldSink *sink = nullptr) {
        Cursor c{0, sink};
        x_pred = c.take("x_pred", T, n);
        x_filt = c.take("x_filt", T, n);
        P_pred = c.take("P_pred", T, n, n);
        P_filt = c.take("P_filt", T, n, n);
        y_pred = c.take("y_pred", T, m);
        y_filt = c.take("y_filt", T, m);
        innov = c.take("innov", T, m);
        std_innov = c.take("std_innov", T, m);
        innov_cov = c.take("innov_cov", T, m, m);
        shocks = want_shocks ? c.take("shocks", T, k) : c.at;
        loglik = c.take("loglik");
        end = c.at;
    }
    kf_outputs bind(double *out, bool want_shocks) const {
        return {out + x_pred,    out + x_filt, out + P_pred, out + P_filt,
                out + y_pred,    out + y_filt, out + innov,  out + std_innov,
                out + innov_cov, want_shocks ? out + shocks : nullptr, out + loglik};
    }
};

// Unscented filter: the variable paths first, the state components last.
struct UnscentedOutput {
    int64_t v_pred, v_filt, P_pred, P_filt, y_pred, y_filt, innov, std_innov, innov_cov, loglik,
        xf_pred, xs_pred, xf_filt, xs_filt, end;
    UnscentedOutput(int64_t nx, int64_t ny, int64_t k, int64_t T, FieldSink *sink = nullptr) {
        Cursor c{0, sink};
        v_pred = c.take("v_pred", T, add(nx, ny));
        v_filt = c.take("v_filt", T, add(nx, ny));
        P_pred = c.take("P_pred", T, mul(2, nx), mul(2, nx));
        P_filt = c.take("P_filt", T, mul(2, nx), mul(2, nx));
        y_pred = c.take("y_pred", T, k);
        y_filt = c.take("y_filt", T, k);
        innov = c.take("innov", T, k);
        std_innov = c.take("std_innov", T, k);
        innov_cov = c.take("innov_cov", T, k, k);
        loglik = c.take("loglik");
        xf_pred = c.take("xf_pred", T, nx);
        xs_pred = c.take("xs_pred", T, nx);
        xf_filt = c.take("xf_filt", T, nx);
        xs_filt = c.take("xs_filt", T, nx);
        end = c.at;
    }
    ukf_outputs bind(double *out) const {
        return {out + xf_pred, out + xs_pred, out + xf_filt, out + xs_filt, out + v_pred,
                out + v_filt,  out + P_pred,  out + P_filt,  out + y_pred,  out + y_filt,
                out + innov,   out + std_innov, out + innov_cov, out + loglik};
    }
};

// The layouts crv_mc_block_layout reports: block name, dimension count, and
// the description built over the (clamped) dimensions.
struct BlockQuery {
    const char *name;
    int64_t n_dims;
    void (*describe)(const int64_t *d, FieldSink *sink);
};

constexpr BlockQuery kBlocks[] = {
    {"simulate_order1_input", 4,
     [](const int64_t *d, FieldSink *s) { Order1Input(d[0], d[1], d[2], d[3], s); }},
    {"simulate_order2_input", 5,
     [](const int64_t *d, FieldSink *s) { Order2Input(d[0], d[1], d[2], d[3], d[4], s); }},
    {"filter_linear_input", 4,
     [](const int64_t *d, FieldSink *s) { LinearInput(d[0], d[1], d[2], d[3], s); }},
    {"filter_extended_input", 5,
     [](const int64_t *d, FieldSink *s) { ExtendedInput(d[0], d[1], d[2], d[3], d[4], s); }},
    {"filter_unscented_input", 6,
     [](const int64_t *d, FieldSink *s) {
         UnscentedInput(d[0], d[1], d[2], d[3], d[4], d[5], s);
     }},
    {"raw_model_data_output", 2, [](const int64_t *d, FieldSink *s) { RawOutput(d[0], d[1], s); }},
    {"simulate_order1_output", 3,
     [](const int64_t *d, FieldSink *s) { SimulationOutput(d[0], d[1], d[2], s); }},
    {"simulate_order2_output", 4,
     [](const int64_t *d, FieldSink *s) { SimulationOutput(add(d[0], d[1]), d[2], d[3], s); }},
    {"filter_linear_output", 5,
     [](const int64_t *d, FieldSink *s) { KalmanOutput(d[0], d[1], d[2], d[3], d[4] != 0, s); }},
    {"filter_extended_output", 5,
     [](const int64_t *d, FieldSink *s) { KalmanOutput(d[0], d[1], d[2], d[3], d[4] != 0, s); }},
    {"filter_unscented_output", 4,
     [](const int64_t *d, FieldSink *s) { UnscentedOutput(d[0], d[1], d[2], d[3], s); }},
};
constexpr int64_t kMaxBlockDims = 6;

// ---- shared pieces ---------------------------------------------------------

// obs_fn on each of the T state rows (width words apart) into T rows of n_obs
// after them; NaN rows without a callback.
void observe(crv_obs_fn obs_fn, const double *states, int64_t width, const double *params,
             int64_t T, int64_t n_obs, double *obs) {
    if (n_obs <= 0 || T <= 0) return;
    if (obs_fn == nullptr) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (int64_t i = 0; i < T * n_obs; ++i) obs[i] = nan;
        return;
    }
    for (int64_t t = 0; t < T; ++t) obs_fn(states + t * width, params, obs + t * n_obs);
}

// Whether a simulation context can run: its shock description must draw
// exactly the T x m shock array of the block.
bool valid_simulation(crv_obs_fn obs_fn, int64_t T, int64_t m, int64_t n_obs,
                      const crv_mc_shock_spec *shocks, int64_t shock_scratch) {
    if (obs_fn == nullptr && n_obs > 0) return false;
    if (shocks == nullptr) return true;
    return shocks->n_periods == dim(T) && shocks->n_shocks == dim(m) && shock_scratch >= 0;
}

inline int32_t finish(int64_t *iout, int32_t status) {
    if (iout != nullptr) iout[0] = status;
    return status;
}

}  // namespace

// ---- layouts -----------------------------------------------------------------

int64_t crv_mc_block_layout(const char *block, const int64_t *dims, int64_t n_dims,
                            crv_mc_block_field *fields, int64_t capacity) {
    if (block == nullptr || (dims == nullptr && n_dims > 0)) return CRV_MC_INVALID;
    for (const BlockQuery &query : kBlocks) {
        if (std::strcmp(query.name, block) != 0) continue;
        if (n_dims != query.n_dims) return CRV_MC_INVALID;
        int64_t clamped[kMaxBlockDims] = {};
        for (int64_t i = 0; i < n_dims; ++i) clamped[i] = dim(dims[i]);
        FieldSink sink{fields, fields != nullptr && capacity > 0 ? capacity : 0};
        query.describe(clamped, &sink);
        return sink.count;
    }
    return CRV_MC_INVALID;
}

// ---- sizes -------------------------------------------------------------------

int64_t crv_simulate_order1_arena_size(int64_t n, int64_t m, int64_t T, int64_t n_params) {
    return Order1Input(dim(n), dim(m), dim(T), dim(n_params)).end;
}

int64_t crv_simulate_order2_arena_size(int64_t nx, int64_t ny, int64_t m, int64_t T,
                                       int64_t n_params) {
    return Order2Input(dim(nx), dim(ny), dim(m), dim(T), dim(n_params)).end;
}

int64_t crv_filter_linear_input_arena_size(int64_t n, int64_t m, int64_t k, int64_t T) {
    return LinearInput(dim(n), dim(m), dim(k), dim(T)).end;
}

int64_t crv_filter_extended_input_arena_size(int64_t n, int64_t m, int64_t k, int64_t T,
                                             int64_t n_params) {
    return ExtendedInput(dim(n), dim(m), dim(k), dim(T), dim(n_params)).end;
}

int64_t crv_filter_unscented_input_arena_size(int64_t nx, int64_t ny, int64_t m, int64_t k,
                                              int64_t T, int64_t n_params) {
    return UnscentedInput(dim(nx), dim(ny), dim(m), dim(k), dim(T), dim(n_params)).end;
}

int64_t crv_filter_linear_output_arena_size(int64_t n, int64_t m, int64_t k, int64_t T,
                                            int32_t want_shocks) {
    return KalmanOutput(dim(n), dim(m), dim(k), dim(T), want_shocks != 0).end;
}

int64_t crv_filter_extended_output_arena_size(int64_t n, int64_t m, int64_t k, int64_t T,
                                              int32_t want_shocks) {
    return KalmanOutput(dim(n), dim(m), dim(k), dim(T), want_shocks != 0).end;
}

int64_t crv_filter_unscented_output_arena_size(int64_t nx, int64_t ny, int64_t k, int64_t T) {
    return UnscentedOutput(dim(nx), dim(ny), dim(k), dim(T)).end;
}

// ---- steps -------------------------------------------------------------------

void crv_raw_model_data_step(const double *data, int64_t n_data, int32_t per_rep, double *out,
                             const double *data2, int64_t n_data2, int32_t per_rep2, uint64_t rep,
                             double *out2) {
    crv_add_payload_step(data, n_data, per_rep, rep, out);
    crv_add_payload_step(data2, n_data2, per_rep2, rep, out2);
}

void crv_simulate_order1_step(double *input, crv_obs_fn obs_fn, int64_t T, int64_t n, int64_t m,
                              int64_t n_params, int64_t n_obs, double *out) {
    T = dim(T), n = dim(n), m = dim(m), n_params = dim(n_params), n_obs = dim(n_obs);
    const Order1Input in(n, m, T, n_params);
    const SimulationOutput to(n, T, n_obs);
    crv_simulate_linear_states(input + in.A, input + in.R, input + in.s0, input + in.E,
                               input + in.mu, out + to.states, input + in.arena, T, n, m);
    observe(obs_fn, out + to.states, n, input + in.params, T, n_obs, out + to.obs);
}

void crv_simulate_order2_step(double *input, crv_obs_fn obs_fn, int64_t T, int64_t nx, int64_t ny,
                              int64_t m, int64_t n_params, int64_t n_obs, double *out) {
    T = dim(T), nx = dim(nx), ny = dim(ny), m = dim(m), n_params = dim(n_params);
    n_obs = dim(n_obs);
    const Order2Input in(nx, ny, m, T, n_params);
    const int64_t width = nx + ny;
    const SimulationOutput to(width, T, n_obs);
    crv_simulate_second_order_pruned(
        input + in.h_x, input + in.g_x, input + in.R, input + in.h_xx, input + in.g_xx,
        input + in.h_xe, input + in.g_xe, input + in.h_ee, input + in.g_ee, input + in.h_ss,
        input + in.g_ss, input + in.x0, input + in.E, input + in.offset, out + to.states,
        input + in.arena, T, nx, ny, m);
    observe(obs_fn, out + to.states, width, input + in.params, T, n_obs, out + to.obs);
}

int32_t crv_filter_linear_step(const double *input, double *arena, int64_t T, int64_t n,
                               int64_t m, int64_t k, int32_t symmetrize, int32_t want_shocks,
                               double jitter, double *out) {
    T = dim(T), n = dim(n), m = dim(m), k = dim(k);
    const LinearInput in(n, m, k, T);
    const kf_inputs record = {n, m, k, T, input + in.A, input + in.B, input + in.Z, input + in.d,
                              input + in.S, input + in.H, input + in.data, input + in.x0,
                              input + in.P0, symmetrize, jitter, want_shocks, 1};
    const kf_outputs outputs = KalmanOutput(n, m, k, T, want_shocks != 0).bind(out, want_shocks);
    return kf_hot_loop(&record, arena, &outputs);
}

int32_t crv_filter_extended_step(const double *input, double *arena, crv_obs_fn obs_fn,
                                 crv_obs_fn obs_jac, int64_t T, int64_t n, int64_t m, int64_t k,
                                 double jitter, int64_t n_params, int32_t symmetrize,
                                 int32_t want_shocks, double *out) {
    T = dim(T), n = dim(n), m = dim(m), k = dim(k), n_params = dim(n_params);
    const ExtendedInput in(n, m, k, T, n_params);
    const ekf_inputs record = {obs_fn, obs_jac, input + in.A, input + in.B, input + in.params,
                               input + in.S, input + in.H, input + in.data, input + in.x0,
                               input + in.P0, T, n, m, k, n_params, jitter, symmetrize,
                               /*fitted_obs=*/1, want_shocks, /*store_paths=*/1};
    const kf_outputs outputs = KalmanOutput(n, m, k, T, want_shocks != 0).bind(out, want_shocks);
    return ekf_hot_loop(&record, arena, &outputs);
}

int32_t crv_filter_unscented_step(const double *input, double *arena, crv_obs_fn obs_fn,
                                  int64_t T, int64_t nx, int64_t ny, int64_t m, int64_t k,
                                  double alpha, double beta, double kappa, double jitter,
                                  int64_t n_params, int32_t symmetrize, double *out) {
    T = dim(T), nx = dim(nx), ny = dim(ny), m = dim(m), k = dim(k), n_params = dim(n_params);
    const UnscentedInput in(nx, ny, m, k, T, n_params);
    const ukf_inputs record = {obs_fn,          input + in.hx,   input + in.gx,
                               input + in.impact, input + in.h_xx, input + in.g_xx,
                               input + in.h_xe, input + in.g_xe, input + in.h_ee,
                               input + in.g_ee, input + in.h_ss, input + in.g_ss,
                               input + in.ss,   input + in.params, input + in.S,
                               input + in.H,    input + in.data, input + in.x0,
                               input + in.P0,   T, nx, ny, m, k, n_params, alpha, beta, kappa,
                               jitter, symmetrize, /*store_paths=*/1};
    const ukf_outputs outputs = UnscentedOutput(nx, ny, k, T).bind(out);
    return ukf_hot_loop(&record, arena, &outputs);
}

// ---- runners -----------------------------------------------------------------

int32_t crv_mc_raw_model_data_runner(int64_t rep, double *input, double *out, double *work,
                                     int64_t *iout, void *ctx) {
    const auto *c = static_cast<const crv_mc_raw_model_data_ctx *>(ctx);
    if (c == nullptr) return finish(iout, CRV_MC_INVALID);
    const RawOutput to(dim(c->n_data), dim(c->n_data2));
    double *out2 = out != nullptr ? out + to.data2 : nullptr;
    crv_raw_model_data_step(c->data, c->n_data, c->per_rep, out, c->data2, c->n_data2,
                            c->per_rep2, static_cast<uint64_t>(rep), out2);
    return finish(iout, 0);
}

int32_t crv_mc_simulate_order1_runner(int64_t rep, double *input, double *out, double *work,
                                      int64_t *iout, void *ctx) {
    const auto *c = static_cast<const crv_mc_simulate_order1_ctx *>(ctx);
    if (c == nullptr || !valid_simulation(c->obs_fn, c->T, c->m, c->n_obs, c->shocks,
                                          c->shock_scratch))
        return finish(iout, CRV_MC_INVALID);
    if (c->shocks != nullptr) {
        const Order1Input in(dim(c->n), dim(c->m), dim(c->T), dim(c->n_params));
        crv_mc_shock_draw(c->shocks, static_cast<uint64_t>(rep), input + c->shock_scratch,
                          input + in.E);
    }
    crv_simulate_order1_step(input, c->obs_fn, c->T, c->n, c->m, c->n_params, c->n_obs, out);
    return finish(iout, 0);
}

int32_t crv_mc_simulate_order2_runner(int64_t rep, double *input, double *out, double *work,
                                      int64_t *iout, void *ctx) {
    const auto *c = static_cast<const crv_mc_simulate_order2_ctx *>(ctx);
    if (c == nullptr || !valid_simulation(c->obs_fn, c->T, c->m, c->n_obs, c->shocks,
                                          c->shock_scratch))
        return finish(iout, CRV_MC_INVALID);
    if (c->shocks != nullptr) {
        const Order2Input in(dim(c->nx), dim(c->ny), dim(c->m), dim(c->T), dim(c->n_params));
        crv_mc_shock_draw(c->shocks, static_cast<uint64_t>(rep), input + c->shock_scratch,
                          input + in.E);
    }
    crv_simulate_order2_step(input, c->obs_fn, c->T, c->nx, c->ny, c->m, c->n_params, c->n_obs,
                             out);
    return finish(iout, 0);
}

int32_t crv_mc_filter_linear_runner(int64_t rep, double *input, double *out, double *work,
                                    int64_t *iout, void *ctx) {
    const auto *c = static_cast<const crv_mc_filter_linear_ctx *>(ctx);
    if (c == nullptr) return finish(iout, CRV_MC_INVALID);
    const LinearInput in(dim(c->n), dim(c->m), dim(c->k), dim(c->T));
    return finish(iout, crv_filter_linear_step(input, input + in.arena, c->T, c->n, c->m, c->k,
                                               c->symmetrize, c->want_shocks, c->jitter, out));
}

int32_t crv_mc_filter_extended_runner(int64_t rep, double *input, double *out, double *work,
                                      int64_t *iout, void *ctx) {
    const auto *c = static_cast<const crv_mc_filter_extended_ctx *>(ctx);
    if (c == nullptr) return finish(iout, CRV_MC_INVALID);
    const ExtendedInput in(dim(c->n), dim(c->m), dim(c->k), dim(c->T), dim(c->n_params));
    return finish(iout, crv_filter_extended_step(input, input + in.arena, c->obs_fn, c->obs_jac,
                                                 c->T, c->n, c->m, c->k, c->jitter, c->n_params,
                                                 c->symmetrize, c->want_shocks, out));
}

int32_t crv_mc_filter_unscented_runner(int64_t rep, double *input, double *out, double *work,
                                       int64_t *iout, void *ctx) {
    const auto *c = static_cast<const crv_mc_filter_unscented_ctx *>(ctx);
    if (c == nullptr) return finish(iout, CRV_MC_INVALID);
    const UnscentedInput in(dim(c->nx), dim(c->ny), dim(c->m), dim(c->k), dim(c->T),
                            dim(c->n_params));
    return finish(iout, crv_filter_unscented_step(input, input + in.arena, c->obs_fn, c->T, c->nx,
                                                  c->ny, c->m, c->k, c->alpha, c->beta, c->kappa,
                                                  c->jitter, c->n_params, c->symmetrize, out));
}
