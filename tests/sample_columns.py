"""Test data shared by test modules and by the scripts they run in fresh
interpreters (which put this folder on sys.path)."""

import numpy as np


def mixed_columns(seed, rows, many, few):
    """An object array of three columns: texts of up to `many` distinct values,
    floats, and texts of up to `few` distinct values."""
    rng = np.random.default_rng(seed)
    a = np.empty((rows, 3), dtype=object)
    a[:, 0] = [f"k{i}" for i in rng.integers(0, many, rows)]
    a[:, 1] = rng.random(rows)
    a[:, 2] = [f"t{i}" for i in rng.integers(0, few, rows)]
    return a
