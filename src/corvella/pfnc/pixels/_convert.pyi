"""Conversion of packed pixel buffers to and from arrays of sample values.

plan() builds a format's Plan once, from a description of its layout that
corvella.pfnc.pixels.codec writes; every index in it is checked then. Each
call of the plan gives only the image's size and the buffers.
"""

import collections.abc

import numpy

MAX_OUTPUTS: int
MAX_PLANES: int
MAX_GROUP_SAMPLES: int
MAX_GROUP_BYTES: int
MAX_FIELDS: int

class Plan:
    """A pixel format's conversion plan, made by plan()."""

    # Methods of a C type carry no annotations at run time: the parameters are
    # described here by their docstrings' types only.
    def decode(self, data, width, height, stride, empty, recycled) -> numpy.ndarray | dict[str, numpy.ndarray]: ...  # type: ignore[no-untyped-def]
    def encode(self, images, width, height, stride, out=None) -> object: ...  # type: ignore[no-untyped-def]

def plan(
    name: str, description: list[int], dtype: object, keys: tuple[str, ...] | None, general: bool = False
) -> Plan: ...

class Block:
    """Memory of an array made by convert.block()."""

def block(size: int) -> Block: ...
