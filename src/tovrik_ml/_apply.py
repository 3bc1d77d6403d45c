"""Applying a learnt mapping to new data."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any, Literal, overload

import numpy as np
import numpy.typing as npt

import tovrik

from tovrik_ml import _native

if TYPE_CHECKING:
    import pandas as pd

LearntMapping = _native.Mapping

_UNKNOWN = ("nan", "error")


class NotFittedError(ValueError, AttributeError):
    """The Encoder holds no learnt mapping yet."""


def learnt_mapping(encoder: tovrik.Encoder) -> LearntMapping:
    """Reads the mapping `encoder` learnt (through its state bytes) into a
    form ready to apply again and again; the Encoder is not changed."""
    if not isinstance(encoder, tovrik.Encoder):
        raise TypeError(f"learnt_mapping() takes a tovrik.Encoder, not {type(encoder).__qualname__!r}")
    state = encoder.__getstate__()
    if state[:1] == b"\x00":
        raise NotFittedError(
            "this Encoder holds no learnt mapping (not fitted): call its encode() on training data first"
        )
    return _native.prepare(state)


@overload
def transform(
    encoder: tovrik.Encoder | LearntMapping, obj: npt.NDArray[Any], unknown: Literal["nan", "error"] = ...
) -> npt.NDArray[np.float64]: ...
@overload
def transform(
    encoder: tovrik.Encoder | LearntMapping, obj: pd.DataFrame, unknown: Literal["nan", "error"] = ...
) -> pd.DataFrame: ...
def transform(
    encoder: tovrik.Encoder | LearntMapping, obj: Any, unknown: Literal["nan", "error"] = "nan"
) -> Any:
    """Codes `obj` with the mapping `encoder` learnt, as `encoder.encode(obj)`
    would code it if it had learnt from `obj`: same kind of result, same
    column typing and texts. A text the column's map does not hold gives NaN
    (unknown="nan") or ValueError (unknown="error"); columns the mapping does
    not list must hold numbers and pass through as float64.

    `encoder` may also be a LearntMapping made once by learnt_mapping(),
    which saves reading the state on every call."""
    if not isinstance(unknown, str) or unknown not in _UNKNOWN:
        raise ValueError(f"unknown must be 'nan' or 'error', not {unknown!r}")
    mapping = encoder if isinstance(encoder, LearntMapping) else learnt_mapping(encoder)
    return _native.apply(mapping, obj, unknown == "error")
