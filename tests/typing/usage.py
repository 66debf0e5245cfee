"""Typed use of the package: mypy checks it against the installed stubs."""

from fractions import Fraction

from corvella.pfnc import PixelFormat
from corvella.pfnc._internal.registry import MappingSnapshot, Registry
from corvella.pfnc.exceptions import NameReadError
from corvella.pfnc.names import Packing, PackingKind, register_custom_format, unregister_custom_format
from corvella.pfnc.names.custom import CUSTOM_FORMATS
from corvella.pfnc.genicam.components import (
    GenicamComponents,
    LMNLocation,
    MosaicLocation,
    PolarizationLocation,
    SamplingLocation,
)
from corvella.pfnc.genicam.layouts import ComponentsSequencing, InterfaceSpecific, Planar
from corvella.pfnc.genicam.scalars import (
    DATA_TYPE_REGISTRY,
    CompoundDataTypes,
    DataType,
    DataTypes,
    DefaultDataType,
    datatype_name,
    is_data_type,
)
from corvella.pfnc.genicam.widths import Size
from corvella.pfnc.pixels.codec import decode, decode_planes, encode


class Colours(Registry[str, int]):
    pass


def read(name: str) -> list[str]:
    names: list[str] = []
    reading = Size.from_designation(name, 3)
    if reading is None:
        return names
    size, rest = reading
    bits: int = size[0] + len(size)
    components = GenicamComponents(["Y", "U", "V"], LMNLocation((2, 1, 1)))
    for data_types, after in DataTypes.create(rest, len(size)):
        element: DataType = data_types[0]
        for suffix, remaining in InterfaceSpecific.create(after, components, size):
            names.append(size.designation() + data_types.designation() + suffix.designation() + remaining)
        names.append(datatype_name(element, multiple_designators=True) + str(bits))
    return names


registry = Colours()
registry.register("red", 1)
snap: MappingSnapshot[str, int] = registry.snapshot()
registry.restore(snap)
value: int | None = registry.get("red")
first: int = registry.resolve("red")
keys: list[str] = list(registry)

DATA_TYPE_REGISTRY.register("x")
DATA_TYPE_REGISTRY.restore(type(DATA_TYPE_REGISTRY).default_snapshot())
compound = CompoundDataTypes([DefaultDataType.SIGNED, "x"])
text: str = compound.designation()
candidate: object = "s"
if is_data_type(candidate):
    checked: DataType = candidate
planar: list[tuple[Planar, str]] = Planar.from_designation("Planar", components=GenicamComponents([]), sizes=Size([]))
sequence = ComponentsSequencing(("U", "Y", "V", "Y"))
joined: str = sequence.designation() + read("8")[0]

pf = PixelFormat.from_name("YCbCr709_422_8_CbYCrY")
code: int | None = pf.code
bits: int | Fraction = pf.bits_per_pixel
widths_read: list[int] = pf.size.sizes
channel_names: tuple[str, ...] = pf.components.names
sampling: tuple[tuple[int, int], ...] = pf.sampling
planes: tuple[tuple[str, ...], ...] | None = PixelFormat.from_code(0x020C0112).planes
frame_bytes: int = pf.buffer_size(640, 480) + PixelFormat.from_name("Mono12p").buffer_size(641, 2, stride=1024)
everything: list[PixelFormat] = PixelFormat.standard() + PixelFormat.readings("Mono8")
packing: Packing | None = pf.packing
if packing is not None and packing.kind is PackingKind.PACKED:
    per_cluster: int | None = packing.bits
location = pf.components.location
if isinstance(location, SamplingLocation):
    standard: str | None = location.standard
elif isinstance(location, PolarizationLocation):
    variant: int = location.variant
elif isinstance(location, MosaicLocation):
    cells: tuple[str, ...] | None = location.cells
try:
    PixelFormat.from_name(pf.designation() + "x")
except NameReadError as error:
    where: int = error.position
    offered: tuple[str, ...] = error.suggestions
strict: PixelFormat = PixelFormat.from_name("Mono8", strict=True)
widest: int = max(pf.size)
register_custom_format(0x810C0001, "Mono12pmsb")
vendor: int | None = PixelFormat.from_code(0x810C0001).code
vendors: MappingSnapshot[int, str] = CUSTOM_FORMATS.snapshot()
unregister_custom_format(0x810C0001)
CUSTOM_FORMATS.restore(vendors)
pieces: str = "".join(pf.pieces()) + str(pf)

image = decode(bytes(8), "Mono16", 2, 2)
shifted = image << 4
into = decode(bytes(8), pf, 2, 2, stride=4, out=shifted)
view = decode(bytearray(8), 0x01100007, 2, 2, copy=False)
luma = decode_planes(bytes(8), "YUV422_8", 2, 2)["Y"] + 1
frame: bytes = encode(image, "Mono16")
buffer: bytearray = encode(decode_planes(bytes(8), "YUV422_8", 2, 2), "YUV422_8", stride=8, out=bytearray(16))
