"""Kernels and extension module of this family."""
