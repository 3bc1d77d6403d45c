"""Reading cells one by one: numeric versus text columns, texts of numbers, missing values, hostile cells."""

from decimal import Decimal
from fractions import Fraction

import numpy as np
import pandas as pd
import pytest

import tovrik

NAN = float("nan")
INF = float("inf")


class Indexable:
    def __index__(self):
        return 7


class Floaty:
    def __float__(self):
        return 2.5


NUMERIC_CELLS = [
    ("float", 1.25, 1.25),
    ("int", 3, 3.0),
    ("bool", True, 1.0),
    ("false", False, 0.0),
    ("nan", NAN, NAN),
    ("neg-inf", -INF, -INF),
    ("np-int", np.int64(-4), -4.0),
    ("np-uint-max", np.uint64(2**64 - 1), float(2**64 - 1)),
    ("np-float32", np.float32(0.1), float(np.float32(0.1))),
    ("np-bool", np.bool_(True), 1.0),
    ("huge-int-fits", 2**1023, float(2**1023)),
    ("decimal", Decimal("1.5"), 1.5),
    ("fraction", Fraction(1, 4), 0.25),
    ("index-only", Indexable(), 7.0),
    ("float-method", Floaty(), 2.5),
]


@pytest.mark.parametrize("cell, value", [c[1:] for c in NUMERIC_CELLS], ids=[c[0] for c in NUMERIC_CELLS])
def test_numeric_cells(enc, column, cell, value, has_mapping):
    res = enc.encode(column([1.0, cell, -1.0]))
    np.testing.assert_array_equal(res[:, 0], [1.0, value, -1.0])
    assert has_mapping(enc) is True


def test_numeric_nan_bits_are_kept(enc, column):
    payload = np.array([0x7FF8000000000123, 0xFFF8000000000000], dtype=np.uint64).view(np.float64)
    res = enc.encode(column([float(payload[0]), float(payload[1])]))
    assert np.ascontiguousarray(res).view(np.uint64)[:, 0].tolist() == [0x7FF8000000000123, 0xFFF8000000000000]


# A number met before its column's first non-number is written out positionally; the same
# value as the str below must therefore share its code (both cells code 0).
NUMBER_TEXTS = [
    (1.0, "1"),
    (2.5, "2.5"),
    (0.1, "0.1"),
    (-1.5, "-1.5"),
    (100.0, "100"),
    (1e21, "1" + "0" * 21),
    (1e16, "10000000000000000"),
    (1e-7, "0.0000001"),
    (1.25e-5, "0.0000125"),
    (-0.0, "-0"),
    (0.0, "0"),
    (True, "1"),
    (False, "0"),
    (7, "7"),
    (2**60 + 1, "1152921504606847000"),
    (2.0**70, "1180591620717411300000"),
    (np.float32(0.1), "0.10000000149011612"),
    (5e-324, "0." + "0" * 323 + "5"),
    (1.7976931348623157e308, "17976931348623157" + "0" * 292),
    (INF, "inf"),
    (-INF, "-inf"),
]


@pytest.mark.parametrize("value, text", NUMBER_TEXTS, ids=[repr(v)[:30] for v, _ in NUMBER_TEXTS])
def test_number_before_first_text(enc, column, value, text):
    np.testing.assert_array_equal(enc.encode(column([value, text]))[:, 0], [0.0, 0.0])
    python_text = str(value)
    if python_text != text:
        # the same number after the column became text is written by str()
        res = enc.encode(column([text, value, python_text]))[:, 0]
        assert res[1] == res[2] != res[0]


@pytest.mark.parametrize(
    "cells, codes",
    [
        ([1.0, "a", 1.0], [0, 2, 1]),  # texts 1, a, 1.0
        ([NAN, "a", NAN], [NAN, 0, NAN]),  # NaN before -> NaN, after -> nan
        ([-NAN, "x"], [NAN, 0]),
        (["a", np.float64("nan")], [0, NAN]),
        ([True, "True", "1"], [0, 1, 0]),
        (["x", True, "True"], [1, 0, 0]),
        ([None, "a"], [0, 1]),
        ([None, None], [0, 0]),
        (["a", pd.NA, "b"], [0, NAN, 1]),
        ([pd.NA, pd.NA], [NAN, NAN]),
        (["1.5", 1.5], [0, 0]),  # str 1.5 is text; the number after it is str(1.5)
        ([1, 10**400], [0, 1]),  # too large for float64: text
        ([10**400, 0], [1, 0]),
        ([1 + 2j, "(1+2j)"], [0, 0]),
        ([b"a", "b'a'"], [0, 0]),
        ([np.str_("2.0"), "2.0"], [0, 0]),  # a NumPy str is never a number
    ],
    ids=[
        "float-text-float", "nan-positions", "negative-nan", "np-nan-after", "true-before", "true-after",
        "none", "all-none", "pd-na", "all-pd-na", "numeric-looking-text", "huge-int", "huge-int-first",
        "complex", "bytes", "np-str",
    ],
)
def test_text_columns(enc, column, cells, codes, has_mapping):
    np.testing.assert_array_equal(enc.encode(column(cells))[:, 0], codes)
    assert has_mapping(enc) is True


def test_missing_code_is_the_quiet_nan(enc, column):
    res = enc.encode(column(["nan", "a", "<NA>", "NaN", NAN]))
    assert np.ascontiguousarray(res).view(np.uint64)[:, 0].tolist() == [
        0x7FF8000000000000, 0, 0x7FF8000000000000, 0x7FF8000000000000, 0x7FF8000000000000]


def test_empty_object_array_holds_none(enc):
    data = np.empty((2, 2), dtype=object)
    np.testing.assert_array_equal(enc.encode(data), [[0.0, 0.0], [0.0, 0.0]])


@pytest.mark.parametrize(
    "cells, codes",
    [
        (["\ud800", "\ufffd\ufffd\ufffd"], [0, 0]),
        (["a\udfffb", "a\ufffd\ufffd\ufffdb"], [0, 0]),
        (["\ud800", "\udc00"], [0, 0]),
        (["\ud83d\ude00", "\ufffd" * 6], [0, 0]),
        (["\ud800", "\ufffd"], [1, 0]),
    ],
    ids=["high", "inner", "two-surrogates-same-text", "unpaired-pair", "one-replacement-differs"],
)
def test_lone_surrogates_become_replacement_characters(enc, column, cells, codes):
    np.testing.assert_array_equal(enc.encode(column(cells))[:, 0], codes)


def test_mixed_frame_columns(enc):
    df = pd.DataFrame(
        {
            "txt": ["b", "a", "c"],
            "num": [1.5, np.nan, -2.0],
            "obj": pd.Series([1, "x", 2.0], dtype=object),
            "int": [1, 2, 3],
            "cat": pd.Categorical(["lo", "hi", "lo"]),
        }
    )
    res = enc.encode(df)
    np.testing.assert_array_equal(
        res.to_numpy(), [[1, 1.5, 0, 1, 1], [0, NAN, 2, 2, 0], [2, -2.0, 1, 3, 1]]
    )


class Recorder:
    """A cell that records which conversions were applied to it."""

    def __init__(self, log, name, number=None, text=None):
        self.log, self.name, self.number, self.text = log, name, number, text

    def __float__(self):
        self.log.append(("float", self.name))
        if self.number is None:
            raise TypeError("not a number")
        return self.number

    def __str__(self):
        self.log.append(("str", self.name))
        if self.text is None:
            raise AssertionError("str() must not be used here")
        return self.text


def test_each_cell_converted_once_in_column_order(enc, objarr):
    log = []
    r = lambda name, **kw: Recorder(log, name, **kw)  # noqa: E731
    data = objarr(
        [
            [r("a0", number=2.0), r("b0", text="b")],
            [r("a1", text="x"), r("b1", number=1.0, text="one")],
            [r("a2", number=2.0, text="y"), r("b2", text="c")],
        ]
    )
    res = enc.encode(data)
    assert log == [
        ("float", "a0"), ("float", "a1"), ("str", "a1"), ("str", "a2"),
        ("float", "b0"), ("str", "b0"), ("str", "b1"), ("str", "b2"),
    ]
    # column 0 texts 2, x, y; column 1 texts b, one, c
    np.testing.assert_array_equal(res, [[0, 0], [1, 2], [2, 1]])


def test_failing_str_is_internal_error_with_cause(enc, objarr, has_mapping):
    enc.encode(objarr([["keep"]]))
    problem = ValueError("no text for you")

    class Bad:
        def __str__(self):
            raise problem

    with pytest.raises(tovrik.PanicException) as ei:
        enc.encode(objarr([["a", 1.0], [Bad(), 2.0]]))
    assert str(ei.value).startswith("cant convert to str")
    assert ei.value.__cause__ is problem
    assert has_mapping(enc) is True


def test_cells_read_lazily_from_mutating_source(enc, objarr):
    holder = {}

    class Mutator:
        def __str__(self):
            src = holder["src"]
            src[0, 0] = "ignored"  # already read
            src[2, 0] = "zz"  # read later in this column
            src[0, 1] = "late"  # column 1 is read after column 0
            return "h"

    data = objarr([["a", 1.0], [Mutator(), 2.0], ["c", 3.0]])
    holder["src"] = data
    res = enc.encode(data)
    # column 0: a, h, zz; column 1: late, then str(2.0), str(3.0)
    np.testing.assert_array_equal(res, [[0, 2], [1, 0], [2, 1]])


def test_source_shrunk_by_cell_code(enc, objarr, has_mapping):
    holder = {}

    class Shrinker:
        def __str__(self):
            holder["src"].resize((1, 2), refcheck=False)
            return "s"

    data = objarr([["a", 1.0], [Shrinker(), 2.0], ["c", 3.0]])
    holder["src"] = data
    with pytest.raises(tovrik.PanicException):
        enc.encode(data)
    assert has_mapping(enc) is False
