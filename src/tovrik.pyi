"""Label encoding of the text columns of 2-D NumPy arrays and pandas DataFrames.

Type stubs for the compiled extension module ``tovrik``.
"""

from typing import Any, Literal, final, overload

import numpy as np
import numpy.typing as npt

# pandas is optional at run time: it is needed only when a DataFrame goes in. A stub is
# never executed, so the plain import costs nothing. With pandas-stubs installed the
# DataFrame overloads are fully typed; without them a checker sees DataFrame as Any (or
# as pandas' own inline types, for pyright), and the ndarray overloads, listed first,
# still win for arrays.
import pandas as pd

__all__ = ["Encoder"]

@final
class Encoder:
    """Label encoder for the text columns of 2-D arrays and DataFrames.

    ``encode`` gives each distinct text of a text column a code 0, 1, ..., k-1 in
    ascending byte order of its UTF-8 text; the texts "nan", "NaN" and "<NA>" count as
    missing and become NaN. Numeric columns pass through as float64. Each ``encode``
    learns a new mapping and replaces the one learnt before; ``decode`` turns codes back
    into strings by column position. Not subclassable. Pickling and ``copy`` keep the
    learnt mapping.
    """

    # At run time ``encoding`` may be any str, but every str other than "label" raises
    # ValueError. The Literal lets a checker catch a misspelt strategy before it runs;
    # a strategy held in a plain ``str`` variable needs a ``Literal`` annotation or a
    # ``cast``, which is the honest price: only "label" works.
    def __new__(cls, encoding: Literal["label"] | None = None) -> Encoder:
        """Make an encoder without a learnt mapping.

        ``encoding`` is None or "label" (the same strategy: label codes).
        Raises ValueError for any other str and TypeError for a non-str.
        """

    @overload
    def encode(self, obj: npt.NDArray[Any]) -> npt.NDArray[np.float64]:
        """Encode a 2-D array (or memmap) of any dtype into a new float64 array.

        Text columns get codes 0..k-1 in ascending byte order of their UTF-8 text;
        "nan", "NaN" and "<NA>" become NaN; numeric columns keep their values.
        The mapping learnt here replaces the stored one (a float64 input leaves none).
        """

    @overload
    def encode(self, obj: pd.DataFrame) -> pd.DataFrame:
        """Encode a DataFrame into a new DataFrame of float64 columns.

        Same codes as for an array; the result keeps the column labels and has the
        default index 0..n-1. The mapping learnt here replaces the stored one.
        """

    @overload
    def decode(
        self, obj: npt.NDArray[Any]
    ) -> npt.NDArray[np.float64] | npt.NDArray[np.object_]:
        """Decode codes back into strings, by column position, into a new array.

        With a learnt mapping the result is an object array: the remembered text
        columns hold str (NaN codes give "NaN"), the other columns Python floats.
        Without one (new encoder, or after encoding a float64 array) it is float64.
        """

    @overload
    def decode(self, obj: pd.DataFrame) -> pd.DataFrame:
        """Decode codes back into strings, by column position, into a new DataFrame.

        With a learnt mapping the remembered text columns come back with dtype object
        (str, None for missing); the other columns stay float64.
        """

    def __getstate__(self) -> bytes:
        """Return the learnt mapping as bytes in a fixed little-endian layout."""

    def __setstate__(self, state: bytes) -> None:
        """Replace the learnt mapping with one read from ``__getstate__`` bytes."""

class PanicException(BaseException):
    """Raised when an internal consistency check of tovrik fails.

    Derives from BaseException, so ``except Exception`` does not catch it.
    """
