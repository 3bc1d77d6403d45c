"""Typed use of tovrik_ml: a learnt mapping applied to new data, and the
scikit-learn estimator.

Runs as a script, and is kept clean under ``mypy --strict`` and pyright so that
the companion package's types stay usable.
"""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt
import pandas as pd

import tovrik
import tovrik_ml
from tovrik_ml import LearntMapping, TovrikEncoder


def apply_learnt_codes() -> None:
    train = pd.DataFrame({"city": ["Oslo", "Bergen"], "temp": [1.0, 2.0]})
    enc = tovrik.Encoder()
    enc.encode(train)
    later = pd.DataFrame({"city": ["Bergen", "Bodø"], "temp": [3.0, 4.0]})
    codes: pd.DataFrame = tovrik_ml.transform(enc, later)
    assert codes["city"].tolist()[0] == 0.0 and math.isnan(codes["city"].tolist()[1])

    arr = np.array([["Oslo", 1.0]], dtype=object)
    enc.encode(arr)
    mapping: LearntMapping = tovrik_ml.learnt_mapping(enc)
    out: npt.NDArray[np.float64] = tovrik_ml.transform(mapping, arr, unknown="error")
    assert out.tolist() == [[0.0, 1.0]] and mapping.encoded_columns == (0,)


def estimator() -> None:
    X = pd.DataFrame({"colour": ["red", "blue", "green"], "size": [1.0, 2.0, 3.0]})
    model = TovrikEncoder(handle_unknown="use_nan").fit(X)
    new = pd.DataFrame({"colour": ["green", "red"], "size": [4.0, 5.0]})
    assert model.transform(new)["colour"].tolist() == [1.0, 2.0]
    assert model.fit_transform(X)["colour"].tolist() == [2.0, 0.0, 1.0]


if __name__ == "__main__":
    apply_learnt_codes()
    estimator()
    print("typed ml usage: ok")
