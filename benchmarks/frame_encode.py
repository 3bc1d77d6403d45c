"""encode of a 1,000,000-row DataFrame (4 object text columns, 4 float64 columns)
against pandas.factorize(sort=True) per text column with the float columns copied."""

import argparse
import os
import subprocess
import sys

import numpy as np
import pandas as pd

import tovrik
from timing import best_of_interleaved

CARDINALITIES = (8, 1_000, 100_000, 500_000)


def make_frame(rows, seed=0):
    rng = np.random.default_rng(seed)
    data = {}
    for i, k in enumerate(CARDINALITIES):
        pool = np.array([f"v{i}_{j:07d}" for j in range(k)], dtype=object)
        data[f"t{i}"] = pd.Series(pool[rng.integers(0, k, rows)], dtype=object)
    for i in range(4):
        data[f"f{i}"] = rng.random(rows)
    return pd.DataFrame(data)


def pandas_encode(df):
    out = {}
    for name, col in df.items():
        if col.dtype == object:
            codes, _ = pd.factorize(col, sort=True)
            out[name] = codes.astype(np.float64)
        else:
            out[name] = col.to_numpy(copy=True)
    return pd.DataFrame(out)


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--repeat", type=int, default=5)
    p.add_argument("--tovrik-only", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args()

    df = make_frame(args.rows)
    enc = tovrik.Encoder()
    if args.tovrik_only:
        (t,) = best_of_interleaved([lambda: enc.encode(df)], args.repeat)
        print(t)
        return

    ours = enc.encode(df)
    theirs = pandas_encode(df)
    np.testing.assert_array_equal(ours.to_numpy(), theirs.to_numpy())
    t_pd, t_tv = best_of_interleaved([lambda: pandas_encode(df), lambda: enc.encode(df)], args.repeat)
    print(f"DataFrame {args.rows:,} rows, text cardinalities {CARDINALITIES}, 4 float columns; best of {args.repeat}")
    print(f"pandas.factorize loop:    {t_pd * 1e3:8.1f} ms")
    print(f"Encoder().encode(df):     {t_tv * 1e3:8.1f} ms   ({t_pd / t_tv:.2f}x faster)")
    for threads in ("1", ""):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        r = subprocess.run([sys.executable, __file__, "--rows", str(args.rows), "--repeat",
                            str(args.repeat), "--tovrik-only"], env=env, capture_output=True,
                           text=True, check=True)
        label = threads or "default"
        print(f"encode, RAYON_NUM_THREADS={label:8s} {float(r.stdout) * 1e3:8.1f} ms")


if __name__ == "__main__":
    main()
