"""From user objects to kernel records: generated model code, solver calls,
objective records, belief plans and Monte Carlo jobs."""
