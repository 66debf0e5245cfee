"""Conversion of packed pixel buffers to and from arrays of sample values.

The layout comes as a job: a flat list of integers that corvella.pfnc.pixels.codec
builds. Every index in it is checked against the buffers before any is used.
Its second entry, when 1, keeps to the general loop that interprets the layout,
against which the faster loops are tested.
"""

import collections.abc

import numpy

JOB_VERSION: int

def decode(job: list[int], data: collections.abc.Buffer, outputs: tuple[numpy.ndarray, ...]) -> None: ...
def encode(job: list[int], images: tuple[numpy.ndarray, ...], size: int) -> bytes | int: ...

class Block:
    """Memory of an array made by convert.block()."""

def block(size: int) -> Block: ...
