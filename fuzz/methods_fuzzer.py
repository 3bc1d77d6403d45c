"""atheris target for the Encoder methods (__setstate__, encode and decode) and
for tovrik_ml.transform, which applies a learnt mapping.

Each input is a short sequence of operations on one Encoder. Every call must
return or raise a Python exception (PanicException included); where the result
is predictable, it is checked:
  * encode of a 2-D object array / DataFrame gives float64 of the same shape,
    numeric columns keep their values, and decode gives the text cells back;
  * encode of a float64 array (any layout) gives the same values back, and so
    does decode afterwards;
  * __setstate__ fails only with ValueError "failed to unpickle Encoder: ...",
    and a state it accepts survives __getstate__ / __setstate__;
  * decode after a generated state gives the strings of its reverse maps, the
    fallback for unknown codes, and PanicException for impossible columns;
  * stand-ins named "ndarray" / "DataFrame" with odd shapes, columns and cells
    only have to return or raise;
  * tovrik_ml.transform right after encode of the same table gives exactly the
    encode result; on other data, and after a generated state, it returns a
    float64 result or raises ValueError (or the internal error for a cell
    whose str() raises), never changing the Encoder.
Run through fuzz/run, which builds the module with sanitizers.
"""
import decimal
import math
import os
import struct
import sys
import tempfile
import warnings

import atheris
import numpy as np
import pandas as pd

import tovrik
import tovrik_ml

warnings.simplefilter("ignore")  # e.g. numpy's ComplexWarning for complex cells

MISSING = {"nan", "NaN", "<NA>"}
U64_MAX = 2**64 - 1
WORDS = ["a", "b", "nan", "NaN", "<NA>", "", "é", "日本", "1.5", "None", "\ud800", "x\udfffy", "\U0001f600"]
FLOATS = [math.nan, math.inf, -math.inf, -0.0, 0.0, 1.0, 1.7, -2.0, 0.1, 1e21, 1e-7, 5e-324,
          1.7976931348623157e308, 2.0**64, 2.0**63, 3.0, 7.0]


def call(f, *args):
    """(True, result) or (False, exception); only interpreter exits pass through."""
    try:
        return True, f(*args)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as e:  # PanicException derives from BaseException
        return False, e


def is_panic(e):
    return type(e).__name__ == "PanicException"


def lossy(s):
    return s.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


# ---- cells ----

class RaisingStr:
    def __str__(self):
        raise ValueError("no text")


class RaisingFloat:
    def __float__(self):
        raise RuntimeError("no float")

    def __str__(self):
        return "rf"


class Reentrant:
    """Calls back into the Encoder that is reading it."""
    enc = None

    def __str__(self):
        for f in (lambda: self.enc.encode(np.zeros((1, 1), dtype=object)), self.enc.__getstate__,
                  lambda: self.enc.decode(np.zeros((1, 1))), lambda: self.enc.__setstate__(b"\0" * 5)):
            call(f)
        return "re"


class Mutator:
    """Overwrites every cell of its container while the container is being read."""
    target = None

    def __str__(self):
        if isinstance(self.target, np.ndarray):
            self.target[...] = None
        elif self.target is not None:
            call(self.target.drop, columns=list(self.target.columns), inplace=True)
        return "mu"


@atheris.instrument_func
def gen_cell(fdp):
    """(cell, kind): kind is 'str', 'num' (plain number), 'raise' (str() raises),
    'wild' (calls back into the Encoder or changes its container) or 'other'."""
    k = fdp.ConsumeIntInRange(0, 16)
    if k <= 2:
        return fdp.PickValueInList(WORDS), "str"
    if k == 3:
        return fdp.ConsumeUnicode(6), "str"
    if k == 4:
        return fdp.ConsumeIntInRange(-1000, 1000), "num"
    if k == 5:
        return (-1) ** fdp.ConsumeIntInRange(0, 1) * 2 ** fdp.ConsumeIntInRange(60, 3000), "other"
    if k == 6:
        return fdp.PickValueInList(FLOATS), "num"
    if k == 7:
        return fdp.ConsumeRegularFloat(), "num"
    if k == 8:
        return fdp.ConsumeBool(), "num"
    if k == 9:
        return fdp.PickValueInList([None, pd.NA, pd.NaT, b"\xffb", bytearray(b"x")]), "other"
    if k == 10:
        return fdp.PickValueInList([np.float64("nan"), np.int64(-3), np.float32(0.5), np.bool_(True),
                                    np.uint64(U64_MAX)]), "num"
    if k == 11:
        return fdp.PickValueInList([np.str_("a"), np.bytes_(b"b"), np.datetime64("2020-01-01"),
                                    np.complex128(1j), decimal.Decimal("nan"), 1j]), "other"
    if k == 12:
        return RaisingStr(), "raise"
    if k == 13:
        return RaisingFloat(), "other"
    if k == 14:
        return Reentrant(), "wild"
    if k == 15:
        return Mutator(), "wild"
    return fdp.PickValueInList(["a", "b", "c"]), "str"


@atheris.instrument_func
def gen_table(fdp, enc):
    """A rows x cols object grid and the kinds of its cells, column by column."""
    rows = fdp.ConsumeIntInRange(0, 40 if fdp.ConsumeProbability() < 0.1 else 6)
    cols = fdp.ConsumeIntInRange(0, 4)
    grid = np.empty((rows, cols), dtype=object)
    kinds = [[None] * rows for _ in range(cols)]
    for c in range(cols):
        for r in range(rows):
            grid[r, c], kinds[c][r] = gen_cell(fdp)
            if isinstance(grid[r, c], Reentrant):
                grid[r, c].enc = enc
    return grid, kinds


# ---- encode / decode of object data ----

@atheris.instrument_func
def check_encode_table(fdp, enc):
    grid, kinds = gen_table(fdp, enc)
    as_frame = fdp.ConsumeBool()
    names = None
    if as_frame:
        names = [fdp.PickValueInList(["k", "v", "é", "0"]) for _ in range(grid.shape[1])] \
            if fdp.ConsumeBool() else None
        obj = pd.DataFrame({i: pd.Series(grid[:, i], dtype=object) for i in range(grid.shape[1])},
                           index=range(grid.shape[0]))
        if names is not None:
            obj.columns = names
        if fdp.ConsumeProbability() < 0.2 and grid.shape[1]:  # a column with an inferred dtype
            call(lambda: obj.isetitem(0, pd.Series(list(grid[:, 0]))))  # may refuse surrogates
    else:
        obj = grid
    for cell in grid.flat:
        if isinstance(cell, Mutator):
            cell.target = obj
    wild = any("wild" in col for col in kinds)
    raises = any("raise" in col for col in kinds)

    ok, res = call(enc.encode, obj)
    if wild:
        if ok:
            call(enc.decode, res)
        return
    if raises:
        # a cell whose str() raises makes its column text, so encode must fail
        assert not ok and is_panic(res) and str(res).startswith("cant convert to str"), repr(res)
        return
    inferred = as_frame and grid.shape[1] and not obj.dtypes.iloc[0] == object
    assert ok, f"encode failed: {res!r}"
    result = res if isinstance(res, np.ndarray) else res.to_numpy()
    assert type(res) is type(obj) and result.dtype == np.float64 and result.shape == grid.shape, \
        (type(res), result.dtype, result.shape)
    if as_frame:
        assert list(res.columns) == [str(c) for c in obj.columns], (res.columns, obj.columns)
    for c, column in enumerate(kinds):
        if inferred and c == 0:
            continue
        if all(k == "num" for k in column):
            for r in range(grid.shape[0]):
                assert same_float(result[r, c], float(grid[r, c])), (r, c, grid[r, c], result[r, c])

    ok, back = call(enc.decode, res)
    if as_frame and len(set(res.columns)) < len(res.columns):
        return  # decode goes by column name: repeated names share their values
    assert ok, f"decode of an encode result failed: {back!r}"
    back = back if isinstance(back, np.ndarray) else back.to_numpy()
    assert back.shape == grid.shape
    fallback = None if as_frame else "NaN"
    for c, column in enumerate(kinds):
        if (inferred and c == 0) or "str" not in column:
            continue
        for r, kind in enumerate(column):
            if kind == "str":
                text = lossy(str(grid[r, c]))
                want = fallback if text in MISSING else text
                assert back[r, c] == want and type(back[r, c]) is type(want), (r, c, grid[r, c], back[r, c])


# ---- float64 arrays ----

MEMMAP = np.memmap(os.path.join(tempfile.mkdtemp(), "f8"), dtype=np.float64, mode="w+", shape=(256,))


@atheris.instrument_func
def gen_float_array(fdp):
    rows, cols = fdp.ConsumeIntInRange(0, 6), fdp.ConsumeIntInRange(0, 5)
    vals = np.array([fdp.PickValueInList(FLOATS) if fdp.ConsumeBool() else fdp.ConsumeFloat()
                     for _ in range(rows * cols)], dtype=np.float64).reshape(rows, cols)
    layout = fdp.ConsumeIntInRange(0, 8)
    if layout == 1:
        return np.asfortranarray(vals)
    if layout == 2:
        return np.ascontiguousarray(vals.T).T
    if layout == 3:  # non-contiguous, negative strides
        big = np.zeros((rows * 2, cols * 3 + 1))
        big[::2, -1:0:-3] = vals
        return big[::2, -1:0:-3]
    if layout == 4 and rows and cols:  # zero strides
        return np.broadcast_to(vals[:1, :1], (rows, cols))
    if layout == 5:  # unaligned, read-only
        raw = b"\0" + vals.tobytes()
        return np.frombuffer(raw, dtype=np.float64, offset=1).reshape(rows, cols)
    if layout == 6:  # byte-swapped: not float64-equivalent, so read cell by cell
        return vals.astype(">f8")
    if layout == 7:
        mm = MEMMAP[: rows * cols].reshape(rows, cols)
        mm[...] = vals
        return mm
    if layout == 8:
        vals.flags.writeable = False
    return vals


@atheris.instrument_func
def check_encode_floats(fdp, enc):
    a = gen_float_array(fdp)
    ok, res = call(enc.encode, a)
    assert ok, f"encode of a float64 array failed: {res!r}"
    assert type(res) is np.ndarray and res.dtype == np.float64 and res.shape == a.shape
    want = a.astype("<f8")
    assert np.array_equal(res.view(np.uint64), want.view(np.uint64)), (a, res)
    if a.flags.f_contiguous and not a.flags.c_contiguous and a.dtype == np.float64:
        assert res.flags.f_contiguous
    if a.dtype.byteorder == ">":
        return  # the general path stored an EncodingInfo; decode gives objects
    ok, back = call(enc.decode, res)
    assert ok and back.dtype == np.float64 and np.array_equal(back, a, equal_nan=True), back


# ---- states ----

def u64(v):
    return struct.pack("<Q", v)


def text(s):
    b = s.encode()
    return u64(len(b)) + b


@atheris.instrument_func
def gen_state(fdp):
    """Bytes of a well-formed state with random content, and its columns and reverse maps."""
    pick = lambda: fdp.PickValueInList([0, 1, 2, 3, 5, U64_MAX])
    columns = [pick() for _ in range(fdp.ConsumeIntInRange(0, 4))]
    reverse = {}
    for _ in range(fdp.ConsumeIntInRange(0, 4)):
        reverse[pick()] = {fdp.PickValueInList([0, 1, 2, 3, 7, 2**63, U64_MAX]): fdp.ConsumeUnicodeNoSurrogates(4)
                           for _ in range(fdp.ConsumeIntInRange(0, 4))}
    labels = {c: {t: code for code, t in m.items()} for c, m in reverse.items()}
    b = b"\x01" + u64(len(columns)) + b"".join(map(u64, columns)) + u64(len(labels))
    for c, m in labels.items():
        b += u64(c) + u64(len(m)) + b"".join(text(t) + b"\x01" + u64(code) for t, code in m.items())
    b += u64(len(reverse))
    for c, m in reverse.items():
        b += u64(c) + u64(len(m)) + b"".join(u64(code) + text(t) for code, t in m.items())
    return b + b"\0\0\0\0", columns, reverse


def code_of(v):
    return None if math.isnan(v) else 0 if v < 1 else U64_MAX if v >= 2.0**64 else int(v)


@atheris.instrument_func
def check_state_then_decode(fdp, enc):
    state, columns, reverse = gen_state(fdp)
    ok, e = call(enc.__setstate__, state + fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 4)))
    assert ok, f"__setstate__ of a well-formed state failed: {e!r}"
    assert len(enc.__getstate__()) == len(state)
    a = gen_float_array(fdp)
    as_frame = fdp.ConsumeBool()
    obj = pd.DataFrame(a, columns=[f"c{i}" for i in range(a.shape[1])]) if as_frame else a
    ok, res = call(enc.decode, obj)
    rows, cols = a.shape
    doomed = any(c not in reverse or (c >= cols and (rows or as_frame)) for c in columns)
    if doomed:
        assert not ok and is_panic(res), f"decode should panic, got {res!r}"
        return
    assert ok, f"decode failed: {res!r}"
    out = res.to_numpy() if as_frame else res
    assert out.shape == a.shape and (as_frame or out.dtype == object)
    fallback = None if as_frame else "NaN"
    for r in range(rows):
        for c in range(cols):
            got, v = out[r, c], float(a[r, c])
            if c in columns:
                want = reverse[c].get(code_of(v), fallback)
                assert got == want and type(got) is type(want), (r, c, v, got, want)
            else:
                assert same_float(float(got), v), (r, c, v, got)


@atheris.instrument_func
def check_raw_state(fdp, enc):
    raw = fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 200))
    if fdp.ConsumeBool():
        raw = fdp.PickValueInList([b"\0" * 5, b"\x01" + b"\0" * 28]) + raw
    before = enc.__getstate__()
    ok, e = call(enc.__setstate__, raw)
    if not ok:
        assert type(e) is ValueError and str(e).startswith("failed to unpickle Encoder: "), repr(e)
        assert enc.__getstate__() == before
        return
    state = enc.__getstate__()
    assert len(state) <= len(raw)
    other = tovrik.Encoder()
    other.__setstate__(state)
    assert len(other.__getstate__()) == len(state)
    call(enc.decode, gen_float_array(fdp))


@atheris.instrument_func
def check_decode_any(fdp, enc):
    obj = gen_table(fdp, enc)[0] if fdp.ConsumeBool() else gen_float_array(fdp)
    if fdp.ConsumeBool():
        obj = pd.DataFrame(obj, dtype=object)  # no str inference, which refuses surrogates
    call(enc.decode, obj)


class Fake:
    """Stands in for an array or frame: the intake goes by type name alone."""

    def __init__(self, shape, cells, columns=None, values=None):
        self.shape, self.cells, self.columns = shape, cells, columns
        self.values = self if values is None else values

    def __getitem__(self, key):
        return self.cells[hash(key) % len(self.cells)]


FakeArray = type("ndarray", (Fake,), {})
FakeFrame = type("DataFrame", (Fake,), {})
# Huge sizes only beyond 2**60 columns: below that, a zero-row input gets per-column
# storage of ~2**40 entries, which ASan refuses outright (a release build raises MemoryError).
SIZES = [0, 1, 2, 3, 2**61, 2**64 - 1, 2**64, -1, 2.0, True, None]
COLUMNS = [["a", "b"], "ab", [0, 1], [1, 2**70], [True, -5], ["a", "\udc80"], ["a", "a", "b"], None,
           np.array(["x", "y"]), pd.Index(["p", "q"]), pd.RangeIndex(3), pd.Index([0.5, 1.5])]


@atheris.instrument_func
def check_fake_objects(fdp, enc):
    shape = tuple(fdp.PickValueInList(SIZES) for _ in range(fdp.ConsumeIntInRange(0, 3)))
    if fdp.ConsumeProbability() < 0.7:
        shape = tuple(s if isinstance(s, int) and 0 <= s < 2**60 else 2 for s in shape[:2]) or (2, 2)
    cells = [gen_cell(fdp)[0] for _ in range(fdp.ConsumeIntInRange(1, 4))]
    if fdp.ConsumeBool():
        obj = FakeArray(shape, cells)
    else:
        values = fdp.PickValueInList([None, np.zeros((1, 1), dtype=object), np.zeros((2, 2))])
        obj = FakeFrame(shape, cells, fdp.PickValueInList(COLUMNS), values)
    for cell in cells:
        if isinstance(cell, Reentrant):
            cell.enc = enc
    call(fdp.PickValueInList([enc.encode, enc.decode]), obj)


# ---- applying a learnt mapping ----

def same_result(a, b):
    a = a if isinstance(a, np.ndarray) else a.to_numpy()
    b = b if isinstance(b, np.ndarray) else b.to_numpy()
    return a.shape == b.shape and np.array_equal(a, b, equal_nan=True)


def check_applied(fdp, enc, obj, kinds):
    """transform of new data; a cell calling back into the Encoder may change it."""
    before = enc.__getstate__()
    unknown = fdp.PickValueInList(["nan", "error"])
    ok, res = call(tovrik_ml.transform, enc, obj, unknown)
    if not any("wild" in col for col in kinds):
        assert enc.__getstate__() == before, "transform changed the Encoder"
    if ok:
        out = res if isinstance(res, np.ndarray) else res.to_numpy()
        assert out.dtype == np.float64, out.dtype
    else:
        assert isinstance(res, (ValueError, TypeError)) or is_panic(res), repr(res)
    return ok, res


@atheris.instrument_func
def check_apply_table(fdp, enc):
    grid, kinds = gen_table(fdp, enc)
    obj = pd.DataFrame({i: pd.Series(grid[:, i], dtype=object) for i in range(grid.shape[1])},
                       index=range(grid.shape[0])) if fdp.ConsumeBool() else grid
    calm = not any(k in ("wild", "raise") for col in kinds for k in col)
    ok, codes = call(enc.encode, obj)
    if ok and calm and enc.__getstate__()[:1] == b"\1":
        # Right after encode of the very same data, transform gives its result.
        ok2, res = call(tovrik_ml.transform, enc, obj, "error")
        assert ok2, f"transform of the training data failed: {res!r}"
        assert same_result(res, codes), (res, codes)
    other, other_kinds = gen_table(fdp, enc)
    check_applied(fdp, enc, other, other_kinds)


@atheris.instrument_func
def check_state_then_apply(fdp, enc):
    state, _, _ = gen_state(fdp)
    ok, e = call(enc.__setstate__, state)
    assert ok, f"__setstate__ of a well-formed state failed: {e!r}"
    grid, kinds = gen_table(fdp, enc)
    check_applied(fdp, enc, grid, kinds)


OPS = [check_encode_table, check_encode_floats, check_state_then_decode, check_raw_state, check_decode_any,
       check_fake_objects, check_apply_table, check_state_then_apply]


@atheris.instrument_func
def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    enc = tovrik.Encoder()
    for _ in range(fdp.ConsumeIntInRange(1, 3)):
        fdp.PickValueInList(OPS)(fdp, enc)


if __name__ == "__main__":
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()
