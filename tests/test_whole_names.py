"""Whole pixel-format names read piece by piece, and composed back from the pieces."""

import importlib

import pytest

from corvella.pfnc.genicam.components import Components, GenicamComponents, LMNLocation
from corvella.pfnc.genicam.layouts import InterfaceSpecific
from corvella.pfnc.genicam.widths import Size

scalars = importlib.import_module("corvella.pfnc.genicam.scalars")

YUV422 = GenicamComponents(["Y", "U", "V"], LMNLocation((2, 1, 1)))
YCBCR422 = GenicamComponents(["Y", "Cb", "Cr"], LMNLocation((2, 1, 1)))
RGB = Components(["R", "G", "B"])
ABC = Components(["A", "B", "C"])


def full_readings(name, prefix, components):
    """Every reading of name after its components part that leaves nothing over."""
    if not name.startswith(prefix):
        return []
    after_components = name[len(prefix):]
    found = Size.from_designation(after_components, len(components))
    if found is None:
        return []
    size, after_size = found
    return [
        (size, data_types, suffix)
        for data_types, after_types in scalars.DataTypes.create(after_size, len(components))
        for suffix, rest in InterfaceSpecific.create(after_types, components, size)
        if rest == ""
    ]


def compose(prefix, size_after_underscore, size, data_types, suffix):
    return "".join((
        prefix,
        "_" if size_after_underscore else "",
        size.designation(),
        data_types.designation(),
        "_",
        suffix.designation(),
    ))


@pytest.mark.parametrize(
    "name, prefix, components, expected",
    [
        ("YUV422_8_UYVY", "YUV422", YUV422, [([8, 8, 8], "", "ComponentsSequencing", "UYVY")]),
        ("YCbCr422_8_CbYCrY", "YCbCr422", YCBCR422, [([8, 8, 8], "", "ComponentsSequencing", "CbYCrY")]),
        ("YUV422_8_YUYV", "YUV422", YUV422, [([8, 8, 8], "", "ComponentsSequencing", "YUYV")]),
        ("RGB8_Planar", "RGB", RGB, [([8, 8, 8], "", "Planar", "Planar")]),
        ("RGB10_Semiplanar", "RGB", RGB, [([10, 10, 10], "", "SemiPlanar", "Semiplanar")]),
        # the unsigned reading leaves "f_Planar", which has no underscore in front
        ("Coord3D_ABC32f_Planar", "Coord3D_ABC", ABC, [([32, 32, 32], "f", "Planar", "Planar")]),
        ("YUV422_8_UYYYV", "YUV422", YUV422, []),  # Y three times against U once
        ("RGB8_Planarx", "RGB", RGB, []),
        ("RGB8_UYVY", "RGB", RGB, []),
    ],
)
def test_a_name_reads_into_exactly_its_pieces(name, prefix, components, expected):
    readings = full_readings(name, prefix, components)
    plain = [
        (list(size), data_types.designation(), type(suffix).__name__, suffix.designation())
        for size, data_types, suffix in readings
    ]
    assert plain == expected
    after_underscore = name[len(prefix):].startswith("_")
    for reading in readings:
        assert compose(prefix, after_underscore, *reading) == name
