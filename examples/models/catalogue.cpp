// The example models this library holds, enumerated by index, and the
// layout of its description record.
#include "example_models.h"
#include "record_table.hpp"

namespace {

using Describe = const crv_example_model *(*)();

constexpr Describe kModels[] = {
    crv_example_rbc,
    crv_example_growth,
    crv_example_linear_determinate,
    crv_example_linear_indeterminate,
    crv_example_linear_explosive,
    crv_example_linear_forward,
};

constexpr crv_record_field kRecords[] = {
    CRV_RECORD(crv_record_field, record, field, offset, size),
    CRV_RECORD(crv_example_model, name, n, nx, ny, m, p, n_obs, var_names, shock_names, param_names,
               obs_names, flags, params, x_guess, residual, hessian, obs_fn, obs_jac, obs_linear_fn,
               obs_linear_jac)
};

}  // namespace

const crv_record_field *crv_record_layout(int64_t *n_rows) {
    if (n_rows != nullptr) *n_rows = sizeof(kRecords) / sizeof(kRecords[0]);
    return kRecords;
}

const crv_example_model *crv_example_model_at(int64_t i) {
    constexpr int64_t count = sizeof(kModels) / sizeof(kModels[0]);
    return i >= 0 && i < count ? kModels[i]() : nullptr;
}
