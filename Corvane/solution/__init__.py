"""Solved models and what they imply."""

from .solution import Solution

__all__ = ["Solution"]
