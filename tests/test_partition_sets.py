"""The packed sets of the distributed encode: their k-way merge, the state
written from them, and their refusal of malformed input."""

import subprocess
import sys

import numpy as np
import pytest

import tovrik
from tovrik_ml import _native


def packed(texts):
    data = b"".join(t.encode() for t in texts)
    offsets = np.cumsum([0] + [len(t.encode()) for t in texts]).astype(np.int64)
    return offsets, np.frombuffer(data, dtype=np.uint8).copy()


def texts_of(pair):
    offsets, data = pair
    raw = data.tobytes()
    return [raw[offsets[i]:offsets[i + 1]].decode() for i in range(len(offsets) - 1)]


def in_byte_order(texts):
    return sorted(set(texts), key=lambda t: t.encode())


WORDS = ["", "a", "B", "b", "ab", "é", "z", "日本", "🙂", "nan", "<NA>", "10", "9"]


@pytest.mark.parametrize("seed", range(20))
def test_merge_is_the_sorted_union(seed):
    rng = np.random.default_rng(seed)
    sets = [in_byte_order(rng.choice(WORDS + [f"w{i}" for i in range(50)], int(rng.integers(0, 30))))
            for _ in range(int(rng.integers(1, 9)))]
    got = texts_of(_native.merge([packed(s) for s in sets]))
    assert got == in_byte_order([t for s in sets for t in s])


def test_state_of_sets_is_what_encode_learns():
    column = np.array([["b"], ["nan"], ["a"], ["é"], ["a"]], dtype=object)
    enc = tovrik.Encoder()
    enc.encode(column)
    assert _native.state_of_sets([0], [packed(in_byte_order(column[:, 0]))]) == enc.__getstate__()


@pytest.mark.parametrize("bad, error", [
    ([(np.array([0, 2, 1]), np.zeros(2, np.uint8))], "out of order or bounds"),
    ([(np.array([0, 5]), np.zeros(2, np.uint8))], "out of order or bounds"),
    ([(np.array([1, 2]), np.zeros(2, np.uint8))], "must start at 0"),
    ([(np.array([], np.int64), np.zeros(0, np.uint8))], "must start at 0"),
    ([packed(["b", "a"])], "not sorted and distinct"),
    ([packed(["a", "a"])], "not sorted and distinct"),
    ([("x", "y")], "a packed set holds"),
    ([(np.array([0]),)], "a packed set is a tuple"),
])
def test_malformed_sets_are_refused(bad, error):
    with pytest.raises((ValueError, TypeError), match=error):
        _native.merge(bad)
    with pytest.raises((ValueError, TypeError), match=error):
        _native.state_of_sets([0], bad)


def test_state_of_sets_checks_columns_and_texts():
    with pytest.raises(ValueError, match="columns must ascend"):
        _native.state_of_sets([1, 0], [packed(["a"]), packed(["b"])])
    with pytest.raises(ValueError, match="one set per column"):
        _native.state_of_sets([0], [])
    bad_utf8 = (np.array([0, 1]), np.array([0xFF], np.uint8))
    with pytest.raises(ValueError, match="not valid UTF-8"):
        _native.state_of_sets([0], [bad_utf8])


def test_a_fresh_process_can_merge_first():
    # The sets arrive from workers: a process may merge before anything else
    # of this module has touched NumPy.
    code = ("import numpy as np; from tovrik_ml import _native; "
            "print(len(_native.state_of_sets([0], [_native.merge([(np.array([0, 1]), np.array([97], np.uint8))])])))")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "104"


@pytest.mark.parametrize("order", ["C", "F"])
def test_remap_turns_local_codes_into_merged_codes(order):
    # A partition's own encode, remapped into the merged sets of a wider set
    # of texts, gives the codes an encode of the whole would give its rows.
    part = np.array([["b", 1.5], ["nan", 2.0], ["é", 3.0], ["b", 4.0]], dtype=object)
    rest = np.array([["a", 0.0], ["c", 0.0], ["<NA>", 0.0]], dtype=object)
    rows, firsts, sets, local = _native.part_sets(part, [0], [False, False])
    assert (rows, firsts) == (4, (0,))
    local = np.asarray(local, order=order)
    merged = packed(in_byte_order(list(part[:, 0]) + list(rest[:, 0])))
    got = _native.remap(local, [0], sets, [merged])
    whole = tovrik.Encoder().encode(np.concatenate([part, rest]))[:4]
    np.testing.assert_array_equal(got, whole)
    assert got.flags.f_contiguous == (order == "F") and got is not local
    np.testing.assert_array_equal(_native.part_sets(part, [0], [False, False])[3], local)  # input untouched


@pytest.mark.parametrize("args, error", [
    ((np.zeros((2, 2), np.float32), [0], [packed(["a"])], [packed(["a"])]), "contiguous 2-D float64"),
    ((np.zeros(2), [0], [packed(["a"])], [packed(["a"])]), "contiguous 2-D float64"),
    ((np.zeros((4, 4))[::2], [0], [packed(["a"])], [packed(["a"])]), "contiguous 2-D float64"),
    ((np.zeros((2, 2)), [2], [packed(["a"])], [packed(["a"])]), "beyond the width"),
    ((np.zeros((2, 2)), [0], [packed(["a"])], []), "one local and one merged set"),
    ((np.zeros((2, 2)), [0], [packed(["b"])], [packed(["a", "c"])]), "missing from the merged set"),
    ((np.full((2, 2), 1.0), [0], [packed(["a"])], [packed(["a"])]), "beyond its set"),
    ((np.full((2, 2), -1.0), [0], [packed(["a"])], [packed(["a"])]), "beyond its set"),
    ((np.full((2, 2), np.inf), [0], [packed(["a"])], [packed(["a"])]), "beyond its set"),
    ((np.zeros((2, 2)), [0], [("x", "y")], [packed(["a"])]), "a packed set holds"),
])
def test_remap_refuses_what_no_partition_gives(args, error):
    with pytest.raises((ValueError, TypeError), match=error):
        _native.remap(*args)
