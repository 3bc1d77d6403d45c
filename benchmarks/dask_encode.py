"""Distributed encode on a dask.distributed LocalCluster: tovrik_ml.dask.encode
against dask's categorize() + sorted .cat.codes and dask-ml's LabelEncoder, on
W1's shape (4 text columns of 8 / 1,000 / 100,000 / 500,000 distinct texts, 4
float64 columns) in 16 partitions; with 1 and with 2 worker processes; and
the memory the reduction's merge takes beside the merged dictionary.

    pip install ".[bench]" && python benchmarks/dask_encode.py          # 10,000,000 rows
    python benchmarks/dask_encode.py --rows 1000000 --repeat 1          # a smaller trial

The data is made on the workers and persisted before any tool is timed;
every tool's codes are checked against tovrik's on the cluster before its
times count. Times are the best of --repeat runs.
"""

import argparse
import os
import sys
import time
import tracemalloc
import warnings

warnings.filterwarnings("ignore", message="Sending large graph")  # the peers embed their categories

import numpy as np
import pandas as pd

CARDINALITIES = (8, 1_000, 100_000, 500_000)


def make_part(i, rows, seed=0):
    """One partition of W1's shape: every partition draws from the same pools."""
    rng = np.random.default_rng([seed, i])
    data = {}
    for c, k in enumerate(CARDINALITIES):
        ids = rng.integers(0, k, rows)
        data[f"t{c}"] = pd.Series(np.char.add(f"v{c}_", np.char.zfill(ids.astype(str), 7)).astype(object),
                                  dtype="str")
    for c in range(4):
        data[f"f{c}"] = rng.random(rows)
    return pd.DataFrame(data)


def best(f, repeat):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        f()
        times.append(time.perf_counter() - t)
    return min(times)


def run_cluster(workers, args, results, one_core=False):
    import dask
    import dask.dataframe as dd
    from distributed import Client, LocalCluster, wait

    import tovrik_ml.dask as tdd

    cores = len(os.sched_getaffinity(0))
    # one_core: a worker of one thread with a one-thread pool, to see how the
    # time falls as workers (each with its core) are added.
    label = f"{workers} worker(s)" + (", one core each" if one_core else "")
    extra = {"env": {"RAYON_NUM_THREADS": "1"}} if one_core else {}
    with LocalCluster(n_workers=workers, threads_per_worker=1 if one_core else max(1, cores // workers), processes=True,
                      **extra,
                      dashboard_address=None, silence_logs=40) as cluster, Client(cluster) as client:
        per = args.rows // args.partitions
        ddf = dd.from_map(make_part, range(args.partitions), rows=per, enforce_metadata=False)
        ddf = client.persist(ddf)
        wait(ddf)
        text = [f"t{c}" for c in range(4)]

        def ours():
            codes, enc = tdd.encode(ddf, split_every=args.split_every)
            codes = client.persist(codes)
            wait(codes)
            return codes, enc

        def categorize():
            # categorize() finds the categories (in order of appearance); the
            # codes in sorted order need them reordered, partition by partition.
            cat = client.persist(ddf.categorize(columns=text))
            wait(cat)
            out = [cat[c].cat.reorder_categories(sorted(cat[c].cat.categories)).cat.codes.to_dask_array(lengths=True)
                   for c in text]
            out = client.persist(out)
            wait(out, timeout=args.peer_timeout)
            return dict(zip(text, out))

        def dask_ml():
            from dask_ml.preprocessing import LabelEncoder

            out = client.persist([LabelEncoder().fit_transform(ddf[c]) for c in text])
            wait(out, timeout=args.peer_timeout)
            return dict(zip(text, out))

        codes, _ = ours()  # the untimed check run
        t_ours = best(ours, args.repeat)
        results[f"tovrik_ml.dask, {label}"] = t_ours
        print(f"  tovrik_ml.dask.encode, {label}: {t_ours:.2f} s", flush=True)
        if workers != args.peers_at or one_core:
            return
        for name, f in [("dask categorize + sorted cat.codes", categorize), ("dask-ml LabelEncoder", dask_ml)]:
            try:
                got = f()
            except TimeoutError:
                print(f"  {name}: did not finish within {args.peer_timeout:.0f} s")
                results[name] = None
                client.restart()
                ddf = client.persist(dd.from_map(make_part, range(args.partitions), rows=per, enforce_metadata=False))
                wait(ddf)
                continue
            except Exception as e:  # a peer that cannot run here is reported, not timed
                print(f"  {name}: failed ({type(e).__name__}: {e})")
                results[name] = None
                continue
            for c in text:
                mine = codes[c].to_dask_array(lengths=True)
                if not bool((mine == got[c].astype("float64")).all().compute()):
                    print(f"  {name}: codes of {c} differ from tovrik's; not timed")
                    results[name] = None
                    break
            else:
                t = best(f, args.repeat)
                results[name] = t
                print(f"  {name}: {t:.2f} s ({t / results[f'tovrik_ml.dask, {workers} worker(s)']:.1f}x)", flush=True)


def merge_memory(args):
    """Peak memory of the root merge beside the merged dictionary, on the sets
    of 16 partitions made here (numpy arrays, which tracemalloc sees)."""
    from tovrik_ml import dask as tdd

    per = args.rows // args.partitions
    columns = list(range(4))
    summaries = [tdd._summary(make_part(i, per), i, columns) for i in range(args.partitions)]
    tracemalloc.start()
    root = tdd._combine(*summaries)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    merged = sum(o.nbytes + d.nbytes for o, d in root["none"])
    return peak, merged


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--rows", type=int, default=10_000_000)
    p.add_argument("--partitions", type=int, default=16)
    p.add_argument("--split-every", type=int, default=8)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--peers-at", type=int, default=2, help="worker count at which the peers run")
    p.add_argument("--one-core", action="store_true",
                   help="also time 1 worker held to one core (one thread, a one-thread pool)")
    p.add_argument("--peer-timeout", type=float, default=600.0, help="seconds a peer may take")
    args = p.parse_args()
    print(f"{args.rows:,} rows in {args.partitions} partitions, {len(os.sched_getaffinity(0))} cores", flush=True)
    results = {}
    for workers in (1, 2):
        run_cluster(workers, args, results)
    one, two = results["tovrik_ml.dask, 1 worker(s)"], results["tovrik_ml.dask, 2 worker(s)"]
    print(f"2 workers / 1 worker: {two / one:.2f}")
    if args.one_core:
        run_cluster(1, args, results, one_core=True)
        alone = results["tovrik_ml.dask, 1 worker(s), one core each"]
        print(f"2 workers / 1 worker of one core: {two / alone:.2f}")
    peak, merged = merge_memory(args)
    print(f"root merge of {args.partitions} partitions' sets: peak {peak / 2**20:.1f} MiB beside a merged "
          f"dictionary of {merged / 2**20:.1f} MiB ({peak / merged:.2f}x)")


if __name__ == "__main__":
    sys.exit(main())
