// The example models this library holds, enumerated by index.
#include "example_models.h"

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

}  // namespace

const crv_example_model *crv_example_model_at(int64_t i) {
    constexpr int64_t count = sizeof(kModels) / sizeof(kModels[0]);
    return i >= 0 && i < count ? kModels[i]() : nullptr;
}
