"""Applying a learnt mapping to new data: tovrik_ml.transform gives exactly the
codes encode gave for the same texts, whatever road the cells take."""

import pickle

import numpy as np
import pandas as pd
import pytest

import tovrik
import tovrik_ml
from tovrik_ml import NotFittedError, learnt_mapping, transform

WORDS = ["", "a", "B", "b", "é", "ß", "日本", "🙂x", "nan", "NaN", "<NA>", "None", "10", "9", "long " * 20]


def has_pyarrow():
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        return False
    return True


def random_column(rng, kind, rows):
    """One column of a kind encode accepts, with missing values and unusual texts."""
    words = np.array(WORDS + [f"w{i}" for i in range(rng.integers(1, 40))], dtype=object)
    texts = words[rng.integers(0, len(words), rows)]
    if kind == "object":
        col = texts.copy()
        col[rng.random(rows) < 0.1] = np.nan
        col[rng.random(rows) < 0.05] = None
        return pd.Series(col, dtype=object)
    if kind == "numbers-then-text":  # numbers before the first text: float text rule
        col = rng.choice([1.0, 2.5, -0.0, 1e21, np.nan, 3], rows).astype(object)
        col[rows // 2:] = texts[rows // 2:]
        col[rng.random(rows) < 0.2] = 2.5
        return pd.Series(col, dtype=object)
    if kind == "str":
        col = pd.Series(texts, dtype="str")
        col[rng.random(rows) < 0.1] = None
        return col
    if kind == "string[python]":
        col = pd.Series(texts, dtype="string[python]")
        col[rng.random(rows) < 0.1] = pd.NA
        return col
    if kind == "string[pyarrow]":
        return pd.Series(texts, dtype="string[pyarrow]")
    if kind == "category":
        return pd.Series(pd.Categorical(texts))
    if kind == "float64":
        col = rng.random(rows)
        col[rng.random(rows) < 0.1] = np.nan
        return pd.Series(col)
    if kind == "int64":
        return pd.Series(rng.integers(-5, 5, rows))
    if kind == "bool":
        return pd.Series(rng.random(rows) < 0.5)
    if kind == "float32":
        return pd.Series(rng.random(rows).astype(np.float32))
    if kind == "datetime":
        return pd.Series(pd.to_datetime(rng.integers(0, 5, rows), unit="D"))
    raise AssertionError(kind)


KINDS = ["object", "numbers-then-text", "str", "string[python]", "category", "float64", "int64", "bool",
         "float32", "datetime"] + (["string[pyarrow]"] if has_pyarrow() else [])


def random_frame(seed, rows=None):
    rng = np.random.default_rng(seed)
    rows = int(rng.integers(0, 60)) if rows is None else rows
    kinds = rng.choice(KINDS, int(rng.integers(1, 7)))
    return pd.DataFrame({f"c{i}": random_column(rng, k, rows) for i, k in enumerate(kinds)})


def random_array(seed):
    rng = np.random.default_rng(seed)
    rows = int(rng.integers(1, 60))
    cols = [random_column(rng, k, rows).astype(object).to_numpy()
            for k in rng.choice(["object", "numbers-then-text", "float64", "int64", "bool"], int(rng.integers(1, 6)))]
    return np.stack(cols, axis=1)


def assert_same(got, want):
    assert type(got) is type(want)
    if isinstance(want, pd.DataFrame):
        assert list(got.columns) == list(want.columns)
        assert got.index.equals(pd.RangeIndex(len(want)))
        assert (got.dtypes == np.float64).all()
        got, want = got.to_numpy(), want.to_numpy()
    assert got.dtype == np.float64 and got.shape == want.shape
    assert np.array_equal(got, want, equal_nan=True)


@pytest.mark.parametrize("seed", range(40))
def test_apply_to_the_training_frame_equals_encode(seed):
    df = random_frame(seed)
    before = df.copy()
    enc = tovrik.Encoder()
    want = enc.encode(df)
    state = enc.__getstate__()
    assert_same(transform(enc, df), want)
    assert_same(transform(enc, df, unknown="error"), want)  # nothing is unknown in the training data
    assert enc.__getstate__() == state
    pd.testing.assert_frame_equal(df, before)


@pytest.mark.parametrize("seed", range(40))
def test_apply_to_the_training_array_equals_encode(seed):
    arr = random_array(seed)
    enc = tovrik.Encoder()
    want = enc.encode(arr)
    assert_same(transform(enc, arr, unknown="error"), want)


@pytest.mark.parametrize("seed", range(30))
def test_apply_to_a_subset_of_rows_equals_those_rows_of_encode(seed):
    # All-str text columns derive the same texts whatever the rows around them.
    rng = np.random.default_rng(seed)
    df = random_frame(seed, rows=int(rng.integers(1, 80)))
    for c in df.columns:
        if df[c].dtype == object:
            df[c] = df[c].map(lambda v: v if isinstance(v, str) else "nan")
    enc = tovrik.Encoder()
    full = enc.encode(df)
    rows = np.sort(rng.choice(len(df), int(rng.integers(1, len(df) + 1)), replace=False))
    got = transform(enc, df.iloc[rows].reset_index(drop=True), unknown="error")
    assert np.array_equal(got.to_numpy(), full.to_numpy()[rows], equal_nan=True)
    shuffled = rng.permutation(len(df))
    got = transform(enc, df.iloc[shuffled])
    assert np.array_equal(got.to_numpy(), full.to_numpy()[shuffled], equal_nan=True)


def fitted(frame):
    enc = tovrik.Encoder()
    enc.encode(frame)
    return enc


TRAIN = pd.DataFrame({"city": ["Oslo", "Bergen", "Oslo", "Tromsø"], "temp": [3.5, 7.0, 2.5, 1.0]})


@pytest.mark.parametrize("unknown", ["nan", "error"])
def test_known_texts_take_their_learnt_codes(unknown):
    new = pd.DataFrame({"city": ["Tromsø", "Oslo"], "temp": [1.0, 2.0]})
    out = transform(fitted(TRAIN), new, unknown=unknown)
    assert out["city"].tolist() == [2.0, 1.0]  # Bergen 0, Oslo 1, Tromsø 2, as learnt
    assert out["temp"].tolist() == [1.0, 2.0]


def test_unknown_texts_give_nan():
    new = pd.DataFrame({"city": ["Bodø", "Oslo", "Bodø"], "temp": [1.0, 2.0, 3.0]})
    out = transform(fitted(TRAIN), new)
    assert np.isnan(out["city"][0]) and out["city"][1] == 1.0 and np.isnan(out["city"][2])


@pytest.mark.parametrize("build, message", [
    (lambda: pd.DataFrame({"city": ["Oslo", "Bodø", "Alta"], "temp": [1.0, 2.0, 3.0]}),
     "column 0 ('city') holds a text the learnt mapping does not know: 'Bodø' (row 1)"),
    (lambda: pd.DataFrame({"city": ["Oslo", "x" * 100], "temp": [1.0, 2.0]}),
     "column 0 ('city') holds a text the learnt mapping does not know: '" + "x" * 60 + "'... (row 1)"),
    (lambda: pd.DataFrame({"city": ["Oslo", "a'\n"], "temp": [1.0, 2.0]}),
     "column 0 ('city') holds a text the learnt mapping does not know: \"a'\\n\" (row 1)"),
])
def test_unknown_text_with_error_names_column_row_and_text(build, message):
    with pytest.raises(ValueError) as info:
        transform(fitted(TRAIN), build(), unknown="error")
    assert str(info.value) == message


def test_unknown_text_in_an_array_names_the_column_by_position():
    enc = tovrik.Encoder()
    enc.encode(np.array([[1.0, "a"], [2.0, "b"]], dtype=object))
    with pytest.raises(ValueError) as info:
        transform(enc, np.array([[1.0, "b"], [2.0, "c"]], dtype=object), unknown="error")
    assert str(info.value) == "column 1 holds a text the learnt mapping does not know: 'c' (row 1)"


@pytest.mark.parametrize("rows", [10, 100_000])
def test_the_first_unknown_text_is_the_lowest_row(rows):
    # Large columns are looked up in parallel blocks: the lowest row must win.
    col = np.array(["a"] * rows, dtype=object)
    col[rows - 1] = "late"
    col[rows // 2] = "middle"
    col[3] = "early"
    with pytest.raises(ValueError, match=r"'early' \(row 3\)"):
        transform(fitted(pd.DataFrame({"k": ["a"]})), pd.DataFrame({"k": col}), unknown="error")


@pytest.mark.parametrize("missing", ["nan", "NaN", "<NA>", np.nan, None, pd.NA])
def test_missing_values_are_never_unknown(missing):
    enc = fitted(pd.DataFrame({"k": ["a", "b"]}))  # learnt without any missing value
    col = pd.Series(["b", missing], dtype=object)
    out = transform(enc, pd.DataFrame({"k": col}), unknown="error") if missing is not None else None
    if missing is None:  # None is the text "None", an ordinary (here unknown) text
        with pytest.raises(ValueError, match="'None'"):
            transform(enc, pd.DataFrame({"k": col}), unknown="error")
    else:
        assert out["k"][0] == 1.0 and np.isnan(out["k"][1])


def test_a_listed_column_of_numbers_is_coded_by_the_float_text_rule():
    # Learnt texts "1", "2.5" (numbers before the first text) and "x".
    train = np.array([[1.0], [2.5], ["x"], [3.0]], dtype=object)
    enc = tovrik.Encoder()
    assert enc.encode(train)[:, 0].tolist() == [0.0, 1.0, 3.0, 2.0]  # "1", "2.5", "3.0", "x"
    new = np.array([[2.5], [1.0], [np.nan], [3.0]])
    out = transform(enc, new)  # all numbers: each by the float text rule ("3", not "3.0")
    assert out[:2, 0].tolist() == [1.0, 0.0] and np.isnan(out[2:, 0]).all()
    with pytest.raises(ValueError) as info:
        transform(enc, new, unknown="error")
    assert str(info.value) == "column 0 holds a text the learnt mapping does not know: '3' (row 3)"
    fortran = np.asfortranarray(np.array([[2.5, 7.0], [1.0, 8.0]]))
    assert transform(enc, fortran).tolist() == [[1.0, 7.0], [0.0, 8.0]]


@pytest.mark.parametrize("new, message", [
    (pd.DataFrame({"city": ["Oslo", "Oslo"], "temp": [1.0, "warm"]}),
     "column 1 ('temp') held no texts when the mapping was learnt, but row 1 holds 'warm', "
     "which does not convert to float"),
    (pd.DataFrame({"city": ["Oslo"], "temp": pd.Series(["hot"], dtype="str")}),
     "column 1 ('temp') held no texts when the mapping was learnt, but row 0 holds 'hot', "
     "which does not convert to float"),
    (np.array([["Oslo", 1.0], ["Oslo", None]], dtype=object),
     "column 1 held no texts when the mapping was learnt, but row 1 holds 'None', "
     "which does not convert to float"),
])
def test_a_text_in_a_column_not_listed_is_an_error(new, message):
    for unknown in ("nan", "error"):
        with pytest.raises(ValueError) as info:
            transform(fitted(TRAIN), new, unknown=unknown)
        assert str(info.value) == message


def test_unlisted_columns_pass_through_as_float64():
    new = pd.DataFrame({"city": ["Oslo"], "temp": pd.array([4], dtype="int64")})
    assert transform(fitted(TRAIN), new)["temp"].tolist() == [4.0]


@pytest.mark.parametrize("new", [
    pd.DataFrame({"city": ["Oslo"]}),
    np.array([["Oslo"]], dtype=object),
    np.empty((0, 1), dtype=object),
    np.zeros((3, 1)),
])
def test_a_listed_column_beyond_the_width_is_an_error(new):
    enc = fitted(pd.DataFrame({"a": [1.0], "b": ["x"]}))
    with pytest.raises(ValueError) as info:
        transform(enc, new)
    assert str(info.value) == "the learnt mapping lists column 1, but the input has only 1 columns"


@pytest.mark.parametrize("make", [
    lambda: tovrik.Encoder(),
    lambda: fitted(np.zeros((2, 2))),  # the float64 fast path learns no mapping
])
def test_an_encoder_without_a_mapping_is_not_fitted(make):
    with pytest.raises(NotFittedError, match="not fitted"):
        transform(make(), TRAIN)
    assert issubclass(NotFittedError, ValueError) and issubclass(NotFittedError, AttributeError)


@pytest.mark.parametrize("bad", ["NaN", "ignore", None, 0])
def test_unknown_must_be_nan_or_error(bad):
    with pytest.raises(ValueError) as info:
        transform(fitted(TRAIN), TRAIN, unknown=bad)
    assert str(info.value) == f"unknown must be 'nan' or 'error', not {bad!r}"


@pytest.mark.parametrize("obj", [[[1.0]], pd.Series([1.0]), "x"])
def test_unsupported_inputs_fail_as_encode_does(obj, capfd):
    with pytest.raises(TypeError) as info:
        transform(fitted(TRAIN), obj)
    name = type(obj).__name__
    assert str(info.value) == f"Unsupported type: '{name}'. Supported types are: numpy.ndarray, pandas.DataFrame"
    assert capfd.readouterr().out == name + "\n"


def test_a_prepared_mapping_serves_many_calls_and_outlives_its_encoder():
    enc = fitted(TRAIN)
    mapping = learnt_mapping(enc)
    assert mapping.encoded_columns == (0,)
    del enc
    assert_same(transform(mapping, TRAIN), fitted(TRAIN).encode(TRAIN))
    with pytest.raises(TypeError):
        pickle.dumps(mapping)
    with pytest.raises(TypeError):
        learnt_mapping(TRAIN)
    with pytest.raises(TypeError):
        tovrik_ml.LearntMapping()


def test_results_are_new_objects_and_the_input_is_kept():
    arr = np.array([["Oslo", 1.0]], dtype=object)
    out = transform(fitted(TRAIN), arr)
    assert out is not arr and out.flags.owndata and arr.tolist() == [["Oslo", 1.0]]


@pytest.mark.parametrize("dtype", ["str", "string[pyarrow]", "string[python]"])
@pytest.mark.parametrize("with_missing", [False, True])
def test_string_columns_of_every_storage(dtype, with_missing):
    if "pyarrow" in dtype and not has_pyarrow():
        pytest.skip("pyarrow not installed")
    texts = ["b", "é", "", "a", "b"] * 3000  # several lookup blocks
    if with_missing:
        texts[7] = None
    df = pd.DataFrame({"k": pd.Series(texts, dtype=dtype), "v": 1.0})
    enc = tovrik.Encoder()
    want = enc.encode(df)
    assert_same(transform(enc, df, unknown="error"), want)
    object_frame = pd.DataFrame({"k": pd.Series(df["k"].astype(object)), "v": 1.0})
    assert_same(transform(enc, object_frame), want)


ALPHABET = "abcdefghijklmnopqrstuvwxyz0123456789ABCDEFGHIJ"


def near_texts():
    """Texts of 0 to 40 bytes, each with neighbours that differ from it in one
    byte (first, middle or last), or by a byte more or less."""
    known, near = [], []
    for n in range(41):
        base = ALPHABET[:n]
        known.append(base)
        known.append(base.replace("a", "\x00", 1))  # an embedded NUL
        for at in {0, n // 2, n - 1} if n else ():
            near.append(base[:at] + "!" + base[at + 1:])
        near.append(base + "!")
        near.append("é" + base[1:] if n else "é")
    return known, sorted(set(near) - set(known))


@pytest.mark.parametrize("dtype", ["object", "str"])
@pytest.mark.parametrize("rows", [200, 50_000])
def test_texts_are_told_apart_by_every_byte_and_their_length(dtype, rows):
    known, near = near_texts()
    rng = np.random.default_rng(rows)
    train = pd.DataFrame({"k": pd.Series(known, dtype=dtype)})
    enc = tovrik.Encoder()
    want = dict(zip(known, enc.encode(train)["k"]))
    cells = np.array(known + near, dtype=object)[rng.integers(0, len(known) + len(near), rows)]
    got = transform(enc, pd.DataFrame({"k": pd.Series(cells, dtype=dtype)}))["k"].to_numpy()
    assert np.array_equal(got, [want.get(t, np.nan) for t in cells], equal_nan=True)
    got_array = transform(enc, cells.reshape(-1, 1))[:, 0]
    assert np.array_equal(got_array, got, equal_nan=True)


# Crafted states, written by hand in the state layout.

def u64(v):
    return int(v).to_bytes(8, "little")


def text(s):
    b = s.encode()
    return u64(len(b)) + b


def state(columns, label_maps, reverse_maps=()):
    out = b"\x01" + u64(len(columns)) + b"".join(u64(c) for c in columns)
    out += u64(len(label_maps))
    for c, entries in label_maps:
        out += u64(c) + u64(len(entries))
        for t, code in entries:
            out += text(t) + (b"\x00" if code is None else b"\x01" + u64(code))
    out += u64(len(reverse_maps))
    for c, entries in reverse_maps:
        out += u64(c) + u64(len(entries)) + b"".join(u64(k) + text(t) for k, t in entries)
    return out + b"\x00\x00\x00\x00"


def restored(raw):
    enc = tovrik.Encoder()
    enc.__setstate__(raw)
    return enc


ONE_COLUMN = pd.DataFrame({"k": ["a", "b", "c", "nan"]})


@pytest.mark.parametrize("raw, want", [
    # codes that are not dense, and beyond 2**53
    (state([0], [(0, [("a", 10), ("b", 2**60), ("c", 0)])]), [10.0, float(2**60), 0.0, None]),
    # a repeated key: the later entry wins, as the reader files it
    (state([0], [(0, [("a", 1), ("a", 5), ("b", None)])]), [5.0, None, None, None]),
    # a reverse map that is no inverse of the label map is not read
    (state([0], [(0, [("b", 3)])], [(0, [(0, "zzz")])]), [None, 3.0, None, None]),
    # a missing-value text the map gives a code keeps it
    (state([0], [(0, [("nan", 7)])]), [None, None, None, 7.0]),
    # a column listed twice, and a label map of a column not listed
    (state([0, 0], [(0, [("c", 1)]), (5, [("a", 9)])]), [None, None, 1.0, None]),
])
def test_crafted_states_behave_as_their_label_maps_say(raw, want):
    out = transform(restored(raw), ONE_COLUMN)["k"].tolist()
    assert [None if np.isnan(v) else v for v in out] == want


def test_a_crafted_state_listing_a_column_without_label_map_is_refused():
    with pytest.raises(ValueError) as info:
        transform(restored(state([0], [])), ONE_COLUMN)
    assert str(info.value) == "the learnt mapping lists column 0 but holds no label map for it"


def test_a_crafted_state_with_a_huge_column_index_is_a_width_error():
    with pytest.raises(ValueError) as info:
        transform(restored(state([2**64 - 1], [(2**64 - 1, [])])), ONE_COLUMN)
    assert str(info.value) == ("the learnt mapping lists column 18446744073709551615, "
                               "but the input has only 1 columns")


def test_an_empty_mapping_passes_numbers_through():
    enc = restored(state([], []))
    assert transform(enc, np.array([[1, 2]])).tolist() == [[1.0, 2.0]]
    with pytest.raises(ValueError, match="row 0 holds 'x'"):
        transform(enc, np.array([["x"]], dtype=object))


def test_cell_failures_are_internal_errors_as_in_encode():
    class NoText:
        def __str__(self):
            raise RuntimeError("no text")

    with pytest.raises(tovrik.PanicException, match="cant convert to str") as info:
        transform(fitted(TRAIN), np.array([[NoText(), 1.0]], dtype=object))
    assert isinstance(info.value.__cause__, RuntimeError)


def test_threads_share_one_prepared_mapping():
    import threading

    rng = np.random.default_rng(7)
    frame = pd.DataFrame({"k": [f"t{i}" for i in rng.integers(0, 5000, 50_000)], "v": rng.random(50_000)})
    enc = fitted(frame)
    mapping = learnt_mapping(enc)
    want = enc.encode(frame).to_numpy()
    barrier = threading.Barrier(4)
    results = []

    def work():
        barrier.wait()
        for _ in range(5):
            results.append(np.array_equal(transform(mapping, frame).to_numpy(), want, equal_nan=True))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [True] * 20
