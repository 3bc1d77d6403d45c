"""Typed use of tovrik: array and DataFrame round trips and pickling.

Runs as a script, and is kept clean under ``mypy --strict`` and pyright so that the
module's type stubs stay usable.
"""

from __future__ import annotations

import copy
import math
import pickle

import numpy as np
import numpy.typing as npt
import pandas as pd

import tovrik
from tovrik import Encoder


def array_round_trip() -> None:
    data = np.empty((3, 2), dtype=object)
    data[:, 0] = ["b", "a", "nan"]
    data[:, 1] = [1.5, 2.0, 3.0]

    enc = Encoder()
    codes: npt.NDArray[np.float64] = enc.encode(data)
    assert codes.dtype == np.float64 and codes.shape == (3, 2)
    assert codes.item(0, 0) == 1.0 and codes.item(1, 0) == 0.0 and math.isnan(codes.item(2, 0))

    decoded = enc.decode(codes)
    # With a learnt mapping an array comes back as an object array.
    assert decoded.dtype == np.object_
    assert decoded[:, 0].tolist() == ["b", "a", "NaN"]
    assert decoded[:, 1].tolist() == [1.5, 2.0, 3.0]

    # A float64 array passes through and leaves no mapping: decode stays float64.
    plain: npt.NDArray[np.float64] = np.arange(6, dtype=np.float64).reshape(2, 3)
    same = enc.encode(plain)
    assert np.array_equal(same, plain)
    assert enc.decode(same).dtype == np.float64


def frame_round_trip() -> Encoder:
    frame = pd.DataFrame({"k": ["b", "a", "b"], "v": [1.5, 2.0, 3.0]})

    enc = Encoder("label")
    codes: pd.DataFrame = enc.encode(frame)
    assert list(codes.columns) == ["k", "v"]
    assert codes["k"].tolist() == [1.0, 0.0, 1.0]

    decoded: pd.DataFrame = enc.decode(codes)
    assert decoded["k"].tolist() == ["b", "a", "b"]
    assert decoded["v"].tolist() == [1.5, 2.0, 3.0]
    return enc


def pickling(enc: Encoder) -> None:
    state: bytes = enc.__getstate__()
    for twin in (pickle.loads(pickle.dumps(enc)), copy.deepcopy(enc)):
        assert isinstance(twin, Encoder)
        assert twin.__getstate__() == state

    fresh = Encoder(encoding=None)
    fresh.__setstate__(state)
    codes = pd.DataFrame({"k": [0.0, 1.0], "v": [5.0, 6.0]})
    assert fresh.decode(obj=codes)["k"].tolist() == ["a", "b"]


def internal_errors_escape_except_exception() -> None:
    assert issubclass(tovrik.PanicException, BaseException)
    assert not issubclass(tovrik.PanicException, Exception)


def main() -> None:
    array_round_trip()
    enc = frame_round_trip()
    pickling(enc)
    internal_errors_escape_except_exception()
    print("typed usage: ok")


if __name__ == "__main__":
    main()
