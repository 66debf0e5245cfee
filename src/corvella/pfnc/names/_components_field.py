"""The components field of a pixel-format name: which channels, and how they are laid out.

Only the fields the naming convention lists are read, so ``BayerRG8`` is the
mosaic ``BayerRG`` and never the components ``B``, ``a``, ``y``...: a field
is one of the listed texts, or one of the listed patterns (``CFA_<cells>``,
``CFA<l>by<c>_<cells>``, ``POL<kernel><M|C><variant>[X|Y|XY]``). Several
fields may start a name (``R``, ``RGB``, ``RGBa``); the caller tries each.
"""

import re

from ..genicam.components import GenicamComponents, MosaicLocation, PolarizationLocation, SamplingLocation

__all__ = ["read_fields"]

_BAYER_TILES = {"RG": "RGGB", "BG": "BGGR", "GR": "GRBG", "GB": "GBRG"}
_BICOLOR_CELLS = {"RGBG": ("RG", "BG"), "GRGB": ("GR", "GB"), "BGRG": ("BG", "RG"), "GBGR": ("GB", "GR")}
_LUMA_CHROMA = {"YUV": ("Y", "U", "V"), "YCbCr": ("Y", "Cb", "Cr")}
_SCHEME_FIELDS = {"444": (1, 1, 1), "422": (2, 1, 1), "411": (4, 1, 1), "420": (4, 1, 1)}


def _fixed_fields() -> dict[str, tuple[tuple[str, ...], object]]:
    """Every field written as a fixed text: text -> (channel names, location)."""
    fields: dict[str, tuple[tuple[str, ...], object]] = {}
    for one in ("Mono", "Raw", "R", "G", "B", "Confidence", "Data"):
        fields[one] = ((one,), None)
    for coordinates in ("A", "B", "C", "AC", "ABC"):
        fields["Coord3D_" + coordinates] = (tuple(coordinates), None)
    plain = {
        "RGB": "R G B", "BGR": "B G R", "CIELAB": "L a b", "CIEXYZ": "X Y Z", "HSI": "H S I", "HSV": "H S V",
        "RGBa": "R G B a", "BGRa": "B G R a", "aRGB": "a R G B", "aBGR": "a B G R", "YRGB": "Y R G B",
    }
    for text, written in plain.items():
        fields[text] = (tuple(written.split()), None)
    for base, luma_chroma in _LUMA_CHROMA.items():
        standards: tuple[str | None, ...] = (None, "601", "709", "2020") if base == "YCbCr" else (None,)
        for standard in standards:
            head = base + (standard or "")
            if standard is not None:
                fields[head] = (luma_chroma, SamplingLocation((1, 1, 1), "444", standard))
            else:
                fields[head] = (luma_chroma, None)
            for scheme in ("422", "411", "420"):
                text = head + ("_" if standard else "") + scheme
                fields[text] = (luma_chroma, SamplingLocation(_SCHEME_FIELDS[scheme], scheme, standard))
    for pattern, cells in _BAYER_TILES.items():
        fields["Bayer" + pattern] = (("Bayer" + pattern,), MosaicLocation("Bayer", pattern, 2, 2, tuple(cells)))
    for pattern in ("WBWG", "WGWB", "WRWG", "WGWR"):
        fields["SCF1" + pattern] = (("SCF1" + pattern,), MosaicLocation("SCF1", pattern, 4, 4, None))
    for pattern, pair in _BICOLOR_CELLS.items():
        fields["BiColor" + pattern] = (tuple(pattern[:2]), MosaicLocation("BiColor", pattern, 1, 2, pair))
    return fields


_FIXED = _fixed_fields()
# Fixed fields by first character, so a name is matched against a handful.
_BY_FIRST: dict[str, tuple[str, ...]] = {}
for _text in _FIXED:
    _BY_FIRST[_text[0]] = _BY_FIRST.get(_text[0], ()) + (_text,)
del _text

_CELL = r"(?:Ye|Ir|[RGBWCM])"
_CFA = re.compile(r"CFA(?:([1-9][0-9]*)by([1-9][0-9]*))?_(" + _CELL + r"+)", re.ASCII)
_CELLS = re.compile(_CELL)
_POL = re.compile(r"POL(22|44)([MC])([1-9][0-9]*)(XY|X|Y)?", re.ASCII)


def _cfa(name: str) -> tuple[str, GenicamComponents] | None:
    match = _CFA.match(name)
    if match is None:
        return None
    cells = tuple(_CELLS.findall(match[3]))
    if match[1] is None:
        side = round(len(cells) ** 0.5)
        rows = columns = side
    else:
        rows, columns = int(match[1]), int(match[2])
    if rows * columns != len(cells) or len(cells) < 2:
        return None
    field = match[0]
    location = MosaicLocation("CFA", field[3:], rows, columns, cells)
    return field, GenicamComponents([field], location)


def _pol(name: str) -> tuple[str, GenicamComponents] | None:
    match = _POL.match(name)
    if match is None:
        return None
    field = match[0]
    kernel = int(match[1][0])
    location = PolarizationLocation(
        "POL", field[3:], kernel, kernel, None, match[2] == "C", int(match[3]), match[4] or "")
    return field, GenicamComponents([field], location)


def read_fields(name: str) -> list[tuple[str, GenicamComponents]]:
    """Every components field that starts ``name``: (its text, its components)."""
    found = []
    for text in _BY_FIRST.get(name[:1], ()):
        if name.startswith(text):
            names, location = _FIXED[text]
            found.append((text, GenicamComponents(names, location)))
    for pattern in (_cfa, _pol):
        reading = pattern(name)
        if reading is not None:
            found.append(reading)
    return found
