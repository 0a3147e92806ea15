"""Solved models and what they imply."""
