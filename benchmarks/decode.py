"""decode against rebuilding the strings with pandas / numpy, on the data of
frame_encode.py: the encoded 1,000,000-row DataFrame (against pandas building
the same object columns with Index(uniques, dtype=object).take(codes)), the
same data decoded as an ndarray, an object-array decode of 1,000,000 x 4
codes, and a 1-row decode with a 600,000-text mapping against a 2-text one."""

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

    uniques = {c: pd.Index(factorized[c][1], dtype=object) for c in text}

    def pandas_frame():
        return pd.DataFrame({c: uniques[c].take(factorized[c][0]) if c in uniques else codes[c] for c in codes.columns},
                            copy=False)

    pd.testing.assert_frame_equal(pandas_frame(), ours)
    enc_w = tovrik.Encoder()
    wcodes = enc_w.encode(df.to_numpy(dtype=object))
    t_pf, t_fr, t_ar = best_of_interleaved([pandas_frame, lambda: enc.decode(codes), lambda: enc_w.decode(wcodes)],
                                           args.repeat)
    print("same 1,000,000 x 8 data decoded to a frame and to an ndarray")
    print(f"pandas frame of Index(uniques, dtype=object).take: {t_pf * 1e3:8.1f} ms")
    print(f"Encoder.decode(frame):                 {t_fr * 1e3:8.1f} ms   ({t_pf / t_fr:.2f}x)")
    print(f"Encoder.decode(ndarray):               {t_ar * 1e3:8.1f} ms   ({t_ar / t_fr:.2f}x the frame decode)")

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

    one_row(args.repeat)


def one_row(repeat):
    """1-row decodes: the cost must follow the rows decoded, not the mapping."""
    texts = [f"x{i:07d}" for i in range(600_000)]
    frames = [pd.DataFrame({"t": texts}), pd.DataFrame({"t": ["a", "b"]})]
    arrays = [np.array(texts, dtype=object)[:, None], np.array([["a"], ["b"]], dtype=object)]
    encs = []
    for data in frames + arrays:
        e = tovrik.Encoder()
        e.encode(data)
        encs.append(e)
    frame, array = pd.DataFrame({"t": [1.0]}), np.array([[1.0]])
    calls = 200  # per timing, so that a call of a microsecond is not lost in the timer

    def many(e, d):
        return lambda: [e.decode(d) for _ in range(calls)]

    times = best_of_interleaved([many(e, d) for e, d in zip(encs, [frame, frame, array, array])], max(repeat, 15))
    times = [t / calls for t in times]
    for kind, (big, small) in (("frame", times[:2]), ("ndarray", times[2:])):
        print(f"1-row {kind} decode: 600,000-text mapping {big * 1e6:7.2f} us, 2-text mapping {small * 1e6:7.2f} us"
              f"   ({big / small:.2f}x)")


if __name__ == "__main__":
    main()
