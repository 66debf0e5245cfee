"""Executable pure-Python reference model of the four ``corvella.pfnc`` extension modules.

The model mirrors, module for module, what the C++ extensions do:

- ``registry`` for ``corvella.pfnc._internal.registry``,
- ``widths`` for ``corvella.pfnc.genicam.widths``,
- ``scalars`` for ``corvella.pfnc.genicam.scalars``,
- ``layouts`` for ``corvella.pfnc.genicam.layouts``.

It is plain Python on purpose: it reads step by step like the algorithms the
extensions implement, so a disagreement between the two in the cross-checking
tests points at one of them rather than at a shared helper. It is never
installed with the package; the tests put this directory on ``sys.path``.

The model shares the package's real pure-Python modules (exceptions,
``all_implementations`` and components), so exceptions raised by either side
are the same classes.

Multi-line docstrings are written as adjacent one-line literals with explicit
newlines: Python 3.13 started to strip the indentation of docstrings at compile
time, and this way the text is the extensions' text on every Python version.
"""
