"""Benchmarks of tovrik against the tools users pick instead, each run in one
process on the same input, peers checked against tovrik's result before they
are timed. Writes benchmarks/results/results.md and results.png.

    pip install ".[bench]"
    python benchmarks/run.py            # full sizes (about eight minutes on 2 cores)
    python benchmarks/run.py --quick    # small sizes, to try the harness

Times are the best of --repeat runs after one untimed run (the check), so they
show a warmed-up process; the first encode in a fresh process is measured
separately (it also pays for the memory the process has not touched yet).
"""

import argparse
import gc
import os
import pathlib
import platform
import subprocess
import sys
import time

import numpy as np
import pandas as pd

import tovrik

HERE = pathlib.Path(__file__).resolve().parent
CARDINALITIES = (8, 1_000, 100_000, 500_000)


# ---------------------------------------------------------------- data

def text_pools(rows, seed=0):
    rng = np.random.default_rng(seed)
    out = []
    for i, k in enumerate(CARDINALITIES):
        k = min(k, rows)
        pool = np.array([f"v{i}_{j:07d}" for j in range(k)], dtype=object)
        out.append(pool[rng.integers(0, k, rows)])
    return out


def w1_frame(rows, string_dtype=False, seed=0):
    rng = np.random.default_rng(seed + 1)
    data = {}
    for i, col in enumerate(text_pools(rows, seed)):
        data[f"t{i}"] = pd.Series(col, dtype="str" if string_dtype else object)
    for i in range(4):
        data[f"f{i}"] = rng.random(rows)
    return pd.DataFrame(data)


# ---------------------------------------------------------------- peers
# Each encoder takes the input and returns a float64 matrix (codes in sorted
# order for the text columns, values for the numeric ones).

def text_columns(df):
    return [c for c in df.columns if not pd.api.types.is_float_dtype(df[c].dtype)]


def pandas_encode(df):
    text = set(text_columns(df))
    cols = []
    for c in df.columns:
        if c in text:
            codes, _ = pd.factorize(df[c], sort=True)
            cols.append(np.where(codes < 0, np.nan, codes.astype(np.float64)))
        else:
            cols.append(df[c].to_numpy(dtype=np.float64, copy=True))
    return np.column_stack(cols)


def sklearn_encode(df):
    from sklearn.compose import ColumnTransformer
    from sklearn.preprocessing import OrdinalEncoder
    text = text_columns(df)
    ct = ColumnTransformer([("t", OrdinalEncoder(dtype=np.float64), text)], remainder="passthrough",
                           verbose_feature_names_out=False)
    out = ct.fit_transform(df)
    order = text + [c for c in df.columns if c not in text]
    return out[:, [order.index(c) for c in df.columns]]


def polars_encode(df):
    import polars as pl
    p = pl.from_pandas(df)
    text = set(text_columns(df))
    p = p.with_columns([(pl.col(c).rank("dense") - 1).cast(pl.Float64) for c in p.columns if c in text])
    return p.to_numpy()


def arrow_encode(df):
    import pyarrow as pa
    import pyarrow.compute as pc
    text = set(text_columns(df))
    cols = []
    for c in df.columns:
        if c in text:
            arr = pa.array(df[c], type=pa.string())
            uniques = pc.unique(arr)
            uniques = uniques.take(pc.sort_indices(uniques))
            cols.append(pc.index_in(arr, value_set=uniques).to_numpy(zero_copy_only=False).astype(np.float64))
        else:
            cols.append(df[c].to_numpy(dtype=np.float64, copy=True))
    return np.column_stack(cols)


def tovrik_encode(df):
    out = tovrik.Encoder().encode(df)
    return out if isinstance(out, np.ndarray) else out.to_numpy()


ENCODERS = {"tovrik": tovrik_encode, "pandas": pandas_encode, "scikit-learn": sklearn_encode,
            "polars": polars_encode, "pyarrow": arrow_encode}


def as_frame(arr):
    """The columns of an object array as an object-dtype frame, the form the
    peers take; built once, outside their timing (and with dtype object, so
    that pandas 3 does not turn the texts into its str dtype on the way)."""
    return pd.DataFrame({f"t{j}": pd.Series(arr[:, j], dtype=object) for j in range(arr.shape[1])})


# Decoders take (codes frame, fitted state) and rebuild the strings.

def decode_peers(df):
    import polars as pl
    import pyarrow as pa
    import pyarrow.compute as pc
    from sklearn.preprocessing import OrdinalEncoder
    text = text_columns(df)
    fact = {c: pd.factorize(df[c], sort=True) for c in text}
    ordinal = OrdinalEncoder(dtype=np.float64).fit(df[text])
    ord_codes = ordinal.transform(df[text])
    pl_cats = {c: pl.Series(np.asarray(fact[c][1], dtype=object)).cast(pl.String) for c in text}
    pl_codes = {c: pl.Series(fact[c][0]) for c in text}
    pa_cats = {c: pa.array(np.asarray(fact[c][1], dtype=object), type=pa.string()) for c in text}
    pa_codes = {c: pa.array(fact[c][0]) for c in text}
    return {
        "pandas": lambda: {c: fact[c][1].take(fact[c][0]) for c in text},
        "scikit-learn": lambda: ordinal.inverse_transform(ord_codes),
        "polars": lambda: {c: pl_cats[c].gather(pl_codes[c]) for c in text},
        "pyarrow": lambda: {c: pc.take(pa_cats[c], pa_codes[c]) for c in text},
    }


# ---------------------------------------------------------------- timing

def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
        del out
    return best


def same(a, b):
    return a.shape == b.shape and np.array_equal(np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64),
                                                 equal_nan=True)


class Progress:
    def __init__(self, total):
        self.total, self.done, self.start = total, 0, time.perf_counter()

    def step(self, label):
        self.done += 1
        elapsed = time.perf_counter() - self.start
        bar = "#" * (20 * self.done // self.total)
        print(f"\r[{bar:<20}] {self.done}/{self.total} {elapsed:6.0f}s  {label:<48}", end="", flush=True)


def run_encode(name, make_input, peers, repeat, progress, results):
    data = make_input()
    reference = tovrik_encode(data)
    for peer in peers:
        progress.step(f"{name}: {peer}")
        fn = ENCODERS[peer] if peer != "numpy copy" else (lambda d: np.array(d, copy=True))
        try:
            out = fn(data)
            if not same(out, reference):
                results.append((name, peer, None, "result differs"))
                continue
            results.append((name, peer, best_of(lambda: fn(data), repeat), ""))
        except Exception as exc:  # a peer that cannot take this input is reported, not fatal
            results.append((name, peer, None, f"{type(exc).__name__}: {exc}"[:80]))


def run_decode(name, df, repeat, progress, results):
    enc = tovrik.Encoder()
    codes = enc.encode(df)
    expect = {c: df[c].tolist() for c in text_columns(df)}
    progress.step(f"{name}: tovrik")
    ours = enc.decode(codes)
    assert all(ours[c].tolist() == v for c, v in expect.items())
    results.append((name, "tovrik", best_of(lambda: enc.decode(codes), repeat), ""))
    for peer, fn in decode_peers(df).items():
        progress.step(f"{name}: {peer}")
        out = fn()
        got = ({c: list(out[:, i]) for i, c in enumerate(expect)} if isinstance(out, np.ndarray)
               else {c: list(v.to_pylist() if hasattr(v, "to_pylist") else list(v)) for c, v in out.items()})
        if got != expect:
            results.append((name, peer, None, "result differs"))
            continue
        results.append((name, peer, best_of(fn, repeat), ""))


def threads_run(rows, threads, repeat):
    code = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import run, tovrik, numpy as np;"
            f"a = np.column_stack(run.text_pools({rows})); e = tovrik.Encoder();"
            f"print(run.best_of(lambda: e.encode(a), {repeat}))")
    env = dict(os.environ)
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return float(out.stdout.split()[-1])


def peak_rss(rows):
    """Peak RSS during one encode of W1 (the kernel's high-water mark, reset just
    before), against the resident size before it and the output's size."""
    code = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import run, tovrik, gc;"
            f"df = run.w1_frame({rows}); tovrik.Encoder().encode(df.head(10)); gc.collect();"
            "status = lambda key: int(next(l for l in open('/proc/self/status') if l.startswith(key)).split()[1]);"
            "open('/proc/self/clear_refs', 'w').write('5');"
            "before = status('VmRSS:') * 1024;"
            "out = tovrik.Encoder().encode(df);"
            "print(before, status('VmHWM:') * 1024, out.to_numpy().nbytes)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    before, peak, out_bytes = map(int, out.stdout.split())
    return before, peak, out_bytes


# ---------------------------------------------------------------- report

def versions():
    from importlib import metadata
    out = {}
    for n in ["numpy", "pandas", "polars", "pyarrow", "scikit-learn", "tovrik"]:
        try:
            out[n] = metadata.version(n)
        except metadata.PackageNotFoundError:
            out[n] = "not installed"
    return out


def first_call(rows, string_dtype):
    """The first encode of W1 in a fresh process."""
    code = (f"import sys, time; sys.path.insert(0, {str(HERE)!r}); import run, tovrik;"
            f"df = run.w1_frame({rows}, string_dtype={string_dtype}); e = tovrik.Encoder();"
            "t = time.perf_counter(); e.encode(df); print(time.perf_counter() - t)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout.split()[-1])


# (workload, what tovrik is measured against, required ratio): the ratio is the
# other side's time over tovrik's.
TARGETS = [
    ("W1 encode (object)", "fastest peer", 3.0),
    ("W1 encode (str dtype)", "fastest peer", 3.0),
    ("W4 decode", "fastest peer", 1.5),
    ("W3 float64 copy", "numpy copy", 1 / 1.3),
]


def target_lines(by_workload, threads, rss):
    lines = ["", "## Targets", "", "| target | measured | met |", "|---|---|---|"]
    for w, against, need in TARGETS:
        tools = by_workload.get(w, {})
        ours = tools.get("tovrik", (None,))[0]
        others = {t: v[0] for t, v in tools.items() if t != "tovrik" and v[0]}
        if not ours or not others:
            continue
        if against == "fastest peer":
            peer = min(others, key=others.get)
        else:
            peer = against
        ratio = others[peer] / ours
        want = f">= {need:g}x faster than {against}" if need >= 1 else f"within {1 / need:g}x of {against}"
        lines.append(f"| {w}: {want} | {ratio:.2f}x ({peer} {others[peer] * 1e3:.1f} ms, tovrik {ours * 1e3:.1f} ms) "
                     f"| {'yes' if ratio >= need else 'no'} |")
    by_n = dict(threads)
    if 1 in by_n and 2 in by_n:
        r = by_n[1] / by_n[2]
        lines.append(f"| W2: >= 1.6x faster with 2 threads than 1 | {r:.2f}x | {'yes' if r >= 1.6 else 'no'} |")
    if rss:
        before, peak, out_bytes = rss
        r = (peak - before) / out_bytes
        lines.append(f"| W1 peak RSS <= input + 1.5x output | input + {r:.2f}x output | {'yes' if r <= 1.5 else 'no'} |")
    return lines


def write_report(results, scaling, threads, rss, cold, args):
    outdir = HERE / "results"
    outdir.mkdir(exist_ok=True)
    lines = ["# Benchmark results", "",
             f"Machine: {platform.machine()}, {os.cpu_count()} cores; Python {platform.python_version()}; "
             + ", ".join(f"{k} {v}" for k, v in versions().items()) + ".",
             f"Best of {args.repeat} runs, in one process on the same input; peers checked against tovrik first.",
             "", "| workload | tool | time (ms) | vs tovrik | note |", "|---|---|---:|---:|---|"]
    by_workload = {}
    for w, tool, t, note in results:
        by_workload.setdefault(w, {})[tool] = (t, note)
    for w, tools in by_workload.items():
        ours = tools.get("tovrik", (None, ""))[0]
        for tool, (t, note) in tools.items():
            ratio = f"{t / ours:.2f}x" if t and ours and tool != "tovrik" else ""
            lines.append(f"| {w} | {tool} | {t * 1e3:.1f} |" if t else f"| {w} | {tool} | - |")
            lines[-1] += f" {ratio} | {note} |"
    lines += target_lines(by_workload, threads, rss)
    lines += ["", "## Scaling and memory", "", "Scaling of W1 (tovrik): rows, ms, ns per row", ""]
    lines += [f"- {r:,} rows: {t * 1e3:.1f} ms, {t / r * 1e9:.0f} ns/row" for r, t in scaling]
    lines += ["", "W2 by worker count (RAYON_NUM_THREADS):", ""]
    lines += [f"- {n or 'all'}: {t * 1e3:.1f} ms" for n, t in threads]
    if rss:
        before, peak, out_bytes = rss
        lines += ["", f"W1 peak RSS: {peak / 2**20:.0f} MiB with input resident {before / 2**20:.0f} MiB and output "
                  f"{out_bytes / 2**20:.0f} MiB: input + {(peak - before) / out_bytes:.2f} x output."]
    if cold:
        lines += ["", "First W1 encode in a fresh process (tovrik): "
                  + ", ".join(f"{k} {t * 1e3:.1f} ms" for k, t in cold) + "."]
    (outdir / "results.md").write_text("\n".join(lines) + "\n")
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return
    fig, (ax1, ax2, ax3) = plt.subplots(1, 3, figsize=(17, 5), gridspec_kw={"width_ratios": [2.2, 1, 1]})
    tools = list(dict.fromkeys(tool for _, tool, _, _ in results))
    workloads = list(by_workload)
    width = 0.8 / len(tools)
    for i, tool in enumerate(tools):
        ys = [by_workload[w].get(tool, (None,))[0] or 0 for w in workloads]
        ax1.bar(np.arange(len(workloads)) + i * width, [y * 1e3 for y in ys], width, label=tool)
    ax1.set_xticks(np.arange(len(workloads)) + 0.4 - width / 2, workloads, rotation=30, ha="right")
    ax1.set_yscale("log")
    ax1.set_ylabel("ms (log scale)")
    ax1.legend(ncol=3, fontsize=8, loc="lower center", bbox_to_anchor=(0.5, 1.08))
    ax1.set_title("time per workload (best of runs)", pad=52)
    if scaling:
        ax2.plot([r for r, _ in scaling], [t / r * 1e9 for r, t in scaling], marker="o")
        ax2.set_xscale("log")
        ax2.set_xlabel("rows")
        ax2.set_ylabel("ns per row")
        ax2.set_title("W6: W1 scaling (tovrik)")
        ax2.set_ylim(bottom=0)
    if threads:
        labels = [str(n) if n else f"all ({os.cpu_count()})" for n, _ in threads]
        ax3.plot(labels, [t * 1e3 for _, t in threads], marker="o")
        ax3.set_xlabel("worker threads (RAYON_NUM_THREADS)")
        ax3.set_ylabel("ms")
        ax3.set_ylim(bottom=0)
        ax3.set_title("W6: W2 by worker count (tovrik)")
    fig.tight_layout()
    fig.savefig(outdir / "results.png", dpi=100)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true")
    p.add_argument("--repeat", type=int, default=7)
    args = p.parse_args()
    n = 20_000 if args.quick else 1_000_000
    peers = ["tovrik", "pandas", "scikit-learn", "polars", "pyarrow"]
    scaling_rows = [10**4, 10**5] if args.quick else [10**4, 10**5, 10**6, 10**7]
    steps = 2 * len(peers) + len(peers) + 2 + 5 + len(peers) + len(scaling_rows) + 3 + 2
    progress = Progress(steps)
    results = []
    run_encode("W1 encode (object)", lambda: w1_frame(n), peers, args.repeat, progress, results)
    run_encode("W1 encode (str dtype)", lambda: w1_frame(n, string_dtype=True), peers, args.repeat, progress, results)
    run_encode("W2 encode (object array)", lambda: np.column_stack(text_pools(n)), ["tovrik"], args.repeat,
               progress, results)
    arr = np.column_stack(text_pools(n))
    ref = tovrik_encode(arr)
    frame = as_frame(arr)
    for peer in peers[1:]:
        progress.step(f"W2: {peer}")
        fn = ENCODERS[peer]
        out = fn(frame)
        results.append(("W2 encode (object array)", peer,
                        best_of(lambda: fn(frame), args.repeat) if same(out, ref) else None,
                        "" if same(out, ref) else "result differs"))
    del arr, frame
    big = np.random.default_rng(0).random((n * 10, 8))
    run_encode("W3 float64 copy", lambda: big, ["tovrik", "numpy copy"], args.repeat, progress, results)
    del big
    run_decode("W4 decode", w1_frame(n), args.repeat, progress, results)
    w5 = pd.DataFrame({"t": pd.Series([f"u{j:09d}" for j in np.random.default_rng(5).permutation(n * 5)],
                                      dtype=object)})
    run_encode("W5 5M distinct" if not args.quick else "W5 distinct", lambda: w5, peers, args.repeat, progress,
               results)
    del w5
    scaling = []
    for rows in scaling_rows:
        progress.step(f"W6 scaling {rows:,}")
        df = w1_frame(rows)
        enc = tovrik.Encoder()
        scaling.append((rows, best_of(lambda: enc.encode(df), args.repeat)))
    threads = []
    for t in (1, 2, 0):
        progress.step(f"W6 threads {t or 'all'}")
        threads.append((t, threads_run(n, t, args.repeat)))
    progress.step("W1 peak memory")
    rss = peak_rss(n)
    cold = []
    for sd in (False, True):
        progress.step(f"W1 first call ({'str dtype' if sd else 'object'})")
        cold.append(("str dtype" if sd else "object", first_call(n, sd)))
    print()
    write_report(results, scaling, threads, rss, cold, args)
    print((HERE / "results" / "results.md").read_text())


if __name__ == "__main__":
    main()
