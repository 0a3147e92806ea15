// Layout tables of the records, for crv_record_layout: CRV_RECORD(type,
// fields...) gives the record's row and one row per field, measured by the
// compiler (a field name the record lacks does not compile). Each family
// group has its table beside its headers (common_records.hpp,
// mc_records.hpp, estimation_records.hpp); each module joins the tables of
// the families it carries.
#ifndef CORVANE_RECORD_TABLE_HPP
#define CORVANE_RECORD_TABLE_HPP

#include <algorithm>
#include <array>
#include <cstddef>

#include "record_layout.h"

// Apply macro(type, field) to each field (up to 256 of them).
#define CRV_PARENS ()
#define CRV_EXPAND(...) CRV_EXPAND3(CRV_EXPAND3(CRV_EXPAND3(CRV_EXPAND3(__VA_ARGS__))))
#define CRV_EXPAND3(...) CRV_EXPAND2(CRV_EXPAND2(CRV_EXPAND2(CRV_EXPAND2(__VA_ARGS__))))
#define CRV_EXPAND2(...) CRV_EXPAND1(CRV_EXPAND1(CRV_EXPAND1(CRV_EXPAND1(__VA_ARGS__))))
#define CRV_EXPAND1(...) __VA_ARGS__
#define CRV_FOR_EACH_FIELD(macro, type, ...) \
    __VA_OPT__(CRV_EXPAND(CRV_FOR_EACH_FIELD_STEP(macro, type, __VA_ARGS__)))
#define CRV_FOR_EACH_FIELD_STEP(macro, type, field, ...) \
    macro(type, field) __VA_OPT__(CRV_FOR_EACH_FIELD_AGAIN CRV_PARENS(macro, type, __VA_ARGS__))
#define CRV_FOR_EACH_FIELD_AGAIN() CRV_FOR_EACH_FIELD_STEP

#define CRV_RECORD_FIELD(type, field) \
    , crv_record_field{#type, #field, offsetof(type, field), sizeof(type::field)}
#define CRV_RECORD(type, ...)                                          \
    crv_record_field{#type, nullptr, 0, sizeof(type)} CRV_FOR_EACH_FIELD( \
        CRV_RECORD_FIELD, type, __VA_ARGS__)

namespace crv::records {

// The tables of several family groups, one after the other.
template <std::size_t... N>
constexpr auto join(const crv_record_field (&...tables)[N]) {
    std::array<crv_record_field, (N + ...)> rows{};
    auto at = rows.begin();
    ((at = std::copy(tables, tables + N, at)), ...);
    return rows;
}

}  // namespace crv::records

#endif
