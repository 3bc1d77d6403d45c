"""Type stubs for the compiled helper of tovrik_ml."""

from typing import Any, final

@final
class Mapping:
    """A learnt mapping ready to apply; made by prepare()."""

    @property
    def encoded_columns(self) -> tuple[int, ...]:
        """The listed text columns, ascending."""

def prepare(state: bytes, /) -> Mapping:
    """Reads the bytes of Encoder.__getstate__() into a Mapping ready to apply."""

def apply(mapping: Mapping, obj: Any, error_on_unknown: bool, /) -> Any:
    """Codes obj with the learnt mapping."""

def part_sets(obj: Any, columns: Any, force: Any, /) -> tuple[int, Any, Any]:
    """Sorted distinct texts of a partition's columns: (rows, first text row of each column or -1, sets)."""

def merge(sets: Any, /) -> tuple[Any, Any]:
    """The sorted union of sorted packed sets, as (offsets, data)."""

def state_of_sets(columns: Any, sets: Any, /) -> bytes:
    """The state bytes of an Encoder that learnt these sets."""
