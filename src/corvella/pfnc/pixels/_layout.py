"""Where every bit of a pixel format sits in memory, read from the format's structure.

A layout is a list of planes in memory order. Each plane repeats one group of
bytes that covers a fixed number of pixels of a line; every sample of the
group names the output it goes to, its place there, and its bits as fields of
the group's little-endian bit stream (bit n is bit n % 8 of byte n // 8).
Formats whose bits run the other way (``pmsb``, grouped, the legacy
``Packed``) simply split a sample into several fields. The conversion module
interprets that description; nothing here depends on a particular name.
"""

from dataclasses import dataclass

from ..names import PackingKind
from ..names._memory import MemoryPlane, Unsupported, container_bits, element_type, memory_planes

__all__ = ["Field", "Layout", "Plane", "Sample", "Unsupported", "layout_of"]

# The kinds of a sample's value, as the conversion module numbers them.
UNSIGNED, SIGNED, FLOAT = 0, 1, 2
_KINDS = {"u": UNSIGNED, "s": SIGNED, "f": FLOAT}


@dataclass(frozen=True)
class Field:
    """``bits`` bits from stream bit ``bit`` of the group, worth ``value >> shift``."""

    bit: int
    bits: int
    shift: int


@dataclass(frozen=True)
class Sample:
    """One component value of a group: output ``target``, element ``element`` of the group's block there."""

    target: int
    element: int
    pixel: int  # the first pixel of the group it belongs to
    width: int
    kind: int
    fields: tuple[Field, ...]


@dataclass(frozen=True)
class Plane:
    group_bytes: int
    group_pixels: int
    line_divisor: int  # 2 for 4:2:0 chroma: one line of samples for two of pixels
    samples: tuple[Sample, ...]
    steps: tuple[int, ...]  # per target, elements one group fills
    # Bytes that the first k pixels of a group need, k = 1..group_pixels - 1,
    # for a stream whose last group may stop early; None when it may not.
    partial_bytes: tuple[int, ...] | None


@dataclass(frozen=True)
class Layout:
    name: str
    planes: tuple[Plane, ...]
    # (name, horizontal divisor, vertical divisor, components) per output;
    # name None for the one array of a format with a sample per channel per pixel.
    targets: tuple[tuple[str | None, int, int, int], ...]
    dtype: str  # numpy's name for the element type of every output
    limits: tuple[tuple[str, int, int], ...]  # per channel: name, width, kind


def _msb_fields(position: int, width: int) -> tuple[Field, ...]:
    """A value at `position` of a stream that fills each byte from bit 7 down."""
    fields = []
    done = 0
    while done < width:
        at = position + done
        byte, high = divmod(at, 8)
        bits = min(width - done, 8 - high)
        low = 7 - high - bits + 1
        fields.append(Field(byte * 8 + low, bits, width - done - bits))
        done += bits
    return tuple(fields)


def _place(widths: list[int], packing, total: int, count: int) -> list[tuple[Field, ...]]:
    """The fields of every sample of a group of `count` macro-pixels of `total` bits each.

    `widths` are the samples of one macro-pixel (the legacy Packed: of one pixel).
    """
    kind = packing.kind if packing is not None else None
    if kind is PackingKind.LEGACY_PACKED:
        return _legacy_packed(widths[0])
    if kind in (PackingKind.GROUPED, PackingKind.GROUPED_MSB):
        return _grouped(widths, total, count, kind is PackingKind.GROUPED_MSB)
    if kind in (PackingKind.PACKED, PackingKind.PACKED_MSB):
        starts = [sum(widths[:i]) for i in range(len(widths))]
        return [(Field(m * total + s, w, 0),) if kind is PackingKind.PACKED else _msb_fields(m * total + s, w)
                for m in range(count) for s, w in zip(starts, widths)]
    # Unpacked: each component in its container, low bits or (msb) high bits.
    fields, at = [], 0
    for width in widths:
        container = container_bits(width) or 0
        low = container - width if kind is PackingKind.MSB_UNPACKED else 0
        fields.append((Field(at + low, width, 0),))
        at += container
    return fields


def _grouped(widths: list[int], total: int, count: int, msb: bool) -> list[tuple[Field, ...]]:
    """Whole bytes of each component first, then each macro-pixel's remaining bits in a slot of its own."""
    slot = total - 8 * len(widths)
    # The group is laid out here whole, as count macro-pixels of fields.
    fields = []
    slots_start = 8 * len(widths) * count
    for m in range(count):
        at = slots_start + m * slot
        for i, width in enumerate(widths):
            byte = 8 * (m * len(widths) + i)
            rest = width - 8
            if msb:
                fields.append((Field(byte, 8, 0), Field(at, rest, 8)))
            else:
                fields.append((Field(byte, 8, rest), Field(at, rest, 0)))
            at += rest
    return fields


def _legacy_packed(width: int) -> list[tuple[Field, ...]]:
    """Two pixels in three bytes: the high 8 bits of each in bytes 0 and 2, the rest in nibbles of byte 1."""
    rest = width - 8
    return [(Field(0, 8, rest), Field(8, rest, 0)), (Field(16, 8, rest), Field(12, rest, 0))]


def layout_of(fmt) -> Layout:
    """The layout of `fmt`; raises Unsupported where none is defined."""
    memory = memory_planes(fmt)
    names = tuple(fmt.components.names)
    widths = list(fmt.size.sizes)
    kinds = list(fmt.channel_types)
    sampling = tuple(fmt.sampling)
    index = {n: i for i, n in enumerate(names)}
    packing = fmt.packing
    cluster = packing.cluster if packing is not None else 1
    if sampling == ((1, 1),) * len(names):
        targets = ((None, 1, 1, len(names)),)
    else:
        targets = tuple((n, h, v, 1) for n, (h, v) in zip(names, sampling))
    planes = tuple(_plane(plane, index, widths, kinds, sampling, packing, cluster, len(targets) > 1)
                   for plane in memory)
    limits = tuple((n, w, _KINDS[k]) for n, w, k in zip(names, widths, kinds))
    return Layout(fmt.name, planes, targets, element_type(widths, kinds), limits)


def _plane(memory: MemoryPlane, index, widths, kinds, sampling, packing, cluster, per_channel) -> Plane:
    sequence = memory.sequence
    entries = [index[n] for n in sequence] * cluster  # the samples of one macro-pixel
    if cluster > 1:
        occurrence = pixel_of = list(range(cluster))
    else:
        occurrence = [sequence[:k].count(n) for k, n in enumerate(sequence)]
        pixel_of = [j * sampling[c][0] for j, c in zip(occurrence, entries)]
    macro_pixels, count = memory.macro_pixels, memory.group_count
    fields = _place([widths[c] for c in entries], packing, memory.macro_bits, count)
    group_pixels = memory.group_pixels
    n_channels = len(index)
    samples, steps = [], {}
    for i, fs in enumerate(fields):
        m, k = divmod(i, len(entries))
        c = entries[k]
        pixel = m * macro_pixels + pixel_of[k]
        if per_channel:
            per_macro = sequence.count(sequence[k])
            target, element = c, m * per_macro + occurrence[k]
            steps[c] = count * per_macro
        else:
            target, element = 0, pixel * n_channels + c
            steps[0] = group_pixels * n_channels
        samples.append(Sample(target, element, pixel, widths[c], _KINDS[kinds[c]], fs))
    partial = None
    if memory.stops_early and group_pixels > 1:
        partial = tuple(max((f.bit + f.bits + 7) // 8 for s in samples if s.pixel < k for f in s.fields)
                        for k in range(1, group_pixels))
    return Plane(memory.group_bytes, group_pixels, memory.line_divisor, tuple(samples),
                 tuple(steps.get(t, 0) for t in range(max(steps) + 1)), partial)
