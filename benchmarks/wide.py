"""encode time per cell as the same 2,000,000 str cells are laid out wider and
wider: from 250,000 rows x 8 columns to 100 rows x 20,000 columns, as an object
array and as a mixed DataFrame (the object columns plus one float64 column).

    python benchmarks/wide.py [--cells N] [--repeat R]

Work per cell does not depend on the number of columns, so each line's ns per
cell should be about the same from the narrowest layout to the widest.
"""

import argparse

import numpy as np
import pandas as pd

import tovrik
from timing import best_of_interleaved

WIDTHS = (8, 80, 800, 2_000, 20_000)


def cells(n, distinct, seed=0):
    rng = np.random.default_rng(seed)
    pool = np.array([f"s{j:05d}" for j in range(distinct)], dtype=object)
    return pool[rng.integers(0, len(pool), n)]


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--cells", type=int, default=2_000_000)
    p.add_argument("--repeat", type=int, default=3)
    p.add_argument("--distinct", type=int, default=16, help="texts the cells are drawn from")
    args = p.parse_args()

    flat = cells(args.cells, args.distinct)
    enc = tovrik.Encoder()
    print(f"{args.cells:,} str cells drawn from {args.distinct:,} texts; best of {args.repeat}")
    print(f"{'rows x columns':>16}  {'object array':>22}  {'mixed DataFrame':>22}")
    for width in WIDTHS:
        rows = args.cells // width
        arr = flat[: rows * width].reshape(rows, width)
        frame = pd.DataFrame(arr, columns=[f"c{i}" for i in range(width)], dtype=object)
        frame["f"] = np.arange(rows, dtype=np.float64)
        t_arr, t_frame = best_of_interleaved([lambda: enc.encode(arr), lambda: enc.encode(frame)], args.repeat)
        n = rows * width
        print(f"{rows:>7,} x {width:<6,}  {t_arr * 1e3:8.1f} ms {t_arr / n * 1e9:6.1f} ns/cell"
              f"  {t_frame * 1e3:8.1f} ms {t_frame / n * 1e9:6.1f} ns/cell")


if __name__ == "__main__":
    main()
