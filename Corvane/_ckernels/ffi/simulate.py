"""Simulation: first-order and pruned second-order paths."""

from ._types import F64, arena_size_t, i64

RECORDS = {}

SIGNATURES = {
    "crv_simulate_linear_states_arena_size": (arena_size_t, [i64]),
    "crv_simulate_linear_states": (None, [F64, F64, F64, F64, F64, F64, F64, i64, i64, i64]),
    "crv_affine_observations": (None, [F64, F64, F64, F64, i64, i64, i64]),
    "crv_simulate_second_order_pruned_arena_size": (arena_size_t, [i64, i64]),
    "crv_simulate_second_order_pruned": (
        None, [F64] * 16 + [i64, i64, i64, i64]),
}
