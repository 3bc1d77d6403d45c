"""encode of a 10,000,000 x 8 C-order float64 array against numpy's own copy."""

import argparse

import numpy as np

import tovrik
from timing import best_of_interleaved


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--rows", type=int, default=10_000_000)
    p.add_argument("--cols", type=int, default=8)
    p.add_argument("--repeat", type=int, default=5)
    args = p.parse_args()

    a = np.random.default_rng(0).random((args.rows, args.cols))
    enc = tovrik.Encoder()
    assert np.array_equal(enc.encode(a), a)
    t_np, t_tv = best_of_interleaved(
        [lambda: np.array(a, copy=True), lambda: enc.encode(a)], args.repeat)
    print(f"array {args.rows:,} x {args.cols} float64, best of {args.repeat}")
    print(f"numpy.array(a, copy=True): {t_np * 1e3:8.1f} ms")
    print(f"Encoder().encode(a):       {t_tv * 1e3:8.1f} ms")
    print(f"ratio encode / copy:       {t_tv / t_np:8.2f}")


if __name__ == "__main__":
    main()
