"""The pixel components (channels) of a pixel format.

A format such as YUV 4:2:2 has three channels, Y, U and V, of which Y is
sampled twice as often as the others; its LMN location records that as the
fields (2, 1, 1)::

    >>> yuv422 = GenicamComponents(["Y", "U", "V"], LMNLocation((2, 1, 1)))
    >>> [channel_name(c) for c in yuv422]
    ['Y', 'U', 'V']
"""

from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import overload

__all__ = [
    "Channel",
    "Components",
    "GenicamComponents",
    "LMNLocation",
    "MosaicLocation",
    "PolarizationLocation",
    "SamplingLocation",
    "channel_name",
]


@dataclass(frozen=True)
class Channel:
    """One pixel component, known by its name in format names ("R", "Y", "Cb")."""

    name: str


def _as_channel(channel: "Channel | str") -> Channel:
    return channel if isinstance(channel, Channel) else Channel(channel)


class Components(Sequence[Channel]):
    """The channels of a pixel format, in channel order."""

    __slots__ = ("_channels",)

    def __init__(self, channels: Iterable["Channel | str"]) -> None:
        self._channels = tuple(_as_channel(c) for c in channels)

    def __len__(self) -> int:
        return len(self._channels)

    @overload
    def __getitem__(self, index: int) -> Channel: ...
    @overload
    def __getitem__(self, index: slice) -> tuple[Channel, ...]: ...
    def __getitem__(self, index: "int | slice") -> "Channel | tuple[Channel, ...]":
        return self._channels[index]

    def __iter__(self) -> Iterator[Channel]:
        return iter(self._channels)

    @property
    def names(self) -> tuple[str, ...]:
        """The channel names in channel order."""
        return tuple(c.name for c in self._channels)

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._channels == other._channels

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"{type(self).__name__}({list(self.names)!r})"


@dataclass(frozen=True)
class LMNLocation:
    """How many samples of each channel one group of pixels carries.

    ``fields`` holds one count per channel, in channel order: (2, 1, 1) for
    YUV 4:2:2, where every two pixels carry two Y samples and one each of U
    and V.
    """

    fields: tuple[int, ...]


# Chroma divisors (horizontal, vertical) of each sub-sampling scheme.
_CHROMA_DIVISORS = {"444": (1, 1), "422": (2, 1), "411": (4, 1), "420": (2, 2)}


@dataclass(frozen=True)
class SamplingLocation(LMNLocation):
    """The sampling of a luma/chroma format and its colour standard.

    ``scheme`` is "444", "422", "411" or "420"; ``standard`` is "601", "709",
    "2020" or None when the name gives none. ``fields`` counts the samples of
    each channel (luma first) in one group of pixels: (1, 1, 1) for 4:4:4,
    (2, 1, 1) for 4:2:2, and (4, 1, 1) for both 4:1:1 (four pixels of one
    line) and 4:2:0 (a 2x2 block), which :attr:`divisors` tells apart.
    """

    scheme: str = "444"
    standard: str | None = None

    @property
    def divisors(self) -> tuple[tuple[int, int], ...]:
        """Per channel, how many pixels share one sample (horizontally, vertically)."""
        chroma = _CHROMA_DIVISORS[self.scheme]
        return ((1, 1),) + (chroma,) * (len(self.fields) - 1)


@dataclass(frozen=True)
class MosaicLocation:
    """The tile of a colour-filter or polarisation mosaic, repeated over the image.

    ``family`` is "Bayer", "SCF1", "CFA", "BiColor" or "POL"; ``pattern`` is
    the rest of the components field as the name writes it ("RG" of BayerRG,
    "3by3_RGBGRBGBR" of a CFA, "22M1" of POL22M1). ``cells`` lists the tile in
    raster order, ``rows`` by ``columns``, each cell naming what its pixel
    carries ("R", "Ye", or "RG" for a two-colour pixel); it is None where the
    name does not say (SCF1 names only its first row, POL only its kernel).
    """

    family: str
    pattern: str
    rows: int
    columns: int
    cells: tuple[str, ...] | None


@dataclass(frozen=True)
class PolarizationLocation(MosaicLocation):
    """A polarisation mosaic: kernel ``rows`` x ``columns``, mono or colour, variant, mirror."""

    colour: bool
    variant: int
    mirror: str  # "", "X", "Y" or "XY"


class GenicamComponents(Components):
    """Channels together with where their samples sit (for example an LMN location)."""

    __slots__ = ("location",)

    def __init__(self, channels: Iterable["Channel | str"], location: object = None) -> None:
        super().__init__(channels)
        self.location = location

    def __eq__(self, other: object) -> bool:
        result = super().__eq__(other)
        if result is NotImplemented or not result:
            return result
        return self.location == other.location  # type: ignore[attr-defined]

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"{type(self).__name__}({list(self.names)!r}, {self.location!r})"


def channel_name(channel: Channel) -> str:
    """Return the name under which ``channel`` appears in format names."""
    return channel.name
