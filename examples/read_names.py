"""Read pixel-format names piece by piece, and compose them back: the road by hand.

    tools/py314 python examples/read_names.py YUV422_8_UYVY RGB8_Planar Mono12p

This shows how the piece readers chain, for a handful of components fields.
To read any name, use ``python -m corvella.pfnc NAME...`` or
``corvella.pfnc.PixelFormat``, which follow the same road for every field of
the convention.

With no argument it reads a few well-known names. For every name it prints
each full reading (bits per channel, data types, interface-specific suffix)
and the name composed again from the pieces; a name it cannot read makes it
say so and exit with status 1.
"""

import sys
from typing import NamedTuple

from corvella.pfnc.genicam.components import Components, GenicamComponents, LMNLocation
from corvella.pfnc.genicam.layouts import InterfaceSpecific
from corvella.pfnc.genicam.scalars import DataTypes, datatype_name
from corvella.pfnc.genicam.widths import Size

# The components part of a name is read by the caller, not by the pieces.
COMPONENTS = {
    "Mono": Components(["Mono"]),
    "RGBa": Components(["R", "G", "B", "a"]),
    "RGB": Components(["R", "G", "B"]),
    "BGR": Components(["B", "G", "R"]),
    "YUV422": GenicamComponents(["Y", "U", "V"], LMNLocation((2, 1, 1))),
    "YCbCr422": GenicamComponents(["Y", "Cb", "Cr"], LMNLocation((2, 1, 1))),
    "YUV444": GenicamComponents(["Y", "U", "V"], LMNLocation((1, 1, 1))),
}
PACKED = "p"
EXAMPLES = ["Mono8", "Mono12p", "RGB8", "RGB565p", "RGB10_Planar", "YUV422_8_UYVY", "YCbCr422_8_CbYCrY", "RGBa8"]


class Reading(NamedTuple):
    """One full reading of a name: its pieces in name order."""

    components: str
    size: Size
    data_types: DataTypes
    packed: bool
    suffix: InterfaceSpecific | None
    size_underscore: bool  # subsampled formats write their size after "_": YUV422_8

    def compose(self):
        """The name again, from the pieces' designations."""
        return "".join((
            self.components,
            "_" if self.size_underscore else "",
            self.size.designation(),
            self.data_types.designation(),
            PACKED if self.packed else "",
            "_" + self.suffix.designation() if self.suffix is not None else "",
        ))


def read_name(name):
    """Yield every full reading of name."""
    for prefix, components in COMPONENTS.items():
        if not name.startswith(prefix):
            continue
        rest = name[len(prefix):]
        size_reading = Size.from_designation(rest, len(components))
        if size_reading is None:
            continue
        size, rest_after_size = size_reading
        for data_types, after_types in DataTypes.create(rest_after_size, len(components)):
            packed = after_types.startswith(PACKED)
            tail = after_types[len(PACKED):] if packed else after_types
            underscore = rest.startswith("_")
            if not tail:
                yield Reading(prefix, size, data_types, packed, None, underscore)
                continue
            for suffix, remaining in InterfaceSpecific.create(tail, components, size):
                if remaining == "":
                    yield Reading(prefix, size, data_types, packed, suffix, underscore)


def main(names):
    unreadable = []
    for name in names:
        readings = list(read_name(name))
        if not readings:
            unreadable.append(name)
            print(f"{name}: cannot be read")
            continue
        print(f"{name}:")
        for r in readings:
            suffix = r.suffix.designation() if r.suffix is not None else None
            print(
                f"  components {r.components}, bits per channel {list(r.size)},"
                f" data types {[datatype_name(r.data_types[i], True) for i in range(len(r.data_types))]}"
                f"{', packed' if r.packed else ''},"
                f" suffix {suffix!r} -> {r.compose()}"
            )
    return 1 if unreadable else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:] or EXAMPLES))
