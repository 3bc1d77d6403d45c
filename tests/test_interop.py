"""pandas and NumPy containers as users have them: string dtypes, categoricals,
indexes, memory maps; and the column-by-column reading of pandas frames gives
exactly what reading their `values` gives."""

import warnings

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
    object named DataFrame takes. `values` is read when the intake asks for it."""

    def __init__(self, df):
        self.columns, self.shape, self._df = df.columns, df.shape, df

    @property
    def values(self):
        return self._df.values


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


@pytest.mark.parametrize("text_dtype", [p for p in STRING_DTYPES if p.id != "object"])
def test_number_blocks_of_a_frame_without_objects(text_dtype):
    # No cell of such a frame runs Python code, so its numbers are copied off
    # the reading thread, in pieces: rows across several pieces, every dtype,
    # in runs of one dtype short and long, a lone column and a strided view.
    rng = np.random.default_rng(7)
    n = 3 * 65536 + 11
    cols = {}
    for d in NUMERIC:
        cols[d] = pd.Series(rng.integers(0, 2 if d == "bool" else 100, n)).astype(d)
        if d == "int64":  # a short run
            cols["big"] = pd.Series(rng.integers(-2**62, 2**62, n), dtype="int64")
    cols["text"] = pd.Series([f"t{i % 13}" for i in range(n)], dtype=text_dtype)
    cols.update({f"f{j}": rng.random(n) for j in range(10)})  # a long run, one 2-D array
    df = pd.DataFrame(cols)
    df["late"] = rng.random(n)  # a block of its own
    same_result(df)
    same_result(df.iloc[::3])


def block_layouts():
    """Frames whose columns pandas keeps in blocks laid out every way: one 2-D
    block a dtype, a block a column, columns taken out of order (a block's
    positions not ascending), duplicate names, rows sliced (strided blocks)."""
    rng = np.random.default_rng(5)
    n = 50
    base = pd.DataFrame({**{f"o{j}": pd.Series([f"w{(i * (j + 2)) % 11}" for i in range(n)], dtype=object)
                            for j in range(4)},
                         **{f"f{j}": rng.random(n) for j in range(3)},
                         "i": rng.integers(0, 5, n), "b": rng.random(n) > 0.5})
    one_by_one = pd.DataFrame(index=range(n))
    for name in base.columns:
        one_by_one[name] = base[name].copy()
    return {
        "consolidated": base,
        "block-a-column": one_by_one,
        "out-of-order": base[["f1", "o2", "b", "o0", "f0", "o3", "i", "o1", "f2"]].copy(),
        "duplicate-names": pd.concat([base, base[["o1", "f0", "o1"]]], axis=1),
        "rows-sliced": base.iloc[::3],
        "from-2d-array": pd.DataFrame(base[["o0", "o1", "o2"]].to_numpy()[::-1].copy(), dtype=object),
    }


@pytest.mark.parametrize("layout", list(block_layouts()))
def test_frames_read_from_their_blocks_equal_values_road(layout):
    same_result(block_layouts()[layout])


def test_wide_frames_of_short_columns_match_their_columns_alone():
    # Short columns are encoded many to a pool task, beside others that are
    # not (string columns, numbers): every column's codes and maps must be its
    # own, in its place, across several such tasks.
    rng = np.random.default_rng(11)
    rows, groups = 120, 240
    words = np.array([f"w{i}" for i in range(300)] + ["nan", "", "NaN"], dtype=object)
    data = {}
    for j in range(groups):
        data[f"o{j}"] = pd.Series(words[rng.integers(0, len(words) - 3 * (j % 2), rows)], dtype=object)
        if j % 3 == 0:
            data[f"s{j}"] = pd.Series(words[rng.integers(0, 50, rows)], dtype="string")
        data[f"f{j}"] = rng.random(rows)
    df = pd.DataFrame(data)
    same_result(df)
    enc = tovrik.Encoder()
    out = enc.encode(df)
    for name in df.columns[::7]:
        alone = tovrik.Encoder().encode(df[[name]])
        assert np.array_equal(out[name].to_numpy(), alone[name].to_numpy(), equal_nan=True), name
    back = enc.decode(out)
    for j in range(1, groups, 2):  # the columns without missing-value texts decode to their cells
        assert back[f"o{j}"].tolist() == df[f"o{j}"].tolist()


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
    [["b", "a"], ["c"], [], ["a", "é"]],   # several chunks of texts only (read_csv, Parquet): packed once
    [[], [None, "x"], ["y", None]],        # an empty chunk, then a leading missing cell
    [[], ["x", None], [None]],
    [["", None], [""]],                    # empty texts only, and a missing one
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
@pytest.mark.parametrize("dtype", ARROW_TEXT_DTYPES)
def test_missing_arrow_slots_that_hold_bytes_read_as_missing(dtype):
    # Arrow lets a null slot span bytes of the data buffer: they are no text.
    import pyarrow as pa
    data = pa.py_buffer(b"abXYZc")
    offsets = pa.py_buffer(np.array([0, 1, 2, 5, 6], dtype=np.int32).tobytes())
    validity = pa.py_buffer(np.packbits([1, 1, 0, 1], bitorder="little").tobytes())
    arr = pa.StringArray.from_buffers(4, offsets, data, validity, null_count=1)
    col = pd.Series(pd.arrays.ArrowStringArray(pa.chunked_array([arr, pa.array(["a"])])), dtype=dtype)
    df = pd.DataFrame({"s": col, "v": np.arange(5.0)})
    want_enc, got_enc = tovrik.Encoder(), tovrik.Encoder()
    want = want_enc.encode(ValuesRoad(df))
    got = got_enc.encode(df)
    assert np.array_equal(got.to_numpy().view(np.uint64), want.to_numpy().view(np.uint64))
    assert got_enc.__getstate__() == want_enc.__getstate__()
    assert b"XYZ" not in got_enc.__getstate__()


def outcome(obj):
    """What encode gives: the codes' bits and the state, or the internal error's
    cause (type and text)."""
    enc = tovrik.Encoder()
    try:
        out = enc.encode(obj)
    except tovrik.PanicException as exc:
        return ("panic", type(exc.__cause__), str(exc.__cause__))
    return (list(out.columns), out.to_numpy().view(np.uint64).tobytes(), enc.__getstate__())


@pytest.mark.skipif(not ARROW_TEXT_DTYPES, reason="needs pyarrow")
@pytest.mark.parametrize("texts", [
    [b"ok", b"\xff\xfe", b"ok"],
    [b"ok", b"\xc3", b"\xa9", b"ok"],     # valid bytes as a whole, one character split between two texts
], ids=["bad-bytes", "split-character"])
def test_arrow_text_that_is_not_utf8_goes_through_pandas(texts):
    import pyarrow as pa
    raw = pa.array(texts, type=pa.binary()).view(pa.string())
    col = pd.Series(pd.arrays.ArrowStringArray(pa.chunked_array([raw])), dtype=pd.StringDtype("pyarrow"))
    df = pd.DataFrame({"s": col, "v": np.arange(len(texts), dtype=np.float64)})
    calls = []
    real = type(col.array).astype

    def spy(self, *args, **kwargs):
        calls.append(args)
        return real(self, *args, **kwargs)

    type(col.array).astype, saved = spy, real
    try:
        # pandas refuses such bytes, or says what they become: either way the
        # column road gives what reading `values` gives, a refusal being the
        # internal error with pandas' exception as its cause.
        want = outcome(ValuesRoad(df))
        assert outcome(df) == want
    finally:
        type(col.array).astype = saved
    assert calls


class Meddler:
    """A cell whose str() changes the frame it sits in, the first time only."""

    def __init__(self, act):
        self.act, self.frame = act, None

    def __str__(self):
        frame, self.frame = self.frame, None
        if frame is not None:
            self.act(frame)
        return "meddler"


def drop_rows(rows):
    def act(df):
        with warnings.catch_warnings():  # pandas 3.1 deprecates inplace, the one way to do it in place
            warnings.simplefilter("ignore")
            df.drop(index=rows(df), inplace=True)
    return act


def set_cell(row, name, value):
    def act(df):
        df.iloc[row, df.columns.get_loc(name)] = value
    return act


MEDDLING = {
    "insert-column": lambda df: df.insert(0, "new", ["z"] * len(df)),
    "delete-later-column": lambda df: df.__delitem__("b"),
    "delete-this-column": lambda df: df.__delitem__("a"),
    "replace-later-column": lambda df: df.__setitem__("b", ["q"] * len(df)),
    "edit-later-text": set_cell(2, "b", "edited"),
    "edit-later-row": set_cell(4, "a", "edited"),
    "edit-later-number": set_cell(0, "n", 99.0),
    "edit-later-string": set_cell(1, "s", "edited"),
    "drop-rows": drop_rows(lambda df: [0, 3]),
    "drop-all-rows": drop_rows(lambda df: df.index),
}


def meddled_frame(act, string_dtype):
    """A mixed frame whose column a holds, at row 1, a cell that runs `act` on it."""
    cell = Meddler(act)
    n = 6
    df = pd.DataFrame({
        "a": pd.Series(["x", cell, "y", "x", "w", "y"], dtype=object),
        "n": np.arange(n, dtype=np.float64),
        "b": pd.Series([f"b{i % 3}" for i in range(n)], dtype=object),
        "m": pd.Series([1.5, "t", 2.5, None, 4.0, "t"], dtype=object),
        "s": pd.Series([f"s{i % 2}" for i in range(n)], dtype=string_dtype),
        "i": np.arange(n, dtype=np.int64) * 7,
    })
    cell.frame = df
    return df


@pytest.mark.parametrize("string_dtype", [d for d in STRING_DTYPES if d.id in ("string-python", "string-pyarrow")])
@pytest.mark.parametrize("name", list(MEDDLING))
def test_cell_code_that_changes_the_frame_changes_nothing_read(name, string_dtype):
    # Each road gets a frame of its own, built alike: the cell changes the one
    # it is read from.
    want = outcome(ValuesRoad(meddled_frame(MEDDLING[name], string_dtype)))
    assert want[0] != "panic"
    assert outcome(meddled_frame(MEDDLING[name], string_dtype)) == want


def vanish(name):
    """Replaces a pandas method by one that first deletes column `name` of the frame."""
    def wrap(real):
        def method(self, *args, **kwargs):
            frame = FRAME.pop()
            del frame[name]
            return real(self, *args, **kwargs)
        return method
    return wrap


def raising(exc):
    def wrap(real):
        def method(self, *args, **kwargs):
            raise exc
        return method
    return wrap


FRAME = []
STRING_ARRAY = type(pd.array(["x"], dtype=pd.StringDtype("python")))
FAILING_READS = [
    # (id, method patched, replacement, exception encode raises, its cause)
    ("column-vanishes", "astype", vanish("t"), tovrik.PanicException, IndexError),
    ("astype-raises", "astype", raising(ValueError("no")), tovrik.PanicException, ValueError),
    ("astype-interrupted", "astype", raising(KeyboardInterrupt()), KeyboardInterrupt, None),
    ("astype-exits", "astype", raising(SystemExit(3)), SystemExit, None),
]


@pytest.mark.parametrize("method, replace, raised, cause", [c[1:] for c in FAILING_READS],
                         ids=[c[0] for c in FAILING_READS])
def test_failing_frame_reads_are_internal_errors(monkeypatch, method, replace, raised, cause):
    df = pd.DataFrame({
        "s": pd.Series(["a", "b"], dtype=pd.StringDtype("python")),
        "v": [1.0, 2.0],
        "t": pd.Series(["c", None], dtype=pd.StringDtype("python")),
    })
    FRAME[:] = [df]
    monkeypatch.setattr(STRING_ARRAY, method, replace(getattr(STRING_ARRAY, method)))
    enc = tovrik.Encoder()
    before = enc.__getstate__()
    with pytest.raises(raised) as info:
        enc.encode(df)
    if cause is not None:
        assert type(info.value.__cause__) is cause
        assert str(info.value).startswith("failed to read a DataFrame column: " + cause.__name__)
    assert enc.__getstate__() == before


@pytest.mark.skipif(not ARROW_TEXT_DTYPES, reason="needs pyarrow")
def test_arrow_array_that_fails_is_read_through_pandas(monkeypatch):
    df = pd.DataFrame({"s": pd.Series(["b", None, "a"], dtype=pd.StringDtype("pyarrow")), "v": [1.0, 2.0, 3.0]})
    want = outcome(ValuesRoad(df))
    monkeypatch.setattr(type(df["s"].array), "__arrow_array__", raising(ValueError("no"))(None))
    assert outcome(df) == want
