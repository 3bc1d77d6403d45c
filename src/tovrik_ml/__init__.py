"""tovrik_ml: tovrik's learnt mappings at work on new data.

``transform(encoder, obj)`` codes new data with the mapping an ``Encoder``
learnt, ``TovrikEncoder`` is the scikit-learn estimator over it, and
``tovrik_ml.dask`` spreads the work over a Dask cluster. Everything here goes
through what an ``Encoder`` exposes: its methods and its state bytes.
"""

from typing import TYPE_CHECKING

from tovrik_ml._apply import LearntMapping, NotFittedError, learnt_mapping, transform

if TYPE_CHECKING:
    from tovrik_ml.sklearn import TovrikEncoder as TovrikEncoder

__all__ = ["LearntMapping", "NotFittedError", "TovrikEncoder", "learnt_mapping", "transform"]


def __getattr__(name: str) -> object:
    # The estimator needs scikit-learn, which stays optional.
    if name == "TovrikEncoder":
        from tovrik_ml.sklearn import TovrikEncoder

        return TovrikEncoder
    raise AttributeError(f"module 'tovrik_ml' has no attribute {name!r}")
