"""tovrik_ml.dask: the distributed encode gives exactly the codes and the state
bytes of one Encoder over the whole computed frame, on every scheduler."""

import os
import pickle

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")

import tovrik  # noqa: E402
import tovrik_ml  # noqa: E402
from tovrik_ml import dask as tdd  # noqa: E402


def frame_of(parts):
    """A dask DataFrame whose partitions are exactly `parts`."""
    return dd.from_delayed([dask.delayed(p.copy)() for p in parts], meta=parts[0].iloc[:0], verify_meta=False)


def assert_exact(ddf, split_every=8, scheduler="sync"):
    whole = ddf.compute(scheduler=scheduler)
    want_enc = tovrik.Encoder()
    want = want_enc.encode(whole)
    with dask.config.set(scheduler=scheduler):
        codes, enc = tdd.encode(ddf, split_every=split_every)
        got = codes.compute()
    assert list(got.columns) == list(want.columns)
    assert (got.dtypes == np.float64).all()
    assert np.array_equal(got.to_numpy(), want.to_numpy(), equal_nan=True)
    assert enc.__getstate__() == want_enc.__getstate__()
    assert pickle.dumps(enc) == pickle.dumps(want_enc)
    return codes, enc


def mixed_parts(seed, n_parts, rows):
    """Partitions of one frame: text columns of several kinds, a column whose
    first text sits in a middle partition with numbers before and after it,
    missing values, an all-missing column and a numeric one."""
    rng = np.random.default_rng(seed)
    words = np.array(["a", "B", "é", "", "nan", "<NA>", "日本", "None"] + [f"w{i}" for i in range(30)], dtype=object)
    first_text_part = n_parts // 2
    parts = []
    for p in range(n_parts):
        n = int(rng.integers(0, rows)) if p % 3 == 1 else rows  # some partitions empty or short
        late = np.empty(n, dtype=object)
        late[:] = list(rng.choice([1.0, 2.5, 3, np.nan, -0.0, True], n))
        if p == first_text_part and n:
            late[n // 2] = "first text"
        if p > first_text_part and n:
            late[-1] = "later text"
        obj = words[rng.integers(0, len(words), n)].copy()
        obj[rng.random(n) < 0.2] = np.nan
        parts.append(pd.DataFrame({
            "obj": pd.Series(obj, dtype=object),
            "late": pd.Series(late, dtype=object),
            "none": pd.Series([np.nan] * n, dtype=object),
            "num": rng.random(n),
            "str": pd.Series(words[rng.integers(0, len(words), n)], dtype="str"),
        }))
    return parts


@pytest.mark.parametrize("n_parts", [1, 2, 5, 9])
@pytest.mark.parametrize("split_every", [2, 3, 16])
@pytest.mark.parametrize("seed", [0, 1])
def test_encode_is_exact_for_any_partitioning_and_fan_in(n_parts, split_every, seed):
    assert_exact(frame_of(mixed_parts(seed, n_parts, 40)), split_every=split_every)


def test_the_first_text_in_partition_5_of_9_types_the_whole_column():
    parts = [pd.DataFrame({"c": pd.Series([float(i), 1.0, np.nan], dtype=object)}) for i in range(9)]
    parts[5].loc[1, "c"] = "x"
    with dask.config.set({"dataframe.convert-string": False}):  # keep the object cells
        _, enc = assert_exact(frame_of(parts), split_every=2)
    texts = {k for k in enc.decode(np.arange(30.0).reshape(-1, 1))[:, 0]}
    # numbers before the first text (row 1 of partition 5): float text rule; after it: str()
    assert {"0", "1", "4", "5", "1.0", "6.0", "8.0", "x"} <= texts
    assert not {"4.0", "5.0", "6", "8"} & texts


@pytest.mark.parametrize("convert_string", [True, False])
def test_from_pandas_with_and_without_string_conversion(convert_string):
    df = pd.concat(mixed_parts(3, 4, 50), ignore_index=True)
    with dask.config.set({"dataframe.convert-string": convert_string}):
        ddf = dd.from_pandas(df, npartitions=6, sort=False)
        assert_exact(ddf)


def test_categorical_partitions():
    parts = [pd.DataFrame({"k": pd.Categorical(["b", "a", None, "b"], categories=["z", "b", "a"]),
                           "v": [1.0, 2.0, 3.0, 4.0]}),
             pd.DataFrame({"k": pd.Categorical(["c", "c"], categories=["c", "q"]), "v": [5.0, 6.0]})]
    assert_exact(frame_of(parts))


def test_numeric_only_frames_and_empty_partitions():
    parts = [pd.DataFrame({"a": pd.Series([], dtype=object), "b": pd.Series([], dtype="float64")}),
             pd.DataFrame({"a": pd.Series([1, 2.5], dtype=object), "b": [1.0, 2.0]}),
             pd.DataFrame({"a": pd.Series([], dtype=object), "b": pd.Series([], dtype="float64")})]
    with dask.config.set({"dataframe.convert-string": False}):  # keep the object cells
        _, enc = assert_exact(frame_of(parts))
    assert enc.__getstate__()[:9] == b"\x01" + bytes(8)  # a mapping listing no column


@pytest.mark.parametrize("scheduler", ["sync", "threads"])
def test_local_schedulers(scheduler):
    assert_exact(frame_of(mixed_parts(5, 6, 300)), scheduler=scheduler)


def test_the_learnt_texts_are_one_key_of_the_graph():
    ddf = frame_of(mixed_parts(6, 6, 200))
    codes, enc = assert_exact(ddf)
    state = enc.__getstate__()
    inputs = set(dict(ddf.__dask_graph__()))

    def big_keys(collection, size):
        graph = {k: v for k, v in dict(collection.__dask_graph__()).items() if k not in inputs}
        # Each partition's own local codes are kept beside the graph, one key each.
        return [k for k, v in graph.items() if not str(k).startswith("_local") and len(pickle.dumps(v)) >= size]

    # Encode: the merged texts, referenced by every partition's task.
    assert len(big_keys(codes, len(state) // 4)) == 1
    # Apply: the state.
    assert len(big_keys(tdd.transform(enc, ddf), len(state))) == 1


def test_apply_and_decode_partition_by_partition():
    parts = mixed_parts(7, 5, 60)
    train = frame_of(parts)
    codes, enc = tdd.encode(train)
    new = frame_of(mixed_parts(8, 4, 60))
    new_parts = dask.compute(*new.to_delayed(), scheduler="sync")  # as dask hands them out
    got = tdd.transform(enc, new).compute(scheduler="sync")
    want = pd.concat([tovrik_ml.transform(enc, p).set_axis(p.index) for p in new_parts])
    assert np.array_equal(got.to_numpy(), want.to_numpy(), equal_nan=True)
    back = tdd.decode(enc, codes).compute(scheduler="sync")
    whole = enc.decode(codes.compute(scheduler="sync"))
    assert back.to_numpy().tolist() == whole.to_numpy().tolist()
    with pytest.raises(ValueError, match="unknown must be"):
        tdd.transform(enc, new, unknown="skip")
    with pytest.raises(tovrik_ml.NotFittedError):
        tdd.transform(tovrik.Encoder(), new)
    with pytest.raises(ValueError, match="split_every"):
        tdd.encode(train, split_every=1)


@pytest.fixture
def cluster_client():
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    client = distributed.Client(cluster)
    try:
        yield client
    finally:
        client.close()
        cluster.close()


def test_local_cluster_with_worker_processes(cluster_client):
    ddf = frame_of(mixed_parts(9, 8, 500))
    whole = ddf.compute()
    want_enc = tovrik.Encoder()
    want = want_enc.encode(whole)
    codes, enc = tdd.encode(ddf, split_every=3)
    got = codes.compute()
    assert np.array_equal(got.to_numpy(), want.to_numpy(), equal_nan=True)
    assert enc.__getstate__() == want_enc.__getstate__()
    # 2 workers of 1 thread on this machine: each pool gets cores // 2 threads.
    cores = len(os.sched_getaffinity(0))
    pools = cluster_client.run(lambda: os.environ.get("RAYON_NUM_THREADS"))
    assert set(pools.values()) == {str(max(1, cores // 2))}
    decoded = tdd.decode(enc, codes).compute()
    assert decoded.to_numpy().tolist() == enc.decode(got).to_numpy().tolist()


@pytest.mark.parametrize("chunks", [(7, 3), (50, 1), (200, 3)])
def test_object_dask_arrays(chunks):
    da = pytest.importorskip("dask.array")
    parts = mixed_parts(10, 3, 70)
    whole = pd.concat(parts, ignore_index=True)[["obj", "late", "num"]].to_numpy(dtype=object)
    arr = da.from_array(whole, chunks=chunks)
    want_enc = tovrik.Encoder()
    want = want_enc.encode(whole)
    codes, enc = tdd.encode(arr, split_every=2)
    assert np.array_equal(codes.compute(scheduler="sync"), want, equal_nan=True)
    assert enc.__getstate__() == want_enc.__getstate__()


@pytest.mark.parametrize("dtype", ["float64", "int32"])
def test_numeric_dask_arrays(dtype):
    da = pytest.importorskip("dask.array")
    whole = np.arange(12).reshape(6, 2).astype(dtype)
    want_enc = tovrik.Encoder()
    want = want_enc.encode(whole)
    codes, enc = tdd.encode(da.from_array(whole, chunks=(4, 1)))
    assert np.array_equal(codes.compute(scheduler="sync"), want)
    assert enc.__getstate__() == want_enc.__getstate__()


def test_categorical_partitions():
    # Categorical columns are read from their codes; a partition holding only
    # missing cells has no text of the column, another is coded afresh.
    cats = pd.Index(["b", "a", "é", "nan", "unused"], dtype=object)
    parts = [pd.DataFrame({"c": pd.Categorical.from_codes(codes, categories=cats), "f": np.arange(len(codes), dtype=float)})
             for codes in ([-1, -1], [0, 1, -1], [], [2, 2, 3, -1], [-1])]
    assert_exact(frame_of(parts), split_every=2)
