"""Two-dimensional float64 arrays: copied as they are, memory order, bit patterns, references."""

import sys

import numpy as np
import pytest

import tovrik

EDGE_BITS = [
    0x7FF8000000000000,  # quiet NaN
    0xFFF8000000000000,  # negative quiet NaN
    0x7FF0000000000001,  # signalling NaN
    0x7FF8000000000123,  # NaN with payload
    0x8000000000000000,  # negative zero
    0x7FF0000000000000,  # +inf
    0xFFF0000000000000,  # -inf
    0x0000000000000001,  # smallest subnormal
]


def edge_matrix(rows=5, cols=6):
    raw = (np.arange(rows * cols, dtype=np.float64) * 1.5 - 7.0).view(np.uint64).copy()
    raw[: len(EDGE_BITS)] = EDGE_BITS
    return raw.view(np.float64).reshape(rows, cols)


def bits(a):
    return np.ascontiguousarray(a).view(np.uint64)


def readonly(a):
    a = a.copy(order="K")
    a.flags.writeable = False
    return a


LAYOUTS = [
    ("c", lambda m: m, "C"),
    ("f", np.asfortranarray, "F"),
    ("transposed", lambda m: m.T, "F"),
    ("f-transposed", lambda m: np.asfortranarray(m).T, "C"),
    ("one-row-f", lambda m: np.asfortranarray(m[:1]), "C"),
    ("one-column", lambda m: m[:, :1].copy(), "C"),
    ("row-step", lambda m: m[::2], "C"),
    ("column-slice", lambda m: m[:, 1:4], "C"),
    ("f-row-step", lambda m: np.asfortranarray(m)[::2], "C"),
    ("reversed-rows", lambda m: m[::-1], "C"),
    ("reversed-both", lambda m: m[::-1, ::-1], "C"),
    ("f-reversed-columns", lambda m: np.asfortranarray(m)[:, ::-1], "C"),
    ("zero-rows", lambda m: m[:0], "C"),
    ("zero-columns-f", lambda m: np.asfortranarray(m)[:, :0], "C"),
    ("readonly", readonly, "C"),
    ("readonly-f", lambda m: readonly(np.asfortranarray(m)), "F"),
]


@pytest.mark.parametrize("make, order", [c[1:] for c in LAYOUTS], ids=[c[0] for c in LAYOUTS])
def test_float64_array_layouts(enc, make, order, has_mapping):
    data = make(edge_matrix())
    before = bits(data).copy()
    res = enc.encode(data)
    assert type(res) is np.ndarray and res is not data
    assert res.dtype == np.dtype("=f8") and res.shape == data.shape
    assert np.array_equal(bits(res), before)
    assert np.array_equal(bits(data), before)
    assert not np.shares_memory(res, data)
    assert res.flags.owndata and res.base is None and res.flags.writeable
    if order == "C":
        assert res.flags.c_contiguous
    else:
        assert res.flags.f_contiguous and not res.flags.c_contiguous
    assert has_mapping(enc) is False


@pytest.mark.parametrize("order", ["C", "F"])
def test_memmap_behaves_like_ndarray(enc, tmp_path, order):
    src = edge_matrix(4, 3)
    mm = np.memmap(tmp_path / "m.bin", dtype=np.float64, mode="w+", shape=src.shape, order=order)
    mm[...] = src
    res = enc.encode(mm)
    assert type(res) is np.ndarray
    assert np.array_equal(bits(res), bits(src))
    assert (res.flags.c_contiguous, res.flags.f_contiguous) == ((True, False) if order == "C" else (False, True))
    assert not np.shares_memory(res, mm)


def test_float64_encode_forgets_earlier_mapping(enc, objarr, has_mapping):
    enc.encode(objarr([["a", 1.0]]))
    assert has_mapping(enc) is True
    enc.encode(np.ones((2, 2)))
    assert has_mapping(enc) is False


@pytest.mark.parametrize("order", ["C", "F"])
def test_big_endian_float64_takes_general_path(enc, order, has_mapping):
    src = edge_matrix(3, 4)
    data = np.array(src, dtype=">f8", order=order)
    res = enc.encode(data)
    assert res.dtype == np.dtype("=f8") and res.flags.c_contiguous
    np.testing.assert_array_equal(res, src)
    assert has_mapping(enc) is True


@pytest.mark.parametrize(
    "dtype", ["int64", "int32", "uint8", "uint64", "float32", "float16", "bool", "<f4", ">i8", "object"]
)
def test_other_dtypes_are_read_cell_by_cell(enc, dtype, has_mapping):
    data = np.array([[0, 1, 2], [3, 4, 5]], order="F").astype(dtype)
    res = enc.encode(data)
    assert res.dtype == np.float64 and res.flags.c_contiguous
    np.testing.assert_array_equal(res, data.astype(np.float64))
    assert has_mapping(enc) is True


@pytest.mark.parametrize(
    "data", [np.ones(3), np.ones((2, 2, 2)), np.array(1.0), np.ones((0,))], ids=["1d", "3d", "0d", "1d-empty"]
)
def test_wrong_dimensions_are_internal_errors(enc, data, objarr, has_mapping):
    enc.encode(objarr([["a"]]))
    before = sys.getrefcount(data)
    with pytest.raises(tovrik.PanicException):
        enc.encode(data)
    assert sys.getrefcount(data) == before
    assert has_mapping(enc) is True


def test_references_released(enc, objarr):
    data = edge_matrix()
    before = sys.getrefcount(data)
    for _ in range(3):
        enc.encode(data)
        enc.decode(data)
    assert sys.getrefcount(data) == before

    class Cell:
        def __str__(self):
            return "cell"

    class Bad:
        def __str__(self):
            raise ValueError("no text")

    cell, bad = Cell(), Bad()
    mixed = objarr([["a", cell], [cell, 1.0]])
    refs = (sys.getrefcount(mixed), sys.getrefcount(cell))
    enc.encode(mixed)
    assert (sys.getrefcount(mixed), sys.getrefcount(cell)) == refs
    failing = objarr([["a", cell], [bad, cell]])
    refs = (sys.getrefcount(failing), sys.getrefcount(cell), sys.getrefcount(bad))
    try:
        enc.encode(failing)
    except tovrik.PanicException:
        pass
    else:
        pytest.fail("str() failure was not reported")
    assert (sys.getrefcount(failing), sys.getrefcount(cell), sys.getrefcount(bad)) == refs
