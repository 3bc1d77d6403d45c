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

def apply(mapping: Mapping, obj: Any, error_on_unknown: bool, force: Any = None, /) -> Any:
    """Codes obj with the learnt mapping."""

_Packed = tuple[Any, Any]  # (int64 offsets, uint8 bytes) arrays of sorted distinct texts

def part_sets(obj: Any, columns: Any, force: Any, /) -> tuple[int, tuple[int, ...], list[_Packed], Any]:
    """Sorted distinct texts of a partition's columns."""

def remap(matrix: Any, columns: Any, local_sets: Any, merged_sets: Any, /) -> Any:
    """Codes into local sets as codes into merged sets."""

def merge(sets: Any, /) -> _Packed:
    """The sorted union of sorted packed sets."""

def state_of_sets(columns: Any, sets: Any, /) -> bytes:
    """The state bytes of an Encoder that learnt these sets."""
