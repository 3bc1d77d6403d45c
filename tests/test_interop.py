"""pandas and NumPy containers as users have them: string dtypes, categoricals,
indexes, memory maps; and the column-by-column reading of pandas frames gives
exactly what reading their `values` gives."""

import numpy as np
import pandas as pd
import pytest

import tovrik


def has_pyarrow():
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return False
    return True


STRING_DTYPES = [pytest.param("object", id="object"),
                 pytest.param(pd.StringDtype("python"), id="string-python")]
if has_pyarrow():
    STRING_DTYPES.append(pytest.param(pd.StringDtype("pyarrow"), id="string-pyarrow"))
if hasattr(pd, "StringDtype") and "na_value" in pd.StringDtype.__init__.__code__.co_varnames:
    STRING_DTYPES.append(pytest.param(pd.StringDtype("python", na_value=np.nan), id="str-python"))
    if has_pyarrow():
        STRING_DTYPES.append(pytest.param(pd.StringDtype("pyarrow", na_value=np.nan), id="str-pyarrow"))


class ValuesRoad:
    """A frame seen only through columns, shape and values: the road every
    object named DataFrame takes."""

    def __init__(self, df):
        self.columns, self.shape, self.values = df.columns, df.shape, df.values


ValuesRoad.__name__ = "DataFrame"


def same_result(df):
    a, b = tovrik.Encoder(), tovrik.Encoder()
    ra, rb = a.encode(df), b.encode(ValuesRoad(df))
    assert list(ra.columns) == list(rb.columns)
    assert np.array_equal(ra.to_numpy().view(np.uint64), rb.to_numpy().view(np.uint64))
    assert a.__getstate__() == b.__getstate__()
    return ra


NUMERIC = ["float64", "float32", "int8", "int16", "int32", "int64", "uint8", "uint16",
           "uint32", "uint64", "bool"]


@pytest.mark.parametrize("text_dtype", STRING_DTYPES)
@pytest.mark.parametrize("numeric", NUMERIC)
def test_column_road_equals_values_road(numeric, text_dtype):
    rng = np.random.default_rng(NUMERIC.index(numeric))
    n = 40
    df = pd.DataFrame({
        "num": pd.Series(rng.integers(0, 2 if numeric == "bool" else 100, n)).astype(numeric),
        "text": pd.Series([f"t{i % 5}" if i % 7 else None for i in range(n)], dtype=text_dtype),
        "big": pd.Series(rng.integers(-2**62, 2**62, n), dtype="int64"),
        "float": pd.Series(rng.random(n)).where(rng.random(n) > 0.2),
        "all-missing": pd.Series([None] * n, dtype=text_dtype),
        "mixed": pd.Series([1.5 if i % 3 else "x" for i in range(n)], dtype=object),
        "nulls": pd.Series([None] * n, dtype=object),
    })
    same_result(df)


@pytest.mark.parametrize("text_dtype", STRING_DTYPES)
def test_string_dtypes_encode_and_decode(text_dtype):
    df = pd.DataFrame({"s": pd.Series(["b", None, "a", "b"], dtype=text_dtype), "v": [1.0, 2.0, 3.0, 4.0]})
    enc = tovrik.Encoder()
    codes = same_result(df)
    got = enc.encode(df)["s"].tolist()
    if text_dtype == "object":  # None is the text "None", which sorts first
        assert got == [2.0, 0.0, 1.0, 2.0]
    else:                       # a string dtype's missing value has no code
        assert got[0::2] == [1.0, 0.0] and got[3] == 1.0 and np.isnan(got[1])
    back = enc.decode(codes)
    assert back["s"].dtype == object and back["s"].tolist()[0::2] == ["b", "a"]


def test_categorical_columns_encode_their_values():
    cat = pd.Categorical(["z", "a", None, "z"], categories=["z", "a", "unused"])
    df = pd.DataFrame({"c": cat, "v": [1, 2, 3, 4]})
    codes = same_result(df)
    # Codes follow the byte order of the values present, not the category order.
    assert codes["c"].tolist()[0:2] == [1.0, 0.0] and np.isnan(codes["c"][2])


def test_indexes_are_replaced_by_a_default_range():
    rows = pd.MultiIndex.from_tuples([("a", 1), ("b", 2)], names=["k", "n"])
    df = pd.DataFrame({"s": ["x", "y"]}, index=rows)
    out = tovrik.Encoder().encode(df)
    assert isinstance(out.index, pd.RangeIndex) and out["s"].tolist() == [0.0, 1.0]


def test_multiindex_columns_fail_with_the_integer_conversion_error():
    df = pd.DataFrame([[1.0, 2.0]], columns=pd.MultiIndex.from_tuples([("a", "b"), ("c", "d")]))
    with pytest.raises(TypeError, match="'tuple' object cannot be interpreted as an integer"):
        tovrik.Encoder().encode(df)


@pytest.mark.parametrize("dtype", ["float64", "object", "int32"])
def test_memory_maps(tmp_path, dtype):
    src = np.arange(12.0).reshape(4, 3).astype(dtype)
    if dtype == "object":
        src[:, 1] = ["a", "b", "a", "c"]
        path = tmp_path / "m.npy"
        np.save(path, src, allow_pickle=True)
        loaded = np.load(path, allow_pickle=True)  # object arrays cannot be memory-mapped
    else:
        mm = np.memmap(tmp_path / "m.bin", dtype=dtype, mode="w+", shape=src.shape)
        mm[:] = src
        mm.flush()
        path = tmp_path / "m.npy"
        np.save(path, src)
        loaded = np.load(path, mmap_mode="r")
        assert type(mm).__name__ == "memmap" and type(loaded).__name__ == "memmap"
        assert np.array_equal(tovrik.Encoder().encode(mm), src.astype(float))
    out = tovrik.Encoder().encode(loaded)
    expected = tovrik.Encoder().encode(np.array(src))
    assert np.array_equal(out, expected)


ARROW_TEXT_DTYPES = ([pytest.param(d, id=i) for d, i in [(pd.StringDtype("pyarrow"), "string-pyarrow")]]
                     if has_pyarrow() else [])
if ARROW_TEXT_DTYPES and "na_value" in pd.StringDtype.__init__.__code__.co_varnames:
    ARROW_TEXT_DTYPES.append(pytest.param(pd.StringDtype("pyarrow", na_value=np.nan), id="str-pyarrow"))


def arrow_column(chunks, dtype, arrow_type):
    """A pandas string Series over an Arrow array of several chunks, some of
    them slices (non-zero offsets) of larger arrays."""
    import pyarrow as pa
    parts = []
    for i, values in enumerate(chunks):
        arr = pa.array(["pad"] * (i + 1) + values + ["pad"], type=arrow_type)
        parts.append(arr.slice(i + 1, len(values)))
    return pd.Series(pd.arrays.ArrowStringArray(pa.chunked_array(parts, type=arrow_type)), dtype=dtype)


@pytest.mark.parametrize("dtype", ARROW_TEXT_DTYPES)
@pytest.mark.parametrize("arrow_type", ["string", "large_string"])
@pytest.mark.parametrize("chunks", [
    [["b", None, "a"], [], ["é", "", "b", None], ["日本", "a" * 300]],
    [[None, None], ["x", "y"]],            # leading missing cells: numbers first, then text
    [[None], [None, None]],                 # no text at all
    [["NaN", "nan", "<NA>", "None"], ["1.5", "-0"]],
    [["é", "b", "", "a", "b", "NaN"]],     # one chunk without nulls: read from the buffers as they are
    [["", ""]],
])
def test_arrow_text_columns_read_in_place_equal_values_road(dtype, arrow_type, chunks, monkeypatch):
    import pyarrow as pa
    try:
        col = arrow_column(chunks, dtype, getattr(pa, arrow_type)())
    except (TypeError, ValueError) as exc:  # this pandas keeps one Arrow type only
        pytest.skip(str(exc))
    df = pd.DataFrame({"s": col, "v": np.arange(len(col), dtype=np.float64)})
    expected = tovrik.Encoder()
    want = expected.encode(ValuesRoad(df))
    # The in-place road never asks pandas for Python strings.
    monkeypatch.setattr(type(col.array), "astype", lambda *a, **k: pytest.fail("astype(object) called"))
    got_encoder = tovrik.Encoder()
    got = got_encoder.encode(df)
    assert np.array_equal(got.to_numpy().view(np.uint64), want.to_numpy().view(np.uint64))
    assert got_encoder.__getstate__() == expected.__getstate__()


@pytest.mark.skipif(not ARROW_TEXT_DTYPES, reason="needs pyarrow")
def test_arrow_text_that_is_not_utf8_goes_through_pandas():
    import pyarrow as pa
    raw = pa.array([b"ok", b"\xff\xfe", b"ok"], type=pa.binary()).view(pa.string())
    col = pd.Series(pd.arrays.ArrowStringArray(pa.chunked_array([raw])), dtype=pd.StringDtype("pyarrow"))
    df = pd.DataFrame({"s": col, "v": [1.0, 2.0, 3.0]})
    calls = []
    real = type(col.array).astype

    def spy(self, *args, **kwargs):
        calls.append(args)
        return real(self, *args, **kwargs)

    type(col.array).astype, saved = spy, real
    try:
        try:
            expected = tovrik.Encoder().encode(ValuesRoad(df))
        except Exception as exc:  # pandas refuses such bytes: the column road must fail the same way
            with pytest.raises(type(exc)):
                tovrik.Encoder().encode(df)
        else:
            got = tovrik.Encoder().encode(df)
            assert np.array_equal(got.to_numpy(), expected.to_numpy(), equal_nan=True)
    finally:
        type(col.array).astype = saved
    assert calls
