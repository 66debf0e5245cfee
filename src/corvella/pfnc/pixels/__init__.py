"""Pixels: decode buffers of any pixel format into numpy arrays, and encode them back.

Each format's memory layout is found from its name's structure once and
compiled into a plan that later calls reuse; a call then passes only sizes
and buffers.
"""

from .codec import decode, decode_planes, encode
from .colour import to_rgb
from .files import RawFile

__all__ = ["RawFile", "decode", "decode_planes", "encode", "to_rgb"]
