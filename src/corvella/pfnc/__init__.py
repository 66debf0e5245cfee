"""Compose and parse the pieces of GenICam pixel-format names.

The pieces live in submodules: :mod:`corvella.pfnc.genicam.widths` (bits per
channel), :mod:`corvella.pfnc.genicam.scalars` (channel data types) and
:mod:`corvella.pfnc.genicam.layouts` (interface-specific suffixes).
"""
