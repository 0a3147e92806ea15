"""Models: reading model files, the symbolic layer, the `Model` object."""
