"""Models: reading model files, the symbolic layer, the `Model` object."""

from .model import Model

__all__ = ["Model"]
