"""Compiled kernels of Corvane: three extension modules and their ctypes binding."""
