"""A scikit-learn transformer over tovrik: text columns to label codes learnt in
`fit`, applied alike to new data in `transform`."""

from __future__ import annotations

from typing import Any

import numpy as np
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin
from sklearn.utils.validation import check_is_fitted, validate_data

import tovrik
from tovrik_ml import _native
from tovrik_ml._apply import NotFittedError, learnt_mapping

__all__ = ["TovrikEncoder"]

_HANDLE_UNKNOWN = ("use_nan", "error")
# The state of an Encoder whose mapping lists no column: what fitting on an
# all-float64 array learns (the Encoder itself then keeps no mapping at all).
_NO_TEXT_COLUMNS = b"\x01" + bytes(8 * 3) + bytes(4)


def _is_frame(X: Any) -> bool:
    return type(X).__name__ == "DataFrame" and hasattr(X, "columns") and hasattr(X, "iloc")


def _as_input(X: Any) -> Any:
    """What tovrik reads: a DataFrame or ndarray as it is; other frames and
    array-likes turned into one. Numbers stay numbers; anything else keeps
    its Python objects."""
    if isinstance(X, np.ndarray) or (_is_frame(X) and type(X).__module__.startswith("pandas")):
        arr = X
    elif hasattr(X, "to_pandas") and hasattr(X, "columns"):  # polars, pyarrow tables
        arr = X.to_pandas()
    elif hasattr(X, "tocsr") or hasattr(X, "toarray") or type(X).__module__.startswith("scipy.sparse"):
        raise TypeError(
            "TovrikEncoder does not take sparse input: a sparse matrix holds no texts; "
            "pass a dense array or a DataFrame"
        )
    else:
        arr = np.asarray(X)
        if arr.dtype.kind not in "biuf":
            arr = np.asarray(X, dtype=object)
    if arr.ndim != 2:
        raise ValueError(
            f"Expected a 2-dimensional input, got {arr.ndim} dimension(s) instead. Reshape your data "
            "either using array.reshape(-1, 1) if your data has a single feature or array.reshape(1, -1) "
            "if it contains a single sample."
        )
    if isinstance(arr, np.ndarray) and arr.dtype.kind == "c":
        raise ValueError("Complex data not supported")
    return arr


def _keep_index(out: Any, X: Any) -> Any:
    """A DataFrame result takes the input's row index, as scikit-learn's
    transformers keep it, so that outputs line up in ColumnTransformer."""
    if _is_frame(out) and _is_frame(X):
        out.index = X.index
    return out


class TovrikEncoder(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):
    """Label-encodes the text columns of a DataFrame or 2-D array.

    `fit` learns, per column that holds text, the codes 0..k-1 of its distinct
    texts in ascending byte order of their UTF-8 text ("nan", "NaN" and "<NA>"
    are missing and give NaN); numeric columns pass through as float64.
    `transform` gives new data the same codes. A text not seen in `fit` gives
    NaN (handle_unknown="use_nan") or ValueError (handle_unknown="error").

    The default output is the kind of the input: a float64 ndarray for an
    array, a DataFrame of float64 columns (with the input's index) for a
    DataFrame; `set_output` picks pandas or polars for every input.

    Attributes: `encoder_` (the fitted tovrik.Encoder, whose state transform
    reads once, at its first call: use `encoder_` for decode and pickling, not
    to encode other data), `encoded_columns_` (positions of the text
    columns), `n_features_in_`, `feature_names_in_` (when fitted on a
    DataFrame with str column names).
    """

    def __init__(self, handle_unknown: str = "use_nan") -> None:
        self.handle_unknown = handle_unknown

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.string = True
        tags.input_tags.categorical = True
        tags.transformer_tags.preserves_dtype = ["float64"]
        return tags

    def _fit(self, X: Any) -> Any:
        if not isinstance(self.handle_unknown, str) or self.handle_unknown not in _HANDLE_UNKNOWN:
            raise ValueError(
                f"handle_unknown should be one of {list(_HANDLE_UNKNOWN)}, got {self.handle_unknown!r}"
            )
        X = _as_input(X)
        validate_data(self, X, reset=True, skip_check_array=True)
        rows, cols = X.shape
        if rows == 0 or cols == 0:
            what, need = ("sample", rows) if rows == 0 else ("feature", cols)
            raise ValueError(
                f"Found array with 0 {what}(s) (shape={tuple(X.shape)}) while a minimum of 1 is required."
            )
        encoder = tovrik.Encoder()
        codes = _keep_index(encoder.encode(X), X)
        self.encoder_ = encoder
        # The mapping is read from the Encoder's state when first applied, so
        # that fitting costs no more than encoding. A cache, not estimator
        # state: transform fills it in place.
        self._prepared: dict[str, Any] = {}
        return codes
    def fit(self, X: Any, y: Any = None) -> TovrikEncoder:
        """Learns the codes of the text columns of X."""
        self._fit(X)
        return self

    def fit_transform(self, X: Any, y: Any = None, **fit_params: Any) -> Any:
        """Learns the codes of X and returns them: one pass over X."""
        return self._fit(X)

    def _learnt(self) -> Any:
        prepared = self.__dict__.setdefault("_prepared", {})
        mapping = prepared.get("mapping")
        if mapping is None:
            try:
                mapping = learnt_mapping(self.encoder_)
            except NotFittedError:  # fitted on a float64 array: no text column
                mapping = _native.prepare(_NO_TEXT_COLUMNS)
            prepared["mapping"] = mapping
        return mapping

    @property
    def encoded_columns_(self) -> Any:
        """Positions of the columns that held text in fit, ascending."""
        check_is_fitted(self, "encoder_")
        return np.asarray(self._learnt().encoded_columns, dtype=np.intp)

    def transform(self, X: Any) -> Any:
        """Codes X with the learnt mapping."""
        check_is_fitted(self, "encoder_")
        X = _as_input(X)
        validate_data(self, X, reset=False, skip_check_array=True)
        return _keep_index(_native.apply(self._learnt(), X, self.handle_unknown == "error"), X)

    def inverse_transform(self, X: Any) -> Any:
        """Turns the codes of the text columns back into their texts (str, or
        None in a DataFrame and "NaN" in an array where a cell has none)."""
        check_is_fitted(self, "encoder_")
        X = _as_input(X)
        validate_data(self, X, reset=False, skip_check_array=True)
        return self.encoder_.decode(X)

    def __getstate__(self) -> dict[str, Any]:
        state = super().__getstate__()
        if "_prepared" in state:
            state["_prepared"] = {}  # made again from encoder_ when needed
        return state
