// crv_record_layout of this module: the records of the families it carries
// (families 1 and 10).
#include "common_records.hpp"

const crv_record_field *crv_record_layout(int64_t *n_rows) {
    static constexpr auto rows = crv::records::join(crv::records::linalg);
    if (n_rows != nullptr) *n_rows = static_cast<int64_t>(rows.size());
    return rows.data();
}
