"""Once-per-process rules of the extension modules, each tried in a fresh interpreter process."""

import importlib.util
import json
import subprocess
import sys
import textwrap

import pytest

# A module and a statement that proves it works, with the module bound to m.
MODULES = {
    "corvella.pfnc._internal.registry": "r = m.Registry(); r.register('a', 1); assert r.resolve('a') == 1",
    "corvella.pfnc.genicam.widths": "assert m.Size.from_designation('565', 3)[0].sizes == [5, 6, 5]",
    "corvella.pfnc.genicam.scalars": "assert m.datatype_name(m.DefaultDataType.SIGNED, True) == 's'",
    "corvella.pfnc.genicam.layouts": "assert m.Planar().designation() == 'Planar'",
}

INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


@pytest.fixture(params=MODULES)
def module_name(request):
    assert importlib.util.find_spec(request.param) is not None, f"{request.param} is not built"
    return request.param


def run(module_name, *parts):
    """Run the parts in a new process with NAME, smoke() and report() defined; returns what it reported."""
    prelude = f"""
        import importlib, json, sys
        NAME = {module_name!r}
        SMOKE = {MODULES[module_name]!r}
        def smoke(m):
            exec(SMOKE, {{"m": m}})
        def report(**observations):
            print(json.dumps(observations))
    """
    code = "".join(textwrap.dedent(part) for part in (prelude, *parts))
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert "Warning" not in proc.stderr, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


def test_importing_again_gives_the_same_module(module_name):
    seen = run(
        module_name,
        """
        m = importlib.import_module(NAME)
        names = sorted(vars(m))
        del sys.modules[NAME]
        again = importlib.import_module(NAME)
        smoke(again)
        reloaded = importlib.reload(again)
        smoke(reloaded)
        report(again=again is m, reloaded=reloaded is m, names=sorted(vars(m)) == names)
        """,
    )
    assert seen == {"again": True, "reloaded": True, "names": True}


def test_a_second_module_object_is_refused(module_name):
    seen = run(
        module_name,
        """
        import ctypes, types
        api = ctypes.pythonapi
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyModule_ExecDef.restype = ctypes.c_int
        m = importlib.import_module(NAME)
        definition = api.PyModule_GetDef(m)
        try:
            api.PyModule_ExecDef(types.ModuleType("x"), definition)
        except Exception as e:
            refused = [type(e).__name__, str(e)]
        same = api.PyModule_ExecDef(m, definition)
        smoke(m)
        report(refused=refused, same=same)
        """,
    )
    short = module_name.rpartition(".")[2]
    message = f"Module '{short}' has already been imported. Re-initialisation is not supported."
    assert seen == {"refused": ["RuntimeError", message], "same": 0}


# Runs in a subinterpreter: None if the import works, else the error's type and message.
_IMPORT_IN = """
def import_in(interpreter_id):
    failure = _interpreters.exec(interpreter_id, f"import importlib; m = importlib.import_module({NAME!r}); {SMOKE}")
    return None if failure is None else [failure.type.__name__, failure.msg]
"""


def test_subinterpreters_are_refused(module_name):
    seen = run(
        module_name,
        _IMPORT_IN,
        """
        import _interpreters
        from concurrent import interpreters
        m = importlib.import_module(NAME)
        outcomes = {}
        legacy = _interpreters.create("legacy")
        outcomes["legacy"] = import_in(legacy)
        _interpreters.destroy(legacy)
        isolated = interpreters.create()
        try:
            isolated.exec(f"import {NAME}")
        except interpreters.ExecutionFailed as e:
            outcomes["isolated"] = [e.excinfo.type.__name__, e.excinfo.msg]
        finally:
            isolated.close()
        smoke(m)
        report(**outcomes)
        """,
    )
    assert seen == {"isolated": ["ImportError", INTERPRETER_CHANGE], "legacy": ["ImportError", INTERPRETER_CHANGE]}


@pytest.mark.parametrize("first", ["isolated", "legacy"])
def test_a_subinterpreter_that_came_first_keeps_the_module_after_it_is_gone(module_name, first):
    # A later interpreter may get the same address as the gone one (after one
    # interpreter has come and gone, the allocator reuses the spot at once): it
    # must still be refused rather than handed the dead interpreter's module.
    seen = run(
        module_name,
        _IMPORT_IN,
        f"""
        import _interpreters
        _interpreters.destroy(_interpreters.create("legacy"))
        outcomes = []
        for config in ({first!r}, "isolated", "isolated", "legacy"):
            interpreter = _interpreters.create(config)
            outcomes.append(import_in(interpreter))
            _interpreters.destroy(interpreter)
        try:
            importlib.import_module(NAME)
        except ImportError as e:
            outcomes.append(str(e))
        report(outcomes=outcomes)
        """,
    )
    refused = ["ImportError", INTERPRETER_CHANGE]
    assert seen == {"outcomes": [None, refused, refused, refused, INTERPRETER_CHANGE]}


def test_a_failed_initialisation_raises_its_cause_and_can_be_retried(module_name):
    seen = run(
        module_name,
        """
        import types
        import corvella.pfnc.exceptions
        real = sys.modules["corvella.pfnc.exceptions"]
        fake = sys.modules["corvella.pfnc.exceptions"] = types.ModuleType("corvella.pfnc.exceptions")
        failures = []
        for attempt in range(3):
            if attempt == 2:
                def broken(name):  # the import system's own questions get plain answers
                    raise AttributeError(name) if name.startswith("__") else ArithmeticError("broken")
                fake.__getattr__ = broken
            try:
                importlib.import_module(NAME)
            except Exception as e:
                failures.append([type(e).__name__, str(e).split("'")[0], NAME in sys.modules])
        sys.modules["corvella.pfnc.exceptions"] = real
        smoke(importlib.import_module(NAME))
        report(failures=failures)
        """,
    )
    missing = ["ImportError", "cannot import name ", False]
    assert seen == {"failures": [missing, missing, ["ArithmeticError", "broken", False]]}


# Every name each module takes from its siblings at import, with the sibling.
SIBLING_NAMES = {
    "corvella.pfnc._internal.registry": {"corvella.pfnc.exceptions": ["DuplicateRegistrationError", "NotRegisteredError"]},
    "corvella.pfnc.genicam.widths": {"corvella.pfnc.exceptions": ["PixelFormatValueReject"]},
    "corvella.pfnc.genicam.scalars": {
        "corvella.pfnc.exceptions": ["DuplicateRegistrationError", "NotRegisteredError", "ParseReject", "PixelFormatValueReject"],
        "corvella.pfnc._internal.utils": ["all_implementations"],
        "corvella.pfnc._internal.registry": ["MappingSnapshot", "Registry"],
    },
    "corvella.pfnc.genicam.layouts": {
        "corvella.pfnc.exceptions": ["ParseReject", "PixelFormatValueReject"],
        "corvella.pfnc.genicam.widths": ["Size"],
        "corvella.pfnc.genicam.components": ["channel_name", "Components", "LMNLocation", "GenicamComponents"],
        "corvella.pfnc._internal.utils": ["all_implementations"],
    },
}


def test_each_missing_sibling_name_fails_the_import_until_repaired(module_name):
    seen = run(
        module_name,
        f"""
        failures = []
        for sibling, names in {SIBLING_NAMES[module_name]!r}.items():
            sibling = importlib.import_module(sibling)
            for name in names:
                kept = getattr(sibling, name)
                delattr(sibling, name)
                try:
                    importlib.import_module(NAME)
                except ImportError as e:
                    failures.append([str(e), NAME in sys.modules])
                setattr(sibling, name, kept)
        smoke(importlib.import_module(NAME))
        report(failures=failures)
        """,
    )
    expected = [
        [f"cannot import name '{name}' from '{sibling}'", False]
        for sibling, names in SIBLING_NAMES[module_name].items()
        for name in names
    ]
    assert seen == {"failures": expected}


# Where an import is made to fail late, the class built before that, and a
# call of it that needs the module's globals.
FAIL_LATE = {
    "corvella.pfnc._internal.registry": ("Registry", "Registry", "o = kept.__new__(kept); o._registry = {}; kept.resolve(o, 'x')"),
    "corvella.pfnc.genicam.widths": ("Size", "Size", "kept.from_designation('8', 1)"),
    "corvella.pfnc.genicam.scalars": ("CompoundDataTypes", "DataTypes", "kept.create('s', 1)"),
    "corvella.pfnc.genicam.layouts": ("ComponentsSequencing", "InterfaceSpecific", "kept.create('_x', (), ())"),
}


def test_a_class_kept_from_a_failed_initialisation_raises_instead_of_crashing(module_name):
    fail_at, kept_name, call = FAIL_LATE[module_name]
    seen = run(
        module_name,
        f"""
        import abc, dataclasses
        made, real_dataclass, real_meta = {{}}, dataclasses.dataclass, abc.ABCMeta

        def dataclass(cls=None, **options):
            if cls is not None and cls.__name__ == {fail_at!r}:
                made[cls.__name__] = cls
                raise LookupError("late")
            return real_dataclass(cls, **options) if cls is not None else real_dataclass(**options)

        class Meta(real_meta):
            def __new__(mcls, name, *args, **kwargs):
                if name == {fail_at!r}:
                    raise LookupError("late")
                made[name] = cls = super().__new__(mcls, name, *args, **kwargs)
                return cls

        dataclasses.dataclass, abc.ABCMeta = dataclass, Meta
        try:
            importlib.import_module(NAME)
        except LookupError as e:
            failure = str(e)
        dataclasses.dataclass, abc.ABCMeta = real_dataclass, real_meta
        try:
            exec({call!r}, {{"kept": made[{kept_name!r}]}})
        except RuntimeError as e:
            orphan = str(e)
        smoke(importlib.import_module(NAME))
        report(failure=failure, orphan=orphan)
        """,
    )
    short = module_name.rpartition(".")[2]
    assert seen == {"failure": "late", "orphan": f"Module '{short}' is not initialised."}
