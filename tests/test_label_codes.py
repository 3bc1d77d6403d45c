"""Codes of text columns: byte order of the texts, missing-value texts, independence of row order and pool size."""

import numpy as np
import pytest

NAN = float("nan")

CODE_CASES = [
    ("basic", ["b", "a", "b", "c"], [1, 0, 1, 2]),
    ("missing-texts", ["nan", "x", "<NA>", "NaN", "x"], [NAN, 0, NAN, NAN, 0]),
    ("only-missing", ["NaN", "nan", "<NA>"], [NAN, NAN, NAN]),
    ("empty-and-capitals", ["a", "B", "", "b"], [2, 1, 0, 3]),
    ("digits-as-text", ["10", "9", "2"], [0, 2, 1]),
    ("non-ascii-last", ["z", "é"], [0, 1]),
    ("prefixes", ["ab", "a", "b", "abc"], [1, 0, 3, 2]),
    ("nul-bytes", ["a\x00b", "a", "a\x00", "\x00"], [3, 1, 2, 0]),
    ("byte-order-not-utf16", ["\uffff", "\U0001f600", "\u00ff", "\x7f"], [2, 3, 1, 0]),
    ("missing-look-alikes", ["NAN", "Nan", "None", "", " nan", "nan ", "null", "NA", "na", "<na>", "nan"],
     [4, 5, 6, 0, 1, 8, 9, 3, 7, 2, NAN]),
    ("single", ["only"], [0]),
    ("long", ["x" * 5000 + "b", "x" * 5000 + "a", "x" * 4999], [2, 1, 0]),
    # One 16-byte prefix, then texts alike but for trailing NULs, some going on past 32 bytes.
    ("trailing-nuls", ["p" * 16 + "a\x00\x00", "p" * 16 + "a" + "\x00" * 20, "p" * 16 + "a", "p" * 16 + "a\x00",
                       "p" * 16 + "a" + "\x00" * 17 + "b"], [2, 3, 0, 1, 4]),
]


@pytest.mark.parametrize("texts, codes", [c[1:] for c in CODE_CASES], ids=[c[0] for c in CODE_CASES])
def test_codes_follow_byte_order(enc, column, label_codes, texts, codes):
    np.testing.assert_array_equal(label_codes(texts), codes)  # the reference agrees with the table
    np.testing.assert_array_equal(enc.encode(column(texts))[:, 0], codes)


def random_texts(rng, n, alphabet="abAB é\x00zÿ€😀", pool=40):
    words = ["".join(alphabet[j] for j in rng.integers(0, len(alphabet), size=rng.integers(0, 5)))
             for _ in range(pool)]
    words += ["nan", "NaN", "<NA>", "None", "NAN"]
    return [words[i] for i in rng.integers(0, len(words), size=n)]


@pytest.mark.parametrize("seed", [0, 1, 2, 3], ids=lambda s: f"seed={s}")
def test_random_columns_match_reference(enc, objarr, label_codes, seed):
    rng = np.random.default_rng(seed)
    cols = [random_texts(rng, 300) for _ in range(3)]
    data = objarr([list(row) for row in zip(cols[0], np.arange(300.0), cols[1], cols[2])])
    res = enc.encode(data)
    np.testing.assert_array_equal(res[:, 0], label_codes(cols[0]))
    np.testing.assert_array_equal(res[:, 1], np.arange(300.0))
    np.testing.assert_array_equal(res[:, 2], label_codes(cols[1]))
    np.testing.assert_array_equal(res[:, 3], label_codes(cols[2]))


@pytest.mark.parametrize("seed", [10, 11], ids=lambda s: f"seed={s}")
def test_codes_do_not_depend_on_row_order(enc, objarr, seed):
    rng = np.random.default_rng(seed)
    texts = random_texts(rng, 500)
    data = objarr([[t, i] for i, t in enumerate(texts)])
    first = enc.encode(data)
    perm = rng.permutation(len(texts))
    second = enc.encode(data[perm])
    np.testing.assert_array_equal(second, first[perm])
    # repeating rows adds no codes
    third = enc.encode(np.concatenate([data, data[perm]]))
    np.testing.assert_array_equal(third[: len(texts)], first)


def test_each_encode_learns_afresh(enc, column):
    np.testing.assert_array_equal(enc.encode(column(["a", "b"]))[:, 0], [0, 1])
    np.testing.assert_array_equal(enc.encode(column(["b", "c"]))[:, 0], [0, 1])


def test_columns_are_numbered_separately(enc, objarr):
    res = enc.encode(objarr([["a", "z", "a"], ["b", "a", "q"], ["c", "a", "a"]]))
    np.testing.assert_array_equal(res, [[0, 1, 0], [1, 0, 1], [2, 0, 0]])


POOL_SCRIPT = """
import sys
import numpy as np
import tovrik
data = np.load(sys.argv[1], allow_pickle=True)
enc = tovrik.Encoder()
first = enc.encode(data)
assert np.array_equal(first, enc.encode(data), equal_nan=True)
np.save(sys.argv[2], first)
"""


@pytest.fixture(scope="module")
def pool_input(tmp_path_factory):
    rng = np.random.default_rng(2024)
    rows = 4000
    cols = [random_texts(rng, rows, pool=300) for _ in range(5)]
    data = np.empty((rows, 8), dtype=object)
    for c in range(5):
        data[:, c] = cols[c]
    data[:, 5] = rng.normal(size=rows)
    data[:, 6] = rng.integers(-50, 50, size=rows)
    data[:, 7] = [str(i % 97) for i in range(rows)]
    path = tmp_path_factory.mktemp("pool") / "input.npy"
    np.save(path, data, allow_pickle=True)
    return path, data


@pytest.mark.parametrize(
    "env",
    [
        {"RAYON_NUM_THREADS": "1"},
        {"RAYON_NUM_THREADS": "2"},
        {"RAYON_NUM_THREADS": "4"},
        {"RAYON_NUM_THREADS": "0"},
        {"RAYON_NUM_THREADS": "many", "RAYON_RS_NUM_CPUS": "3"},
        {"RAYON_RS_NUM_CPUS": "1"},
    ],
    ids=lambda e: ",".join(f"{k}={v}" for k, v in e.items()) + ",seed=2024",
)
def test_results_independent_of_pool_size(run_python, pool_input, label_codes, tmp_path, env):
    path, data = pool_input
    out = tmp_path / "out.npy"
    run_python(POOL_SCRIPT, path, out, env_updates=env)
    res = np.load(out)
    assert res.dtype == np.float64 and res.shape == data.shape
    for c in (0, 1, 2, 3, 4, 7):
        np.testing.assert_array_equal(res[:, c], label_codes(list(data[:, c])))
    np.testing.assert_array_equal(res[:, 5], data[:, 5].astype(np.float64))
    np.testing.assert_array_equal(res[:, 6], data[:, 6].astype(np.float64))


def test_columns_split_into_partitions_with_empty_ones(run_python):
    # 600 distinct texts in 4096 rows are deduplicated in 64 hash partitions, some
    # of which come out empty; run in a subprocess so that a crash fails the test.
    code = (
        "import numpy as np, tovrik\n"
        "rng = np.random.default_rng(11)\n"
        "pool = np.array([f'p{j}' for j in range(600)], dtype=object)\n"
        "for _ in range(200):\n"
        "    col = pool[rng.integers(0, 600, 4096)].reshape(-1, 1)\n"
        "    rank = {s: i for i, s in enumerate(sorted(set(col[:, 0])))}\n"
        "    expected = np.array([rank[s] for s in col[:, 0]], dtype=float)\n"
        "    assert np.array_equal(tovrik.Encoder().encode(col)[:, 0], expected)\n"
        "print('ok')\n"
    )
    assert run_python(code).stdout.decode().split() == ["ok"]


def shared_prefix_texts(rng, prefix_lengths, per_prefix):
    """Distinct texts sharing prefixes of the given lengths, with endings that
    fall on either side of each 16-byte step (and NULs, which sort first)."""
    out = set()
    for n in prefix_lengths:
        prefix = "p" * (n // 2) + "é" * (n - n // 2 - n % 2) + "/" * (n % 2)  # some multi-byte characters
        for _ in range(per_prefix):
            m = int(rng.integers(0, 40))
            out.add(prefix + "".join(rng.choice(["a", "b", "\x00", "z"], size=m)))
    return sorted(out)


@pytest.mark.parametrize("prefix_lengths, per_prefix", [
    ([0, 7, 8, 15, 16, 17, 31, 32, 33], 60),
    ([2040, 2050, 4100], 40),            # past the depth where texts are compared whole
    ([24, 40], 40_000),                  # many texts: the parallel sort and its buckets
], ids=["step-edges", "very-long", "many"])
def test_texts_sharing_long_prefixes_follow_byte_order(enc, column, label_codes, prefix_lengths, per_prefix):
    rng = np.random.default_rng(len(prefix_lengths) * per_prefix)
    texts = shared_prefix_texts(rng, prefix_lengths, per_prefix)
    rows = [texts[i] for i in rng.permutation(len(texts))]
    np.testing.assert_array_equal(enc.encode(column(rows))[:, 0], label_codes(rows))
