"""Columns of pandas' nullable dtypes (Int64, Float64, boolean, ...) are read
column by column from their values and mask: the result must be the one
`values` gives (Python numbers, pandas.NA where the mask is set), cell for
cell and in the learnt state."""

import numpy as np
import pandas as pd
import pytest

import tovrik
import tovrik_ml
from sample_columns import assert_like_values
from tovrik_ml import _native

NULLABLE = ["Int8", "Int16", "Int32", "Int64", "UInt8", "UInt16", "UInt32", "UInt64", "Float32", "Float64", "boolean"]


def values_of(dtype, n, rng, missing):
    if dtype == "boolean":
        data = rng.random(n) < 0.5
    elif dtype.startswith("Float"):
        data = np.round(rng.normal(0, 1e3, n), 3)
    else:
        info = np.iinfo(dtype.lower())
        data = rng.integers(max(info.min, -10**6), min(info.max, 10**6), n).astype(dtype.lower())
        data[:2] = [info.min, info.max]  # the extremes (2**64 - 1 is no int64)
    arr = pd.array(data, dtype=dtype)
    if missing is not None:
        arr[missing] = pd.NA
    return arr


@pytest.mark.parametrize("dtype", NULLABLE)
@pytest.mark.parametrize("missing", [None, [0], [5, 17], slice(None)], ids=["none", "first", "middle", "all"])
def test_nullable_columns_read_like_values(dtype, missing):
    rng = np.random.default_rng(len(dtype))
    n = 40
    frame = pd.DataFrame({"x": values_of(dtype, n, rng, missing), "f": rng.random(n),
                          "s": pd.array([f"s{i % 3}" for i in range(n)], dtype="string")})
    assert_like_values(frame)
    assert_like_values(frame[["x"]])  # one column: `values` is to_numpy()
    assert_like_values(frame[["x", "x"]].set_axis(["a", "b"], axis=1))


def test_nan_that_is_not_missing():
    # A Float64 value may be NaN without being masked: a number, not pandas.NA.
    arr = pd.arrays.FloatingArray(np.array([np.nan, 1.5, np.nan, 2.0]), np.array([False, False, True, False]))
    assert_like_values(pd.DataFrame({"x": arr, "f": np.zeros(4)}))


@pytest.mark.parametrize("dtype", ["Int64", "Float64", "boolean", "UInt64"])
def test_forced_and_applied_like_values(dtype):
    rng = np.random.default_rng(3)
    frame = pd.DataFrame({"x": values_of(dtype, 30, rng, [4]), "f": rng.random(30)})
    # Every cell through str() from row 0, as a later partition reads it.
    got = _native.part_sets(frame, [0], [True, False])
    want = _native.part_sets(frame.values, [0], [True, False])
    assert got[:2] == want[:2]
    assert [(o.tolist(), d.tobytes()) for o, d in got[2]] == [(o.tolist(), d.tobytes()) for o, d in want[2]]
    enc = assert_like_values(frame)
    new = pd.DataFrame({"x": values_of(dtype, 20, rng, [0, 3]), "f": rng.random(20)})
    np.testing.assert_array_equal(tovrik_ml.transform(enc, new).to_numpy(), tovrik_ml.transform(enc, new.values))


@pytest.mark.parametrize("values", [
    pd.array([3, 7, 3, None, 3, 7, 8, None], dtype="Int64"),       # 3 is "3.0" before the first NA, "3" after
    pd.array([1.0, 2.5, None, 1.0, 2.5, -0.0, 0.0], dtype="Float64"),
    pd.array([True, None, True, False], dtype="boolean"),
    pd.array([2**64 - 1, None, 2**64 - 1, 0], dtype="UInt64"),
    pd.array(np.arange(5000) % 700, dtype="Int16").copy(),          # a table that grows
    # Integers within 2**16 of each other are numbered by offset, wider ones by hash: both edges.
    pd.array([-40_000, 25_535, -40_000, None, 25_535, -1, -40_000], dtype="Int64"),
    pd.array([-40_000, 25_536, -40_000, None, 25_536, -1, -40_000], dtype="Int64"),
    pd.array([2**64 - 2, None, 2**64 - 1, 2**64 - 2, 2**64 - 1], dtype="UInt64"),
], ids=["int", "float", "bool", "uint64", "many", "span-2**16", "span-2**16+1", "uint64-top"])
def test_repeated_values_around_the_first_missing_cell(values):
    if len(values) == 5000:
        values[[900, 2000]] = pd.NA
    frame = pd.DataFrame({"x": values, "f": np.arange(len(values), dtype=float)})
    assert_like_values(frame)
    assert_like_values(frame.iloc[::-1].reset_index(drop=True))
