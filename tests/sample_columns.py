"""Test data and checks shared by test modules and by the scripts they run in
fresh interpreters (which put this folder on sys.path)."""

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


def through_values(frame):
    """A stand-in of the frame that encode can only read through `values`."""
    return type("DataFrame", (), {"columns": frame.columns, "shape": frame.shape, "values": frame.values})()


def assert_like_values(frame):
    """Encoding `frame` gives what encoding it through `values` gives: the same
    columns and codes, and the same learnt state. Returns the Encoder."""
    import tovrik

    enc, want_enc = tovrik.Encoder(), tovrik.Encoder()
    got = enc.encode(frame)
    want = want_enc.encode(through_values(frame))
    assert list(got.columns) == list(want.columns)
    np.testing.assert_array_equal(got.to_numpy(), want.to_numpy())
    assert enc.__getstate__() == want_enc.__getstate__()
    return enc
