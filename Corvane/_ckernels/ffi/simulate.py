"""Simulation: first-order and pruned second-order paths."""

from ._types import F64, In, Out, arena_size_t, i64

RECORDS = {}

SIGNATURES = {
    "crv_simulate_linear_states_arena_size": (arena_size_t, [i64]),
    "crv_simulate_linear_states": (None, [In(F64, "A"), In(F64, "R"), In(F64, "s0"),
                                          In(F64, "E"), In(F64, "mu"), Out(F64, "S"),
                                          Out(F64, "arena"), i64, i64, i64]),
    "crv_affine_observations": (None, [In(F64, "S"), In(F64, "Z"), In(F64, "d"), Out(F64, "Y"),
                                       i64, i64, i64]),
    "crv_simulate_second_order_pruned_arena_size": (arena_size_t, [i64, i64]),
    "crv_simulate_second_order_pruned": (None, [In(F64, "h_x"), In(F64, "g_x"), In(F64, "R"),
                                                In(F64, "h_xx"), In(F64, "g_xx"),
                                                In(F64, "h_xe"), In(F64, "g_xe"),
                                                In(F64, "h_ee"), In(F64, "g_ee"),
                                                In(F64, "h_ss"), In(F64, "g_ss"), In(F64, "x0"),
                                                In(F64, "E"), In(F64, "offset"), Out(F64, "Y"),
                                                Out(F64, "arena"), i64, i64, i64, i64]),
}
