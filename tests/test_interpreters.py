"""Subinterpreters, second initialisations and broken siblings never break a loaded module."""

from __future__ import annotations

import subprocess
import sys
import textwrap

import pytest

from robustness import MODULE_PATHS, built, extension, still_working

INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

# The names each module takes from its siblings at import.
SIBLING_NAMES = {
    "registry": [("corvella.pfnc.exceptions", "DuplicateRegistrationError"), ("corvella.pfnc.exceptions", "NotRegisteredError")],
    "widths": [("corvella.pfnc.exceptions", "PixelFormatValueReject")],
}


def run_python(code):
    """Runs code in a fresh interpreter process; its output, or the test fails with its errors."""
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


@pytest.mark.parametrize("config", ["isolated", "legacy"])
@pytest.mark.parametrize("name", sorted(MODULE_PATHS))
def test_subinterpreter_refused(name, config):
    _interpreters = pytest.importorskip("_interpreters")
    extension(name)
    m = built()  # the main interpreter owns them all first
    interp = _interpreters.create(config)
    try:
        failure = _interpreters.exec(interp, f"import {MODULE_PATHS[name]}")
    finally:
        _interpreters.destroy(interp)
    assert (failure.type.__name__, failure.msg) == ("ImportError", INTERPRETER_CHANGE)
    still_working(m)


@pytest.mark.parametrize("name", sorted(MODULE_PATHS))
def test_second_initialisation_refused(name):
    ctypes = pytest.importorskip("ctypes")
    module = getattr(extension(name), name)
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype, api.PyModule_GetDef.argtypes = ctypes.c_void_p, [ctypes.py_object]
    api.PyModule_ExecDef.restype, api.PyModule_ExecDef.argtypes = ctypes.c_int, [ctypes.py_object, ctypes.c_void_p]
    other = type(sys)(module.__name__)
    with pytest.raises(RuntimeError) as info:
        api.PyModule_ExecDef(other, api.PyModule_GetDef(module))
    assert str(info.value) == f"Module '{name}' has already been imported. Re-initialisation is not supported."
    # The module object that was imported runs again as it is (importlib.reload).
    assert api.PyModule_ExecDef(module, api.PyModule_GetDef(module)) == 0
    still_working(built())


@pytest.mark.parametrize(
    "name,sibling,attribute", [(n, s, a) for n, pairs in SIBLING_NAMES.items() for s, a in pairs]
)
def test_broken_sibling_then_repaired(name, sibling, attribute):
    extension(name)  # skipped while not built
    lines = run_python(f"""
        import importlib
        sibling = importlib.import_module({sibling!r})
        kept = getattr(sibling, {attribute!r})
        delattr(sibling, {attribute!r})
        try:
            importlib.import_module({MODULE_PATHS[name]!r})
        except ImportError as e:
            print(e)
        setattr(sibling, {attribute!r}, kept)
        print(importlib.import_module({MODULE_PATHS[name]!r}).__name__)
    """)
    assert lines == [f"cannot import name '{attribute}' from '{sibling}'", MODULE_PATHS[name]]


def test_function_outliving_failed_initialisation():
    """A collaborator that fails the import but keeps a class: its methods raise, never crash."""
    extension("registry")
    lines = run_python("""
        import dataclasses
        real, kept = dataclasses.dataclass, []

        def failing(cls=None, **kwargs):
            if cls is not None and cls.__name__ == "Registry":
                kept.append(cls)
                raise LookupError("no dataclass")
            return real(cls, **kwargs) if cls is not None else real(**kwargs)

        dataclasses.dataclass = failing
        try:
            import corvella.pfnc._internal.registry
        except LookupError as e:
            print(e)
        dataclasses.dataclass = real
        orphan = kept[0].__new__(kept[0])
        orphan._registry = {}
        try:
            kept[0].resolve(orphan, "x")
        except RuntimeError as e:
            print(e)
        from corvella.pfnc._internal.registry import Registry
        print(Registry().snapshot())
    """)
    assert lines == ["no dataclass", "Module 'registry' is not initialised.", "MappingSnapshot(mapping={})"]
