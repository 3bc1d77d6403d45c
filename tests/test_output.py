"""Results built from the encoded data: DataFrame shape, labels, index and dtypes; decode without a mapping."""

import numpy as np
import pandas as pd
import pytest

from tovrik import Encoder


def assert_float_frame(res, columns, values):
    assert type(res) is pd.DataFrame
    assert list(res.columns) == columns and all(type(c) is str for c in res.columns)
    assert isinstance(res.index, pd.RangeIndex) and list(res.index) == list(range(len(values)))
    assert all(dt == np.float64 for dt in res.dtypes)
    np.testing.assert_array_equal(res.to_numpy(), np.array(values, dtype=np.float64).reshape(res.shape))


def test_mixed_frame(enc):
    df = pd.DataFrame({"k": ["b", "a", "b"], "v": [1.5, 2.0, 3.0]}, index=["x", "y", "z"])
    assert_float_frame(enc.encode(df), ["k", "v"], [[1, 1.5], [0, 2.0], [1, 3.0]])


@pytest.mark.parametrize(
    "index", [pd.Index(["r1", "r2", "r3"]), pd.Index([10, 20, 30]), pd.RangeIndex(5, 8), pd.Index([2, 1, 0])],
    ids=["text", "ints", "offset-range", "reversed"],
)
def test_result_has_default_index(enc, index):
    df = pd.DataFrame({"a": [1.0, 2.0, 3.0], "b": ["p", "q", "p"]}, index=index)
    assert_float_frame(enc.encode(df), ["a", "b"], [[1, 0], [2, 1], [3, 0]])


@pytest.mark.parametrize(
    "columns, names",
    [
        (None, ["0", "1", "2"]),
        ([-3, 7, 0], ["-3", "7", "0"]),
        ([True, False, True], ["1", "0", "1"]),
        (["a", "a", "b"], ["a", "a", "b"]),
        (["é", "", "1"], ["é", "", "1"]),
    ],
    ids=["default", "negative", "bool", "duplicates", "texts"],
)
def test_column_labels_are_texts(enc, columns, names):
    df = pd.DataFrame([[1.0, "x", 3], [4.0, "w", 6]], columns=columns)
    assert_float_frame(enc.encode(df), names, [[1, 1, 3], [4, 0, 6]])


def test_numeric_frames_keep_values(enc):
    df = pd.DataFrame({"i": np.array([1, -2], dtype=np.int64), "f": [np.nan, np.inf], "b": [True, False],
                       "g": np.array([0.5, -0.25], dtype=np.float32)})
    assert_float_frame(enc.encode(df), ["i", "f", "b", "g"], [[1, np.nan, 1, 0.5], [-2, np.inf, 0, -0.25]])


@pytest.mark.parametrize(
    "df, columns",
    [
        (pd.DataFrame({"a": pd.Series([], dtype=object), "b": pd.Series([], dtype=float)}), ["a", "b"]),
        (pd.DataFrame({"a": pd.Series([], dtype="str")}), ["a"]),
        (pd.DataFrame(index=range(3)), []),
        (pd.DataFrame(), []),
    ],
    ids=["zero-rows", "zero-rows-text", "zero-columns", "empty"],
)
def test_empty_frames(enc, df, columns, has_mapping):
    res = enc.encode(df)
    assert res.shape == df.shape
    assert list(res.columns) == columns
    assert list(res.index) == list(range(df.shape[0]))
    assert all(dt == np.float64 for dt in res.dtypes)
    assert has_mapping(enc) is True


@pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0)])
@pytest.mark.parametrize("dtype", [object, np.int64, np.float64])
def test_empty_arrays(enc, shape, dtype):
    res = enc.encode(np.empty(shape, dtype=dtype))
    assert type(res) is np.ndarray and res.dtype == np.float64 and res.shape == shape


@pytest.mark.parametrize("df", [
    pd.DataFrame({"k": ["b", "a"], "v": [1.0, 2.0]}),
    pd.DataFrame({"u": [3.0, 4.0], "v": [1.0, 2.0]}),
    pd.DataFrame(np.arange(6.0).reshape(3, 2), columns=["u", "v"]),
], ids=["mixed", "float-columns", "float-block"])
def test_result_is_new_and_input_untouched(enc, df):
    snapshot = df.copy()
    res = enc.encode(df)
    again = enc.encode(df)
    assert res is not df
    for c in range(df.shape[1]):
        assert not np.shares_memory(res.iloc[:, c].to_numpy(), df.iloc[:, c].to_numpy())
        assert not np.shares_memory(res.iloc[:, c].to_numpy(), again.iloc[:, c].to_numpy())
    res.iloc[0, 0] = 42.0
    res.iloc[0, 1] = 42.0
    pd.testing.assert_frame_equal(df, snapshot)
    assert again.iloc[0, 0] != 42.0


def test_constructor_failure_still_stores_mapping(enc, has_mapping):
    frame = type("DataFrame", (), {"columns": ["only"], "shape": (1, 2),
                                   "values": np.array([["a", "b"]], dtype=object)})()
    with pytest.raises(ValueError):
        enc.encode(frame)
    assert has_mapping(enc) is True


FRESH_DECODE_INPUTS = [
    ("frame", lambda: pd.DataFrame({"k": ["b", "a", None], "v": [1.5, np.nan, 3.0]}, index=[5, 6, 7])),
    ("object-array", lambda: np.array([["b", 1.0], ["a", 2.0]], dtype=object)),
    ("float-array", lambda: np.asfortranarray(np.arange(6.0).reshape(2, 3))),
    ("int-array", lambda: np.arange(6).reshape(3, 2)),
]


@pytest.mark.parametrize("make", [c[1] for c in FRESH_DECODE_INPUTS], ids=[c[0] for c in FRESH_DECODE_INPUTS])
def test_decode_without_mapping_matches_encode(make, has_mapping):
    decoder = Encoder()
    got = decoder.decode(make())
    want = Encoder().encode(make())
    assert type(got) is type(want)
    if isinstance(want, pd.DataFrame):
        pd.testing.assert_frame_equal(got, want)
        assert all(dt == np.float64 for dt in got.dtypes)
    else:
        assert got.dtype == np.float64
        assert (got.flags.c_contiguous, got.flags.f_contiguous) == (want.flags.c_contiguous, want.flags.f_contiguous)
        np.testing.assert_array_equal(got, want)
    assert has_mapping(decoder) is False

