// Messages of the status table.
#include "status.h"

namespace {

struct StatusRow {
    int64_t code;
    const char *message;
};

constexpr StatusRow kStatuses[] = {
#define CRV_STATUS(name, code, message) {(code), (message)},
#include "status.def"
#undef CRV_STATUS
};

// Each code has exactly one row.
constexpr bool codes_unique() {
    for (const StatusRow &a : kStatuses)
        for (const StatusRow &b : kStatuses)
            if (&a != &b && a.code == b.code) return false;
    return true;
}
static_assert(codes_unique(), "status.def lists a code twice");

}  // namespace

const char *crv_status_message(int64_t status) {
    for (const StatusRow &row : kStatuses)
        if (row.code == status) return row.message;
    return "unknown status";
}
