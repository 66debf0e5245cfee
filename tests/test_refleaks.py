"""Repeating a call, successful or failing, leaves the interpreter's reference total flat.

Needs a debug interpreter (sys.gettotalrefcount); CI runs this file under one.
CORVELLA_LEAK_REPEATS sets how often each call is repeated.
"""

from __future__ import annotations

import gc
import os
import sys

import pytest

import edge_cases
import test_hostile
from robustness import extension, repeat_case

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"), reason="needs a debug build of the interpreter")

REPEATS = int(os.environ.get("CORVELLA_LEAK_REPEATS", "2000"))

TABLES = {
    "registry": edge_cases.REGISTRY + test_hostile.REGISTRY_CASES,
    "widths": edge_cases.WIDTHS + test_hostile.WIDTHS_CASES,
}


def growth(call, repeats):
    """How much the reference total and the allocated blocks grow over ``repeats`` calls."""
    for _ in range(max(repeats // 10, 3)):  # caches, free lists, interned strings
        call()
    gc.collect()
    refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
    for _ in range(repeats):
        call()
    gc.collect()
    return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks


def _params():
    return [pytest.param(name, case, id=f"{name}-{case.id}") for name, table in TABLES.items() for case in table]


@pytest.mark.parametrize("module,case", _params())
def test_flat(module, case):
    m = extension(module)
    refs, blocks = growth(lambda: repeat_case(m, case), REPEATS)
    # A leak on the path grows by at least one per call; a few stray
    # references (caches filled late) are not a leak.
    assert refs < REPEATS // 10 and blocks < REPEATS // 10, (refs, blocks)
