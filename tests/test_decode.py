"""Decoding codes back to strings: object arrays, DataFrames, fallbacks, saturation, positions, internal errors."""

import math

import numpy as np
import pandas as pd
import pytest

import tovrik
from tovrik import Encoder

NAN = float("nan")
TOP = 2**64 - 1
ABC = {0: "a", 1: "b", 2: "c"}


def code_of(value):
    """Reference: truncation toward zero with saturation; NaN has no code."""
    if math.isnan(value):
        return None
    return 0 if value < 1 else TOP if value >= 2.0**64 else int(value)


def restored(build_state, columns, reverse):
    enc = Encoder()
    enc.__setstate__(build_state(columns, {c: {} for c in reverse}, reverse))
    return enc


def assert_object_array(out, rows):
    assert type(out) is np.ndarray and out.dtype == object
    assert out.shape == (len(rows), len(rows[0]) if rows else out.shape[1])
    for r, row in enumerate(rows):
        for c, want in enumerate(row):
            got = out[r, c]
            assert type(got) is type(want), (r, c, got)
            assert got == want or (isinstance(want, float) and math.isnan(want) and math.isnan(got)), (r, c, got)


def name_road(codes, columns, reverse):
    """The same decoding written with pandas by column name (valid for unique names)."""
    df = pd.DataFrame(codes.to_numpy(dtype=np.float64), columns=list(codes.columns))
    for c in columns:
        name = df.columns[c]
        values = [reverse[c].get(code_of(v)) for v in df.iloc[:, c]]
        df[name] = df[name].astype("object")
        df.loc[:, name] = values
    return df


def test_object_array_round_trip(enc, objarr):
    data = objarr([["b", 1.5], ["a", 2.0], ["b", 3.0]])
    codes = enc.encode(data)
    np.testing.assert_array_equal(codes, [[1.0, 1.5], [0.0, 2.0], [1.0, 3.0]])
    out = enc.decode(codes)
    assert_object_array(out, [["b", 1.5], ["a", 2.0], ["b", 3.0]])
    assert out[0, 0] is out[2, 0] and out[0, 0] is not out[1, 0]
    assert out.flags.c_contiguous and out is not codes
    assert data[0, 0] == "b" and codes.dtype == np.float64 and codes[0, 0] == 1.0


@pytest.mark.parametrize("index", [None, ["x", "y", "z"], [7, 3, 5]], ids=["default", "text", "ints"])
def test_frame_round_trip(enc, index):
    df = pd.DataFrame({"k": ["b", "a", "b"], "v": [1.5, 2.0, 3.0]}, index=index)
    out = enc.decode(enc.encode(df))
    assert type(out) is pd.DataFrame and list(out.columns) == ["k", "v"]
    assert isinstance(out.index, pd.RangeIndex) and list(out.index) == [0, 1, 2]
    assert (out["k"].dtype, out["v"].dtype) == (np.dtype(object), np.dtype(np.float64))
    assert out["k"].tolist() == ["b", "a", "b"] and all(type(s) is str for s in out["k"])
    assert out["v"].tolist() == [1.5, 2.0, 3.0]


DUPLICATE_FRAMES = [
    ("two-text", ["k", "k"], [["b", "y"], ["a", "x"], ["b", "nan"]], [[1.0, 1.0], [0.0, 0.0], [1.0, NAN]]),
    ("text-then-number", ["x", "v", "x"], [["q", 1.0, 5.0], ["p", 2.0, 6.0]], [[1.0, 1.0, 5.0], [0.0, 2.0, 6.0]]),
    ("number-then-text", ["x", "x"], [[1.0, "q"], [2.0, "<NA>"]], [[1.0, 0.0], [2.0, NAN]]),
    ("all-one-name", ["k", "k", "k"], [["b", 3.0, "z"], ["a", 4.0, "b"]], [[1.0, 3.0, 1.0], [0.0, 4.0, 0.0]]),
]


@pytest.mark.parametrize("names, rows, codes", [c[1:] for c in DUPLICATE_FRAMES], ids=[c[0] for c in DUPLICATE_FRAMES])
def test_duplicate_names_decode_by_position(enc, names, rows, codes):
    df = pd.DataFrame(rows, columns=names)
    encoded = enc.encode(df)
    np.testing.assert_array_equal(encoded.to_numpy(), codes)
    out = enc.decode(encoded)
    assert list(out.columns) == names and isinstance(out.index, pd.RangeIndex)
    text = [c for c in range(len(names)) if any(isinstance(r[c], str) for r in rows)]
    for c in range(len(names)):
        col = out.iloc[:, c]
        if c in text:
            want = [None if r[c] in ("nan", "NaN", "<NA>") else r[c] for r in rows]
            assert col.dtype == object and col.tolist() == want
        else:
            assert col.dtype == np.float64 and col.tolist() == [r[c] for r in rows]


@pytest.mark.parametrize("seed", [0, 1, 2], ids=lambda s: f"seed={s}")
def test_unique_names_match_name_road(enc, seed):
    rng = np.random.default_rng(seed)
    words = ["a", "b", "cc", "é", "", "nan", "<NA>"]
    n = int(rng.integers(1, 30))
    df = pd.DataFrame({
        "t0": [words[i] for i in rng.integers(0, len(words), n)],
        "f": rng.normal(size=n),
        "t1": [words[i] for i in rng.integers(0, 3, n)],
    })
    encoded = enc.encode(df)
    reverse = {c: {i: w for i, w in enumerate(sorted({x for x in df.iloc[:, c]} - {"nan", "<NA>"}))} for c in (0, 2)}
    encoded.iloc[0, 0] = 7.0  # a code without a string
    want = name_road(encoded, [0, 2], reverse)
    got = enc.decode(encoded)
    pd.testing.assert_frame_equal(got, want)
    assert [got[n].dtype for n in ("t0", "f", "t1")] == [object, np.float64, object]
    assert got["t0"][0] is None and all(type(s) is str or s is None for s in got["t0"])


FALLBACK_CASES = [
    ("nan", NAN, None), ("code-2", 2.0, "c"), ("absent-code", 7.0, None), ("truncated", 1.7, "b"),
    ("below-one", 0.999, "a"), ("negative", -2.0, "a"), ("negative-inf", -math.inf, "a"), ("minus-zero", -0.0, "a"),
    ("huge", 1e30, None), ("inf", math.inf, None), ("just-below-three", 2.9999999, "c"), ("three", 3.0, None),
]


@pytest.mark.parametrize("value, want", [c[1:] for c in FALLBACK_CASES], ids=[c[0] for c in FALLBACK_CASES])
@pytest.mark.parametrize("as_frame", [False, True], ids=["array", "frame"])
def test_code_of_cell(build_state, value, want, as_frame):
    enc = restored(build_state, [0], {0: ABC})
    data = np.array([[value, value]])
    if as_frame:
        out = enc.decode(pd.DataFrame(data, columns=["t", "n"]))
        assert out["t"].dtype == object and out["n"].dtype == np.float64
        got, other = out["t"][0], float(out["n"][0])
    else:
        out = enc.decode(data)
        got, other = out[0, 0], out[0, 1]
        want = "NaN" if want is None else want
    assert got == want and type(got) is type(want)
    assert type(other) is float and (other == value or math.isnan(value) and math.isnan(other))
    assert math.copysign(1, other) == math.copysign(1, value)


@pytest.mark.parametrize(
    "value, want",
    [(1e30, "top"), (math.inf, "top"), (2.0**64, "top"), (2.0**63, "mid"), (18446744073709549568.0, None),
     (-1e30, "zero"), (NAN, "NaN")],
    ids=["1e30", "inf", "2**64", "2**63", "largest-below-2**64", "-1e30", "nan-is-not-zero"],
)
def test_saturating_codes(build_state, value, want):
    enc = restored(build_state, [0], {0: {0: "zero", 2**63: "mid", TOP: "top"}})
    assert enc.decode(np.array([[value]]))[0, 0] == ("NaN" if want is None else want)


@pytest.mark.parametrize("as_frame", [False, True], ids=["array", "frame"])
def test_all_missing_texts_column(enc, objarr, as_frame):
    data = objarr([["nan", "x"], ["<NA>", "y"], ["NaN", "x"]])
    if as_frame:
        out = enc.decode(enc.encode(pd.DataFrame(data, columns=["m", "t"])))
        assert out["m"].tolist() == [None] * 3 and out["t"].tolist() == ["x", "y", "x"]
        assert out["m"].dtype == object
    else:
        codes = enc.encode(data)
        np.testing.assert_array_equal(codes, [[NAN, 0], [NAN, 1], [NAN, 0]])
        codes[0, 0] = 0.0  # even a real code finds no string in an empty map
        assert_object_array(enc.decode(codes), [["NaN", "x"], ["NaN", "y"], ["NaN", "x"]])


@pytest.mark.parametrize(
    "learn",
    [lambda e: e.encode(np.arange(4).reshape(2, 2)), lambda e: e.__setstate__(b"\x01" + bytes(24) + bytes(4))],
    ids=["numeric-ints", "crafted"],
)
def test_empty_column_list(learn):
    enc = Encoder()
    learn(enc)
    data = np.array([[1.5, NAN], [-0.0, 4.0]])
    out = enc.decode(data)
    assert_object_array(out, [[1.5, NAN], [-0.0, 4.0]])
    assert math.copysign(1, out[1, 0]) == -1
    frame = enc.decode(pd.DataFrame(data, columns=["p", "q"]))
    pd.testing.assert_frame_equal(frame, pd.DataFrame(data, columns=["p", "q"]))


@pytest.mark.parametrize("columns", [[0], [2, 9], [9]], ids=["inside", "beyond", "only-beyond"])
def test_zero_row_array(build_state, columns):
    enc = restored(build_state, columns, {c: ABC for c in columns})
    for data in (np.zeros((0, 3)), np.empty((0, 3), dtype=object)):
        out = enc.decode(data)
        assert type(out) is np.ndarray and out.dtype == object and out.shape == (0, 3)


def test_zero_row_frame(build_state):
    enc = restored(build_state, [0, 2], {0: ABC, 2: ABC})
    out = enc.decode(pd.DataFrame(np.zeros((0, 3)), columns=["a", "b", "c"]))
    assert out.shape == (0, 3) and list(out.columns) == ["a", "b", "c"]
    assert list(out.dtypes) == [object, np.float64, object]


NARROW_CASES = [
    ("array", lambda: np.zeros((2, 2))),
    ("object-array", lambda: np.array([["a", 1]], dtype=object)),
    ("frame", lambda: pd.DataFrame(np.zeros((2, 2)), columns=["a", "b"])),
    ("zero-row-frame", lambda: pd.DataFrame(np.zeros((0, 2)), columns=["a", "b"])),
]


@pytest.mark.parametrize("make", [c[1] for c in NARROW_CASES], ids=[c[0] for c in NARROW_CASES])
def test_narrower_data_is_internal_error(build_state, make):
    enc = restored(build_state, [0, 2], {0: ABC, 2: ABC})
    before = enc.__getstate__()
    with pytest.raises(tovrik.PanicException) as ei:
        enc.decode(make())
    assert "index out of bounds" in str(ei.value)
    assert enc.__getstate__() == before
    assert enc.decode(np.array([[1.0, 5.0, 0.0]])).tolist() == [["b", 5.0, "a"]]


@pytest.mark.parametrize(
    "columns, reverse",
    [([0], {}), ([1, 0], {1: ABC}), ([0, 1], {0: ABC, 5: ABC})],
    ids=["no-maps", "second-listed-missing", "map-under-other-key"],
)
@pytest.mark.parametrize(
    "make", [lambda: np.zeros((2, 2)), lambda: np.zeros((0, 2)), lambda: pd.DataFrame(np.zeros((1, 2)), columns=["a", "b"])],
    ids=["array", "zero-row-array", "frame"],
)
def test_listed_column_without_reverse_map(build_state, columns, reverse, make):
    enc = restored(build_state, columns, reverse)
    with pytest.raises(tovrik.PanicException) as ei:
        try:
            enc.decode(make())
        except Exception:  # the internal error must not be an ordinary exception
            pytest.fail("internal error caught as Exception")
    assert str(ei.value) == "no entry found for key"


@pytest.mark.parametrize("as_frame", [False, True], ids=["array", "frame"])
def test_string_data_is_encoded_afresh(enc, column, as_frame):
    enc.encode(column(["c", "a", "b"]))
    given = column(["c", "b", "nan", "c"])
    out = enc.decode(pd.DataFrame(given, columns=["t"]) if as_frame else given)
    got = out["t"].tolist() if as_frame else out[:, 0].tolist()
    assert got == (["b", "a", None, "b"] if as_frame else ["b", "a", "NaN", "b"])


def test_reordered_frame_decodes_by_position(enc):
    df = pd.DataFrame({"k": ["a", "b", "a"], "n": [1.0, 2.0, 3.0], "t": ["z", "x", "y"]})
    encoded = enc.encode(df)
    out = enc.decode(encoded[["t", "n", "k"]])
    assert list(out.columns) == ["t", "n", "k"]
    assert out["t"].tolist() == [None, "a", "b"]  # codes 2, 0, 1 read through k's map (a, b)
    assert out["k"].tolist() == ["x", "y", "x"]  # codes 0, 1, 0 read through t's map (x, y, z)
    assert out["n"].tolist() == [1.0, 2.0, 3.0] and out["n"].dtype == np.float64


@pytest.mark.parametrize(
    "columns, data, want",
    [([2, 0], [[0.0, 9.0, 1.0]], [["a", 9.0, "b"]]), ([0, 0], [[2.0, 1.0]], [["c", 1.0]]),
     ([1], [[0.0, 1.0], [1.0, NAN]], [[0.0, "b"], [1.0, "NaN"]])],
    ids=["descending-list", "repeated-index", "second-column"],
)
def test_crafted_column_lists(build_state, columns, data, want):
    enc = restored(build_state, columns, {c: ABC for c in set(columns)})
    assert_object_array(enc.decode(np.array(data)), want)


@pytest.mark.parametrize(
    "make, fortran",
    [(lambda a: np.asfortranarray(a), True), (lambda a: np.ascontiguousarray(a), False),
     (lambda a: np.asfortranarray(a).astype(object), False), (lambda a: np.asfortranarray(a, dtype=np.float32), False),
     (lambda a: np.ascontiguousarray(np.repeat(a, 2, axis=1)[:, ::2]), False), (lambda a: np.repeat(a, 2, axis=1)[:, ::2], False)],
    ids=["float-fortran", "float-c", "object-fortran", "float32-fortran", "float-copy", "float-strided"],
)
def test_memory_order_of_result(build_state, make, fortran):
    enc = restored(build_state, [1], {1: ABC})
    out = enc.decode(make(np.array([[0.5, 2.0, 3.5], [1.5, 0.0, 4.5]])))
    assert out.flags.f_contiguous is fortran and out.flags.c_contiguous is not fortran
    assert_object_array(out, [[0.5, "c", 3.5], [1.5, "a", 4.5]])


@pytest.mark.parametrize("seed", [0, 1, 2, 3], ids=lambda s: f"seed={s}")
@pytest.mark.parametrize("as_frame", [False, True], ids=["array", "frame"])
def test_random_round_trip(enc, objarr, seed, as_frame):
    rng = np.random.default_rng(seed)
    words = ["a", "b", "é", "", "😀z", "None", "nan", "NaN", "<NA>", "a b", "ÿ"]
    nrows, ncols = int(rng.integers(1, 60)), int(rng.integers(1, 6))
    text = rng.random(ncols) < 0.6
    rows = [[words[rng.integers(len(words))] if text[c] else float(rng.normal()) for c in range(ncols)]
            for _ in range(nrows)]
    data = pd.DataFrame(objarr(rows), columns=[f"c{c}" for c in range(ncols)]) if as_frame else objarr(rows)
    codes = enc.encode(data)
    perm = rng.permutation(nrows)
    codes = codes.iloc[perm] if as_frame else codes[perm]
    out = enc.decode(codes)
    miss = None if as_frame else "NaN"
    want = [[miss if text[c] and rows[r][c] in ("nan", "NaN", "<NA>") else rows[r][c] for c in range(ncols)]
            for r in perm]
    got = out.to_numpy(dtype=object).tolist() if as_frame else out.tolist()
    assert got == want
    if not as_frame:
        for c in np.flatnonzero(text):  # one str object per code of a column
            first = {}
            for r in range(nrows):
                if not math.isnan(codes[r, c]):
                    assert first.setdefault(codes[r, c], out[r, c]) is out[r, c]


@pytest.mark.parametrize(
    "data",
    [lambda: np.array([[0.0, 1.0], [2.0, NAN]]), lambda: np.array([["z", 1], ["a", 2]], dtype=object),
     lambda: pd.DataFrame({"k": ["q", "a"], "v": [1.0, 2.0]})],
    ids=["codes", "strings", "frame"],
)
def test_decode_leaves_state_and_input_alone(enc, objarr, data):
    enc.encode(objarr([["a", 1.0], ["b", 2.0], ["c", 3.0]]))
    before = enc.__getstate__()
    given = data()
    snapshot = given.copy()
    enc.decode(given)
    enc.decode(given)
    assert enc.__getstate__() == before
    if isinstance(given, pd.DataFrame):
        pd.testing.assert_frame_equal(given, snapshot)
    else:
        np.testing.assert_array_equal(given, snapshot)


@pytest.mark.parametrize(
    "forget", [None, lambda e: e.__setstate__(b"\x00" * 5), lambda e: e.encode(np.ones((2, 2)))],
    ids=["fresh", "restored-empty", "after-float-encode"],
)
def test_without_mapping_decode_is_encode(objarr, forget):
    enc = Encoder()
    if forget is not None:
        enc.encode(objarr([["a"], ["b"]]))
        forget(enc)
    data = objarr([["b", 1.0], ["z", 2.0]])
    got = enc.decode(data)
    assert got.dtype == np.float64
    np.testing.assert_array_equal(got, Encoder().encode(data))
    frame = pd.DataFrame(data, columns=["k", "v"])
    pd.testing.assert_frame_equal(enc.decode(frame), Encoder().encode(frame))


SPECIAL_CELLS = [NAN, -1.0, -math.inf, 0.5, 1e30, math.inf, 2.0**64]


def expected_cells(values, reverse, miss):
    return [reverse.get(code_of(v), miss) for v in values]


def assert_shared_per_code(values, got):
    """Cells carrying the same code hold one str object."""
    first = {}
    for v, s in zip(values, got):
        if isinstance(s, str) and not math.isnan(v):
            assert first.setdefault(code_of(v), s) is s


# Decoding k rows takes one of three roads by k against the map's size: every
# entry's str up front, a table filled on first use, or a cache sized by the
# rows. The same cells give the same result on each.
@pytest.mark.parametrize("rows", [1, 2, 7, 40, 74, 75, 150, 299, 300, 301, 1200], ids=lambda r: f"rows={r}")
@pytest.mark.parametrize("as_frame", [False, True], ids=["array", "frame"])
def test_every_road_by_rows_against_map_size(objarr, rows, as_frame):
    texts = [f"w{i:03d}" for i in range(300)]
    rng = np.random.default_rng(rows)
    learnt = objarr([[t, float(i), texts[-1 - i]] for i, t in enumerate(rng.permutation(texts))])
    enc = Encoder()
    enc.encode(pd.DataFrame(learnt, columns=["a", "f", "b"]) if as_frame else learnt)
    pool = np.concatenate([np.arange(300) + rng.random(300) * 0.99, [300.0, 301.5, 7e5], SPECIAL_CELLS])
    data = np.column_stack([rng.choice(pool, rows), rng.normal(size=rows), rng.choice(pool, rows)])
    miss = None if as_frame else "NaN"
    reverse = dict(enumerate(texts))
    if as_frame:
        out = enc.decode(pd.DataFrame(data, columns=["a", "f", "b"]))
        got = [out["a"].tolist(), out["b"].tolist()]
        assert out["f"].tolist() == data[:, 1].tolist()
    else:
        out = enc.decode(data)
        got = [out[:, 0].tolist(), out[:, 2].tolist()]
        assert [type(x) for x in out[:, 1]] == [float] * rows and out[:, 1].tolist() == data[:, 1].tolist()
    for j, cells in zip((0, 2), got):
        assert cells == expected_cells(data[:, j], reverse, miss)
        assert_shared_per_code(data[:, j], cells)


CRAFTED_MAPS = [
    ("positional", [(0, "a"), (1, "b"), (2, "c")]),
    ("reversed", [(2, "c"), (1, "b"), (0, "a")]),
    ("positional-then-gap", [(0, "a"), (1, "b"), (7, "h")]),
    ("positional-then-shuffled", [(0, "a"), (2, "c"), (1, "b")]),
    ("repeated-key", [(0, "a"), (1, "b"), (0, "z")]),
    ("sparse-huge", [(TOP, "top"), (2**63, "mid"), (0, "zero")]),
]


@pytest.mark.parametrize("entries", [c[1] for c in CRAFTED_MAPS], ids=[c[0] for c in CRAFTED_MAPS])
@pytest.mark.parametrize("padding", [0, 60], ids=["small", "padded"])
@pytest.mark.parametrize("rows", [1, 3, 20, 90], ids=lambda r: f"rows={r}")
@pytest.mark.parametrize("as_frame", [False, True], ids=["array", "frame"])
def test_crafted_maps_on_every_road(build_state, entries, padding, rows, as_frame):
    entries = entries + [(1000 + 3 * i, f"p{i}") for i in range(padding)]
    reverse = dict(entries)  # a repeated code keeps its place and takes the later text
    enc = restored(build_state, [0], {0: entries})
    rng = np.random.default_rng(rows + padding)
    pool = np.array([float(k) for k in reverse if k < 2**53] + [3.0, 8.0, 1001.0, 2.0**63] + SPECIAL_CELLS)
    data = np.column_stack([rng.choice(pool, rows), np.zeros(rows)])
    if as_frame:
        got = enc.decode(pd.DataFrame(data, columns=["t", "n"]))["t"].tolist()
    else:
        got = enc.decode(data)[:, 0].tolist()
    assert got == expected_cells(data[:, 0], reverse, None if as_frame else "NaN")
    assert_shared_per_code(data[:, 0], got)


@pytest.mark.parametrize("as_frame", [False, True], ids=["array", "frame"])
def test_few_and_many_rows_of_one_mapping_agree(objarr, as_frame):
    rng = np.random.default_rng(5)
    texts = np.array([f"é{i}" if i % 3 else f"x{i}" for i in range(500)], dtype=object)
    learnt = objarr([[t] for t in texts])
    enc = Encoder()
    enc.encode(pd.DataFrame(learnt, columns=["t"]) if as_frame else learnt)
    codes = np.concatenate([rng.integers(0, 520, 2000).astype(float), SPECIAL_CELLS])[:, None]
    decode = (lambda a: enc.decode(pd.DataFrame(a, columns=["t"]))["t"].tolist()) if as_frame else \
        (lambda a: enc.decode(a)[:, 0].tolist())
    whole = decode(codes)
    assert [decode(codes[r:r + 1])[0] for r in range(0, len(codes), 97)] == whole[::97]
    assert decode(codes[:30]) == whole[:30] and decode(codes[:600]) == whole[:600]


# Texts of every length around the 8-byte words an ASCII text is checked in,
# with one non-ASCII character (2, 3 or 4 bytes in UTF-8) at each place, or
# none; an embedded NUL and a DEL (the highest ASCII byte) among them.
WORD_TEXTS = sorted({"", "a", "\x00", "\x7f", "ab\x00cd", "\x7f" * 9}
                    | {"x" * n for n in range(2, 20)}
                    | {("x" * n)[:i] + ch + ("x" * n)[i:] for n in range(0, 18) for i in range(n + 1)
                       for ch in ("é", "\u20ac", "\U0001f600", "\x80")})


@pytest.mark.parametrize("as_frame", [False, True], ids=["array", "frame"])
def test_decoded_strs_equal_the_learnt_texts_byte_for_byte(objarr, as_frame):
    learnt = objarr([[t] for t in WORD_TEXTS])
    enc = Encoder()
    codes = enc.encode(pd.DataFrame(learnt, columns=["t"]) if as_frame else learnt)
    out = enc.decode(codes)
    got = out["t"].tolist() if as_frame else out[:, 0].tolist()
    assert got == WORD_TEXTS
    # The same str in every respect the interpreter looks at: kind, width, hash.
    assert [(s.isascii(), len(s), hash(s)) for s in got] == [(t.isascii(), len(t), hash(t)) for t in WORD_TEXTS]
    assert {t: i for i, t in enumerate(WORD_TEXTS)} == {s: i for i, s in enumerate(got)}


# A row-major result with many columns is filled a band of rows at a time,
# across every column; the bands' tables must still count each cell's
# reference once, whichever way a column's strs are made (all up front, on
# first use by entry, or in a cache sized by the rows).
@pytest.mark.parametrize("order", ["C", "F"])
def test_banded_fill_of_a_wide_array(build_state, order):
    import sys

    rows, cols = 100, 600
    sizes = {0: 10, 1: 300, 2: 1000}  # entries: fewer than the rows, within 4x the rows, beyond
    listed = list(range(0, cols, 2))
    reverse = {c: {k: f"c{c}k{k}" for k in range(sizes[(c // 2) % 3])} for c in listed}
    enc = restored(build_state, listed, reverse)
    rng = np.random.default_rng(9)
    data = np.empty((rows, cols), order=order)
    for c in range(cols):
        data[:, c] = rng.integers(0, sizes[(c // 2) % 3] + 5, rows) if c in reverse else rng.normal(size=rows)
    data[3, 0] = NAN
    out = enc.decode(data)
    assert out.flags.c_contiguous is (order == "C")
    uses = {}
    for c in range(cols):
        column = out[:, c].tolist()
        if c in reverse:
            assert column == expected_cells(data[:, c], reverse[c], "NaN")
            assert_shared_per_code(data[:, c], column)
            for s in column:
                if s != "NaN":
                    uses[id(s)] = (s, uses.get(id(s), (s, 0))[1] + 1)
        else:
            assert [type(x) for x in column] == [float] * rows and column == data[:, c].tolist()
    # Each str is held by its cells alone (and by getrefcount's argument, and
    # by `uses` and the loop variable below).
    del column
    del s
    assert [sys.getrefcount(s) - n for s, n in uses.values()] == [3] * len(uses)
