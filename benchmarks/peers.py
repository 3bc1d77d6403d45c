"""Peer recipes: several ways per tool to give the codes tovrik gives (encode, decode, apply), so the
harness can time every correct one and report the fastest per tool. Each encode recipe takes the
input frame and returns a float64 matrix: sorted-order codes in text columns, NaN where a cell has
none, the values in numeric columns."""

import numpy as np
import pandas as pd

# ---------------------------------------------------------------- column plan

TEXT, CAT, NUM, NUMTEXT, DATETIME = "text", "category", "number", "number-as-text", "datetime"


def plan(df):
    """What each column is on tovrik's `values` road: text (object / string), Categorical, a number
    column, or a nullable number column with missing cells, which that road reads as texts (its
    numbers' decimal texts, "<NA>" for a missing cell), or a datetime column (texts of its Timestamps)."""
    kinds = []
    for j in range(df.shape[1]):
        s = df.iloc[:, j]
        dt = s.dtype
        if isinstance(dt, pd.CategoricalDtype):
            kinds.append(CAT)
        elif dt == object or pd.api.types.is_string_dtype(dt):
            kinds.append(TEXT)
        elif pd.api.types.is_datetime64_any_dtype(dt):
            kinds.append(DATETIME)  # text on that road: str(Timestamp), whose byte order is time order here
        elif isinstance(dt, pd.api.extensions.ExtensionDtype) and s.hasnans:
            if not pd.api.types.is_integer_dtype(dt):
                raise NotImplementedError(f"nullable {dt} column with missing cells")
            kinds.append(NUMTEXT)
        else:
            kinds.append(NUM)
    return kinds


def to_float(codes):
    """Integer codes with -1 (or a masked / null cell) for "no code" as float64 with NaN."""
    out = np.asarray(codes).astype(np.float64)
    out[out < 0] = np.nan
    return out


def per_column(df, text_fn, cat_fn, numtext_fn=None):
    cols = []
    for j, kind in enumerate(plan(df)):
        s = df.iloc[:, j]
        if kind in (TEXT, DATETIME):
            cols.append(text_fn(s))
        elif kind == CAT:
            cols.append(cat_fn(s))
        elif kind == NUMTEXT:
            cols.append((numtext_fn or text_fn)(s.astype("string")))
        else:
            cols.append(s.to_numpy(dtype=np.float64, na_value=np.nan))
    return np.column_stack(cols)


def remap_table(used_categories):
    """Ranks of the used categories in byte order: the sorted remap of Categorical codes."""
    order = np.argsort(used_categories, kind="stable")
    rank = np.empty(len(order), dtype=np.float64)
    rank[order] = np.arange(len(order), dtype=np.float64)
    return rank


def pandas_cat_remap(s):
    """Codes of a Categorical column from its codes and categories: rank of each used category."""
    codes = s.cat.codes.to_numpy()
    cats = s.cat.categories.to_numpy(dtype=object)
    used = np.zeros(len(cats) + 1, dtype=bool)
    used[codes] = True  # a missing cell's code -1 marks the spare last slot
    used = used[: len(cats)]
    table = np.full(len(cats) + 1, np.nan)
    table[:-1][used] = remap_table(cats[used])
    return table[codes]


# ---------------------------------------------------------------- pandas

def _factorize(get):
    return lambda s: to_float(pd.factorize(get(s), sort=True)[0])


def _pandas(get):
    return lambda df: per_column(df, _factorize(get), pandas_cat_remap)


PANDAS = {
    "factorize(Series, sort=True)": _pandas(lambda s: s),
    "factorize(.array, sort=True)": _pandas(lambda s: s.array),
    "factorize(to_numpy(), sort=True)": _pandas(lambda s: s.to_numpy()),
}
PANDAS_CAT = {  # for frames of Categorical columns
    "cat.codes sorted remap": _pandas(lambda s: s),
    "factorize(col.astype(object), sort=True)": lambda df: per_column(
        df, _factorize(lambda s: s), _factorize(lambda s: s.astype(object))),
    "factorize(Series, sort=True)": lambda df: per_column(df, _factorize(lambda s: s), _factorize(lambda s: s)),
}


# ---------------------------------------------------------------- pyarrow

def _arrow_array(s):
    import pyarrow as pa
    return pa.array(s, from_pandas=True) if s.dtype != object else pa.array(s, type=pa.string(), from_pandas=True)


def _arrow_codes(indices, rank):
    """rank[indices] with null indices as NaN."""
    import pyarrow.compute as pc
    out = pc.take(rank, indices).to_numpy(zero_copy_only=False)
    return np.asarray(out, dtype=np.float64)


def arrow_dict_sort_take(s):
    import pyarrow as pa
    import pyarrow.compute as pc
    d = pc.dictionary_encode(_arrow_array(s))
    if isinstance(d, pa.ChunkedArray):
        d = d.combine_chunks()
    order = pc.sort_indices(d.dictionary).to_numpy()
    rank = np.empty(len(order), dtype=np.float64)
    rank[order] = np.arange(len(order))
    return _arrow_codes(d.indices, pa.array(rank))


def arrow_unique_index_in(s):
    import pyarrow.compute as pc
    arr = _arrow_array(s)
    uniques = pc.drop_null(pc.unique(arr))
    uniques = uniques.take(pc.sort_indices(uniques))
    return to_float(pc.index_in(arr, value_set=uniques).to_numpy(zero_copy_only=False))


def arrow_cat(s):
    """A Categorical column as Arrow sees it (dictionary = categories, indices = codes), remapped."""
    import pyarrow as pa
    import pyarrow.compute as pc
    d = pa.array(s)
    used = np.zeros(len(d.dictionary), dtype=bool)
    used[pc.unique(pc.drop_null(d.indices)).to_numpy()] = True
    table = np.full(len(used), np.nan)
    ranks = np.empty(int(used.sum()))
    ranks[pc.sort_indices(d.dictionary.filter(pa.array(used))).to_numpy()] = np.arange(len(ranks))
    table[used] = ranks
    return _arrow_codes(d.indices, pa.array(table))


PYARROW = {
    "pa.array + dictionary_encode + sorted dictionary + take": lambda df: per_column(df, arrow_dict_sort_take,
                                                                                      arrow_cat),
    "pa.array + unique + sort + index_in": lambda df: per_column(df, arrow_unique_index_in, arrow_cat),
}


# ---------------------------------------------------------------- polars

def _polars(text_fn):
    def run(df):
        import polars as pl
        kinds = plan(df)
        p = pl.from_pandas(df.set_axis([f"c{j}" for j in range(df.shape[1])], axis=1))
        cols = []
        for j, kind in enumerate(kinds):
            s = p.to_series(j)
            cols.append(s.cast(pl.Float64) if kind == NUM
                        else text_fn(s if kind == TEXT else s.cast(pl.String)).cast(pl.Float64))
        return pl.DataFrame(cols).to_numpy()
    return run


def _polars_enum(s):
    import polars as pl
    return s.cast(pl.Enum(s.drop_nulls().unique().sort())).to_physical()


def _polars_replace(s):
    keys = s.drop_nulls().unique().sort()
    return s.replace_strict(keys, np.arange(len(keys), dtype=np.float64), default=None)


POLARS = {
    "from_pandas + rank('dense')": _polars(lambda s: s.rank("dense") - 1),
    "from_pandas + cast(Enum(unique().sort())).to_physical()": _polars(_polars_enum),
    "from_pandas + replace_strict(unique().sort())": _polars(_polars_replace),
}


# ---------------------------------------------------------------- scikit-learn

def sklearn_column_transformer(df):
    from sklearn.compose import ColumnTransformer
    from sklearn.preprocessing import OrdinalEncoder
    kinds = plan(df)
    text = [j for j, k in enumerate(kinds) if k != NUM]
    ct = ColumnTransformer([("t", OrdinalEncoder(dtype=np.float64), text)], remainder="passthrough")
    out = ct.fit_transform(df.set_axis([f"c{j}" for j in range(df.shape[1])], axis=1))
    order = text + [j for j in range(df.shape[1]) if j not in text]
    return np.asarray(out[:, np.argsort(order)], dtype=np.float64)


def sklearn_ordinal(df):
    from sklearn.preprocessing import OrdinalEncoder
    kinds = plan(df)
    text = [j for j, k in enumerate(kinds) if k != NUM]
    codes = OrdinalEncoder(dtype=np.float64).fit_transform(df.iloc[:, text])
    cols, t = [], iter(range(len(text)))
    for j, k in enumerate(kinds):
        cols.append(codes[:, next(t)] if k != NUM else df.iloc[:, j].to_numpy(dtype=np.float64, na_value=np.nan))
    return np.column_stack(cols)


SKLEARN = {"ColumnTransformer(OrdinalEncoder)": sklearn_column_transformer,
           "OrdinalEncoder on the text columns": sklearn_ordinal}

ENCODE = {"pandas": PANDAS, "pyarrow": PYARROW, "polars": POLARS, "scikit-learn": SKLEARN}


# ---------------------------------------------------------------- decode
# Each decode recipe gets (codes frame, fitted sorted categories per text column) and returns a frame
# with the texts in object columns (None where a code has no text) and the other columns as they are.

def decode_recipes(codes, cats):
    import polars as pl
    import pyarrow as pa
    import pyarrow.compute as pc
    names = list(codes.columns)
    index = {c: pd.Index(v, dtype=object) for c, v in cats.items()}
    arrays = {c: np.asarray(v, dtype=object) for c, v in cats.items()}
    pa_cats = {c: pa.array(v, type=pa.string()) for c, v in cats.items()}
    pl_cats = {c: pl.Series(v, dtype=pl.String) for c, v in cats.items()}

    def frame(fn):  # dtype=object: pandas 3 would otherwise turn an object array of str into its str dtype
        return lambda: pd.DataFrame({c: pd.Series(fn(c, codes[c]), dtype=object, copy=False) if c in cats
                                     else codes[c] for c in names}, copy=False)

    def ints(col):
        return col.to_numpy().astype(np.intp)

    return {
        "pandas": {"Index(uniques).take(codes)": frame(lambda c, col: index[c].take(ints(col)))},
        "numpy": {"np.take(uniques, codes)": frame(lambda c, col: np.take(arrays[c], ints(col)))},
        "pyarrow": {"pc.take + to_numpy(object)": frame(
            lambda c, col: pc.take(pa_cats[c], pa.array(ints(col))).to_numpy(zero_copy_only=False))},
        "polars": {"gather + to_numpy": frame(lambda c, col: pl_cats[c].gather(ints(col)).to_numpy().astype(object))},
    }


# ---------------------------------------------------------------- apply: fitted categories given
# Each apply recipe factory takes (train frame, text column names) outside the timing and returns the
# timed function of the new frame.

def _apply_columns(new, text, code_fn):
    return np.column_stack([code_fn(c, new[c]) if c in text else new[c].to_numpy(dtype=np.float64)
                            for c in new.columns])


def apply_recipes(train, text):
    import polars as pl
    import pyarrow as pa
    import pyarrow.compute as pc
    from sklearn.compose import ColumnTransformer
    from sklearn.preprocessing import OrdinalEncoder
    fitted = {c: np.unique(train[c].to_numpy(dtype=object)) for c in text}
    index = {c: pd.Index(v, dtype=object) for c, v in fitted.items()}
    dtypes = {c: pd.CategoricalDtype(index[c]) for c in text}
    pa_sets = {c: pa.array(v, type=pa.string()) for c, v in fitted.items()}
    enums = {c: pl.Enum(list(v)) for c, v in fitted.items()}
    pl_keys = {c: pl.Series(v, dtype=pl.String) for c, v in fitted.items()}
    pl_vals = {c: pl.Series(np.arange(len(v), dtype=np.float64)) for c, v in fitted.items()}
    ordinal = OrdinalEncoder(dtype=np.float64, handle_unknown="use_encoded_value", unknown_value=np.nan)
    ordinal.fit(train[text])
    names = [c for c in train.columns if c in text] + [c for c in train.columns if c not in text]
    back = np.argsort([list(train.columns).index(c) for c in names])
    ct = ColumnTransformer([("t", OrdinalEncoder(dtype=np.float64, handle_unknown="use_encoded_value",
                                                 unknown_value=np.nan), text)], remainder="passthrough")
    ct.fit(train)

    def ordinal_run(new):
        codes = ordinal.transform(new[text])
        t = {c: codes[:, i] for i, c in enumerate(text)}
        return np.column_stack([t[c] if c in t else new[c].to_numpy(dtype=np.float64) for c in new.columns])

    def polars_run(expr):
        def run(new):
            p = pl.from_pandas(new)
            return p.select([expr(c).cast(pl.Float64) if c in text else pl.col(c) for c in p.columns]).to_numpy()
        return run

    return {
        "pandas": {
            "Categorical(col, categories=fitted).codes": lambda new: _apply_columns(
                new, text, lambda c, s: to_float(pd.Categorical(s, categories=index[c]).codes)),
            "col.astype(CategoricalDtype(fitted)).cat.codes": lambda new: _apply_columns(
                new, text, lambda c, s: to_float(s.astype(dtypes[c]).cat.codes.to_numpy())),
            "Index(fitted).get_indexer(col)": lambda new: _apply_columns(
                new, text, lambda c, s: to_float(index[c].get_indexer(s))),
        },
        "pyarrow": {
            "pc.index_in(pa.array(col), value_set=fitted)": lambda new: _apply_columns(
                new, text, lambda c, s: to_float(pc.index_in(_arrow_array(s), value_set=pa_sets[c])
                                                  .to_numpy(zero_copy_only=False))),
        },
        "polars": {
            "from_pandas + cast(pl.Enum(fitted), strict=False)": polars_run(
                lambda c: pl.col(c).cast(enums[c], strict=False).to_physical()),
            "from_pandas + replace_strict(fitted, default=None)": polars_run(
                lambda c: pl.col(c).replace_strict(pl_keys[c], pl_vals[c], default=None)),
        },
        "scikit-learn": {
            "OrdinalEncoder.transform (fitted, unknown NaN)": ordinal_run,
            "ColumnTransformer.transform (fitted, unknown NaN)": lambda new: np.asarray(
                ct.transform(new)[:, back], dtype=np.float64),
        },
    }
