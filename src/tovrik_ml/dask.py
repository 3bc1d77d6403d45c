"""tovrik on Dask: an exact distributed encode, and learnt mappings applied and
decoded partition by partition.

``encode(ddf)`` gives the very codes, and an Encoder with the very state
bytes, that ``tovrik.Encoder().encode(ddf.compute())`` would give, for any
number of partitions and any reduction fan-in:

1. each partition, in one task for all its columns, yields the sorted
   distinct texts of every column that may hold text (packed as offsets and
   bytes), and where its first text is;
2. a tree reduction (``split_every`` children a node) merges the sorted sets
   by a linear k-way merge; a column's numbers before its first text anywhere
   in row order take the float text rule, later ones ``str()``, so each
   partition also offers the set it would have after a text in an earlier
   partition, when the two differ;
3. each partition's codes are then looked up in the merged mapping, which is
   one key of the graph, shipped to each worker once.
"""

from __future__ import annotations

import os
import threading
from typing import Any

import dask
import numpy as np
import pandas as pd

import tovrik
from tovrik_ml import _native
from tovrik_ml._apply import learnt_mapping

__all__ = ["decode", "encode", "transform"]

_NUMERIC_KINDS = "biuf"  # NumPy dtypes whose cells are numbers: never text


def _candidates(meta: pd.DataFrame) -> list[int]:
    """Columns that may hold text: all but plain NumPy numbers and bools."""
    return [i for i, dt in enumerate(meta.dtypes)
            if not (isinstance(dt, np.dtype) and dt.kind in _NUMERIC_KINDS)]


# ---- phase 1: one partition's sets ----

def _local(part: Any, number: int, columns: list[int]) -> dict[str, Any]:
    """One partition encoded by itself, kept on its worker for phase 2: its
    summary for the reduction, each listed column's first text row (or -1),
    its local codes and index.

    The summary holds, per column, the partition holding the first text (this
    one or None), the sorted distinct texts with no text before this
    partition, and the set with one (None when both are the same)."""
    _bound_pool()
    width = part.shape[1]
    rows, firsts, sets, matrix = _native.part_sets(part, columns, [False] * width)
    # Numbers before a column's first text read differently once an earlier
    # partition held a text: str() instead of the float text rule.
    lead = [i for i, f in enumerate(firsts) if rows and f != 0]
    forced: list[Any] = [None] * len(columns)
    if lead:
        flags = [False] * width
        for i in lead:
            flags[columns[i]] = True
        again = _native.part_sets(part, [columns[i] for i in lead], flags)[2]
        for i, s in zip(lead, again):
            forced[i] = s
    summary = {"first": [number if f >= 0 else None for f in firsts], "none": sets, "forced": forced}
    return {"summary": summary, "rows": rows, "firsts": list(firsts), "matrix": matrix,
            "index": part.index if isinstance(part, pd.DataFrame) else None}


def _summary_of(local: dict[str, Any]) -> dict[str, Any]:
    return local["summary"]


def _status_of(local: dict[str, Any]) -> tuple[int, list[int]]:
    return local["rows"], local["firsts"]


def _summary(part: Any, number: int, columns: list[int]) -> dict[str, Any]:
    """The summary of one partition's sets (see _local)."""
    return _local(part, number, columns)["summary"]


def _combine(*children: dict[str, Any]) -> dict[str, Any]:
    """The summary of consecutive partitions from theirs, in row order."""
    n = len(children[0]["first"])
    out: dict[str, Any] = {"first": [], "none": [], "forced": []}
    for c in range(n):
        first = None
        none_sets, forced_sets, any_forced = [], [], False
        for ch in children:
            own_forced = ch["forced"][c]
            after_text = first is not None
            none_sets.append(own_forced if after_text and own_forced is not None else ch["none"][c])
            forced_sets.append(own_forced if own_forced is not None else ch["none"][c])
            any_forced = any_forced or own_forced is not None
            if first is None:
                first = ch["first"][c]
        out["first"].append(first)
        out["none"].append(_native.merge(none_sets))
        out["forced"].append(_native.merge(forced_sets) if any_forced else None)
    return out


def _tree(nodes: list[Any], split_every: int) -> Any:
    while len(nodes) > 1:
        nodes = [dask.delayed(_combine, pure=True)(*nodes[i:i + split_every])
                 for i in range(0, len(nodes), split_every)]
    return nodes[0]


# ---- phase 2: codes of one partition ----

_cache_lock = threading.Lock()
_cache: list[tuple[bytes, Any]] = []  # the mappings read on this process, newest last


def _mapping_of(state: bytes) -> Any:
    """The prepared mapping of `state`, read once per process: every task of
    a worker gets the same bytes object for the graph's one state key."""
    with _cache_lock:  # held while reading, so that threads of one worker read it once
        for held, mapping in _cache:
            if held is state:
                return mapping
        mapping = _native.prepare(state)
        _cache.append((state, mapping))
        del _cache[:-2]
        return mapping


def _codes(part: Any, state: bytes, firsts: list[Any], unknown_error: bool,
           partition_info: dict[str, Any] | None = None) -> Any:
    _bound_pool()
    number = partition_info["number"] if partition_info else 0
    force = [f is not None and f < number for f in firsts] if firsts else None
    out = _native.apply(_mapping_of(state), part, unknown_error, force)
    if isinstance(out, pd.DataFrame):
        out.index = part.index
    return out


def _finish(local: dict[str, Any], merged: list[Any], text: list[int], columns: list[int], names: Any) -> Any:
    """A partition's codes from its local codes: each local set walked against
    the merged set gives the merged code of each local code."""
    sets = local["summary"]["none"]  # the partition's own sorted sets
    out = _native.remap(local["matrix"], [columns[i] for i in text], [sets[i] for i in text], merged)
    if local["index"] is None:
        return out
    return pd.DataFrame(out, index=local["index"], columns=names, copy=False)


def _decoded(part: pd.DataFrame, state: bytes) -> pd.DataFrame:
    _bound_pool()
    enc = tovrik.Encoder()
    enc.__setstate__(state)
    out = enc.decode(part)
    out.index = part.index
    return out


# ---- the worker pools ----

def _bound_pool() -> None:
    """Sizes this process's pool, before its first use, so that the pools of
    all Dask workers on this machine together stay within its cores (an
    explicit RAYON_NUM_THREADS is kept). The pool is one per process, shared
    by all the worker's threads: dividing it by their number too would leave
    one thread's work waiting for the other's."""
    if "RAYON_NUM_THREADS" in os.environ:
        return
    try:
        from distributed import get_worker

        get_worker()
    except (ImportError, ValueError, AttributeError):
        return  # not on a distributed worker: the local schedulers share one pool
    share = int(os.environ.get("TOVRIK_WORKERS_ON_HOST", "1"))
    cores = len(os.sched_getaffinity(0))
    os.environ["RAYON_NUM_THREADS"] = str(max(1, cores // max(1, share)))


def _announce_workers() -> None:
    """Tells each distributed worker how many workers share its machine."""
    try:
        from distributed import default_client

        client = default_client()
    except (ImportError, ValueError):
        return
    per_host: dict[str, int] = {}
    for w in client.scheduler_info()["workers"].values():
        per_host[w["host"]] = per_host.get(w["host"], 0) + 1

    def announce(dask_worker: Any) -> None:
        os.environ.setdefault("TOVRIK_WORKERS_ON_HOST", str(per_host.get(dask_worker.ip, 1)))

    client.run(announce)


# ---- the public steps ----

def encode(ddf: Any, *, split_every: int = 8) -> tuple[Any, tovrik.Encoder]:
    """Encodes a dask DataFrame (or 2-D dask array) exactly as one Encoder
    would encode all of it.

    Returns the codes, lazy: a dask DataFrame of float64 columns (each
    partition keeps its index) or a float64 dask array; and the Encoder
    holding the learnt mapping, which learning computes (the per-partition
    sets and their merge)."""
    if not isinstance(split_every, int) or split_every < 2:
        raise ValueError(f"split_every must be an int of at least 2, not {split_every!r}")
    _announce_workers()
    if _is_array(ddf):
        return _encode_array(ddf, split_every)
    meta = ddf._meta
    columns = _candidates(meta)
    parts = ddf.to_delayed()
    out_meta = tovrik.Encoder().encode(meta)
    out_meta.index = meta.index
    encoder, blocks, _ = _encode_parts(parts, columns, meta.shape[1], split_every, out_meta.columns)
    import dask.dataframe as dd

    return dd.from_delayed(blocks, meta=out_meta, divisions=ddf.divisions, verify_meta=False), encoder


def _encode_parts(parts: list[Any], columns: list[int], width: int, split_every: int,
                  names: Any) -> tuple[tovrik.Encoder, list[Any], list[int]]:
    """Learns the mapping of all parts and makes each part's codes, lazily.

    Phase 1 runs once: its local codes stay in memory (on their workers) until
    the codes are made from them. A part whose local reading of a text column
    differs from the global one (only numbers, or numbers before its first text
    after a text in an earlier part) is coded afresh with the merged mapping."""
    locals_ = dask.persist(*[dask.delayed(_local, pure=True)(p, i, columns) for i, p in enumerate(parts)])
    summaries = [dask.delayed(_summary_of, pure=True)(l) for l in locals_]
    statuses = [dask.delayed(_status_of, pure=True)(l) for l in locals_]
    root, statuses = dask.compute(_tree(summaries, split_every), statuses)
    text = [i for i, f in enumerate(root["first"]) if f is not None]
    state, firsts = _learnt(root, columns, width)
    encoder = tovrik.Encoder()
    encoder.__setstate__(state)
    merged = _shared([root["none"][i] for i in text])
    state_key = None
    blocks = []
    for number, (local, (rows, local_first)) in enumerate(zip(locals_, statuses)):
        same = all(local_first[i] == 0 or (local_first[i] > 0 and root["first"][i] == number) for i in text)
        if same:
            blocks.append(dask.delayed(_finish, pure=True)(local, merged, text, columns, names))
        else:
            if state_key is None:
                state_key = _shared(state)
            blocks.append(dask.delayed(_coded_afresh, pure=True)(parts[number], state_key, firsts, number))
    return encoder, blocks, [rows for rows, _ in statuses]


def _coded_afresh(part: Any, state: bytes, firsts: list[Any], number: int) -> Any:
    return _codes(part, state, firsts, False, {"number": number})


def _learnt(root: dict[str, Any], columns: list[int], width: int) -> tuple[bytes, list[Any]]:
    """The state of the merged sets, and each column's first text partition."""
    text = [i for i, f in enumerate(root["first"]) if f is not None]
    state = _native.state_of_sets([columns[i] for i in text], [root["none"][i] for i in text])
    firsts: list[Any] = [None] * width
    for i in text:
        firsts[columns[i]] = root["first"][i]
    return state, firsts


def _is_array(obj: Any) -> bool:
    return type(obj).__name__ == "Array" and type(obj).__module__.startswith("dask.array")


def _encode_array(arr: Any, split_every: int) -> tuple[Any, tovrik.Encoder]:
    if arr.ndim != 2:
        raise ValueError(f"encode takes a 2-D dask array, not {arr.ndim}-D")
    if arr.dtype.kind in _NUMERIC_KINDS:
        # No cell can be text: a float64 array keeps no mapping, others an empty one.
        encoder = tovrik.Encoder()
        if arr.dtype != np.float64:
            encoder.__setstate__(_native.state_of_sets([], []))
        return arr.astype(np.float64, copy=True), encoder
    arr = arr.rechunk({1: -1})  # each block holds whole rows
    import dask.array as da

    width = arr.shape[1]
    blocks = list(arr.to_delayed().ravel())
    encoder, codes, rows = _encode_parts(blocks, list(range(width)), width, split_every, None)
    return da.concatenate([da.from_delayed(b, shape=(n, width), dtype=np.float64,
                                           meta=np.empty((0, 0), dtype=np.float64))
                           for b, n in zip(codes, rows)], axis=0), encoder


def transform(encoder: tovrik.Encoder, ddf: Any, unknown: str = "nan") -> Any:
    """Applies the mapping `encoder` learnt to every partition of `ddf`, as
    tovrik_ml.transform would to each partition: a lazy dask DataFrame."""
    if unknown not in ("nan", "error"):
        raise ValueError(f"unknown must be 'nan' or 'error', not {unknown!r}")
    learnt_mapping(encoder)  # fails here, not in a task, when nothing was learnt
    _announce_workers()
    return _map_codes(ddf, encoder.__getstate__(), [], unknown == "error")


def decode(encoder: tovrik.Encoder, ddf: Any) -> Any:
    """Decodes every partition of `ddf` with `encoder`: a lazy dask DataFrame."""
    _announce_workers()
    state = encoder.__getstate__()
    meta = _decoded(ddf._meta, state)
    return ddf.map_partitions(_decoded, _shared(state), meta=meta, align_dataframes=False)


def _shared(obj: Any) -> Any:
    """`obj` as one key of the graph: on a distributed cluster scattered to
    every worker once, not sent inside the graph."""
    try:
        from distributed import default_client

        return default_client().scatter([obj], broadcast=True, hash=True)[0]
    except (ImportError, ValueError):
        return dask.delayed(obj, pure=True)


def _map_codes(ddf: Any, state: bytes, firsts: list[Any], unknown_error: bool) -> Any:
    meta = tovrik.Encoder().encode(ddf._meta)
    meta.index = ddf._meta.index
    return ddf.map_partitions(_codes, _shared(state), firsts, unknown_error, meta=meta, align_dataframes=False)
