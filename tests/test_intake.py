"""Input classification by type name, the diagnostic line, column names and hostile DataFrame look-alikes."""

import warnings

import numpy as np
import pandas as pd
import pytest

import tovrik

SUPPORTED = "numpy.ndarray, pandas.DataFrame"


with warnings.catch_warnings():
    warnings.simplefilter("ignore", PendingDeprecationWarning)
    MATRIX = np.matrix([[1.0, 2.0]])


class MyArray(np.ndarray):
    pass


class MyFrame(pd.DataFrame):
    pass


UNSUPPORTED = [
    ([[1.0]], "list"),
    (((1.0,),), "tuple"),
    ({"a": [1]}, "dict"),
    (None, "NoneType"),
    (5, "int"),
    ("text", "str"),
    (np.float64(1.0), "float64"),
    (pd.Series([1.0, 2.0]), "Series"),
    (pd.Index(["a"]), "Index"),
    (MATRIX, "matrix"),
    (np.ma.masked_array(np.ones((2, 2))), "MaskedArray"),
    (np.ones((2, 2)).view(MyArray), "MyArray"),
    (MyFrame({"a": [1.0]}), "MyFrame"),
    (type("dataframe", (), {})(), "dataframe"),
    (type("DataFrame ", (), {})(), "DataFrame "),
    (type("NDArray", (), {})(), "NDArray"),
    (type("Wörter", (), {})(), "Wörter"),
]


@pytest.mark.parametrize("method", ["encode", "decode"])
@pytest.mark.parametrize("obj, name", UNSUPPORTED, ids=[n for _, n in UNSUPPORTED])
def test_unsupported_type_line_and_error(enc, capfd, obj, name, method, has_mapping):
    capfd.readouterr()
    with pytest.raises(TypeError) as ei:
        getattr(enc, method)(obj)
    assert str(ei.value) == f"Unsupported type: '{name}'. Supported types are: {SUPPORTED}"
    out, err = capfd.readouterr()
    assert out == name + "\n"
    assert err == ""
    assert has_mapping(enc) is False


def test_unsupported_line_bypasses_sys_stdout(enc, capsys):
    with pytest.raises(TypeError):
        enc.encode([1, 2])
    assert capsys.readouterr().out == ""


def test_unsupported_lines_reach_process_stdout(run_python):
    code = (
        "import tovrik\n"
        "e = tovrik.Encoder()\n"
        "for obj in ([1], None, type('Wörter', (), {})()):\n"
        "    try:\n"
        "        e.encode(obj)\n"
        "    except TypeError:\n"
        "        pass\n"
    )
    assert run_python(code).stdout == "list\nNoneType\nWörter\n".encode("utf-8")


def test_failed_intake_keeps_earlier_mapping(enc, objarr, has_mapping):
    enc.encode(objarr([["a"]]))
    with pytest.raises(TypeError):
        enc.encode([1])
    assert has_mapping(enc) is True


def frame_like(name="DataFrame", **attrs):
    """An instance of a fresh class; callables in attrs become properties."""
    ns = {k: (property(v) if callable(v) and not isinstance(v, type) else v) for k, v in attrs.items()}
    return type(name, (), ns)()


def plain_frame(columns, rows):
    values = np.empty((len(rows), len(rows[0]) if rows else len(columns)), dtype=object)
    for r, row in enumerate(rows):
        for c, cell in enumerate(row):
            values[r, c] = cell
    return frame_like(columns=columns, shape=values.shape, values=values)


class StrLabel(str):
    pass


class IntLike:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class Cols:
    """A columns object that is a sequence of texts but whose second reading gives integers."""

    def __init__(self, items, ints, fail_len=False, fail_iter=False, length=None):
        self.items, self.ints, self.fail_len, self.fail_iter = items, ints, fail_len, fail_iter
        self.length = length

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if self.fail_len:
            raise ValueError("no length")
        return len(self.items) if self.length is None else self.length

    def __iter__(self):
        if self.fail_iter:
            raise RuntimeError("no iteration")
        return iter(self.items)

    def tolist(self):
        return self.ints


class LongList(list):
    """A list whose len() claims far more items than it holds."""

    def __len__(self):
        return 2**40


class TextCols(str):
    def tolist(self):
        return [3, 4]


NAME_CASES = [
    ("pandas-default", pd.RangeIndex(3), ["0", "1", "2"]),
    ("pandas-range-offset", pd.RangeIndex(5, 8), ["5", "6", "7"]),
    ("pandas-negative", pd.Index([-1, -20, 0]), ["-1", "-20", "0"]),
    ("pandas-bool", pd.Index([True, False, True]), ["1", "0", "1"]),
    ("pandas-int-extremes", pd.Index([2**63 - 1, -(2**63), 10]), ["9223372036854775807", "-9223372036854775808", "10"]),
    ("pandas-duplicates", pd.Index(["a", "a", "b"]), ["a", "a", "b"]),
    ("pandas-text", pd.Index(["é", "", "x y"]), ["é", "", "x y"]),
    ("pandas-str-dtype", pd.Index(["b", "日本", "a"], dtype="str"), ["b", "日本", "a"]),
    ("pandas-str-subclass", pd.Index(["a", StrLabel("b")], dtype=object), ["a", "b"]),
    ("pandas-many", pd.Index([f"c{i}" for i in range(3000)], dtype="str"), [f"c{i}" for i in range(3000)]),
    ("tuple-of-str", ("a", StrLabel("b"), "c"), ["a", "b", "c"]),
    ("len-fails", Cols(["p", "q", "r"], [], fail_len=True), ["p", "q", "r"]),
    ("iter-fails", Cols(["p", "q", "r"], [7, -8, True], fail_iter=True), ["7", "-8", "1"]),
    ("not-all-str", Cols(["p", 1, "r"], [IntLike(9), 0, IntLike(-3)]), ["9", "0", "-3"]),
    ("str-is-skipped", TextCols("abc"), ["3", "4"]),
    ("len-lies", Cols(["p", "q"], [], length=2**40), ["p", "q"]),
    ("len-of-tolist-lies", Cols(["p", 1], LongList([5, 6])), ["5", "6"]),
]


@pytest.mark.parametrize("columns, names", [c[1:] for c in NAME_CASES], ids=[c[0] for c in NAME_CASES])
def test_column_names(enc, columns, names):
    width = len(names)
    obj = frame_like(columns=columns, shape=(1, width), values=np.ones((1, width), dtype=object))
    res = enc.encode(obj)
    assert type(res) is pd.DataFrame
    assert list(res.columns) == names
    assert all(type(n) is str for n in res.columns)


def test_columns_attribute_read_once(enc):
    seen = []

    def columns(self):
        seen.append(1)
        return Cols(["p", 1], [5, 6])

    enc.encode(frame_like(columns=columns, shape=(1, 2), values=np.ones((1, 2))))
    assert len(seen) == 1


def raise_it(exc):
    def getter(self):
        raise exc

    return getter


NAME_FAILURES = [
    ("mixed-str-int", pd.Index(["a", 1], dtype=object), TypeError, "'str' object cannot be interpreted as an integer"),
    ("float-labels", pd.Index([1.5, 2.5]), TypeError, "'float' object cannot be interpreted as an integer"),
    ("whole-floats", pd.Index([1.0, 2.0]), TypeError, "'float' object cannot be interpreted as an integer"),
    ("tuples", pd.MultiIndex.from_tuples([("a", 1), ("b", 2)]), TypeError, "'tuple' object cannot be interpreted as an integer"),
    ("surrogate-label-list", ["a", "\udc80"], AttributeError, "'list' object has no attribute 'tolist'"),
    ("surrogate-label-index", pd.Index(["a", "\udc80"], dtype=object), TypeError, "'str' object cannot be interpreted as an integer"),
    ("missing-label-index", pd.Index(["a", None], dtype=object), TypeError, "'str' object cannot be interpreted as an integer"),
    ("nan-label-str-index", pd.Index(["a", np.nan], dtype="str"), TypeError, "'str' object cannot be interpreted as an integer"),
    ("plain-str", "ab", AttributeError, "'str' object has no attribute 'tolist'"),
    ("set", {"a", "b"}, AttributeError, "'set' object has no attribute 'tolist'"),
    ("tolist-gives-str", Cols([1, 2], "ab"), TypeError, "Can't extract `str` to `Vec`"),
    ("tolist-gives-set", Cols([1, 2], {1, 2}), TypeError, None),
    ("too-big", pd.Index([2**63, 1], dtype=object), OverflowError, None),
    ("too-small", pd.Index([-(2**63) - 1], dtype=object), OverflowError, None),
]


@pytest.mark.parametrize(
    "columns, exc_type, message", [c[1:] for c in NAME_FAILURES], ids=[c[0] for c in NAME_FAILURES]
)
def test_column_name_failures(enc, columns, exc_type, message, has_mapping):
    obj = frame_like(columns=columns, shape=(1, 2), values=np.ones((1, 2), dtype=object))
    with pytest.raises(exc_type) as ei:
        enc.encode(obj)
    assert type(ei.value) is exc_type
    if message is not None:
        assert str(ei.value) == message
    assert has_mapping(enc) is False


def test_real_frames_with_bad_labels(enc):
    with pytest.raises(TypeError) as ei:
        enc.encode(pd.DataFrame([[1.0, 2.0]], columns=["a", 1]))
    assert str(ei.value) == "'str' object cannot be interpreted as an integer"
    with pytest.raises(TypeError) as ei:
        enc.encode(pd.DataFrame([[1.0, 2.0]], columns=[0.5, 1.5]))
    assert str(ei.value) == "'float' object cannot be interpreted as an integer"


def test_python_failures_reach_caller_unchanged(enc):
    boom = LookupError("boom")
    with pytest.raises(LookupError) as ei:
        enc.encode(frame_like(columns=raise_it(boom)))
    assert ei.value is boom
    with pytest.raises(AttributeError) as ei:
        enc.encode(frame_like(shape=(1, 1)))
    assert str(ei.value) == "'DataFrame' object has no attribute 'columns'"
    cols = Cols([1], [1])

    def failing_tolist():
        raise boom

    cols.tolist = failing_tolist
    with pytest.raises(LookupError) as ei:
        enc.encode(frame_like(columns=cols, shape=(1, 1), values=np.ones((1, 1))))
    assert ei.value is boom


class Lookup:
    def __init__(self, exc):
        self.exc = exc

    def __getitem__(self, key):
        raise self.exc


INTERNAL_FAILURES = [
    ("no-shape", {}),
    ("shape-raises", {"shape": raise_it(ValueError("x"))}),
    ("shape-1d", {"shape": (2,)}),
    ("shape-3d", {"shape": (2, 2, 1)}),
    ("shape-list", {"shape": [2, 2]}),
    ("shape-float", {"shape": (2.0, 2)}),
    ("shape-negative", {"shape": (-1, 2)}),
    ("shape-too-big-int", {"shape": (2**64, 2)}),
    ("shape-none", {"shape": None}),
    ("shape-text", {"shape": "ab"}),
    ("no-values", {"shape": (1, 2)}),
    ("no-values-zero-rows", {"shape": (0, 2)}),
    ("values-raise", {"shape": (1, 2), "values": raise_it(KeyError("v"))}),
    ("lookup-raises", {"shape": (1, 2), "values": Lookup(IndexError("cell"))}),
    ("lookup-too-short", {"shape": (3, 2), "values": np.ones((2, 2), dtype=object)}),
]


@pytest.mark.parametrize("attrs", [c[1] for c in INTERNAL_FAILURES], ids=[c[0] for c in INTERNAL_FAILURES])
def test_internal_failures_of_general_path(enc, objarr, attrs, has_mapping):
    enc.encode(objarr([["a", "b"]]))
    obj = frame_like(columns=["a", "b"], **attrs)
    with pytest.raises(tovrik.PanicException) as ei:
        enc.encode(obj)
    assert not isinstance(ei.value, Exception)
    assert has_mapping(enc) is True
    # the Encoder is still usable and was left unchanged by the failure
    assert enc.encode(objarr([["x", "y"]])).tolist() == [[0.0, 0.0]]


@pytest.mark.parametrize("shape", [(2**33, 2**33), (2**62, 2), (2**50, 1), (1, 2**61)], ids=str)
def test_unallocatable_shape(enc, shape, has_mapping):
    obj = frame_like(columns=["a"], shape=shape, values=np.ones((1, 1)))
    with pytest.raises(MemoryError):
        enc.encode(obj)
    assert has_mapping(enc) is False


def test_shape_may_be_tuple_subclass(enc):
    shape_type = type("Shape", (tuple,), {})
    obj = frame_like(columns=["k"], shape=shape_type((2, 1)), values=np.array([["b"], ["a"]], dtype=object))
    assert enc.encode(obj).to_numpy().tolist() == [[1.0], [0.0]]


@pytest.mark.parametrize("name", ["DataFrame", "ndarray", "memmap"])
def test_classification_uses_bare_type_name_only(enc, name):
    keys = []

    class Cells:
        def __getitem__(self, key):
            keys.append(key)
            r, c = key
            return [["b", 1.5], ["a", 2.5]][r][c]

    cells = Cells()
    ns = {"shape": (2, 2), "__getitem__": lambda self, key: cells[key], "values": cells}
    if name == "DataFrame":
        ns["columns"] = ["k", "v"]
    else:
        ns["values"] = property(raise_it(AssertionError("values must not be read for arrays")))
    res = enc.encode(type(name, (), ns)())
    expected = [[1.0, 1.5], [0.0, 2.5]]
    if name == "DataFrame":
        assert type(res) is pd.DataFrame and list(res.columns) == ["k", "v"]
        assert res.to_numpy().tolist() == expected
    else:
        assert type(res) is np.ndarray and res.dtype == np.float64 and res.tolist() == expected
    assert keys == [(0, 0), (1, 0), (0, 1), (1, 1)]
    assert all(type(k) is tuple and all(type(i) is int for i in k) for k in keys)


def test_values_and_shape_read_once(enc):
    reads = {"shape": 0, "values": 0}

    def counted(name, value):
        def getter(self):
            reads[name] += 1
            return value

        return getter

    values = np.array([["b", 1.0], ["a", 2.0]], dtype=object)
    obj = frame_like(columns=["k", "v"], shape=counted("shape", (2, 2)), values=counted("values", values))
    assert enc.encode(obj).to_numpy().tolist() == [[1.0, 1.0], [0.0, 2.0]]
    assert reads == {"shape": 1, "values": 1}
    reads.update(shape=0, values=0)
    empty = frame_like(columns=["k"], shape=counted("shape", (0, 1)), values=counted("values", None))
    assert enc.encode(empty).shape == (0, 1)
    assert reads == {"shape": 1, "values": 1}


def test_pandas_frame_subclass_named_dataframe(enc):
    class DataFrame(pd.DataFrame):
        pass

    res = enc.encode(DataFrame({"k": ["b", "a"], "v": [1.0, 2.0]}))
    assert type(res) is pd.DataFrame
    assert res.to_numpy().tolist() == [[1.0, 1.0], [0.0, 2.0]]


def test_pandas_missing_fails_with_import_error(run_python):
    code = (
        "import sys\n"
        "sys.modules['pandas'] = None\n"
        "import numpy as np, tovrik\n"
        "F = type('DataFrame', (), {'columns': ['a'], 'shape': (1, 1), 'values': np.ones((1, 1))})\n"
        "e = tovrik.Encoder()\n"
        "try:\n"
        "    e.encode(F())\n"
        "except ModuleNotFoundError as exc:\n"
        "    print(exc)\n"
    )
    out = run_python(code).stdout.decode()
    assert out.splitlines()[0] == "import of pandas halted; None in sys.modules"
