"""Compiles bench/least.c, the least work a create row's result needs, cached under build/bench/."""

from __future__ import annotations

import hashlib
import importlib.util
import subprocess
import sys
import sysconfig
from pathlib import Path
from types import ModuleType

import cython_build

SOURCE = Path(__file__).resolve().parent / "least.c"


def load(quick: bool = False) -> ModuleType:
    """The compiled module; raises cython_build.Unavailable without a C compiler."""
    flags = cython_build.QUICK_FLAGS if quick else cython_build.RELEASE_FLAGS
    digest = hashlib.sha256(SOURCE.read_bytes() + sys.version.encode() + " ".join(flags).encode()).hexdigest()[:16]
    target = cython_build.BUILD / f"least-{digest}" / ("least" + sysconfig.get_config_var("EXT_SUFFIX"))
    if not target.exists():
        target.parent.mkdir(parents=True, exist_ok=True)
        scratch = target.with_name(target.name + ".tmp")
        done = subprocess.run([*cython_build.compiler_command(flags), str(SOURCE), "-o", str(scratch)],
                              capture_output=True, text=True)
        if done.returncode != 0:
            raise cython_build.Unavailable(f"least.c:\n{done.stdout}{done.stderr}")
        scratch.rename(target)
    spec = importlib.util.spec_from_file_location("least", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module
