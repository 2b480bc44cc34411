"""Tag tracking on ranges: a constant-velocity Kalman filter per tag with
gated range updates, the anchors' range offsets and the ranging noise
learned from the tags' ranges, and a Rauch-Tung-Striebel smoother, in
double precision."""

from typing import (Iterable, Optional, Sequence, SupportsFloat, SupportsIndex, Tuple, Union,
                    final)

from typing_extensions import Buffer, Self

MAX_ANCHORS: int

# (x, y, sd, dop, used anchor indices, ranges rejected in this update)
_Fix = Tuple[float, float, float, float, Tuple[int, ...], int]

@final
class RangeModel:
    """The anchors' range offsets and the ranging noise that the filters of
    several tags share."""

    def __new__(
        cls,
        count: SupportsIndex,
        *,
        offsets: Union[SupportsFloat, Iterable[SupportsFloat], None] = ...,
        offset_sd: Union[SupportsFloat, Iterable[SupportsFloat]] = ...,
        sigma: Optional[SupportsFloat] = ...,
    ) -> Self: ...
    @property
    def count(self) -> int: ...
    @property
    def offsets(self) -> Tuple[float, ...]: ...
    @property
    def offset_sd(self) -> Tuple[float, ...]: ...
    @property
    def sigma(self) -> float: ...
    @property
    def estimates_noise(self) -> bool: ...
    @property
    def noise_samples(self) -> int: ...

@final
class TagFilter:
    """A constant-velocity filter of one tag on its ranges to fixed anchors."""

    def __new__(
        cls,
        anchors: Sequence[Sequence[SupportsFloat]],
        *,
        sigma: Optional[SupportsFloat] = ...,
        process_noise: SupportsFloat = ...,
        gate: SupportsFloat = ...,
        short_gate: SupportsFloat = ...,
        height: SupportsFloat = ...,
        max_gap: SupportsFloat = ...,
        max_rejected_updates: SupportsFloat = ...,
        max_range: SupportsFloat = ...,
        offset: SupportsFloat = ...,
        offset_sd: SupportsFloat = ...,
        model: Optional[RangeModel] = ...,
    ) -> Self: ...
    def update(self, time: SupportsFloat, distances: Iterable[SupportsFloat]) -> Optional[_Fix]: ...
    def seed(
        self, time: SupportsFloat, x: SupportsFloat, y: SupportsFloat,
        distances: Iterable[SupportsFloat],
    ) -> _Fix: ...
    def set_anchors(self, anchors: Sequence[Sequence[SupportsFloat]], /) -> None: ...
    def reset(self) -> None: ...
    @property
    def state(self) -> Tuple[float, float, float, float]: ...
    @property
    def covariance(self) -> Tuple[float, ...]: ...
    @property
    def time(self) -> float: ...
    @property
    def seeded(self) -> bool: ...
    @property
    def rejected(self) -> int: ...
    @property
    def anchor_count(self) -> int: ...
    @property
    def anchors(self) -> list[Tuple[float, float, float]]: ...
    @property
    def process_noise(self) -> float: ...
    @property
    def sigma(self) -> float: ...
    @property
    def height(self) -> float: ...
    @property
    def growth(self) -> float: ...
    @property
    def offset(self) -> float: ...
    @property
    def offset_sd(self) -> float: ...
    @property
    def model(self) -> RangeModel: ...
    @property
    def restarted(self) -> bool: ...

def smooth(
    times: Iterable[SupportsFloat],
    states: Iterable[SupportsFloat],
    covariances: Iterable[SupportsFloat],
    starts: Iterable[object],
    growths: Iterable[SupportsFloat],
    process_noise: SupportsFloat,
) -> list[Tuple[float, float, float]]: ...
def smooth_in_place(
    times: Buffer,
    states: Buffer,
    covariances: Buffer,
    starts: Buffer,
    growths: Buffer,
    process_noise: SupportsFloat,
) -> None: ...
