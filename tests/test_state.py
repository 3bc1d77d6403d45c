"""Pickled Encoder state: byte layout, exact length, reader failures, copies across protocols and processes."""

import copy
import itertools
import pickle
import struct

import numpy as np
import pandas as pd
import pytest

from tovrik import Encoder

EMPTY = b"\x00" * 5
NO_COLUMNS = b"\x01" + bytes(24) + bytes(4)
PREFIX = "failed to unpickle Encoder: "
EOF = PREFIX + "io error: unexpected end of file"
SHORT_TEXT = PREFIX + "io error: "
MISSING = ("nan", "NaN", "<NA>")


def u64(n):
    return struct.pack("<Q", n)


# One text column at index 0 holding a, b and the missing text "nan", written entry by entry.
LABEL_ENTRIES = [u64(1) + b"a" + b"\x01" + u64(0), u64(1) + b"b" + b"\x01" + u64(1), u64(3) + b"nan" + b"\x00"]
REVERSE_ENTRIES = [u64(0) + u64(1) + b"a", u64(1) + u64(1) + b"b"]
HEAD = b"\x01" + u64(1) + u64(0) + u64(1) + u64(0) + u64(3)
MIDDLE = u64(1) + u64(0) + u64(2)
TAIL = b"\x00" * 4
WORKED = HEAD + b"".join(LABEL_ENTRIES) + MIDDLE + b"".join(REVERSE_ENTRIES) + TAIL
WORKED_INFO = ([0], {0: {"a": 0, "b": 1, "nan": None}}, {0: {0: "a", 1: "b"}})
# Prefix lengths of the worked example that end inside the bytes of a text (a, b, nan, a, b).
INSIDE_TEXT = {49, 67, 85, 86, 87, 129, 146}


def worked_variants():
    return {HEAD + b"".join(lab) + MIDDLE + b"".join(rev) + TAIL
            for lab in itertools.permutations(LABEL_ENTRIES) for rev in itertools.permutations(REVERSE_ENTRIES)}


def formula_length(info):
    columns, labels, reverse = info
    size = 5 + 8 + 8 * len(columns) + 8 + 8
    for entries in labels.values():
        size += 16 + sum(8 + len(t.encode()) + 1 + (8 if c is not None else 0) for t, c in entries.items())
    for entries in reverse.values():
        size += 16 + sum(16 + len(t.encode()) for t in entries.values())
    return size


def reference_info(columns):
    """Expected stored mapping for text columns given as {index: list of texts}."""
    labels, reverse = {}, {}
    for c, texts in columns.items():
        ranked = sorted({t for t in texts if t not in MISSING})
        labels[c] = {t: (None if t in MISSING else ranked.index(t)) for t in set(texts)}
        reverse[c] = dict(enumerate(ranked))
    return sorted(columns), labels, reverse


@pytest.fixture
def learnt(objarr):
    enc = Encoder()
    enc.encode(objarr([["q", 1.0, "nan"], ["p", 2.0, "zz"], ["q", 3.0, "é"]]))
    return enc


def test_worked_example_bytes(build_state, parse_state):
    assert len(WORKED) == 151
    assert build_state(*WORKED_INFO) == WORKED
    assert parse_state(WORKED) == WORKED_INFO
    assert formula_length(WORKED_INFO) == 151


@pytest.mark.parametrize("given", sorted(worked_variants()), ids=[f"order{i}" for i in range(12)])
def test_worked_example_read_back_in_any_order(parse_state, given):
    enc = Encoder()
    assert enc.__setstate__(given) is None
    written = enc.__getstate__()
    assert written in worked_variants()
    assert parse_state(written) == WORKED_INFO
    assert enc.decode(np.array([[0.0], [1.0], [np.nan], [2.0]])).tolist() == [["a"], ["b"], ["NaN"], ["NaN"]]


def test_learnt_column_writes_worked_example(enc, column):
    enc.encode(column(["b", "nan", "a", "b"]))
    assert enc.__getstate__() in worked_variants()


@pytest.mark.parametrize("seed", [0, 1, 2, 3, 4], ids=lambda s: f"seed={s}")
def test_frame_state_has_computed_length(enc, parse_state, seed):
    rng = np.random.default_rng(seed)
    words = ["a", "bb", "é", "😀", "", "nan", "NaN", "<NA>", "None", "x y", "ÿÿ"]
    nrows, ncols = int(rng.integers(1, 40)), int(rng.integers(1, 7))
    text = [c for c in range(ncols) if rng.random() < 0.6]
    frame = pd.DataFrame({f"c{c}": [words[i] for i in rng.integers(0, len(words), nrows)] if c in text
                          else rng.normal(size=nrows) for c in range(ncols)})
    enc.encode(frame)
    state = enc.__getstate__()
    want = reference_info({c: frame.iloc[:, c].tolist() for c in text})
    assert parse_state(state) == want
    assert len(state) == formula_length(want)


@pytest.mark.parametrize("rows, distinct", [(200, 150), (3_000, 40), (20_000, 12_000)],
                         ids=["sorted-whole", "few-distinct", "many-distinct"])
@pytest.mark.parametrize("missing", [(), ("<NA>",), ("NaN",), ("nan",), MISSING], ids=lambda m: "+".join(m) or "none")
def test_codes_pass_over_missing_texts_wherever_they_sort(enc, parse_state, rows, distinct, missing):
    # Texts on both sides of each missing text in byte order ("<NA>" < "NaN" < "nan").
    rng = np.random.default_rng(rows + len(missing))
    alphabet = list("!;<=MNOZamnoz~")
    pool = ["".join(rng.choice(alphabet, int(rng.integers(1, 12)))) for _ in range(distinct)]
    pool = sorted(set(pool) - set(MISSING)) + list(missing)
    cells = [pool[i] for i in rng.integers(0, len(pool), rows)] + list(missing)
    enc.encode(pd.DataFrame({"t": cells, "x": np.arange(len(cells), dtype=np.float64)}))
    coded = sorted(set(cells) - set(MISSING), key=str.encode)
    columns, labels, reverse = parse_state(enc.__getstate__())
    assert list(reverse[0].items()) == list(enumerate(coded))
    assert labels[0] == {**{t: i for i, t in enumerate(coded)}, **dict.fromkeys(missing)}
    back = enc.decode(pd.DataFrame({"t": np.arange(len(coded), dtype=np.float64), "x": 0.0}))
    assert back["t"].tolist() == coded


@pytest.mark.parametrize(
    "learn",
    [lambda e: e.encode(np.arange(6).reshape(3, 2)), lambda e: e.encode(pd.DataFrame({"a": [1.0], "b": [2]})),
     lambda e: e.encode(pd.DataFrame({"a": pd.Series([], dtype=object)}))],
    ids=["int-array", "numeric-frame", "zero-row-frame"],
)
def test_mapping_without_text_columns(enc, learn):
    learn(enc)
    assert enc.__getstate__() == NO_COLUMNS
    enc.encode(np.ones((2, 2)))
    assert enc.__getstate__() == EMPTY


def label_entry(text, tail):
    return b"\x01" + u64(0) + u64(1) + u64(0) + u64(1) + u64(len(text)) + text + tail


READER_CASES = [
    ("empty", b"", EOF),
    ("tag-only", b"\x00", EOF),
    ("variant-cut", b"\x00\x00\x00\x00", EOF),
    ("tag-2", b"\x02\x00\x00\x00\x00", PREFIX + "tag for enum is not valid, found 2"),
    ("tag-255", b"\xff", PREFIX + "tag for enum is not valid, found 255"),
    ("variant-1", b"\x00\x01\x00\x00\x00", PREFIX + "invalid value: integer `1`, expected variant index 0 <= i < 1"),
    ("variant-max", b"\x00\xff\xff\xff\xff",
     PREFIX + "invalid value: integer `4294967295`, expected variant index 0 <= i < 1"),
    ("variant-after-mapping", WORKED[:-4] + b"\x07\x00\x00\x00",
     PREFIX + "invalid value: integer `7`, expected variant index 0 <= i < 1"),
    ("code-tag-2", label_entry(b"a", b"\x02"), PREFIX + "tag for enum is not valid, found 2"),
    ("code-cut", label_entry(b"a", b"\x01\x00\x00"), EOF),
    ("text-short", label_entry(b"", b"")[:-8] + u64(5) + b"ab", SHORT_TEXT),
    ("text-ff", label_entry(b"\xff", b"\x00"), PREFIX + "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
    ("text-bad-second", label_entry(b"x\xe2\x28\xa1", b"\x00"),
     PREFIX + "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 1"),
    ("text-bad-2", label_entry(b"\xf0\x9f\x41", b"\x00"),
     PREFIX + "string is not valid utf8: invalid utf-8 sequence of 2 bytes from index 0"),
    ("text-bad-3", label_entry(b"ab\xf0\x9f\x98\x41", b"\x00"),
     PREFIX + "string is not valid utf8: invalid utf-8 sequence of 3 bytes from index 2"),
    ("text-overlong", label_entry(b"\xc0\x80", b"\x00"),
     PREFIX + "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
    ("text-surrogate", label_entry(b"\xed\xa0\x80", b"\x00"),
     PREFIX + "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
    ("text-bad-cut", label_entry(b"\xe0\x80", b"\x00"),
     PREFIX + "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"),
    ("text-incomplete", label_entry(b"ok\xc3", b"\x00"),
     PREFIX + "string is not valid utf8: incomplete utf-8 byte sequence from index 2"),
    ("reverse-text-incomplete", b"\x01" + u64(0) * 2 + u64(1) + u64(4) + u64(1) + u64(9) + u64(2) + b"\xe2\x82",
     PREFIX + "string is not valid utf8: incomplete utf-8 byte sequence from index 0"),
    ("columns-count-huge", b"\x01" + u64(2**63), EOF),
    ("columns-count-max", b"\x01" + u64(2**64 - 1) + u64(0) * 3, EOF),
    ("label-maps-huge", b"\x01" + u64(0) + u64(2**63), EOF),
    ("label-entries-huge", b"\x01" + u64(0) + u64(1) + u64(0) + u64(2**63), EOF),
    ("reverse-maps-huge", b"\x01" + u64(0) * 2 + u64(2**63), EOF),
    ("reverse-entries-huge", b"\x01" + u64(0) * 2 + u64(1) + u64(0) + u64(2**63), EOF),
    ("text-length-huge", label_entry(b"", b"")[:-8] + u64(2**63), SHORT_TEXT),
    ("text-length-max", label_entry(b"", b"")[:-8] + u64(2**64 - 1) + b"abc", SHORT_TEXT),
]


@pytest.mark.parametrize("state, message", [c[1:] for c in READER_CASES], ids=[c[0] for c in READER_CASES])
def test_reader_failures_keep_state(learnt, state, message):
    before = learnt.__getstate__()
    with pytest.raises(ValueError) as ei:
        learnt.__setstate__(state)
    assert type(ei.value) is ValueError and str(ei.value) == message
    assert learnt.__getstate__() == before
    fresh = Encoder()
    with pytest.raises(ValueError):
        fresh.__setstate__(state)
    assert fresh.__getstate__() == EMPTY


@pytest.mark.parametrize("length", range(151), ids=lambda n: f"prefix{n}")
def test_every_cut_of_worked_example_fails(learnt, length):
    before = learnt.__getstate__()
    with pytest.raises(ValueError) as ei:
        learnt.__setstate__(WORKED[:length])
    assert str(ei.value) == (SHORT_TEXT if length in INSIDE_TEXT else EOF)
    assert learnt.__getstate__() == before


@pytest.mark.parametrize("base", [EMPTY, NO_COLUMNS, WORKED], ids=["empty", "no-columns", "worked"])
@pytest.mark.parametrize("extra", [b"\x00", b"\xff" * 3, WORKED], ids=["zero", "junk", "another-state"])
def test_trailing_bytes_are_ignored(learnt, parse_state, base, extra):
    assert learnt.__setstate__(type("Blob", (bytes,), {})(base + extra)) is None
    assert parse_state(learnt.__getstate__()) == parse_state(base)


STORED_AS_READ = [
    ("column-without-maps", ([7], {}, {})),
    ("maps-without-column", ([], {4: {"x": 0}}, {4: {0: "x"}})),
    ("sparse-codes", ([1], {1: {"p": 5}}, {1: {2**64 - 1: "p"}})),
    ("not-inverse", ([0], {0: {"a": 0}}, {0: {3: "zz"}})),
    ("repeated-listing", ([3, 3, 0], {3: {"": None}}, {3: {0: ""}})),
    ("odd-texts", ([2**64 - 1], {2**64 - 1: {"\x00é😀": 9}}, {2**64 - 1: {9: "nan"}})),
    ("empty-maps", ([0, 1], {0: {}}, {1: {}})),
]


@pytest.mark.parametrize("info", [c[1] for c in STORED_AS_READ], ids=[c[0] for c in STORED_AS_READ])
def test_state_is_stored_as_read(build_state, parse_state, info):
    state = build_state(*info)
    enc = Encoder()
    enc.__setstate__(state)
    assert enc.__getstate__() == state  # at most one entry per map: the byte order is fixed
    assert parse_state(state) == info and len(state) == formula_length(info)


@pytest.mark.parametrize(
    "labels, reverse, info",
    [([(0, [("a", 0), ("a", 5)])], [(0, [(0, "x"), (0, "y")])], ([0], {0: {"a": 5}}, {0: {0: "y"}})),
     ([(0, {"a": 0}), (0, {"b": 1, "c": None})], [(0, {0: "q"}), (0, {0: "r"})],
      ([0], {0: {"b": 1, "c": None}}, {0: {0: "r"}}))],
    ids=["repeated-entry", "repeated-column"],
)
def test_later_entry_replaces_earlier(build_state, parse_state, labels, reverse, info):
    enc = Encoder()
    enc.__setstate__(build_state([0], labels, reverse))
    state = enc.__getstate__()
    assert parse_state(state) == info and len(state) == formula_length(info)
    assert enc.decode(np.array([[0.0]])).tolist() == [[info[2][0][0]]]


def test_large_maps_beyond_reserved_room(enc, column, build_state, parse_state):
    texts = [f"t{i:06d}" for i in range(40000)]
    codes = enc.encode(column(texts[::-1]))
    twin = Encoder()
    twin.__setstate__(enc.__getstate__())
    assert parse_state(twin.__getstate__()) == parse_state(enc.__getstate__())
    assert twin.decode(codes[:5]).tolist() == [[t] for t in texts[::-1][:5]]
    wide = build_state(list(range(140000)))
    twin.__setstate__(wide)
    assert twin.__getstate__() == wide


DUPLICATORS = [
    ("copy", copy.copy), ("deepcopy", copy.deepcopy),
    *[(f"pickle{p}", lambda e, p=p: pickle.loads(pickle.dumps(e, protocol=p))) for p in range(2, 6)],
]


@pytest.mark.parametrize("duplicate", [d[1] for d in DUPLICATORS], ids=[d[0] for d in DUPLICATORS])
def test_copies_are_equal_and_independent(learnt, parse_state, objarr, duplicate):
    codes = np.array([[1.0, 7.5, 0.0], [0.0, -1.0, np.nan], [5.0, 0.0, 1.0]])
    before = learnt.__getstate__()
    twin = duplicate(learnt)
    assert type(twin) is Encoder and twin is not learnt
    assert parse_state(twin.__getstate__()) == parse_state(before)
    assert twin.decode(codes).tolist() == learnt.decode(codes).tolist() == [
        ["q", 7.5, "zz"], ["p", -1.0, "NaN"], ["NaN", 0.0, "é"]]
    learnt.encode(objarr([["other"]]))
    assert parse_state(twin.__getstate__()) == parse_state(before)
    learnt.__setstate__(EMPTY)
    assert twin.decode(codes[:1]).tolist() == [["q", 7.5, "zz"]]


@pytest.mark.parametrize("module", ["joblib", "cloudpickle"])
def test_third_party_serialisers(learnt, parse_state, tmp_path, module):
    lib = pytest.importorskip(module)
    if module == "joblib":
        lib.dump(learnt, tmp_path / "enc.joblib")
        twin = lib.load(tmp_path / "enc.joblib")
    else:
        twin = lib.loads(lib.dumps(learnt))
    assert parse_state(twin.__getstate__()) == parse_state(learnt.__getstate__())


FRAME = 'pd.DataFrame({"k": ["b", "a", "é"], "v": [1.0, 2.0, 3.0], "t": ["x", "nan", "y"]})'
WRITER = f"""
import pickle, sys
import pandas as pd
import tovrik
enc = tovrik.Encoder()
enc.encode({FRAME})
sys.stdout.write(pickle.dumps(enc, protocol=int(sys.argv[1])).hex())
"""
READER = """
import pickle, sys
import numpy as np
enc = pickle.loads(bytes.fromhex(sys.argv[1]))
print(enc.decode(np.array([[2.0, 1.5, 1.0], [0.0, 2.5, np.nan]])).tolist())
"""


@pytest.mark.parametrize("protocol", [2, 5])
def test_state_crosses_processes(enc, parse_state, run_python, protocol):
    enc.encode(eval(FRAME))
    twin = pickle.loads(bytes.fromhex(run_python(WRITER, protocol).stdout.decode()))
    assert parse_state(twin.__getstate__()) == parse_state(enc.__getstate__())
    out = run_python(READER, pickle.dumps(enc, protocol=protocol).hex()).stdout.decode()
    assert out == "[['é', 1.5, 'y'], ['a', 2.5, 'NaN']]\n"
