"""Shared fixtures for the tovrik test suite."""

import os
import struct
import subprocess
import sys

import numpy as np
import pytest

import tovrik

MISSING_TEXTS = ("nan", "NaN", "<NA>")


@pytest.fixture
def enc():
    return tovrik.Encoder()


@pytest.fixture
def objarr():
    """Build a 2-D object array from a list of rows without NumPy reinterpreting cells."""

    def build(rows, ncols=None):
        nrows = len(rows)
        ncols = len(rows[0]) if ncols is None else ncols
        out = np.empty((nrows, ncols), dtype=object)
        for r, row in enumerate(rows):
            for c, cell in enumerate(row):
                out[r, c] = cell
        return out

    return build


@pytest.fixture
def column():
    """Build a one-column object array from a list of cells."""

    def build(cells):
        out = np.empty((len(cells), 1), dtype=object)
        for r, cell in enumerate(cells):
            out[r, 0] = cell
        return out

    return build


@pytest.fixture
def label_codes():
    """Reference codes of one text column: rank among the distinct non-missing texts."""

    def codes(texts):
        distinct = sorted({t for t in texts if t not in MISSING_TEXTS})
        rank = {t: float(i) for i, t in enumerate(distinct)}
        return np.array([rank.get(t, np.nan) for t in texts], dtype=np.float64)

    return codes


@pytest.fixture
def has_mapping():
    """Tell whether an Encoder holds a learnt mapping, observed through decode.

    Without a mapping decode hands back float64 data; with one, an ndarray comes back
    as an object array. Zero rows keep the probe independent of the mapping's width.
    """

    def probe(encoder):
        try:
            out = encoder.decode(np.zeros((0, 4)))
        except NotImplementedError:
            pytest.skip("decode with a learnt mapping is not available yet")
        assert type(out) is np.ndarray and out.shape == (0, 4)
        assert out.dtype in (np.dtype(np.float64), np.dtype(object))
        return out.dtype == object

    return probe


@pytest.fixture
def run_python():
    """Run a Python snippet in a fresh interpreter with a controlled pool environment."""

    def run(code, *args, env_updates=None, timeout=120):
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        env.update(env_updates or {})
        proc = subprocess.run(
            [sys.executable, "-c", code, *map(str, args)],
            env=env,
            capture_output=True,
            timeout=timeout,
        )
        assert proc.returncode == 0, proc.stderr.decode("utf-8", "replace")
        return proc

    return run



def _u64(n):
    return struct.pack("<Q", n)


def _text(t):
    raw = t.encode() if isinstance(t, str) else bytes(t)
    return _u64(len(raw)) + raw


def _pairs(m):
    return list(m.items()) if isinstance(m, dict) else list(m)


@pytest.fixture
def build_state():
    """Write Encoder state bytes by hand, in the stored little-endian layout.

    columns None gives a state without a mapping. labels and reverse are dicts or lists of
    (key, value) pairs, written in the order given (a pair list may repeat a key): labels maps a
    column to its text -> code (None for no code) entries, reverse a column to its code -> text
    entries. Texts may be raw bytes.
    """

    def build(columns=None, labels=(), reverse=(), variant=0):
        if columns is None:
            return b"\x00" + struct.pack("<I", variant)
        out = [b"\x01", _u64(len(columns)), *map(_u64, columns), _u64(len(_pairs(labels)))]
        for col, entries in _pairs(labels):
            entries = _pairs(entries)
            out += [_u64(col), _u64(len(entries))]
            for text, code in entries:
                out += [_text(text), b"\x00" if code is None else b"\x01" + _u64(code)]
        out.append(_u64(len(_pairs(reverse))))
        for col, entries in _pairs(reverse):
            entries = _pairs(entries)
            out += [_u64(col), _u64(len(entries))]
            for code, text in entries:
                out += [_u64(code), _text(text)]
        out.append(struct.pack("<I", variant))
        return b"".join(out)

    return build


@pytest.fixture
def parse_state():
    """Read Encoder state bytes back: None without a mapping, else (columns, labels, reverse) as dicts.

    Checks that the bytes are consumed exactly, that no map repeats a key and that the strategy is 0.
    """

    def parse(data):
        pos = 0

        def take(n):
            nonlocal pos
            chunk = data[pos:pos + n]
            assert len(chunk) == n, f"state ends at {len(data)}, wanted {n} bytes at {pos}"
            pos += n
            return chunk

        def u64():
            return struct.unpack("<Q", take(8))[0]

        def tag():
            value = take(1)[0]
            assert value in (0, 1)
            return value

        def unique(entries):
            assert len({k for k, _ in entries}) == len(entries), "repeated map key"
            return dict(entries)

        def code():
            return u64() if tag() else None

        info = None
        if tag():
            columns = [u64() for _ in range(u64())]
            labels = unique([(u64(), unique([(take(u64()).decode(), code()) for _ in range(u64())]))
                             for _ in range(u64())])
            reverse = unique([(u64(), unique([(u64(), take(u64()).decode()) for _ in range(u64())]))
                              for _ in range(u64())])
            info = (columns, labels, reverse)
        assert struct.unpack("<I", take(4))[0] == 0
        assert pos == len(data), "trailing bytes"
        return info

    return parse
