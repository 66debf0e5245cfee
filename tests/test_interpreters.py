"""One interpreter after another, and an initialisation entered twice: the modules start afresh or refuse cleanly."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from robustness import MODULE_PATHS

# Every module imported and used; what a round prints must be the same in every round.
USE_ALL = textwrap.dedent("""
    from corvella.pfnc._internal.registry import Registry
    from corvella.pfnc.genicam.widths import Size
    from corvella.pfnc.genicam.scalars import DataTypes, DATA_TYPE_REGISTRY
    from corvella.pfnc.genicam.layouts import InterfaceSpecific
    from corvella.pfnc.genicam.components import GenicamComponents, LMNLocation
    r = Registry()
    r.register("a", 1)
    size = Size.from_designation("565p", 3)[0]
    yuv = GenicamComponents(["Y", "U", "V"], LMNLocation((2, 1, 1)))
    found = InterfaceSpecific.create("_YUYV", yuv, Size([8, 8, 8]))
    print(r.resolve("a"), size.designation(), [c.designation() for c, _ in DataTypes.create("sf", 2)],
          [c.designation() for c, _ in found], list(DATA_TYPE_REGISTRY), flush=True)
""")


def _compile_embedding(tmp_path: Path) -> Path:
    compiler = shutil.which("gcc") or shutil.which("cc")
    include = sysconfig.get_paths()["include"]
    if compiler is None or not (Path(include) / "Python.h").exists():
        pytest.skip("no C compiler or no Python headers")
    config = sysconfig.get_config_var
    program = tmp_path / "rounds"
    command = [compiler, str(Path(__file__).parent / "embedding" / "rounds.c"), "-o", str(program), f"-I{include}",
               f"-L{config('LIBPL')}", f"-L{config('LIBDIR')}", f"-lpython{config('LDVERSION')}",
               *(config("LIBS") or "").split()]
    if config("Py_DEBUG"):
        command.append("-DPy_DEBUG")
    subprocess.run(command, check=True, capture_output=True)
    return program


# The family walk and its cache, and the memos: a memo that misses again, or
# a change it does not see, would show in a later round's line.
USE_FAMILY = textwrap.dedent("""
    from corvella.pfnc import PixelFormat
    from corvella.pfnc._internal._family import all_implementations
    from corvella.pfnc.names._memo import cached_reader
    from corvella.pfnc.genicam.scalars import DataTypes

    class Base: pass
    class A(Base): pass
    class B(A): pass
    class Holder:
        value = 1
    calls = []
    def read(key):
        calls.append(key)
        return Holder.value
    memo = cached_reader(read, watch=[Holder])
    seen = [memo("k"), memo("k")]
    Holder.value = 2
    seen.append(memo("k"))
    families = [[c.__name__ for c in all_implementations(Base)] for _ in range(2)]
    readings = [PixelFormat.from_name("Mono12p").bits_per_pixel for _ in range(2)]
    print(families, len(all_implementations(DataTypes)) > 0, readings, seen, len(calls), flush=True)
""")


@pytest.mark.parametrize("code, expected", [
    (USE_ALL, "1 565 ['', 'sf'] ['YUYV'] ['', 's', 'f', 'u']"),
    (USE_FAMILY, "[['A', 'B'], ['A', 'B']] True [12, 12] [1, 1, 2] 2"),
])
def test_rounds_of_embedded_interpreters(tmp_path, code, expected):
    program = _compile_embedding(tmp_path)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(p for p in sys.path if p)}
    done = subprocess.run([str(program), "3", code], env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [expected] * 3, done.stdout


# While a module initialises, one of its imports execs the module again.
NESTED = textwrap.dedent("""
    import importlib.util, sys, types
    import corvella.pfnc.exceptions as real
    target = sys.argv[1]
    errors = []

    class Meddling(types.ModuleType):
        def __getattr__(self, name):
            spec = sys.modules[target].__spec__
            try:
                spec.loader.exec_module(importlib.util.module_from_spec(spec))
            except Exception as e:
                errors.append(f"{type(e).__name__}: {e}")
            return getattr(real, name)

    sys.modules["corvella.pfnc.exceptions"] = Meddling("corvella.pfnc.exceptions")
    __import__(target)
    sys.modules["corvella.pfnc.exceptions"] = real
    print(sorted(set(errors)))
""")


@pytest.mark.parametrize("module", ["registry", "widths", "scalars", "layouts"])
def test_nested_initialisation_is_refused(module):
    done = subprocess.run([sys.executable, "-c", NESTED, MODULE_PATHS[module]], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == (
        f"[\"ImportError: Module '{module}' is being initialised; a nested initialisation is not supported.\"]")
    check = subprocess.run([sys.executable, "-c", NESTED + USE_ALL, MODULE_PATHS[module]], capture_output=True,
                           text=True, timeout=120)
    assert check.returncode == 0 and check.stdout.splitlines()[-1].startswith("1 565"), check.stderr


def _run(code: str) -> str:
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def test_class_body_pairs_out_of_reach_of_the_metaclass():
    # A metaclass namespace that empties the list of (name, value) pairs it is filled from.
    out = _run("""
        import abc, gc

        class Meddling(dict):
            def __setitem__(self, key, value):
                for pair in gc.get_referrers(value):
                    if type(pair) is tuple and len(pair) == 2 and pair[0] == key and pair[1] is value:
                        for ref in gc.get_referrers(pair):
                            if type(ref) is list:
                                ref.clear()
                super().__setitem__(key, value)

        class Meta(abc.ABCMeta):
            @classmethod
            def __prepare__(mcls, name, bases, **kwargs):
                return Meddling()

        abc.ABCMeta = Meta
        from corvella.pfnc.genicam.layouts import InterfaceSpecific
        print(sorted(k for k in vars(InterfaceSpecific) if not k.startswith("_abc")))
    """)
    assert out == ("['__abstractmethods__', '__dict__', '__doc__', '__eq__', '__hash__', '__module__', '__weakref__', "
                   "'create', 'designation', 'from_designation']")


def test_widths_without_a_builtin_max():
    out = _run("""
        import builtins, dataclasses, importlib.util, sys
        import corvella.pfnc.exceptions
        spec = importlib.util.find_spec("corvella.pfnc.genicam.widths")
        module = sys.modules[spec.name] = importlib.util.module_from_spec(spec)
        real = builtins.max
        del builtins.max  # from here on, while the module initialises
        spec.loader.exec_module(module)
        Size = module.Size
        try:
            Size([10, 8]).designation()
        except NameError as e:
            print(e)
        builtins.max = real
        print(Size([8, 8]).designation(), Size([10, 8]).designation())
    """)
    assert out.splitlines() == ["name 'max' is not defined", "8 1008"]
