"""Our classes behave like classes written in Python for help(), inspect, copy and pickle."""

import copy
import inspect
import pickle
import pydoc

import pytest

from corvella.pfnc._internal import registry
from corvella.pfnc.genicam import layouts, scalars, widths
from corvella.pfnc.genicam.scalars import CompoundDataTypes, DefaultDataType

MODULES = [registry, widths, scalars, layouts]


def public_callables():
    for module in MODULES:
        for name, value in vars(module).items():
            if name.startswith("__") or getattr(value, "__module__", None) != module.__name__:
                continue
            if inspect.isclass(value):
                for member, attribute in vars(value).items():
                    function = getattr(attribute, "__func__", attribute)
                    if type(function).__name__ == "function" and type(function).__module__ == "corvella.pfnc":
                        yield pytest.param(getattr(value, member), id=f"{name}.{member}")
            elif callable(value):
                yield pytest.param(value, id=name)


@pytest.mark.parametrize("function", list(public_callables()))
def test_signature_and_help(function):
    signature = inspect.signature(function)
    first_line = function.__doc__.splitlines()[0]
    rendered = pydoc.render_doc(function, renderer=pydoc.plaintext)
    assert function.__name__ + signature.format(quote_annotation_strings=False) in rendered
    assert first_line in rendered
    # The documented first line names every parameter the call accepts.
    if first_line.startswith(function.__qualname__ + "("):
        for parameter in signature.parameters:
            assert parameter in first_line


VALUES = [
    widths.Size([5, 6, 5]),
    registry.MappingSnapshot({"a": 1}),
    CompoundDataTypes([DefaultDataType.SIGNED, "x"]),
    layouts.Planar(),
    layouts.SemiPlanar(),
    layouts.ComponentsSequencing(("U", "Y", "V", "Y")),
]


@pytest.mark.parametrize("value", VALUES, ids=lambda v: type(v).__name__)
@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, lambda v: pickle.loads(pickle.dumps(v))],
                         ids=["copy", "deepcopy", "pickle"])
def test_copies_equal_the_original(value, duplicate):
    twin = duplicate(value)
    assert type(twin) is type(value)
    assert twin == value
    assert twin.__dict__ == value.__dict__


def test_deepcopy_does_not_share_state():
    size = widths.Size([8, 8])
    twin = copy.deepcopy(size)
    twin.sizes.append(8)
    assert size.sizes == [8, 8]


@pytest.mark.parametrize("function", [widths.Size.designation, widths.Size.from_designation, scalars.datatype_name])
def test_functions_pickle_by_reference(function):
    assert pickle.loads(pickle.dumps(function)) is function
