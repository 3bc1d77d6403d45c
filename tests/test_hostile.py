"""A catalogue of hostile inputs for every method: each gives its documented
result or a Python exception, never a crash."""

import ctypes

import numpy as np
import pandas as pd
import pytest

import tovrik
import tovrik_ml


def raises(exc_type):
    def get(self):
        raise exc_type("hostile")

    return property(get)


def frame_like(**attrs):
    return type("DataFrame", (), attrs)()


def null_cells(shape):
    """An object array whose cells are NULL pointers, as NumPy allows."""
    a = np.empty(shape, dtype=object)
    ctypes.memset(a.ctypes.data, 0, a.nbytes)
    return a


class Liar:
    """Claims to be a sequence of column names and breaks on every use."""

    def __len__(self):
        raise OverflowError("len")

    def __getitem__(self, i):
        raise IndexError(i)

    def __iter__(self):
        raise RuntimeError("iter")

    def tolist(self):
        return [1, "two"]


CATALOGUE = {
    "none": None,
    "int": 7,
    "bytes": b"\x00\xff",
    "list": [[1.0, 2.0]],
    "dict": {"a": [1]},
    "series": pd.Series(["a", "b"]),
    "0-d": np.array(1.0),
    "1-d": np.array(["a", "b"], dtype=object),
    "3-d": np.zeros((2, 2, 2)),
    "complex": np.ones((2, 2), dtype=complex),
    "datetime": np.zeros((2, 2), dtype="M8[ns]"),
    "big-endian-int": np.arange(4, dtype=">i8").reshape(2, 2),
    "unicode-dtype": np.array([["a", "b"]], dtype="U1"),
    "null-cells": null_cells((3, 2)),
    "surrogates": np.array([["\ud800", "a\udfff"], ["x", "\udcff"]], dtype=object),
    "zero-rows": np.empty((0, 3), dtype=object),
    "zero-columns": np.empty((3, 0), dtype=object),
    "zero-rows-frame": pd.DataFrame({"a": pd.Series([], dtype=object), "b": []}),
    "zero-columns-frame": pd.DataFrame(index=range(3)),
    "columns-raise": frame_like(columns=raises(KeyError)),
    "columns-liar": frame_like(columns=Liar()),
    "shape-raise": frame_like(columns=["a"], shape=raises(ValueError)),
    "shape-huge": frame_like(columns=["a"], shape=(2**62, 2**62), values=None),
    "shape-unallocatable": frame_like(columns=["a"], shape=(10**7, 10**7), values=None),
    "shape-negative": frame_like(columns=["a"], shape=(-1, 1), values=None),
    "shape-three": frame_like(columns=["a"], shape=(1, 1, 1), values=None),
    "shape-strings": frame_like(columns=["a"], shape=("1", "1"), values=None),
    "values-raise": frame_like(columns=["a"], shape=(1, 1), values=raises(MemoryError)),
    "values-short": frame_like(columns=["a"], shape=(5, 1), values=np.array([["x"]], dtype=object)),
    "values-none": frame_like(columns=["a"], shape=(1, 1), values=None),
    "ndarray-like": type("ndarray", (), {"shape": (2, 2), "__getitem__": lambda s, k: 1 / 0})(),
}

METHODS = {
    "encode": lambda e, x: e.encode(x),
    "decode": lambda e, x: e.decode(x),
    "setstate": lambda e, x: e.__setstate__(x),
    "apply": lambda e, x: tovrik_ml.transform(e, x),
    "apply-error": lambda e, x: tovrik_ml.transform(e, x, unknown="error"),
}


@pytest.mark.filterwarnings("ignore:Casting complex values")
@pytest.mark.parametrize("method", list(METHODS))
@pytest.mark.parametrize("name", list(CATALOGUE))
def test_hostile_input_gives_a_result_or_an_exception(name, method, capfd):
    for enc in (tovrik.Encoder(), learnt()):
        before = enc.__getstate__()
        try:
            out = METHODS[method](enc, CATALOGUE[name])
        except (Exception, tovrik.PanicException):
            if method != "decode":
                assert enc.__getstate__() == before  # a failed call changes nothing
            continue
        if method.startswith("apply"):
            assert enc.__getstate__() == before  # applying never changes the Encoder
        if method == "setstate":
            assert out is None
        else:
            assert isinstance(out, (np.ndarray, pd.DataFrame))
            assert out is not CATALOGUE[name]
    capfd.readouterr()  # the unsupported-type lines


def learnt():
    enc = tovrik.Encoder()
    enc.encode(np.array([["a", 1.0], ["b", 2.0]], dtype=object))
    return enc


@pytest.mark.parametrize("shape", [(3, 2), (1, 1)])
def test_null_cells_read_as_none(shape, enc):
    out = enc.encode(null_cells(shape))
    assert out.shape == shape and (out == 0.0).all()  # "None" is the only text
    assert enc.decode(out).tolist() == [["None"] * shape[1]] * shape[0]


@pytest.mark.parametrize("shape", [(2**62, 2**62), (10**7, 10**7), (2**63 - 1, 2)])
def test_unallocatable_shape_is_a_memory_error(shape, enc):
    before = enc.__getstate__()
    with pytest.raises(MemoryError):
        enc.encode(frame_like(columns=["a", "b"], shape=shape, values=None))
    assert enc.__getstate__() == before
