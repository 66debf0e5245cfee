"""Edge cases of the four modules as tables, to run against any implementation.

An implementation is a namespace with the attributes ``registry``, ``widths``,
``scalars`` and ``layouts`` (the modules). Each table is a list of
``Case(id, call, expect)``: ``call(impl)`` turns what the implementation
returns into plain data (lists, tuples, strings, class and member names), and
``expect`` is that plain data or a ``Raises``. Plain data keeps the tables
free of any one implementation's classes.
"""

from __future__ import annotations

import collections
import dataclasses
import decimal
import gc
import logging
from collections.abc import Callable
from contextlib import contextmanager
from typing import Any, NamedTuple

from corvella.pfnc.exceptions import (
    DuplicateRegistrationError,
    NotRegisteredError,
    ParseReject,
    PixelFormatValueReject,
)
from corvella.pfnc.genicam.components import Channel, Components, GenicamComponents, LMNLocation


class Case(NamedTuple):
    id: str
    call: Callable[[Any], Any]
    expect: Any


@dataclasses.dataclass(frozen=True)
class Raises:
    """The call must raise ``type``; with a ``message``, ``str(exc)`` must be exactly it."""

    type: type[BaseException]
    message: str | None = None


def arg_type_error(argname: str, expected: str, got: str) -> Raises:
    return Raises(
        TypeError,
        "Argument '%s' has incorrect type (expected %s, got %s)" % (argname, expected, got),
    )


class LoudStr(str):
    """A str (so a data type) that refuses to be compared, to prove a comparison is skipped."""

    def __eq__(self, other):
        raise AssertionError("compared")

    __hash__ = str.__hash__


@contextmanager
def debug_messages(logger: logging.Logger):
    """Collect the debug messages ``logger`` emits inside the block."""
    messages: list[str] = []

    class Collect(logging.Handler):
        def emit(self, record):
            messages.append(record.getMessage())

    handler = Collect(logging.DEBUG)
    level = logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        yield messages
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)


@contextmanager
def implementations(module, *classes):
    """Let ``module``'s dispatchers see exactly ``classes``, without defining real subclasses."""
    original = module.all_implementations
    module.all_implementations = lambda base: list(classes)
    try:
        yield
    finally:
        module.all_implementations = original


def with_debug(module, action):
    """``action()``'s result and the debug messages of ``module.logger`` while it ran."""
    with debug_messages(module.logger) as messages:
        result = action()
    return result, messages


# --------------------------------------------------------------------------
# registry


def _duplicate_keeps_first(m):
    r = m.registry.Registry()
    r.register("a", 1)
    try:
        r.register("a", 2)
    except DuplicateRegistrationError as e:
        return str(e), r.resolve("a")


def _snapshot_round_trip(m):
    r = m.registry.Registry()
    r.register("b", 1)
    r.register("a", 2)
    held = r._registry
    s = r.snapshot()
    r.register("z", 0)
    seen = ("z" in s.mapping, s.mapping is held)
    r.restore(s)
    first = list(r)
    r.restore(s)
    return seen, first, list(r), r._registry is held


def _restore_own_dict(m):
    r = m.registry.Registry()
    r.register("a", 1)
    r.restore(m.registry.MappingSnapshot(r._registry))
    return r._registry


def _restore_unreadable(m):
    r = m.registry.Registry()
    r.register("a", 1)
    try:
        r.restore(object())
    except AttributeError:
        return r._registry


def _frozen_snapshot(m):
    s = m.registry.Registry().snapshot()
    s.mapping = {}


def _resolve_context(m):
    try:
        m.registry.Registry().resolve("x")
    except NotRegisteredError as e:
        return type(e.__context__).__name__, e.__cause__


def _registered(m, *names):
    r = m.registry.Registry()
    for name in names:
        r.register(name, "v")
    return r


REGISTRY = [
    Case("empty-iterates-nothing", lambda m: list(m.registry.Registry()), []),
    Case("get-missing", lambda m: (m.registry.Registry().get("x"), m.registry.Registry().get("x", 5)), (None, 5)),
    Case("resolve-missing", lambda m: m.registry.Registry().resolve("x"), Raises(NotRegisteredError, "x not registered.")),
    Case("resolve-missing-keeps-keyerror-context", _resolve_context, ("KeyError", None)),
    Case("resolve-missing-int", lambda m: m.registry.Registry().resolve(4), Raises(NotRegisteredError, "4 not registered.")),
    Case("duplicate-keeps-first", _duplicate_keeps_first, ("Value already registered: 'a'", 1)),
    Case("duplicate-int-name", lambda m: _registered(m, 3, 3), Raises(DuplicateRegistrationError, "Value already registered: 3")),
    Case("unhashable-name", lambda m: _registered(m, []), Raises(TypeError)),
    Case("registration-order", lambda m: list(_registered(m, "b", "a")), ["b", "a"]),
    Case("snapshot-restore", _snapshot_round_trip, ((False, False), ["b", "a"], ["b", "a"], True)),
    Case("restore-snapshot-of-own-dict", _restore_own_dict, {"a": 1}),
    Case("restore-unreadable-leaves-registry", _restore_unreadable, {"a": 1}),
    Case("snapshot-frozen", _frozen_snapshot, Raises(dataclasses.FrozenInstanceError)),
    Case(
        "dataclass-behaviour",
        lambda m: (m.registry.Registry() == m.registry.Registry(), m.registry.Registry.__hash__, repr(_registered(m, "a"))),
        (True, None, "Registry(_registry={'a': 'v'})"),
    ),
]


# --------------------------------------------------------------------------
# widths


def _read_size(text, channels):
    def call(m):
        pair = m.widths.Size.from_designation(text, channels)
        return None if pair is None else (list(pair[0].sizes), pair[1])

    return call


_SIZE_READINGS = [
    ("8", 1, ([8], "")),
    ("8", 3, ([8, 8, 8], "")),
    ("565", 3, ([5, 6, 5], "")),
    ("121212", 3, ([12, 12, 12], "")),
    ("101010p", 3, ([10, 10, 10], "p")),
    ("10p", 1, ([10], "p")),
    ("10", 3, ([10, 10, 10], "")),  # 2 digits do not split in 3: whole run per channel
    ("1010", 2, ([10, 10], "")),
    ("10", 2, None),  # splits into 1 and 0
    ("_8", 1, ([8], "")),
    ("__8", 1, None),
    ("_", 1, None),
    ("", 1, None),
    ("p", 1, None),
    ("p8", 1, None),
    ("12p", 0, ([], "12p")),
    ("", 0, ([], "")),
    ("0", 1, None),
    ("08", 1, ([8], "")),
    ("8", -1, None),
    ("12", -3, ([], "")),
    ("\u0663", 1, ([3], "")),  # Arabic-Indic three
    ("\uff18p", 1, ([8], "p")),  # fullwidth eight
    ("8", 3.9, ([8, 8, 8], "")),  # a float is truncated
    ("8", True, ([8], "")),
    ("0", 3, Raises(PixelFormatValueReject, "Sizes must all be larger than 0 [0, 0, 0].")),
    ("\u00b2", 1, Raises(ValueError)),  # superscript two: isdigit() but not int()
    (None, 1, arg_type_error("designation", "str", "NoneType")),
    (LoudStr("8"), 1, arg_type_error("designation", "str", "LoudStr")),
    ("8", "3", arg_type_error("number_of_channels", "int", "str")),
    # Types written in C are named as C names them, with their module.
    ("8", collections.OrderedDict(), arg_type_error("number_of_channels", "int", "collections.OrderedDict")),
    (decimal.Decimal(8), 1, arg_type_error("designation", "str", "decimal.Decimal")),
    # Counts beyond a machine integer never divide the run evenly, and no
    # list can be repeated that often.
    ("0", 2**63, Raises(OverflowError, "cannot fit 'int' into an index-sized integer")),
    ("8", -(2**64), Raises(OverflowError, "cannot fit 'int' into an index-sized integer")),
]

_SIZE_TEXTS = [([], ""), ([8], "8"), ([8, 8, 8], "8"), ([5, 6, 5], "565"), ([10, 8], "1008"), ([10, 10, 10], "10"), ([12, 10, 10], "121010")]


def _size_round_trip(sizes):
    def call(m):
        size = m.widths.Size(sizes)
        text = size.designation()
        return text, m.widths.Size.from_designation(text, len(sizes)) == (size, "")

    return call


def _size_keeps_list(m):
    sizes = [5, 6, 5]
    size = m.widths.Size(sizes)
    return repr(size), size.sizes is sizes


WIDTHS = (
    [Case(f"read-{text!r}-{channels!r}", _read_size(text, channels), expect) for text, channels, expect in _SIZE_READINGS]
    + [Case(f"compose-{sizes}", _size_round_trip(sizes), (text, True)) for sizes, text in _SIZE_TEXTS]
    + [
        Case("compose-10-10-does-not-read-back", _size_round_trip([10, 10]), ("10", False)),
        Case("zero-rejected", lambda m: m.widths.Size([8, 0]), Raises(PixelFormatValueReject, "Sizes must all be larger than 0 [8, 0].")),
        Case("negative-rejected", lambda m: m.widths.Size([8, -1]), Raises(PixelFormatValueReject, "Sizes must all be larger than 0 [8, -1].")),
        Case("no-argument", lambda m: m.widths.Size(), Raises(TypeError)),
        Case(
            "sequence",
            lambda m: (len(m.widths.Size([])), bool(m.widths.Size([])), m.widths.Size([5, 6, 5])[-1], list(m.widths.Size([5, 6, 5]))),
            (0, False, 5, [5, 6, 5]),
        ),
        Case("index-out-of-range", lambda m: m.widths.Size([5, 6, 5])[3], Raises(IndexError)),
        Case("slice-refused", lambda m: m.widths.Size([5, 6, 5])[0:1], arg_type_error("item", "int", "slice")),
        Case(
            "equality",
            lambda m: (m.widths.Size([8]) == m.widths.Size([8]), m.widths.Size([8]) == [8], m.widths.Size([8, 8]) == m.widths.Size([8]), m.widths.Size.__hash__),
            (True, False, False, None),
        ),
        Case("repr-keeps-list", _size_keeps_list, ("Size(sizes=[5, 6, 5])", True)),
    ]
)


# --------------------------------------------------------------------------
# scalars


def _plain_data_type(dt):
    return dt if isinstance(dt, str) else dt.name


def _read_data_types(text, channels, reader="from_designation"):
    def call(m):
        read = getattr(m.scalars.CompoundDataTypes if reader == "from_designation" else m.scalars.DataTypes, reader)
        return [([_plain_data_type(dt) for dt in c.scalars], rest) for c, rest in read(text, channels)]

    return call


_DATA_TYPE_READINGS = [
    ("sf_x", 2, [(["UNSIGNED", "UNSIGNED"], "sf_x"), (["SIGNED", "FLOAT"], "_x")]),
    ("s", 3, [(["UNSIGNED"] * 3, "s"), (["SIGNED"] * 3, "")]),
    ("s", 1, [(["UNSIGNED"], "s"), (["SIGNED"], "")]),
    ("sx", 3, [(["UNSIGNED"] * 3, "sx"), (["SIGNED"] * 3, "x")]),
    ("sfx", 3, [(["UNSIGNED"] * 3, "sfx")]),
    ("", 2, [(["UNSIGNED"] * 2, "")]),
    ("usu8", 3, [(["UNSIGNED"] * 3, "usu8"), (["UNSIGNED", "SIGNED", "UNSIGNED"], "8")]),
    ("sf", -1, []),
    ("sf", 0, Raises(PixelFormatValueReject, "scalars must have length > 0")),
    (None, 1, arg_type_error("full_designation", "str", "NoneType")),
    ("s", None, arg_type_error("number_of_channels", "int", "NoneType")),
]


def _fresh_registry(m, *names):
    r = m.scalars.DataTypeRegistry()
    for name in names:
        r.register(name)
    return r


def _register_refused(name, value=None):
    def call(m):
        r = m.scalars.DataTypeRegistry()
        try:
            r.register(name, value)
        except Exception:
            # Every refusal leaves the registry as it was.
            assert list(r) == ["", "s", "f", "u"]
            raise

    return call


def _custom_letters(m):
    r = _fresh_registry(m, "x")
    r.register("y", m.scalars.DefaultDataType.FLOAT)
    r.register("7")
    return r.resolve("x"), r.resolve("y").name, list(r)


def _default_snapshot_after_custom(m):
    m.scalars.DATA_TYPE_REGISTRY.register("q")
    mapping = m.scalars.DataTypeRegistry.default_snapshot().mapping
    return [(k, v.name) for k, v in mapping.items()]


def _restore_defaults(m):
    r = _fresh_registry(m, "x", "y")
    r.restore(m.scalars.DataTypeRegistry.default_snapshot())
    return list(r)


def _restore_bad(change):
    def call(m):
        r = _fresh_registry(m, "x")
        mapping = dict(r._registry)
        change(mapping, m.scalars.DefaultDataType)
        try:
            r.restore(m.registry.MappingSnapshot(mapping))
        except Exception:
            assert list(r) == ["", "s", "f", "u", "x"] and r._default_keys == {"", "s", "f", "u"}
            raise

    return call


def _restore_order(m):
    d = m.scalars.DefaultDataType
    r = _fresh_registry(m, "x")
    r.restore(m.registry.MappingSnapshot({"z": "z", "": d.UNSIGNED, "s": d.SIGNED, "f": d.FLOAT, "u": d.UNSIGNED, "k": "k"}))
    return list(r)


def _restore_own_dict_keeps_custom(m):
    r = _fresh_registry(m, "x")
    r.restore(m.registry.MappingSnapshot(r._registry))
    return list(r)


def _custom_letter_reading(m):
    m.scalars.DATA_TYPE_REGISTRY.register("x")
    read = _read_data_types
    return read("x", 2)(m), read("xs", 2)(m), read("sx", 3)(m)


def _compound(*names):
    return lambda m: m.scalars.CompoundDataTypes([getattr(m.scalars.DefaultDataType, n) if n.isupper() else n for n in names])


def _compound_sequence(m):
    scalars = [m.scalars.DefaultDataType.SIGNED, m.scalars.DefaultDataType.FLOAT]
    compound = m.scalars.CompoundDataTypes(scalars)
    return compound.scalars is scalars, len(compound), compound[-1].name


def _dispatch_with_reject(m):
    class Rejecting:
        @staticmethod
        def from_designation(text, channels):
            raise ParseReject("nope")

    with implementations(m.scalars, Rejecting, m.scalars.CompoundDataTypes):
        candidates, messages = with_debug(m.scalars, lambda: m.scalars.DataTypes.create("s", 1))
    return len(candidates), messages


SCALARS = (
    [Case(f"read-{text!r}-{channels!r}", _read_data_types(text, channels), expect) for text, channels, expect in _DATA_TYPE_READINGS]
    + [
        Case("create-gathers-compound", _read_data_types("sf_x", 2, "create"), _DATA_TYPE_READINGS[0][2]),
        Case("create-zero-channels-propagates", _read_data_types("s", 0, "create"), Raises(PixelFormatValueReject, "scalars must have length > 0")),
        Case("create-skips-parse-reject", _dispatch_with_reject, (2, ["Parsing rejected: nope Rejecting"])),
        Case(
            "negative-count-logs-rejection",
            lambda m: with_debug(m.scalars, lambda: m.scalars.CompoundDataTypes.from_designation("s", -2)),
            ([], ["Value rejected scalars must have length > 0"]),
        ),
        Case("custom-letters-read", _custom_letter_reading, (
            [(["UNSIGNED"] * 2, "x"), (["x", "x"], "")],
            [(["UNSIGNED"] * 2, "xs"), (["x", "SIGNED"], "")],
            [(["UNSIGNED"] * 3, "sx")],
        )),
        # the registry
        Case("defaults", lambda m: (list(_fresh_registry(m)), _fresh_registry(m).resolve("").name, _fresh_registry(m).resolve("u").name), (["", "s", "f", "u"], "UNSIGNED", "UNSIGNED")),
        Case("custom-letters", _custom_letters, ("x", "FLOAT", ["", "s", "f", "u", "x", "y", "7"])),
        Case("register-twice", lambda m: _fresh_registry(m, "x", "x"), Raises(DuplicateRegistrationError, "Value already registered: 'x'")),
        Case("register-default-s", _register_refused("s", "anything"), Raises(DuplicateRegistrationError, "Value already registered: 's'")),
        Case("register-default-empty", _register_refused(""), Raises(DuplicateRegistrationError, "Value already registered: ''")),
        Case("register-two-letters", _register_refused("xy"), Raises(ValueError, "Custom data types are only allowed to contain one letter.")),
        Case("register-not-str", _register_refused(None), arg_type_error("name", "str", "NoneType")),
        Case("register-str-subclass", _register_refused(LoudStr("x")), arg_type_error("name", "str", "LoudStr")),
        Case("default-snapshot-ignores-custom", _default_snapshot_after_custom, [("", "UNSIGNED"), ("s", "SIGNED"), ("f", "FLOAT"), ("u", "UNSIGNED")]),
        Case("restore-default-snapshot", _restore_defaults, ["", "s", "f", "u"]),
        Case("restore-order", _restore_order, ["", "s", "f", "u", "z", "k"]),
        Case("restore-own-dict", _restore_own_dict_keeps_custom, ["", "s", "f", "u", "x"]),
        Case(
            "restore-without-u",
            _restore_bad(lambda mp, d: mp.pop("u")),
            Raises(ValueError, "Snapshot needs to contain default key value mapping u -> DefaultDataType.UNSIGNED."),
        ),
        Case(
            "restore-s-changed",
            _restore_bad(lambda mp, d: mp.update(s=d.FLOAT)),
            Raises(ValueError, "Snapshot needs to contain default key value mapping s -> DefaultDataType.SIGNED."),
        ),
        Case(
            "restore-without-empty",
            _restore_bad(lambda mp, d: mp.pop("")),
            Raises(ValueError, "Snapshot needs to contain default key value mapping  -> DefaultDataType.UNSIGNED."),
        ),
        Case("restore-long-key", _restore_bad(lambda mp, d: mp.update(xy="xy")), Raises(ValueError, "Custom data types are only allowed to contain one letter.")),
        Case("restore-key-not-str", _restore_bad(lambda mp, d: mp.update({3: "x"})), arg_type_error("name", "str", "int")),
        # names and tests of data types
        Case(
            "datatype-name",
            lambda m: (
                m.scalars.datatype_name(m.scalars.DefaultDataType.UNSIGNED),
                m.scalars.datatype_name(m.scalars.DefaultDataType.UNSIGNED, multiple_designators=[0]),
                m.scalars.datatype_name(m.scalars.DefaultDataType.SIGNED, True),
                m.scalars.datatype_name("x"),
                m.scalars.datatype_name(None),
            ),
            ("", "u", "s", "x", None),
        ),
        Case("datatype-name-not-str", lambda m: m.scalars.datatype_name(5), Raises(TypeError, "Expected str, got int")),
        Case(
            "is-data-type",
            lambda m: [m.scalars.is_data_type(x) for x in ("abc", m.scalars.DefaultDataType.FLOAT, None, 3)],
            [True, True, False, False],
        ),
        # compound designations
        Case(
            "designations",
            lambda m: [_compound(*n)(m).designation() for n in (("SIGNED",) * 3, ("UNSIGNED",) * 3, ("SIGNED", "FLOAT"), ("UNSIGNED", "SIGNED"), ("SIGNED", "UNSIGNED", "UNSIGNED"))],
            ["s", "", "sf", "us", "suu"],
        ),
        Case("not-a-data-type", lambda m: m.scalars.CompoundDataTypes([m.scalars.DefaultDataType.SIGNED, 3]), Raises(PixelFormatValueReject, "scalars must only contain DataTypes, got 3")),
        Case("empty-before-elements", lambda m: m.scalars.CompoundDataTypes([]), Raises(PixelFormatValueReject, "scalars must have length > 0")),
        Case("tuple-refused", lambda m: m.scalars.CompoundDataTypes(("s",)), arg_type_error("scalars", "list", "tuple")),
        Case("sequence-keeps-list", _compound_sequence, (True, 2, "FLOAT")),
        Case("index-out-of-range", lambda m: _compound("SIGNED")(m)[1], Raises(IndexError)),
        Case(
            "equality",
            lambda m: (
                _compound("SIGNED", "x")(m) == _compound("SIGNED", "x")(m),
                _compound("SIGNED")(m) == ["s"],
                _compound("SIGNED")(m) == _compound("FLOAT")(m),
                m.scalars.CompoundDataTypes.__hash__,
            ),
            (True, False, False, None),
        ),
        Case("length-differs-without-comparing", lambda m: m.scalars.CompoundDataTypes([LoudStr("x")]) == m.scalars.CompoundDataTypes([LoudStr("x"), "s"]), False),
        Case("base-reader", lambda m: m.scalars.DataTypes.from_designation("s", 1), Raises(NotImplementedError)),
    ]
)


# --------------------------------------------------------------------------
# layouts

YUV = Components(["Y", "U", "V"])


def _plain_candidates(candidates):
    return [(type(c).__name__, c.designation(), rest) for c, rest in candidates]


def _create(text, components=YUV, channels=3):
    return lambda m: _plain_candidates(m.layouts.InterfaceSpecific.create(text, components, m.widths.Size([8] * channels)))


def _read(cls_name, text, components=YUV, channels=3):
    def call(m):
        cls = getattr(m.layouts, cls_name)
        return _plain_candidates(cls.from_designation(text, components, m.widths.Size([8] * channels)))

    return call


def _sequence(text, components=YUV, channels=3):
    def call(m):
        found = m.layouts.ComponentsSequencing.from_designation(text, components, m.widths.Size([8] * channels))
        return [(c.components, rest) for c, rest in found]

    return call


def _lmn(fields):
    return GenicamComponents(["Y", "U", "V"], LMNLocation(fields))


def _create_without_underscore(m):
    def never(base):
        raise AssertionError("asked for implementations")

    original, m.layouts.all_implementations = m.layouts.all_implementations, never
    try:
        return _create("Planar")(m)
    finally:
        m.layouts.all_implementations = original


def _create_with_reject(m):
    class Rejecting:
        @classmethod
        def from_designation(cls, text, components, sizes):
            raise ParseReject("x")

    with implementations(m.layouts, m.layouts.Planar, Rejecting, m.layouts.SemiPlanar):
        return with_debug(m.layouts, lambda: _create("_Planar")(m))


def _create_other_errors_propagate(m):
    class Broken:
        @classmethod
        def from_designation(cls, text, components, sizes):
            raise RuntimeError("broken")

    with implementations(m.layouts, m.layouts.Planar, Broken):
        return _create("_Planar")(m)


def _subclass_reads_as_itself(m):
    class SubPlanar(m.layouts.Planar):
        pass

    try:
        [(found, rest)] = SubPlanar.from_designation("Planar", YUV, m.widths.Size([8]))
        # Planar.__eq__ called directly: "==" would ask the subclass first.
        return type(found) is SubPlanar, m.layouts.Planar().__eq__(found), found == SubPlanar()
    finally:
        # A live subclass would be found by every later dispatch.
        del SubPlanar, found
        gc.collect()


def _whole_name(m):
    size, rest = m.widths.Size.from_designation("8_UYVY", 3)
    return [
        (size.designation(), dts.designation(), _plain_candidates(m.layouts.InterfaceSpecific.create(after, YUV, size)))
        for dts, after in m.scalars.DataTypes.create(rest, 3)
    ]


LAYOUTS = [
    Case("create-needs-underscore", _create_without_underscore, []),
    Case("create-underscore-only", _create("_"), []),
    Case("create-planar", _create("_Planar"), [("Planar", "Planar", "")]),
    Case("create-semiplanar", _create("_Semiplanar_x"), [("SemiPlanar", "Semiplanar", "_x")]),
    Case("create-strips-one-underscore", _create("__Planar"), []),
    Case("create-sequencing", _create("_UYVY"), [("ComponentsSequencing", "UYVY", "")]),
    Case("create-skips-parse-reject", _create_with_reject, ([("Planar", "Planar", "")], ["Parsing rejected: x Rejecting"])),
    Case("create-other-errors-propagate", _create_other_errors_propagate, Raises(RuntimeError, "broken")),
    Case("create-not-str", _create(None), arg_type_error("full_designation", "str", "NoneType")),
    Case("planar-prefix", _read("Planar", "Planar_more"), [("Planar", "Planar", "_more")]),
    Case("planar-case-sensitive", _read("Planar", "planar"), []),
    Case("semiplanar-lower-p", _read("SemiPlanar", "SemiPlanar"), []),
    Case("planar-not-str", _read("Planar", LoudStr("Planar")), arg_type_error("full_designation", "str", "LoudStr")),
    Case("abstract-reader-checks-type", _read("InterfaceSpecific", b"x"), arg_type_error("full_designation", "str", "bytes")),
    Case("abstract-base", lambda m: m.layouts.InterfaceSpecific(), Raises(TypeError)),
    Case(
        "equality",
        lambda m: (
            m.layouts.Planar() == m.layouts.Planar(),
            m.layouts.Planar() == m.layouts.SemiPlanar(),
            m.layouts.Planar() == "Planar",
            m.layouts.ComponentsSequencing(("Y",)) == m.layouts.ComponentsSequencing(("Y",)),
            m.layouts.ComponentsSequencing(("Y",)) == m.layouts.Planar(),
            m.layouts.Planar() == m.layouts.ComponentsSequencing(("Y",)),
            m.layouts.Planar.__hash__,
            m.layouts.ComponentsSequencing.__hash__,
        ),
        (True, False, False, True, False, False, None, None),
    ),
    Case("subclass-reads-as-itself", _subclass_reads_as_itself, (True, False, True)),
    Case("sequencing-needs-tuple", lambda m: m.layouts.ComponentsSequencing(["Y"]), arg_type_error("components", "tuple", "list")),
    # components sequencing
    Case("uyvy", _sequence("UYVY"), [(("U", "Y", "V", "Y"), "")]),
    Case("uyvy-rest", _sequence("UYVY_rest"), [(("U", "Y", "V", "Y"), "_rest")]),
    Case("one-channel-only", _sequence("YYYY"), []),
    Case("empty-text", _sequence(""), []),
    Case("fewer-sizes", _sequence("UYVY", channels=2), []),
    Case("longest-name-first", _sequence("YUVY", Components(["Y", "YUV"]), 2), [(("YUV", "Y"), "")]),
    Case("same-names-count-once", _sequence("XX", Components(["X", "X"]), 2), []),
    Case("empty-name-skipped", _sequence("YY", Components([Channel(""), "Y"]), 1), [(("Y", "Y"), "")]),
    Case("name-not-str", _sequence("YY", Components([Channel(3), "Y"]), 1), Raises(TypeError, "Expected str, got int")),
    Case("lmn-proportions", _sequence("YUYV", _lmn((2, 1, 1))), [(("Y", "U", "Y", "V"), "")]),
    Case("lmn-scaled-proportions", _sequence("YUYVYUYV", _lmn((2, 1, 1))), [(("Y", "U", "Y", "V") * 2, "")]),
    Case("lmn-wrong-proportions", _sequence("YYUYYV", _lmn((2, 1, 1))), []),
    Case("lmn-fields-length", _sequence("YUYV", _lmn((2, 1))), []),
    # matched channels 1 and 2 are as many as the sizes, channel 0 never matched
    Case("lmn-unmatched-channel", _sequence("UV", _lmn((1, 1)), 2), []),
    Case("whole-name", _whole_name, [("8", "", [("ComponentsSequencing", "UYVY", "")])]),
]
