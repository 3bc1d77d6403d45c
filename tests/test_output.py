"""Results built from the encoded data: DataFrame shape, labels, index and dtypes; decode without a mapping."""

import gc

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



def handler_name(*args):
    try:
        from numpy._core.multiarray import get_handler_name
    except ImportError:  # NumPy 1.x
        from numpy.core.multiarray import get_handler_name
    return get_handler_name(*args)


def big_column(seed, rows=300_000):
    """Rows x 2 (a text and a number column): a result of 4.8 MB."""
    rng = np.random.default_rng(seed)
    return np.array([rng.choice(["a", "b", "c"], rows), rng.random(rows)], dtype=object).T


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_large_results_reuse_memory_without_sharing_it(kind):
    """The memory of a large result freed is handed to the next of its size; a result still held keeps
    its own. The context's allocator is left as it was."""
    shape = (lambda a: a) if kind == "array" else (lambda a: pd.DataFrame(a, columns=["k", "v"]))
    data = [big_column(seed) for seed in range(4)]
    expect = [Encoder().encode(d) for d in data]
    matrix = (lambda r: r) if kind == "array" else (lambda r: r.to_numpy())
    before = handler_name()
    held = [Encoder().encode(shape(data[0]))]
    for i in (1, 2, 3, 1):
        Encoder().encode(shape(data[(i + 1) % 4]))  # freed at once: its memory is kept
        held.append(Encoder().encode(shape(data[i])))
    assert handler_name() == before
    pointers = {matrix(r).__array_interface__["data"][0] for r in held}
    assert len(pointers) == len(held)
    for r, i in zip(held, (0, 1, 2, 3, 1)):
        np.testing.assert_array_equal(matrix(r), expect[i])
    if kind == "array":
        assert handler_name(held[0]) == "tovrik_kept_results" and held[0].flags.owndata
        assert handler_name(Encoder().encode(big_column(0, rows=100))) == before


@pytest.mark.parametrize("kind", ["array", "frame"])
def test_decoded_object_columns_reuse_memory_without_sharing_it(kind):
    """A decode's object columns are made like large results: a freed one's memory goes to the next
    decode, cleared, while one still held keeps its own."""
    data = big_column(7)
    enc = Encoder()
    codes = enc.encode(data if kind == "array" else pd.DataFrame(data, columns=["k", "v"]))
    texts = data[:, 0].tolist()
    column = (lambda out: out[:, 0]) if kind == "array" else (lambda out: out["k"].to_numpy())

    def pointer(out):
        return column(out).__array_interface__["data"][0]

    held = enc.decode(codes)
    first = enc.decode(codes)
    freed = pointer(first)
    del first
    gc.collect()
    again = enc.decode(codes)
    # An array's decode also reads its codes into a matrix of the same size,
    # which may take that memory first.
    assert pointer(again) != pointer(held)
    for out in (held, again):
        assert column(out).tolist() == texts
    if kind == "frame" and int(pd.__version__.split(".")[0]) < 3:
        return  # pandas 2 copies a column set into a frame: the frame holds no array of ours
    if kind == "frame":
        assert pointer(again) == freed
    owner = column(again)
    while isinstance(owner.base, np.ndarray):  # pandas hands out a view of the column's array
        owner = owner.base
    assert owner.flags.owndata and handler_name(owner) == "tovrik_kept_results"


def test_kept_memory_result_can_be_resized():
    r = Encoder().encode(big_column(5))
    first = r[:10].copy()
    r.resize((700_000, 2), refcheck=False)  # a new size through NumPy's own allocator
    np.testing.assert_array_equal(r[:10], first)
    del r
    again = Encoder().encode(big_column(5))
    np.testing.assert_array_equal(again, Encoder().encode(big_column(5)))
