"""Anchor auto-positioning: anchor coordinates from the inter-anchor
distance matrix by classical multidimensional scaling, with anchor 0 at
the origin and anchor 1 on the positive x axis."""

from typing import Any, Iterable, SupportsFloat, SupportsIndex, SupportsInt, Union

from typing_extensions import Self, disjoint_base

class Position:
    """A point; estimates carry float x and y and the integer 0 as z."""

    x: Any
    y: Any
    z: Any
    def __init__(self, x: Any, y: Any, z: Any) -> None: ...

@disjoint_base
class AutoPos:
    """The distance matrix and position estimates of anchor_cnt anchors."""

    def __new__(cls, anchor_cnt: Union[SupportsInt, SupportsIndex]) -> Self: ...
    def compute(self, measurements: Iterable[SupportsFloat], /) -> None: ...
    def get_position_estimates(self) -> list[Position]: ...
