"""What is timed: the three implementations and the rows of calls, each with its floor (and some with the least work)."""

from __future__ import annotations

import importlib
import sys
from dataclasses import dataclass, field
from enum import Enum
from pathlib import Path
from types import ModuleType
from typing import Callable

from corvella.pfnc._internal._family import _walk
from corvella.pfnc.exceptions import NotRegisteredError
from corvella.pfnc.genicam.components import Components, GenicamComponents, LMNLocation, channel_name

ROOT = Path(__file__).resolve().parent.parent
MODULES = ("registry", "widths", "scalars", "layouts")
EXTENSION_PACKAGES = {
    "registry": "corvella.pfnc._internal",
    "widths": "corvella.pfnc.genicam",
    "scalars": "corvella.pfnc.genicam",
    "layouts": "corvella.pfnc.genicam",
}


@dataclass
class Implementation:
    key: str
    title: str
    modules: dict[str, ModuleType] = field(default_factory=dict)
    missing: dict[str, str] = field(default_factory=dict)  # module name -> why

    def has(self, needs: tuple[str, ...]) -> bool:
        return all(name in self.modules for name in needs)

    def __getattr__(self, name: str) -> ModuleType:
        try:
            return self.__dict__["modules"][name]
        except KeyError:
            raise AttributeError(name) from None


def import_implementation(key: str, title: str, names: dict[str, str]) -> Implementation:
    impl = Implementation(key, title)
    for short, full in names.items():
        try:
            impl.modules[short] = importlib.import_module(full)
        except ImportError as e:
            impl.missing[short] = str(e)
    return impl


def extensions() -> Implementation:
    impl = import_implementation("cpp", "C++", {m: f"{EXTENSION_PACKAGES[m]}.{m}" for m in MODULES})
    for name, module in list(impl.modules.items()):
        # Only the compiled modules count; a stray source file must not stand in.
        if not (module.__file__ or "").endswith(".so"):
            del impl.modules[name]
            impl.missing[name] = f"{module.__file__} is not an extension module"
    # Whole names are read by the package only, on top of the compiled pieces.
    try:
        impl.modules["formats"] = importlib.import_module("corvella.pfnc.names.formats")
    except ImportError as e:
        impl.missing["formats"] = str(e)
    return impl


def reference_model() -> Implementation:
    if str(ROOT / "reference") not in sys.path:
        sys.path.insert(0, str(ROOT / "reference"))
    return import_implementation("model", "model", {m: f"pfnc_model.{m}" for m in MODULES})


def cython_model(package: ModuleType | None, why: str = "") -> Implementation:
    if package is None:
        impl = Implementation("cython", "Cython")
        impl.missing = {"(all modules)": why}
        return impl
    return import_implementation("cython", "Cython", {m: f"{package.__name__}.{m}" for m in MODULES})


# ---------------------------------------------------------------- the road of a name

RGB = Components(["R", "G", "B"])
YUV422 = GenicamComponents(["Y", "U", "V"], LMNLocation((2, 1, 1)))
# The caller reads the components itself; the pieces only see what follows.
PREFIXES = (
    ("Mono", Components(["Mono"])),
    ("RGBa", Components(["R", "G", "B", "a"])),
    ("RGB", RGB),
    ("BGR", Components(["B", "G", "R"])),
    ("YUV422", YUV422),
    ("YCbCr422", GenicamComponents(["Y", "Cb", "Cr"], LMNLocation((2, 1, 1)))),
    ("Coord3D_ABC", Components(["A", "B", "C"])),
)
NAMES = (
    "Mono8", "Mono8s", "Mono12p", "Mono16", "RGB8", "RGBa8", "RGB565p", "BGR10p", "RGB10_Planar",
    "YUV422_8_UYVY", "YCbCr422_8_CbYCrY", "Coord3D_ABC32f",
)
PACKED = "p"


def road(names, Size, DataTypes, InterfaceSpecific):
    """Read every name piece by piece and compose each full reading again; returns the composed names."""
    composed = []
    for name in names:
        for prefix, components in PREFIXES:
            if not name.startswith(prefix):
                continue
            rest = name[len(prefix):]
            channels = len(components)
            size_reading = Size.from_designation(rest, channels)
            if size_reading is None:
                continue
            size, after_size = size_reading
            head = prefix + ("_" if rest.startswith("_") else "") + size.designation()
            for data_types, after_types in DataTypes.create(after_size, channels):
                packed = after_types.startswith(PACKED)
                tail = after_types[len(PACKED):] if packed else after_types
                body = head + data_types.designation() + (PACKED if packed else "")
                if not tail:
                    composed.append(body)
                    continue
                for suffix, remaining in InterfaceSpecific.create(tail, components, size):
                    if not remaining:
                        composed.append(body + "_" + suffix.designation())
    return composed


# ---------------------------------------------------------------- rows

# Builds a statement's namespace from one implementation (the floor's from the C++ one).
Namespace = Callable[[Implementation], dict]


@dataclass(frozen=True)
class Floor:
    label: str
    needs: tuple[str, ...]
    statement: str
    namespace: Namespace
    goal: float | None = None  # the most C++/floor may be; None: the table's usual goal


@dataclass(frozen=True)
class Row:
    key: str
    label: str
    needs: tuple[str, ...]
    statement: str
    namespace: Namespace
    floor: Floor | None = None
    chars: int = 0  # length of the text read, for the cost per character
    # The least work that returns this row's result (bench/least.c); beside
    # the floor, it shows how far above it any reader must stay.
    least: Floor | None = None


def size_floor(values: list[int], label: str, rest: str | None = None) -> Floor:
    # The dataclass-generated __init__ (with the __post_init__ it calls) runs
    # in Python whatever reads the text; so does the copy of a rest that is
    # long enough to count.
    if rest is None:
        return Floor(f"Size({label})", ("widths",), "Size(values)",
                     lambda cpp: {"Size": cpp.widths.Size, "values": list(values)})
    return Floor(f"Size({label}) and text[1:]", ("widths",), "Size(values), text[1:]",
                 lambda cpp: {"Size": cpp.widths.Size, "values": list(values), "text": rest})


def create_floor(family: str, module: str) -> Floor:
    # One walk of the family's subclasses, in C, with nothing cached: what a
    # reader that asks every implementation cannot do without.
    return Floor(f"walk({family})", (module,), "walk(family)",
                 lambda cpp: {"walk": _walk, "family": getattr(cpp.modules[module], family)})


def data_types_least(text: str, candidates: tuple[tuple[tuple[str, ...], int], ...]) -> Floor:
    def namespace(impl):
        kinds = impl.scalars.DefaultDataType
        built = tuple((tuple(kinds[m] for m in members), start) for members, start in candidates)
        return {"least": impl.least, "cls": impl.scalars.CompoundDataTypes, "text": text, "candidates": built}

    return Floor("its candidates built", ("scalars", "least"), "least.data_types(cls, text, candidates)", namespace)


def interface_least(text: str, components, cls: str, order: tuple[int, ...] | None) -> Floor:
    # Every reader asks the components for their names and the sizes for
    # their count; a sequencing that names every channel also asks for the
    # LMN location. The whole text after the underscore is read here.
    read = text[1:]
    return Floor(
        "the components asked, the result built", ("widths", "layouts", "least"),
        "least.interface(components, size, channel_name, lmn, cls, field, order, text, rest)",
        lambda impl: {"least": impl.least, "components": components, "size": impl.widths.Size([8, 8, 8]),
                      "channel_name": channel_name,
                      "lmn": (GenicamComponents, LMNLocation) if order is not None else None,
                      "cls": getattr(impl.layouts, cls), "field": "components" if order is not None else None,
                      "order": order or (), "text": read, "rest": len(read)})


def from_designation_row(text: str, channels: int, values: list[int], text_label: str | None = None,
                         floor_label: str | None = None, rest_copied: bool = False) -> Row:
    shown = text_label or f'"{text}"'
    return Row(
        key=f"size_from_designation_{text_label and len(text) or text}_{channels}",
        label=f"Size.from_designation({shown}, {channels})",
        needs=("widths",),
        statement="Size.from_designation(text, channels)",
        namespace=lambda impl: {"Size": impl.widths.Size, "text": text, "channels": channels},
        floor=size_floor(values, floor_label or repr(values), text if rest_copied else None),
        chars=len(text),
    )


def designation_row(values: list[int]) -> Row:
    return Row(
        key="size_designation_" + "_".join(map(str, values)),
        label=f"Size({values}).designation()",
        needs=("widths",),
        statement="size.designation()",
        namespace=lambda impl: {"size": impl.widths.Size(list(values))},
    )


def data_types_create_row(text: str, channels: int, candidates) -> Row:
    return Row(
        key=f"data_types_create_{text}_{channels}",
        label=f'DataTypes.create("{text}", {channels})',
        needs=("scalars",),
        statement="DataTypes.create(text, channels)",
        namespace=lambda impl: {"DataTypes": impl.scalars.DataTypes, "text": text, "channels": channels},
        floor=create_floor("DataTypes", "scalars"),
        least=data_types_least(text, candidates),
    )


def compound_designation_row(letters: str, members: tuple[str, ...]) -> Row:
    def namespace(impl):
        kinds = impl.scalars.DefaultDataType
        return {"compound": impl.scalars.CompoundDataTypes([kinds[m] for m in members])}

    return Row(
        key=f"compound_designation_{letters}",
        label=f"CompoundDataTypes([{', '.join(letters)}]).designation()",
        needs=("scalars",),
        statement="compound.designation()",
        namespace=namespace,
    )


def registry_row(key: str, call: str, argument: str, raises: bool = False) -> Row:
    statement = f"registry.{call}(name)"
    if raises:
        statement = f"try:\n    {statement}\nexcept NotRegisteredError:\n    pass"
    return Row(
        key=key,
        label=f'DATA_TYPE_REGISTRY.{call}("{argument}")' + (" raising" if raises else ""),
        needs=("registry", "scalars"),
        statement=statement,
        namespace=lambda impl: {"registry": impl.scalars.DATA_TYPE_REGISTRY, "name": argument,
                                "NotRegisteredError": NotRegisteredError},
    )


def interface_create_row(text: str, components, components_label: str, cls: str,
                         order: tuple[int, ...] | None = None) -> Row:
    return Row(
        key=f"interface_specific_create_{text.strip('_')}",
        label=f'InterfaceSpecific.create("{text}", {components_label}, Size([8] * 3))',
        needs=("widths", "layouts"),
        statement="InterfaceSpecific.create(text, components, size)",
        namespace=lambda impl: {"InterfaceSpecific": impl.layouts.InterfaceSpecific, "text": text,
                                "components": components, "size": impl.widths.Size([8, 8, 8])},
        floor=create_floor("InterfaceSpecific", "layouts"),
        least=interface_least(text, components, cls, order),
    )


def road_row() -> Row:
    return Row(
        key="road_of_12_names",
        label=f"road of {len(NAMES)} names, read and composed",
        needs=("widths", "scalars", "layouts"),
        statement="road(names, Size, DataTypes, InterfaceSpecific)",
        namespace=lambda impl: {"road": road, "names": NAMES, "Size": impl.widths.Size,
                                "DataTypes": impl.scalars.DataTypes,
                                "InterfaceSpecific": impl.layouts.InterfaceSpecific},
    )


# A plain dict lookup of a str key: what a memo of readings is measured against.
DICT_FLOOR = Floor('dict[str] lookup', (), "table[key]",
                   lambda cpp: {"table": {name: None for name in NAMES}, "key": "Mono8"}, goal=3.0)


def formats_namespace(impl: Implementation) -> dict:
    formats = impl.formats
    names = [name for name, _ in formats.STANDARD]

    def miss(text: str) -> None:
        try:
            formats.PixelFormat.from_name(text)
        except ValueError:
            pass

    return {"PixelFormat": formats.PixelFormat, "from_name": formats.PixelFormat.from_name, "names": names,
            "name": "YCbCr422_8_CbYCrY", "code": dict(formats.STANDARD)["YCbCr422_8_CbYCrY"], "miss": miss}


def formats_row(key: str, label: str, statement: str, floor: Floor | None = None) -> Row:
    return Row(key=key, label=label, needs=("formats",), statement=statement, namespace=formats_namespace,
               floor=floor)


def formats_rows() -> list[Row]:
    return [
        formats_row("from_name_repeated", 'PixelFormat.from_name("YCbCr422_8_CbYCrY"), repeated',
                    "PixelFormat.from_name(name)", DICT_FLOOR),
        formats_row("from_code_repeated", "PixelFormat.from_code(0x02100043), repeated", "PixelFormat.from_code(code)",
                    DICT_FLOOR),
        formats_row("from_name_first", 'PixelFormat.from_name("YCbCr422_8_CbYCrY"), first reading',
                    "from_name.cache_clear() or from_name(name)"),
        formats_row("from_name_all_cold", "PixelFormat.from_name of all 276 standard names, cold",
                    "from_name.cache_clear() or [from_name(n) for n in names]"),
        formats_row("from_name_strict_repeated", 'PixelFormat.from_name("YCbCr422_8_CbYCrY", strict=True), repeated',
                    "PixelFormat.from_name(name, strict=True)"),
        # A failing read is never kept: each is read again and told what is close to it.
        formats_row("from_name_case_slip", 'PixelFormat.from_name("Mono12P"), which does not read',
                    'miss("Mono12P")'),
        formats_row("from_name_piece_left_out", 'PixelFormat.from_name("YUV422_UYVY"), which does not read',
                    'miss("YUV422_UYVY")'),
        formats_row("from_name_nonsense", 'PixelFormat.from_name("Foo8"), which does not read', 'miss("Foo8")'),
    ]


def long_digits_row(chars: int, label: str) -> Row:
    # Four digits per channel: every implementation scans the whole text and
    # builds one int per channel.
    channels = chars // 4
    return from_designation_row("1234" * channels, channels, [1234] * channels, text_label=f"{label} of digits",
                                floor_label=f"[1234] * {channels}")


def long_rest_row(chars: int, label: str) -> Row:
    # A short size and a long rest: the rest is copied, whoever reads it.
    return from_designation_row("8" + "x" * (chars - 1), 1, [8], text_label=f'"8" + {label} of letters',
                                rest_copied=True)


def rows(long_chars: tuple[int, ...] = (1 << 10, 1 << 20)) -> list[Row]:
    """Every row, in table order; long_chars sets the long texts' lengths (the smoke test shrinks them)."""
    def size_label(chars):
        return f"{chars >> 20} MiB" if chars >= 1 << 20 else f"{chars >> 10} KiB" if chars >= 1 << 10 else f"{chars} B"

    return [
        from_designation_row("8", 1, [8]),
        from_designation_row("565", 3, [5, 6, 5]),
        from_designation_row("_10p", 3, [10, 10, 10]),
        from_designation_row("121010", 3, [12, 10, 10]),
        designation_row([8]),
        designation_row([12, 10, 10]),
        # Every channel unsigned, reading nothing; then the letters read.
        data_types_create_row("sf_x", 2, ((("UNSIGNED",) * 2, 0), (("SIGNED", "FLOAT"), 2))),
        data_types_create_row("s", 3, ((("UNSIGNED",) * 3, 0), (("SIGNED",) * 3, 1))),
        compound_designation_row("sss", ("SIGNED", "SIGNED", "SIGNED")),
        compound_designation_row("usf", ("UNSIGNED", "SIGNED", "FLOAT")),
        registry_row("registry_resolve", "resolve", "s"),
        registry_row("registry_resolve_missing", "resolve", "p", raises=True),
        registry_row("registry_get", "get", "f"),
        registry_row("registry_get_missing", "get", "x"),
        interface_create_row("_Planar", RGB, "RGB", "Planar"),
        interface_create_row("_UYVY", YUV422, "YUV422", "ComponentsSequencing", order=(1, 0, 2, 0)),
        road_row(),
        *formats_rows(),
        *(long_digits_row(chars, size_label(chars)) for chars in long_chars),
        long_rest_row(long_chars[-1], size_label(long_chars[-1])),
    ]


# ---------------------------------------------------------------- agreement

def canonical(value):
    """A value that equal results of different implementations share."""
    if value is None or isinstance(value, (str, int, bool)):
        return value
    if isinstance(value, (list, tuple)):
        return [canonical(v) for v in value]
    if isinstance(value, Enum):
        return ("enum", value.name)
    if hasattr(value, "designation"):
        return (type(value).__name__, value.designation(), len(value) if hasattr(value, "__len__") else None)
    return ("object", type(value).__name__)
