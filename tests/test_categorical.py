"""pandas Categorical columns of texts are read from their codes and
categories: the result must be the one `values` gives, cell for cell and in
the learnt state, for every kind of categories and of missing cell."""

import numpy as np
import pandas as pd
import pytest

import tovrik
import tovrik_ml
from sample_columns import assert_like_values

WORDS = ["a", "B", "é", "", "nan", "<NA>", "日本", "🙂", "None", "1.5", "b"]
CATEGORY_DTYPES = [object, "str", "string[python]", "string[pyarrow]"]


def categorical(rng, n, dtype, missing=0.2, unused=3):
    cats = list(rng.permutation(WORDS)) + [f"unused{i}" for i in range(unused)]
    cats = pd.Index(cats, dtype=dtype)
    codes = rng.integers(0, len(WORDS), n)
    codes[rng.random(n) < missing] = -1
    return pd.Categorical.from_codes(codes, categories=cats)


@pytest.mark.parametrize("dtype", CATEGORY_DTYPES, ids=str)
@pytest.mark.parametrize("missing", [0.0, 0.3, 1.0])
@pytest.mark.parametrize("seed", range(3))
def test_categorical_columns_read_like_values(dtype, missing, seed):
    rng = np.random.default_rng(seed)
    n = 200
    late = np.empty(n, dtype=object)
    late[:] = list(rng.choice([1.0, 2.5, np.nan], n))
    late[n // 2] = "text"
    frame = pd.DataFrame({
        "c": categorical(rng, n, dtype, missing),
        "f": rng.random(n),
        "late": late,  # numbers before its first text
        "d": categorical(rng, n, dtype, missing / 2, unused=0),
    })
    enc = assert_like_values(frame)
    learnt = enc.decode(enc.encode(frame))["c"]
    # Unused categories are not learnt.
    assert not any(str(t).startswith("unused") for t in learnt.dropna())


@pytest.mark.parametrize("dtype", CATEGORY_DTYPES, ids=str)
@pytest.mark.parametrize("codes", [[0, 1, -1, 0], [-1, -1], [-1, 0], [], [2, 2]])
def test_single_categorical_column(dtype, codes):
    cats = pd.Index(["x", "nan", "y"], dtype=dtype)
    frame = pd.DataFrame({"c": pd.Categorical.from_codes(codes, categories=cats)})
    assert_like_values(pd.concat([frame, pd.DataFrame({"n": np.arange(len(codes), dtype=float)})], axis=1))
    if len(codes):
        assert_like_values(frame)


def test_surrogates_and_str_subclasses_in_categories():
    class Tag(str):
        def __str__(self):
            return "tag:" + self

    # `values` itself fails here (pandas hashes the categories); the cells
    # read as the same cells in an object column do.
    odd = pd.Index(["\ud800", "ok"], dtype=object)
    frame = pd.DataFrame({"s": pd.Categorical.from_codes([0, 1, 0, -1], categories=odd), "f": np.zeros(4)})
    cells = pd.DataFrame({"s": pd.Series(["\ud800", "ok", "\ud800", np.nan], dtype=object), "f": np.zeros(4)})
    enc, want_enc = tovrik.Encoder(), tovrik.Encoder()
    np.testing.assert_array_equal(enc.encode(frame).to_numpy(), want_enc.encode(cells).to_numpy())
    assert enc.__getstate__() == want_enc.__getstate__()
    frame = pd.DataFrame({"t": pd.Categorical.from_codes([0, 1, 0], categories=pd.Index([Tag("a"), "b"], dtype=object)),
                          "f": np.zeros(3)})
    assert_like_values(frame)


@pytest.mark.parametrize("cats", [[1, 2, 3], [1.5, 2.5, 3.5], pd.to_datetime(["2020-01-01", "2021-01-01", "2022-01-01"]),
                                  ["a", 1, 2.5]], ids=["int", "float", "datetime", "mixed"])
def test_other_categories_keep_the_values_road(cats):
    codes = [0, 2, -1, 1]
    frame = pd.DataFrame({"c": pd.Categorical.from_codes(codes, categories=cats), "f": [1.0, 2.0, 3.0, 4.0]})
    assert_like_values(frame)
    enc = tovrik.Encoder()
    got = enc.encode(frame[["c"]])
    want = tovrik.Encoder().encode(frame[["c"]].values)
    np.testing.assert_array_equal(got.to_numpy(), want)


@pytest.mark.parametrize("dtype", CATEGORY_DTYPES, ids=str)
def test_applied_like_values(dtype):
    rng = np.random.default_rng(7)
    train = pd.DataFrame({"c": categorical(rng, 300, dtype), "f": rng.random(300)})
    enc = tovrik.Encoder()
    enc.encode(train)
    new = pd.DataFrame({"c": categorical(rng, 100, dtype, unused=0), "f": rng.random(100)})
    np.testing.assert_array_equal(tovrik_ml.transform(enc, new).to_numpy(),
                                  tovrik_ml.transform(enc, new.to_numpy(dtype=object)))
    # An unknown text: the same lowest row and text either way.
    codes = np.array([0, 1, 3, 2, 3])
    unknown = pd.DataFrame({"c": pd.Categorical.from_codes(codes, categories=pd.Index(["a", "B", "zz", "yy"], dtype=dtype)),
                            "f": np.zeros(5)})
    with pytest.raises(ValueError) as got:
        tovrik_ml.transform(enc, unknown, unknown="error")
    with pytest.raises(ValueError) as want:
        # An all-object frame of the same cells is read through `values`.
        tovrik_ml.transform(enc, unknown.astype(object), unknown="error")
    assert str(got.value) == str(want.value) and "(row 2)" in str(got.value)
    np.testing.assert_array_equal(tovrik_ml.transform(enc, unknown).to_numpy(),
                                  tovrik_ml.transform(enc, unknown.to_numpy(dtype=object)))
