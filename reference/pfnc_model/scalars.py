"""Module for handling data types and their designations in pixel format processing.

This module defines `DataTypes` and `CompoundDataTypes` classes, along with utilities
for managing data types and parsing their designations.
"""

from __future__ import annotations

from abc import ABCMeta, abstractmethod
from enum import Enum
from logging import getLogger
from typing import TypeGuard, get_args

from corvella.pfnc._internal.utils import all_implementations
from corvella.pfnc.exceptions import (
    DuplicateRegistrationError,
    NotRegisteredError,
    ParseReject,
    PixelFormatValueReject,
)

from ._checks import as_bool, as_int, exact_list, exact_str, type_name
from .registry import MappingSnapshot, Registry

logger = getLogger(__name__)


class DefaultDataType(Enum):
    """Enumeration for default data types."""

    # Unsigned is what a name means when it says nothing, hence the empty value.
    UNSIGNED = ""
    SIGNED = "s"
    FLOAT = "f"


DataType = DefaultDataType | str


class DataTypeRegistry(Registry[str, DataType]):
    """Registry for data types with immutable defaults."""

    def __init__(self) -> None:
        (
            "DataTypeRegistry.__init__(self) -> None\n"
            "\n"
            "Initialize the registry and register default data types."
        )
        super().__init__()
        self._default_keys: set[str] = set()
        self._register_defaults()

    def _register_defaults(self) -> None:
        (
            "DataTypeRegistry._register_defaults(self) -> None\n"
            "\n"
            "Register default data types."
        )
        defaults = _defaults_of(DefaultDataType)
        # The base register: our own register refuses exactly these names.
        for key, member in defaults.items():
            self._default_keys.add(key)
            Registry.register(self, key, member)
        # "u" spells unsigned explicitly, for names that mix it with other
        # letters ("us"), where the empty designator cannot be written.
        self._default_keys.add("u")
        Registry.register(self, "u", DefaultDataType.UNSIGNED)

    def register(self, name: str, value: DataType | None = None) -> None:
        (
            "DataTypeRegistry.register(self, str name: str, value: DataType | None = None) -> None\n"
            "\n"
            "Register a custom single-letter data type."
        )
        name = exact_str(name, "name")
        if value is None:
            value = name
        if name in self._default_keys:
            raise DuplicateRegistrationError(f"Value already registered: {name!r}")
        self._validate(name, value)
        super().register(name, value)

    def _validate(self, name: str, _value: DataType) -> None:
        "DataTypeRegistry._validate(self, str name: str, _value: DataType) -> None"
        name = exact_str(name, "name")
        if name in self._default_keys:
            return
        # The reader takes one character per channel, so a longer custom
        # designator could never be read back.
        if len(name) != 1:
            raise ValueError("Custom data types are only allowed to contain one letter.")

    def restore(self, snap: MappingSnapshot[str, DataType]) -> None:
        (
            "DataTypeRegistry.restore(self, snap: MappingSnapshot[str, DataType]) -> None\n"
            "\n"
            "Restore a snapshot."
        )
        # Work on a copy: a snapshot may share its dict with this registry,
        # which the clear() below would otherwise empty before it is read.
        mapping = dict(snap.mapping)

        # Everything is checked before anything changes.
        for key, value in mapping.items():
            self._validate(key, value)
        for key in self._default_keys:
            current = self._registry.get(key)
            if key not in mapping or mapping[key] != current:
                raise ValueError(
                    "Snapshot needs to contain default key value mapping "
                    + str(key)
                    + " -> "
                    + str(current)
                    + "."
                )

        # Rebuilding the defaults puts them first again, ahead of the custom
        # letters in the snapshot's order.
        self._registry.clear()
        self._default_keys.clear()
        self._register_defaults()
        self._registry.update(mapping)

    @classmethod
    def default_snapshot(cls) -> MappingSnapshot[str, DataType]:
        (
            "DataTypeRegistry.default_snapshot(cls) -> MappingSnapshot[str, DataType]\n"
            "\n"
            "Return a snapshot that is empty except for the default data types."
        )
        # DataTypeRegistry, not cls: a subclass's extra defaults are not the
        # defaults of the data types.
        return DataTypeRegistry().snapshot()


def _default_pairs(members) -> dict:
    return {member.value: member for member in members}


# The members of the module's own DefaultDataType are read once, at import:
# an enum's members are fixed. Another class bound to the name is read anew.
_OWN_MEMBERS = DefaultDataType
_OWN_DEFAULTS = _default_pairs(DefaultDataType)


def _defaults_of(members) -> dict:
    return _OWN_DEFAULTS if members is _OWN_MEMBERS else _default_pairs(members)


DATA_TYPE_REGISTRY = DataTypeRegistry()


def is_data_type(potential_data_type: object) -> TypeGuard[DataType]:
    (
        "is_data_type(potential_data_type: object) -> TypeGuard[DataType]\n"
        "\n"
        "Checks if the given object is a valid data type.\n"
        "\n"
        "Args:\n"
        "    potential_data_type (Any): The object to check.\n"
        "\n"
        "Returns:\n"
        "    bool: True if the object is a valid data type, False otherwise."
    )
    # Any string counts, registered or not: registration matters only when
    # a designation is read.
    for data_type_class in get_args(DataType):
        if isinstance(potential_data_type, data_type_class):
            return True
    return False


def datatype_name(data_type: DataType, multiple_designators: bool = False) -> str:
    (
        "datatype_name(data_type: DataType, bool multiple_designators: bool = False) -> str\n"
        "\n"
        "Returns the string representation of a data type.\n"
        "\n"
        "Args:\n"
        "    data_type (DataType): The data type.\n"
        "    multiple_designators (bool): Whether to include the 'u' designator for unsigned.\n"
        "\n"
        "Returns:\n"
        "    str: The string representation of the data type."
    )
    multiple_designators = as_bool(multiple_designators)
    if isinstance(data_type, DefaultDataType):
        # Among other letters an unsigned channel must be visible, so it
        # takes the explicit "u" there instead of the empty designator.
        if multiple_designators and data_type is DefaultDataType.UNSIGNED:
            name = "u"
        else:
            name = data_type.value
    else:
        name = data_type
    # The extension returns a declared str: None passes, anything else,
    # str subclasses included, does not.
    if name is not None and type(name) is not str:
        raise TypeError("Expected %s, got %.200s" % ("str", type_name(name)))
    return name


class DataTypes(metaclass=ABCMeta):
    """Abstract base class for data type designations."""

    @abstractmethod
    def designation(self) -> str:
        (
            "DataTypes.designation(self) -> str\n"
            "\n"
            "Returns the designation string of the data types."
        )

    @abstractmethod
    def __len__(self) -> int:
        (
            "DataTypes.__len__(self) -> int\n"
            "\n"
            "Returns the number of data types, one per channel."
        )

    @abstractmethod
    def __getitem__(self, item: int) -> DataType:
        (
            "DataTypes.__getitem__(self, int item: int) -> DataType\n"
            "\n"
            "Returns the data type of the channel at the specified index."
        )

    @staticmethod
    def create(full_designation: str, number_of_channels: int) -> list[tuple["DataTypes", str]]:
        (
            "DataTypes.create(str full_designation: str, int number_of_channels: int) "
            "-> list[tuple['DataTypes', str]]\n"
            "\n"
            "Creates data type designations from the front of a designation string.\n"
            "\n"
            "Args:\n"
            "    full_designation (str): The designation string, starting with the data types.\n"
            "    number_of_channels (int): The number of channels.\n"
            "\n"
            "Returns:\n"
            "    list[tuple[DataTypes, str]]: The candidates of every implementation, each with the remaining designation."
        )
        full_designation = exact_str(full_designation, "full_designation")
        number_of_channels = as_int(number_of_channels, "number_of_channels")
        compos = []
        for implementation in all_implementations(DataTypes):
            # One implementation refusing the text must not cost the others
            # their candidates.
            try:
                compos.extend(implementation.from_designation(full_designation, number_of_channels))
            except ParseReject as e:
                logger.debug(f"Parsing rejected: {e} {implementation.__name__}")
        return compos

    @staticmethod
    def from_designation(full_designation: str, number_of_channels: int) -> list[tuple["DataTypes", str]]:
        (
            "DataTypes.from_designation(str full_designation: str, int number_of_channels: int) "
            "-> list[tuple['DataTypes', str]]\n"
            "\n"
            "Parses data type designations; implemented by the subclasses."
        )
        exact_str(full_designation, "full_designation")
        as_int(number_of_channels, "number_of_channels")
        raise NotImplementedError

    def __eq__(self, other: object) -> bool:
        (
            "DataTypes.__eq__(self, other: object) -> bool\n"
            "\n"
            "Checks whether two data type designations hold equal data types."
        )
        # Compared through the abstract sequence interface, so designations of
        # different implementations are equal when their channels are.
        if not isinstance(other, DataTypes):
            return False
        ll = len(self)
        if len(other) != ll:
            return False
        for i in range(ll):
            if not self[i] == other[i]:
                return False
        return True


class CompoundDataTypes(DataTypes):
    """Represents a compound designation containing multiple data types."""

    def __init__(self, scalars: list[DataType]) -> None:
        (
            "CompoundDataTypes.__init__(self, list scalars: list[DataType]) -> None\n"
            "\n"
            "Initializes the designation with one data type per channel.\n"
            "\n"
            "Args:\n"
            "    scalars (list[DataType]): The data types, in channel order."
        )
        scalars = exact_list(scalars, "scalars")
        if len(scalars) == 0:
            raise PixelFormatValueReject("scalars must have length > 0")
        for dt in scalars:
            if not is_data_type(dt):
                raise PixelFormatValueReject(f"scalars must only contain DataTypes, got {dt!s}")
        # The caller's list itself, not a copy.
        self.scalars = scalars

    def designation(self) -> str:
        (
            "CompoundDataTypes.designation(self) -> str\n"
            "\n"
            "Returns the designation string of the data types.\n"
            "\n"
            "Returns:\n"
            "    str: One designator for all channels if they agree, else one per channel."
        )
        # Read once: what the steps below run may rebind it.
        scalars = self.scalars
        s = {datatype_name(dt) for dt in scalars}
        if len(s) == 1:
            return s.pop()
        # Written out per channel with "u" for unsigned, which reads back
        # through the one-letter-per-channel rule of from_designation.
        return "".join(datatype_name(dt, multiple_designators=True) for dt in scalars)

    def __len__(self) -> int:
        (
            "CompoundDataTypes.__len__(self) -> int\n"
            "\n"
            "Returns the number of data types, one per channel."
        )
        return len(self.scalars)

    def __getitem__(self, item: int) -> DataType:
        (
            "CompoundDataTypes.__getitem__(self, int item: int) -> DataType\n"
            "\n"
            "Returns the data type of the channel at the specified index."
        )
        item = as_int(item, "item")
        return self.scalars[item]

    @staticmethod
    def from_designation(full_designation: str, number_of_channels: int) -> list[tuple["DataTypes", str]]:
        (
            "CompoundDataTypes.from_designation(str full_designation: str, int number_of_channels: int) "
            "-> list[tuple['DataTypes', str]]\n"
            "\n"
            "Parses compound data type designations from the front of a designation string.\n"
            "\n"
            "Args:\n"
            "    full_designation (str): The designation string, starting with the data types.\n"
            "    number_of_channels (int): The number of channels.\n"
            "\n"
            "Returns:\n"
            "    list[tuple[DataTypes, str]]: The possible data types, each with the remaining designation."
        )
        full_designation = exact_str(full_designation, "full_designation")
        number_of_channels = as_int(number_of_channels, "number_of_channels")
        possible_scalars = []

        # Unsigned has an empty designator, so "all unsigned" is always a
        # reading and consumes nothing.
        try:
            possible_scalars.append(
                (CompoundDataTypes([DefaultDataType.UNSIGNED] * number_of_channels), full_designation)
            )
        except PixelFormatValueReject as e:
            logger.debug(f"Value rejected {e}")

        # The longest run of registered letters at the front, at most one per
        # channel. Looked up at call time: custom letters count once registered.
        decoded_scalars = []
        for n in range(number_of_channels):
            if n >= len(full_designation):
                break
            data_type_designation = full_designation[n]
            try:
                decoded_scalars.append(DATA_TYPE_REGISTRY.resolve(data_type_designation))
            except NotRegisteredError:
                break

        # One letter per channel.
        if len(decoded_scalars) == number_of_channels:
            possible_scalars.append(
                (CompoundDataTypes(decoded_scalars), full_designation[number_of_channels:])
            )

        # One letter standing for every channel ("s" for three signed channels).
        if len(decoded_scalars) == 1 and number_of_channels > 1:
            try:
                possible_scalars.append(
                    (CompoundDataTypes([decoded_scalars[0]] * number_of_channels), full_designation[1:])
                )
            except PixelFormatValueReject as e:
                logger.debug(f"Value rejected {e}")

        return possible_scalars
