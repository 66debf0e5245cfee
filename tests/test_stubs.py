"""The installed type stubs describe the runtime: same members, parameters, defaults, annotations."""

import ast
import importlib
import inspect
import pathlib

import pytest

MODULES = [
    "corvella.pfnc._internal.registry",
    "corvella.pfnc._internal._family",
    "corvella.pfnc.genicam.widths",
    "corvella.pfnc.genicam.scalars",
    "corvella.pfnc.genicam.layouts",
    "corvella.pfnc.names._memo",
    "corvella.pfnc.names.custom",
    "corvella.pfnc.names.formats",
    "corvella.pfnc.pixels._convert",
    "corvella.pfnc.pixels._demosaic",
    "corvella.pfnc.pixels._colour",
]


def normalise(annotation):
    """Stubs need no quotes for forward references; the runtime keeps them."""
    if annotation is None or annotation is inspect.Parameter.empty:
        return None
    return ast.unparse(ast.parse(str(annotation).replace("'", ""), mode="eval"))


def stub_functions(module):
    """(qualified name, ast function) for every function of the module's stub."""
    stub = pathlib.Path(module.__file__).parent / (module.__name__.rsplit(".", 1)[1] + ".pyi")
    tree = ast.parse(stub.read_text())
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            yield node.name, node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    yield f"{node.name}.{item.name}", item


def cases():
    for name in MODULES:
        try:
            module = importlib.import_module(name)
        except ImportError:
            continue
        for qualname, node in stub_functions(module):
            yield pytest.param(module, qualname, node, id=f"{name.rsplit('.', 1)[1]}.{qualname}")


@pytest.mark.parametrize(("module", "qualname", "node"), list(cases()))
def test_stub_matches_runtime(module, qualname, node):
    owner = module
    if qualname.endswith(".__iter__"):
        cls = inspect.getattr_static(module, qualname.removesuffix(".__iter__"))
        if not hasattr(cls, "__iter__"):
            # Iterated through __getitem__ and __len__, which a type checker sees only as a stub __iter__.
            assert inspect.getattr_static(cls, "__getitem__") and inspect.getattr_static(cls, "__len__")
            return
    for part in qualname.split("."):
        owner_before, owner = owner, inspect.getattr_static(owner, part)
    if "property" in {ast.unparse(d) for d in node.decorator_list}:
        assert isinstance(owner, property)
        return
    function = owner.__func__ if isinstance(owner, (staticmethod, classmethod)) else owner
    runtime = inspect.signature(function)
    arguments = node.args.posonlyargs + node.args.args
    defaults = [None] * (len(arguments) - len(node.args.defaults)) + node.args.defaults
    rest = [node.args.vararg, *node.args.kwonlyargs, node.args.kwarg]
    assert [a.arg for a in arguments + rest if a is not None] == list(runtime.parameters)
    for argument, default in zip(arguments, defaults):
        parameter = runtime.parameters[argument.arg]
        assert (default is None) == (parameter.default is inspect.Parameter.empty), argument.arg
        if default is not None and not (isinstance(default, ast.Constant) and default.value is ...):
            assert ast.literal_eval(default) == parameter.default
        if argument.annotation is not None:
            assert normalise(ast.unparse(argument.annotation)) == normalise(parameter.annotation), argument.arg
    if node.returns is not None and runtime.return_annotation is not inspect.Signature.empty:
        assert normalise(ast.unparse(node.returns)) == normalise(runtime.return_annotation)
    assert isinstance(inspect.getattr_static(owner_before, qualname.rsplit(".", 1)[-1]), _kind(node))


def _kind(node):
    decorators = {ast.unparse(d) for d in node.decorator_list}
    if "staticmethod" in decorators:
        # A memo of readings is taken from a class as staticmethod is: as itself.
        from corvella.pfnc.names._memo import CachedReader

        return (staticmethod, CachedReader)
    if "classmethod" in decorators:
        return classmethod
    return object
