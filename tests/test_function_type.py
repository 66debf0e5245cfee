"""The package's function type, as users meet it through Size's members.

help(), signatures, copies and pickling by default are in test_introspection.
"""

import abc
import inspect
import pickle
import types
import weakref

import pytest

from corvella.pfnc.genicam.widths import Size

MEMBERS = ["__post_init__", "__len__", "__getitem__", "__eq__", "designation", "from_designation"]


@pytest.fixture
def designation():
    return Size.__dict__["designation"]


def test_binds_as_a_method(designation):
    size = Size([5, 6, 5])
    bound = size.designation
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is size and bound.__func__ is designation
    assert bound() == Size.designation(size) == designation.__get__(size, Size)() == "565"
    assert Size.designation is designation
    assert designation.__get__(None, Size) is designation


def test_static_method_is_the_same_function_from_class_and_instance():
    wrapper = Size.__dict__["from_designation"]
    assert type(wrapper) is staticmethod
    assert Size.from_designation is Size([8]).from_designation is wrapper.__func__
    assert Size([8]).from_designation("8", 1) == (Size([8]), "")


def test_repr_names_the_qualname():
    for name in MEMBERS:
        function = getattr(Size, name)
        assert repr(function).startswith(f"<function Size.{name} at 0x") and inspect.isroutine(function)


def test_signature_of_a_bound_method_drops_self():
    assert str(inspect.signature(Size([8]).designation)) == "() -> 'str'"
    assert str(inspect.signature(Size)) == "(sizes: 'list[int]') -> None"


@pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
def test_names_are_settable_strings(monkeypatch, designation, attribute):
    monkeypatch.setattr(designation, attribute, "Other.name")
    assert getattr(designation, attribute) == "Other.name"
    for value in (5, None):
        with pytest.raises(TypeError, match=f"^{attribute} must be set to a string object$"):
            setattr(designation, attribute, value)
    with pytest.raises(TypeError):
        delattr(designation, attribute)


def test_the_qualname_names_the_function_in_messages(monkeypatch, designation):
    monkeypatch.setattr(designation, "__qualname__", "Other.name")
    assert repr(designation).startswith("<function Other.name at 0x")
    with pytest.raises(TypeError, match=r"^Other.name\(\) missing 1 required"):
        designation()


@pytest.mark.parametrize("attribute", ["__module__", "__doc__"])
def test_module_and_doc_take_any_value(monkeypatch, designation, attribute):
    for value in ("text", 5, None):
        monkeypatch.setattr(designation, attribute, value)
        assert getattr(designation, attribute) == value


def test_arbitrary_attributes_and_weak_references(monkeypatch, designation):
    monkeypatch.setattr(designation, "marker", [1], raising=False)
    assert designation.marker == [1]
    assert Size([8]).designation.marker == [1]  # bound methods forward attribute reads
    assert weakref.ref(designation)() is designation


def test_abstractmethod_marks_the_function(designation):
    try:

        class Base(abc.ABC):
            piece = abc.abstractmethod(designation)

        assert designation.__isabstractmethod__ is True
        with pytest.raises(TypeError, match="abstract method 'piece'"):
            Base()
    finally:
        del designation.__isabstractmethod__
    assert Size([8]).designation() == "8"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickling_in_every_protocol(protocol):
    for function in (Size.designation, Size.from_designation, Size.__eq__):
        assert pickle.loads(pickle.dumps(function, protocol)) is function
    assert pickle.loads(pickle.dumps(Size([10, 8]).designation, protocol))() == "1008"


def test_attributes_show_in_the_function_dict():
    function = Size.__dict__["designation"]
    assert vars(function)["__doc__"] == function.__doc__
    function.marker = 1
    try:
        assert vars(function)["marker"] == 1
    finally:
        del function.marker
