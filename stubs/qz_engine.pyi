"""Tag positioning: a Levenberg-Marquardt fit of a tag's x and y to its
distances from anchors at known positions, in 32-bit floats."""

from typing import Any, Iterable, Protocol, Sized, SupportsFloat, SupportsIndex, SupportsInt, Union

from typing_extensions import Self, disjoint_base

class _HasXYZ(Protocol):
    @property
    def x(self) -> SupportsFloat: ...
    @property
    def y(self) -> SupportsFloat: ...
    @property
    def z(self) -> SupportsFloat: ...

class _SizedHasXYZ(Sized, Iterable[_HasXYZ], Protocol): ...

class Position:
    """A point; the module always stores Python floats."""

    x: Any
    y: Any
    z: Any
    def __init__(self, x: Any, y: Any, z: Any) -> None: ...

@disjoint_base
class PositionEngine:
    """One anchor set of nb_anchors slots; fits tags against it in the plane."""

    def __new__(cls, nb_anchors: Union[SupportsInt, SupportsIndex]) -> Self: ...
    def get_anchor_positions(self) -> list[Position]: ...
    def set_anchor_positions(self, anchor_positions: _SizedHasXYZ, /) -> None: ...
    def compute_tag_position(
        self, measurements: Iterable[SupportsFloat], initial_position: _HasXYZ
    ) -> Position: ...
