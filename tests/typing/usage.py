"""Typed use of the package: mypy checks it against the installed stubs."""

from corvella.pfnc._internal.registry import MappingSnapshot, Registry
from corvella.pfnc.genicam.components import GenicamComponents, LMNLocation
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
