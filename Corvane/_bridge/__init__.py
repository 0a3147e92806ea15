"""From user objects to kernel records: generated model code, solver calls,
objective records, belief plans and Monte Carlo jobs.

Model code: `ModelSpec` (codegen) -> `compile_model` -> `CompiledModel`
(compiler), solved by `newton`, `first_order`, `second_order` (solve).
"""

from .codegen import FUNCTIONS, ModelSpec, generate
from .compiler import CompiledModel, cache_dir, compile_model
from .solve import FirstOrder, NewtonResult, SecondOrder, first_order, newton, second_order

__all__ = ["FUNCTIONS", "CompiledModel", "FirstOrder", "ModelSpec", "NewtonResult",
           "SecondOrder", "cache_dir", "compile_model", "first_order", "generate", "newton",
           "second_order"]
