"""Module for handling interface-specific pixel format designations.

This module provides the `InterfaceSpecific` abstract base class and its implementations
`Planar`, `SemiPlanar` and `ComponentsSequencing`, which compose and parse the
interface-specific suffix that follows an underscore in a pixel format name.
"""

from __future__ import annotations

from abc import ABCMeta, abstractmethod
from logging import getLogger

from typing_extensions import Self

from corvella.pfnc._internal.utils import all_implementations
from corvella.pfnc.exceptions import ParseReject, PixelFormatValueReject
from corvella.pfnc.genicam.components import (
    Components,
    GenicamComponents,
    LMNLocation,
    channel_name,
)

from ._checks import exact_str, exact_tuple, int_value, str_value
from .widths import Size

logger = getLogger(__name__)


class InterfaceSpecific(metaclass=ABCMeta):
    """Abstract base class for interface-specific pixel format designations."""

    @abstractmethod
    def designation(self) -> str:
        "Returns the designation of the interface-specific format."

    @staticmethod
    def create(
        full_designation: str, components: Components, sizes: Size
    ) -> list[tuple["InterfaceSpecific", str]]:
        (
            "Creates instances of `InterfaceSpecific` based on the designation.\n"
            "\n"
            "Args:\n"
            "    full_designation (str): The full designation string.\n"
            "    components (Components): The pixel format components.\n"
            "    sizes (Size): The sizes of the components.\n"
            "\n"
            "Returns:\n"
            "    List[Tuple[InterfaceSpecific, str]]: A list of parsed instances and remaining designations."
        )
        full_designation = exact_str(full_designation, "full_designation")
        # The suffix is only ever introduced by its separating underscore; the
        # caller leaves it on the text so that its absence can be noticed here.
        if not full_designation.startswith("_"):
            return []
        text = full_designation[1:]
        result = []
        for implementation in all_implementations(InterfaceSpecific):
            # One implementation refusing the text must not cost the others
            # their candidates.
            try:
                result.extend(implementation.from_designation(text, components, sizes))
            except ParseReject as e:
                logger.debug(f"Parsing rejected: {e} {implementation.__name__}")
        return result

    @classmethod
    @abstractmethod
    def from_designation(
        cls: type[Self], full_designation: str, components: Components, sizes: Size
    ) -> list[tuple[Self, str]]:
        (
            "Parses the designation into specific interface format instances.\n"
            "\n"
            "Args:\n"
            "    full_designation (str): The designation string after the separating underscore.\n"
            "    components (Components): The pixel format components.\n"
            "    sizes (Size): The sizes of the components.\n"
            "\n"
            "Returns:\n"
            "    List[Tuple[InterfaceSpecific, str]]: A list of parsed instances and remaining designations."
        )
        exact_str(full_designation, "full_designation")

    def __eq__(self, other: object) -> bool:
        "Checks equality with another object."
        # The stateless suffixes are equal exactly when they are the same
        # kind; a subclass is a different kind.
        return type(self) is type(other)


def _read_fixed_text(cls, full_designation, designation):
    """The reading of Planar and SemiPlanar: a prefix test for a fixed text."""
    full_designation = exact_str(full_designation, "full_designation")
    # A prefix test: whatever follows is left to the caller's next reader.
    if full_designation.startswith(designation):
        try:
            # cls(): a subclass reads as itself.
            return [(cls(), full_designation[len(designation) :])]
        except PixelFormatValueReject as e:
            logger.debug(f"Value rejected {e}")
    return []


class Planar(InterfaceSpecific):
    """Represents the planar interface-specific format."""

    def designation(self) -> str:
        "Returns the planar designation."
        return "Planar"

    @classmethod
    def from_designation(
        cls: type[Self], full_designation: str, components: Components, sizes: Size
    ) -> list[tuple[Self, str]]:
        (
            "Parses planar-specific designations.\n"
            "\n"
            "Args:\n"
            "    full_designation (str): The designation string after the separating underscore.\n"
            "    components (Components): The pixel format components.\n"
            "    sizes (Size): The sizes of the components.\n"
            "\n"
            "Returns:\n"
            "    List[Tuple[InterfaceSpecific, str]]: A list with a `Planar` instance if matched."
        )
        return _read_fixed_text(cls, full_designation, "Planar")


class SemiPlanar(InterfaceSpecific):
    """Represents the semi-planar interface-specific format."""

    def designation(self) -> str:
        "Returns the semi-planar designation."
        return "Semiplanar"

    @classmethod
    def from_designation(
        cls: type[Self], full_designation: str, components: Components, sizes: Size
    ) -> list[tuple[Self, str]]:
        (
            "Parses semi-planar-specific designations.\n"
            "\n"
            "Args:\n"
            "    full_designation (str): The designation string after the separating underscore.\n"
            "    components (Components): The pixel format components.\n"
            "    sizes (Size): The sizes of the components.\n"
            "\n"
            "Returns:\n"
            "    List[Tuple[InterfaceSpecific, str]]: A list with a `SemiPlanar` instance if matched."
        )
        # Lower-case p: the names write "Semiplanar", and the match is exact.
        return _read_fixed_text(cls, full_designation, "Semiplanar")


class ComponentsSequencing(InterfaceSpecific):
    """Represents an interface-specific format based on component sequencing."""

    def __init__(self, components: tuple[str, ...]) -> None:
        (
            "Initializes a `ComponentsSequencing` instance.\n"
            "\n"
            "Args:\n"
            "    components (tuple[str, ...]): The channel names in the order in which they follow one another."
        )
        self.components = exact_tuple(components, "components")

    def designation(self) -> str:
        "Returns the component sequencing designation."
        return "".join(self.components)

    @classmethod
    def from_designation(
        cls: type[Self], full_designation: str, components: Components, sizes: Size
    ) -> list[tuple[Self, str]]:
        (
            "Parses component sequencing-specific designations.\n"
            "\n"
            "Args:\n"
            "    full_designation (str): The designation string after the separating underscore.\n"
            "    components (Components): The pixel format components.\n"
            "    sizes (Size): The sizes of the components.\n"
            "\n"
            "Returns:\n"
            "    List[Tuple[InterfaceSpecific, str]]: A list of parsed instances and remaining designations."
        )
        full_designation = exact_str(full_designation, "full_designation")

        # A name is matched character by character, so it must be a str.
        component_names = [str_value(channel_name(components[i])) for i in range(len(components))]
        if not component_names:
            return []

        # Longest names first, so that a name that begins with another channel's
        # name ("YUV" against "Y") is not cut short; the stable sort keeps equal
        # lengths in channel order. len() of each name is asked once, in
        # channel order; a name of length 0 would match everywhere without
        # advancing, so it never takes part in the scan.
        lengths = [len(name) for name in component_names]
        component_name_order = sorted(
            ((name, index, length) for index, (name, length) in enumerate(zip(component_names, lengths)) if length > 0),
            key=lambda entry: entry[2],
            reverse=True,
        )

        # Greedy scan without backtracking: at each position the first name in
        # that order that fits is taken.
        component_counts: dict[int, int] = {}
        extracted_components = []
        i_f = 0
        while i_f <= len(full_designation):
            substr = full_designation[i_f:]
            matched = False
            for name, index, length in component_name_order:
                if substr.startswith(name):
                    matched = True
                    extracted_components.append(name)
                    component_counts[index] = component_counts.get(index, 0) + 1
                    i_f += length
                    break
            if not matched:
                break

        # A sequencing names every channel at least once.
        if len(component_counts) != len(sizes):
            return []

        # With an LMN location the channels must also occur in its proportions;
        # only the ratio counts, so (2, 1, 1) accepts counts (2, 1, 1) and
        # (4, 2, 2) alike.
        if isinstance(components, GenicamComponents) and isinstance(components.location, LMNLocation):
            int_occurrences = components.location.fields
            if len(int_occurrences) != len(sizes):
                return []
            max_occurrence = int_value(max(int_occurrences))
            max_component_counts = int_value(max(component_counts.values()))
            for i_c, int_occurrence in enumerate(int_occurrences):
                o_adjusted = int_occurrence * max_component_counts
                # A channel that never matched occurs zero times; it can be
                # missing from the counts when the channels that matched are
                # as many as the sizes but not the first ones.
                count_adjusted = component_counts.get(i_c, 0) * max_occurrence
                if o_adjusted != count_adjusted:
                    return []

        try:
            instance = cls(tuple(extracted_components))
        except PixelFormatValueReject as e:
            logger.debug(f"Value rejected {e}")
            return []
        return [(instance, full_designation[i_f:])]

    def __eq__(self, other: object) -> bool:
        "Checks equality with another object."
        if not isinstance(other, ComponentsSequencing):
            return False
        return self.components == other.components
