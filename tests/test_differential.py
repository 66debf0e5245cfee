"""Given the same generated inputs, the extension modules and the reference model agree.

Each test hands the same arguments to both implementations and requires the
same outcome (see ``differential.same``): equal results or the same exception
with the same text, and the same debug messages. The inputs lean towards what
breaks parsers: digits of other scripts and superscripts, underscores,
registered and unregistered letters, empty and very long texts, channel
counts from negative to huge and objects that are numbers only in part
(see ``odd_inputs``). The registries run as state machines in
``test_differential_registries``.
"""

from __future__ import annotations

import contextlib

import pytest

pytest.importorskip("hypothesis")
from hypothesis import given, strategies as st  # noqa: E402

from corvella.pfnc.exceptions import ParseReject, PixelFormatValueReject  # noqa: E402
from corvella.pfnc.genicam.components import Channel, Components, GenicamComponents, LMNLocation  # noqa: E402
from differential import EXTENSION, MODEL, needs, plain, same  # noqa: E402
from implementations import kept_data_type_registry  # noqa: E402
from odd_inputs import (  # noqa: E402
    MEMBERS,
    Failing,
    Meddler,
    MeddlingStr,
    Scaling,
    Sub,
    Vague,
    characters,
    counts,
    odd_objects,
    registrations,
    resolved,
    texts,
)


# ================================================================ widths

size_elements = st.one_of(
    st.integers(-3, 300),
    st.integers(),
    st.floats(),
    st.booleans(),
    st.sampled_from(["8", None, (8,)]),
    st.builds(Failing),
)
valid_sizes = st.lists(st.integers(1, 10**6), max_size=8)


@needs("widths")
@given(text=texts, channels=counts(), by_keyword=st.booleans(), handling=st.booleans())
def test_size_reading(text, channels, by_keyword, handling):
    if by_keyword:
        same(lambda m: m.widths.Size.from_designation(designation=text, number_of_channels=channels), handling=handling)
    else:
        same(lambda m: m.widths.Size.from_designation(text, channels), handling=handling)


@needs("widths")
@given(elements=st.lists(size_elements, max_size=8), kind=st.sampled_from([list, tuple]))
def test_size_construction(elements, kind):
    # The result carries the designation too.
    same(lambda m: m.widths.Size(kind(elements)))


@needs("widths")
@given(sizes=valid_sizes, later=st.lists(size_elements, max_size=8) | st.sampled_from(["88", (8, 10)]))
def test_size_designation_of_changed_sizes(sizes, later):
    # Only construction checks the sizes; designation() takes what it finds.
    def call(m):
        size = m.widths.Size(list(sizes))
        size.sizes = later if isinstance(later, str) else type(later)(later)
        return size.designation()

    same(call)


@needs("widths")
@given(before=valid_sizes, after=valid_sizes, action=st.sampled_from(["shrink", "grow"]))
def test_size_list_changed_while_read(before, after, action):
    # The list is the caller's: comparing an element may change it under the reader.
    def call(m):
        meddler = Meddler(action)
        sizes = [*before, meddler, *after]
        meddler.home = sizes
        size = m.widths.Size(sizes)
        meddler.home = size.sizes
        return size

    same(call)


@needs("widths")
@given(sizes=valid_sizes, other=valid_sizes, item=counts(9))
def test_size_members(sizes, other, item):
    same(lambda m: m.widths.Size(list(sizes))[item])

    def members(m):
        size = m.widths.Size(list(sizes))
        return len(size), bool(size), list(size), repr(size), size == m.widths.Size(list(other)), size == sizes

    same(members)


@needs("widths")
@given(sizes=st.lists(st.integers(1, 10**6), min_size=1, max_size=8))
def test_size_round_trip(sizes):
    def call(m):
        size = m.widths.Size(sizes)
        return m.widths.Size.from_designation(size.designation(), len(sizes)) == (size, "")

    (_, round_trips), _ = same(call)
    # Equal sizes are written once, which reads back only when the digits
    # cannot be shared out evenly among the channels.
    holds = len(sizes) == 1 or len(set(sizes)) > 1 or len(str(sizes[0])) % len(sizes) != 0
    assert round_trips == plain(holds)


# ================================================================ scalars

data_type_elements = st.one_of(
    st.sampled_from(MEMBERS),
    st.text(max_size=2),
    st.sampled_from([None, 3, b"s", Sub("s"), Vague("s")]),
    st.builds(Failing),
)


def register_everywhere(registrations):
    """Register the same letters in both shared registries, requiring the same outcome."""
    for name, value in registrations:
        same(lambda m: m.scalars.DATA_TYPE_REGISTRY.register(name, resolved(m, value)))


@needs("registry", "scalars")
@given(
    registrations=registrations,
    text=texts,
    channels=counts(),
    reader=st.sampled_from(["CompoundDataTypes", "DataTypes"]),
    handling=st.booleans(),
)
def test_data_types_reading(registrations, text, channels, reader, handling):
    # Each example starts from the defaults, whatever the last one registered.
    with kept_data_type_registry(MODEL.scalars), kept_data_type_registry(EXTENSION.scalars):
        register_everywhere(registrations)
        if reader == "DataTypes":
            same(lambda m: m.scalars.DataTypes.create(text, channels), ("scalars",), handling)
        else:
            same(lambda m: m.scalars.CompoundDataTypes.from_designation(text, channels), ("scalars",), handling)


@needs("registry", "scalars")
@given(
    elements=st.lists(data_type_elements, max_size=5),
    other=st.lists(data_type_elements, max_size=5),
    kind=st.sampled_from([list, list, tuple]),
    item=counts(6),
)
def test_compound_data_types(elements, other, kind, item):
    # The result carries the designation too.
    same(lambda m: m.scalars.CompoundDataTypes(kind(resolved(m, elements))))
    same(lambda m: m.scalars.CompoundDataTypes(resolved(m, elements))[item])
    same(
        lambda m: m.scalars.CompoundDataTypes(resolved(m, elements))
        == m.scalars.CompoundDataTypes(resolved(m, other))
    )


@needs("registry", "scalars")
@given(elements=st.lists(st.sampled_from(MEMBERS), min_size=1, max_size=4), later=st.lists(data_type_elements, max_size=5))
def test_compound_data_types_changed_later(elements, later):
    # Only construction checks the elements; the rest takes what it finds.
    def changed(m):
        compound = m.scalars.CompoundDataTypes(resolved(m, elements))
        compound.scalars = resolved(m, later)
        return compound

    same(lambda m: (changed(m).designation(), len(changed(m))))
    same(lambda m: changed(m) == m.scalars.CompoundDataTypes(resolved(m, elements)))


@needs("registry", "scalars")
@given(elements=st.lists(st.sampled_from(MEMBERS) | st.text(max_size=1), max_size=4), at=st.integers(0, 4))
def test_compound_data_types_changed_while_compared(elements, at):
    def call(m):
        scalars = resolved(m, elements)
        meddler = MeddlingStr("s")
        scalars.insert(at, meddler)
        compound = m.scalars.CompoundDataTypes(scalars)
        meddler.home = scalars
        return compound == m.scalars.CompoundDataTypes(resolved(m, elements) + ["s"])

    same(call)


# ---------------------------------------------------------------- dispatch

# What another implementation of a family may do when it is asked to read.
BEHAVIOURS = ["list", "tuple", "generator", "failing generator", "parse reject", "unprintable reject", "value reject", "other error"]


class Unprintable(ParseReject):
    def __str__(self):
        raise RuntimeError("no text")


def stand_in(behaviour, message):
    """An implementation of any family whose reader does ``behaviour``."""

    def candidates(text):
        yield ("candidate", text)
        if behaviour == "failing generator":
            raise ParseReject(message)
        yield ("candidate", message)

    class StandIn:
        @staticmethod
        def from_designation(text, *rest):
            if behaviour == "parse reject":
                raise ParseReject(message)
            if behaviour == "unprintable reject":
                raise Unprintable(message)
            if behaviour == "value reject":
                raise PixelFormatValueReject(message)
            if behaviour == "other error":
                raise RuntimeError(message)
            found = candidates(text)
            return found if "generator" in behaviour else {"list": list, "tuple": tuple}[behaviour](found)

    return StandIn


@contextlib.contextmanager
def implementations_of(module, classes, as_generator):
    """Let ``module``'s dispatcher see ``classes``, as a list or as a generator."""
    original = module.all_implementations
    module.all_implementations = (lambda base: (c for c in classes)) if as_generator else (lambda base: list(classes))
    try:
        yield
    finally:
        module.all_implementations = original


dispatch = st.fixed_dictionaries(
    {
        "behaviours": st.lists(st.sampled_from(BEHAVIOURS), max_size=3),
        "message": st.sampled_from(["", "x", "\ud800", "nope"]),
        "at": st.integers(0, 3),
        "as_generator": st.booleans(),
        # Whether the caller is inside an except block.
        "handling": st.booleans(),
    }
)


def dispatched(module, own, dispatch):
    classes = [stand_in(b, dispatch["message"]) for b in dispatch["behaviours"]]
    classes.insert(min(dispatch["at"], len(classes)), own)
    return implementations_of(module, classes, dispatch["as_generator"])


@needs("registry", "scalars")
@given(dispatch=dispatch, text=texts, channels=st.integers(-1, 4))
def test_data_types_dispatch(dispatch, text, channels):
    def call(m):
        with dispatched(m.scalars, m.scalars.CompoundDataTypes, dispatch):
            return m.scalars.DataTypes.create(text, channels)

    same(call, ("scalars",), dispatch["handling"])


@needs("registry", "scalars")
@given(element=data_type_elements | odd_objects, flag=st.one_of(st.booleans(), odd_objects))
def test_data_type_names(element, flag):
    same(lambda m: m.scalars.is_data_type(resolved(m, element)))
    same(lambda m: m.scalars.datatype_name(resolved(m, element)))
    same(lambda m: m.scalars.datatype_name(resolved(m, element), multiple_designators=flag))


@needs("registry", "scalars")
@given(
    letters=st.lists(st.sampled_from(["x", "y", "7", "\u00e9"]), unique=True, max_size=3),
    data=st.data(),
)
def test_data_types_round_trip(letters, data):
    with kept_data_type_registry(MODEL.scalars), kept_data_type_registry(EXTENSION.scalars):
        register_everywhere([(letter, None) for letter in letters])
        elements = data.draw(st.lists(st.sampled_from(MEMBERS + letters), min_size=1, max_size=6))

        def call(m):
            compound = m.scalars.CompoundDataTypes(resolved(m, elements))
            candidates = m.scalars.DataTypes.create(compound.designation(), len(elements))
            return (compound, "") in candidates

        (_, round_trips), _ = same(call)
        assert round_trips == plain(True)


# ================================================================ layouts

channel_names = st.text(alphabet="YUVRGa", max_size=4)


@st.composite
def suffixes(draw):
    """Components, a text made mostly of their names, and a list of sizes.

    The text is planned to come close to a sequencing: each channel's name
    repeated a few times, shuffled, then some other text; an LMN location
    often has fields in the proportions of those repeats.
    """
    # Now and then a channel whose name is no str.
    names = draw(st.lists(channel_names | st.sampled_from([3, None, ("Y",), Sub("Y")]), max_size=5))
    repeats = draw(st.lists(st.integers(0, 3), min_size=len(names), max_size=len(names)))
    words = draw(st.permutations([str(name) for name, times in zip(names, repeats) for _ in range(times)]))
    tail = draw(st.lists(st.sampled_from(["Planar", "Semiplanar", "_", "x", "8"]) | characters, max_size=3))
    text = draw(st.sampled_from(["_", "_", "_", "", "__"])) + "".join(words) + "".join(tail)

    channels = [Channel(n) for n in names]
    kind = draw(st.sampled_from(["plain", "lmn", "lmn", "other location"]))
    if kind == "plain":
        found = Components(channels)
    elif kind == "other location":
        found = GenicamComponents(channels, draw(st.sampled_from([None, "top"])))
    else:
        field = st.one_of(st.integers(0, 3), st.integers(-2, 4), st.sampled_from([1.5, "2", True]), st.builds(Scaling, st.just(1)))
        fields = st.lists(field, min_size=len(names), max_size=len(names)) | st.lists(field, max_size=6)
        proportional = st.integers(1, 2).map(lambda k: [k * times for times in repeats])
        found = GenicamComponents(channels, LMNLocation(tuple(draw(proportional | fields))))

    used = len({str(name) for name, times in zip(names, repeats) if name and times})
    length = draw(st.sampled_from([used, used, len(names)]) | st.integers(0, 6))
    # Only len(sizes) is asked for, of a Size or of anything else.
    return found, text, draw(st.just([8] * length) | st.sampled_from([(8,), object()]))


def sizes_of(m, sizes):
    return m.widths.Size(sizes) if type(sizes) is list else sizes


@needs("widths", "layouts")
@given(
    suffix=suffixes(),
    reader=st.sampled_from(["InterfaceSpecific", "Planar", "SemiPlanar", "ComponentsSequencing"]),
    handling=st.booleans(),
)
def test_interface_specific_reading(suffix, reader, handling):
    found, text, sizes = suffix
    if reader == "InterfaceSpecific":
        result, _ = same(lambda m: m.layouts.InterfaceSpecific.create(text, found, sizes_of(m, sizes)), ("layouts",), handling)
        text = text[1:]
    else:
        text = text[1:]
        read = lambda m: getattr(m.layouts, reader).from_designation(text, found, sizes_of(m, sizes))  # noqa: E731
        result, _ = same(read, ("layouts",), handling)
    # What a candidate consumed is its designation.
    if result[0] == "returned":
        for (_, _, designation), rest in result[1]:
            assert designation + rest == text


@needs("widths", "layouts")
@given(dispatch=dispatch, suffix=suffixes())
def test_interface_specific_dispatch(dispatch, suffix):
    found, text, sizes = suffix

    def call(m):
        with dispatched(m.layouts, m.layouts.ComponentsSequencing, dispatch):
            return m.layouts.InterfaceSpecific.create(text, found, sizes_of(m, sizes))

    same(call, ("layouts",), dispatch["handling"])


def prefix_free(names):
    return all(not b.startswith(a) for a in names for b in names if a != b)


@needs("widths", "layouts")
@given(
    names=st.lists(st.text(alphabet="YUVRGa", min_size=1, max_size=3), min_size=1, max_size=4, unique=True).filter(prefix_free),
    data=st.data(),
)
def test_interface_specific_round_trip(names, data):
    sequence = data.draw(st.lists(st.sampled_from(names), min_size=1, max_size=8))

    def call(m):
        pieces = [m.layouts.Planar(), m.layouts.SemiPlanar(), m.layouts.ComponentsSequencing(tuple(sequence))]
        sizes = m.widths.Size([8] * len(set(sequence)))
        return [(p, "") in m.layouts.InterfaceSpecific.create("_" + p.designation(), Components(names), sizes) for p in pieces]

    (_, read_back), _ = same(call)
    # No name begins another's, so the greedy scan cuts the text as it was joined.
    assert read_back == [plain(True)] * 3


@needs("widths", "layouts")
@given(
    names=st.lists(channel_names | st.sampled_from([None, 3, Sub("Y")]), max_size=4),
    other=st.lists(channel_names, max_size=4),
    kind=st.sampled_from([tuple, tuple, list]),
)
def test_components_sequencing(names, other, kind):
    # The result carries the designation too.
    same(lambda m: m.layouts.ComponentsSequencing(kind(names)))
    same(lambda m: m.layouts.ComponentsSequencing(tuple(names)) == m.layouts.ComponentsSequencing(tuple(other)))
    same(lambda m: [m.layouts.ComponentsSequencing(tuple(names)) == m.layouts.Planar(), m.layouts.Planar() == m.layouts.SemiPlanar()])


@needs("widths", "scalars", "layouts")
@given(
    sizes=st.lists(st.integers(1, 16), min_size=1, max_size=4),
    data_types=st.lists(st.sampled_from(["", "s", "f", "u"]), min_size=1, max_size=4),
    suffix=st.sampled_from(["", "_Planar", "_Semiplanar", "_UYVY", "_YUYV", "_YUV", "_"]),
    channels=st.integers(0, 4),
    location=st.sampled_from([None, (2, 1, 1), (1, 1, 1), (1, 1)]),
)
def test_whole_name(sizes, data_types, suffix, channels, location):
    found = GenicamComponents(["Y", "U", "V"], None if location is None else LMNLocation(location))

    def read(m):
        name = m.widths.Size(sizes).designation() + "".join(data_types) + suffix
        size_pair = m.widths.Size.from_designation(name, channels)
        if size_pair is None:
            return None
        size, rest = size_pair
        return [
            (size, dts, m.layouts.InterfaceSpecific.create(after, found, size))
            for dts, after in m.scalars.DataTypes.create(rest, channels)
        ]

    same(read, logged=("scalars", "layouts"))


# ================================================================ calls

# Every entry point, called with any number of arguments and keywords: the
# interpreter's messages for wrong calls, and the boundary checks, must agree.
ENTRY_POINTS = {
    "Registry.register": ("registry", lambda m: m.registry.Registry().register),
    "Registry.get": ("registry", lambda m: m.registry.Registry().get),
    "Registry.restore": ("registry", lambda m: m.registry.Registry().restore),
    "Registry.snapshot": ("registry", lambda m: m.registry.Registry().snapshot),
    "Size": ("widths", lambda m: m.widths.Size),
    "Size.from_designation": ("widths", lambda m: m.widths.Size.from_designation),
    "Size.__getitem__": ("widths", lambda m: m.widths.Size([8]).__getitem__),
    "Size.designation": ("widths", lambda m: m.widths.Size([8]).designation),
    "DataTypeRegistry": ("scalars", lambda m: m.scalars.DataTypeRegistry),
    "DataTypeRegistry.register": ("scalars", lambda m: m.scalars.DataTypeRegistry().register),
    "DataTypeRegistry.restore": ("scalars", lambda m: m.scalars.DataTypeRegistry().restore),
    "DataTypeRegistry.default_snapshot": ("scalars", lambda m: m.scalars.DataTypeRegistry.default_snapshot),
    "datatype_name": ("scalars", lambda m: m.scalars.datatype_name),
    "is_data_type": ("scalars", lambda m: m.scalars.is_data_type),
    "CompoundDataTypes": ("scalars", lambda m: m.scalars.CompoundDataTypes),
    "CompoundDataTypes.from_designation": ("scalars", lambda m: m.scalars.CompoundDataTypes.from_designation),
    "DataTypes.create": ("scalars", lambda m: m.scalars.DataTypes.create),
    "InterfaceSpecific.create": ("layouts", lambda m: m.layouts.InterfaceSpecific.create),
    "Planar.from_designation": ("layouts", lambda m: m.layouts.Planar.from_designation),
    "Planar.designation": ("layouts", lambda m: m.layouts.Planar().designation),
    "ComponentsSequencing": ("layouts", lambda m: m.layouts.ComponentsSequencing),
    "ComponentsSequencing.from_designation": ("layouts", lambda m: m.layouts.ComponentsSequencing.from_designation),
}
PARAMETER_NAMES = [
    "name", "value", "key", "default_value", "snap", "sizes", "designation", "number_of_channels", "item",
    "data_type", "multiple_designators", "potential_data_type", "scalars", "full_designation", "components",
    "self", "cls", "bogus",
]  # fmt: skip
arguments = st.sampled_from(["8", "_Y", "s", 1, 0, None, (), Components(["Y"])])


@st.composite
def misspelt(draw):
    """A parameter name after a few edits, the kind the interpreter suggests a name for."""
    name = list(draw(st.sampled_from(PARAMETER_NAMES)))
    for _ in range(draw(st.integers(0, 4))):
        at = draw(st.integers(0, len(name)))
        edit, letter = draw(st.sampled_from(["insert", "delete", "replace", "case"])), draw(st.sampled_from("aeinrstuNS_\u00e9"))
        if edit == "insert":
            name.insert(at, letter)
        elif at < len(name):
            name[at : at + 1] = {"delete": [], "replace": [letter], "case": [name[at].swapcase()]}[edit]
    return "".join(name)


keywords = st.one_of(st.sampled_from(PARAMETER_NAMES), misspelt(), st.text(max_size=45))


@pytest.mark.parametrize(
    "entry_point", [pytest.param(name, marks=needs(module)) for name, (module, _) in ENTRY_POINTS.items()]
)
@given(args=st.lists(arguments, max_size=4), kwargs=st.dictionaries(keywords, arguments, max_size=3))
def test_calls(entry_point, args, kwargs):
    _, entry = ENTRY_POINTS[entry_point]
    same(lambda m: entry(m)(*args, **kwargs))
