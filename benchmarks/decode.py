"""decode against rebuilding the strings with pandas / numpy, on the data of
frame_encode.py: the encoded 1,000,000-row DataFrame, and an object-array
decode of 1,000,000 x 4 codes."""

import argparse

import numpy as np
import pandas as pd

import tovrik
from frame_encode import make_frame
from timing import best_of_interleaved


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--rows", type=int, default=1_000_000)
    p.add_argument("--repeat", type=int, default=5)
    args = p.parse_args()

    df = make_frame(args.rows)
    text = [c for c in df.columns if df[c].dtype == object]
    enc = tovrik.Encoder()
    codes = enc.encode(df)

    factorized = {c: pd.factorize(df[c], sort=True) for c in text}

    def pandas_decode():
        out = codes.copy()
        for c in text:
            k, uniques = factorized[c]
            out[c] = uniques.take(k)
        return out

    ours = enc.decode(codes)
    theirs = pandas_decode()
    for c in text:
        assert ours[c].tolist() == theirs[c].tolist()
    t_pd, t_tv = best_of_interleaved([pandas_decode, lambda: enc.decode(codes)], args.repeat)
    print(f"DataFrame decode, {args.rows:,} rows, 4 text + 4 float columns; best of {args.repeat}")
    print(f"pandas uniques.take(codes) per column: {t_pd * 1e3:8.1f} ms")
    print(f"Encoder.decode(frame):                 {t_tv * 1e3:8.1f} ms   ({t_pd / t_tv:.2f}x)")

    arr = df[text].to_numpy()
    enc_a = tovrik.Encoder()
    acodes = enc_a.encode(arr)
    cats = [np.array(sorted(set(arr[:, j])), dtype=object) for j in range(arr.shape[1])]
    icodes = acodes.astype(np.int64)

    def numpy_decode():
        out = np.empty(arr.shape, dtype=object)
        for j, cat in enumerate(cats):
            out[:, j] = np.take(cat, icodes[:, j])
        return out

    assert np.array_equal(enc_a.decode(acodes), numpy_decode())
    t_np, t_tv = best_of_interleaved([numpy_decode, lambda: enc_a.decode(acodes)], args.repeat)
    print(f"object array decode, {args.rows:,} x 4 codes")
    print(f"numpy.take on the category arrays:     {t_np * 1e3:8.1f} ms")
    print(f"Encoder.decode(array):                 {t_tv * 1e3:8.1f} ms   ({t_np / t_tv:.2f}x)")


if __name__ == "__main__":
    main()
