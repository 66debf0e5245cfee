"""Module for handling the size of pixel formats.

This module provides the `Size` class for representing the size of pixel formats
and methods for converting between designations and size representations.
"""

from __future__ import annotations

from dataclasses import dataclass

from corvella.pfnc.exceptions import PixelFormatValueReject

from ._checks import as_int, exact_str


@dataclass
class Size:
    # Assigned rather than written as a docstring: its indented lines are part
    # of the text, and Python 3.13+ would strip them from a docstring.
    __doc__ = (
        "Represents the size of a pixel format.\n"
        "\n"
        "    Attributes:\n"
        "        sizes (list[int]): A list of sizes for each channel.\n"
        "    "
    )

    sizes: list[int]

    def __post_init__(self) -> None:
        (
            "Size.__post_init__(self) -> None\n"
            "\n"
            "Check that the sizes are all coherent."
        )
        for a in self.sizes:
            if a <= 0:
                raise PixelFormatValueReject(f"Sizes must all be larger than 0 {self.sizes}.")

    def __len__(self) -> int:
        (
            "Size.__len__(self) -> int\n"
            "\n"
            "Returns the number of sizes.\n"
            "\n"
            "Returns:\n"
            "    int: The number of sizes."
        )
        return len(self.sizes)

    def __getitem__(self, item: int) -> int:
        (
            "Size.__getitem__(self, int item: int) -> int\n"
            "\n"
            "Gets the size at the specified index.\n"
            "\n"
            "Args:\n"
            "    item (int): The index of the size to retrieve.\n"
            "\n"
            "Returns:\n"
            "    int: The size at the specified index."
        )
        # A slice is not a number and is refused here, before the list sees it.
        item = as_int(item, "item")
        return self.sizes[item]

    def __eq__(self, other: object) -> bool:
        (
            "Size.__eq__(self, other: object) -> bool\n"
            "\n"
            "Checks if two Size instances are equal.\n"
            "\n"
            "Args:\n"
            "    other: The other Size instance to compare.\n"
            "\n"
            "Returns:\n"
            "    bool: True if the instances are equal, False otherwise."
        )
        # False rather than NotImplemented: Size([8]) == [8] must not be
        # handed to the list for a second opinion.
        if not isinstance(other, Size):
            return False
        return self.sizes == other.sizes

    def designation(self) -> str:
        (
            "Size.designation(self) -> str\n"
            "\n"
            "Computes the designation string for the Size instance.\n"
            "\n"
            "Returns:\n"
            "    str: The designation string."
        )
        # Read once: what the steps below run may rebind it.
        sizes = self.sizes
        if len(sizes) == 0:
            return ""
        # Channels that all share one size are written once: [8, 8, 8] is "8".
        if len(set(sizes)) <= 1:
            return str(sizes[0])
        # Mixed sizes are written in one fixed width each so that a reader can
        # cut them apart again: [10, 8] is "1008".
        width = len(str(int(max(sizes))))
        return "".join(str(size).zfill(width) for size in sizes)

    @staticmethod
    def from_designation(designation: str, number_of_channels: int) -> tuple["Size", str] | None:
        (
            "Size.from_designation(str designation: str, int number_of_channels: int) "
            "-> tuple['Size', str] | None\n"
            "\n"
            "Creates a Size instance from a designation string.\n"
            "\n"
            "Args:\n"
            "    designation (str): The designation string.\n"
            "    number_of_channels (int): The number of channels.\n"
            "\n"
            "Returns:\n"
            "    Optional[tuple[Size, str]]: A tuple containing the Size instance and the remaining substring."
        )
        designation = exact_str(designation, "designation")
        number_of_channels = as_int(number_of_channels, "number_of_channels")

        # A format without channels has no size piece: nothing is consumed.
        if number_of_channels == 0:
            return Size([]), designation
        if not designation:
            return None

        # One separating underscore may precede the digits; a second one is
        # not a separator any more and ends the reading below.
        if designation[0] == "_":
            designation = designation[1:]

        run_length = 0
        while run_length < len(designation) and designation[run_length].isdigit():
            run_length += 1
        digits = designation[:run_length]
        remaining = designation[run_length:]
        if not digits:
            return None

        # Digits that cannot be shared out evenly are one size for every
        # channel ("10" with 3 channels is 10 bits each). A zero here is an
        # error of the name, not an alternative reading, so it is not caught.
        if len(digits) % number_of_channels != 0:
            return Size([int(digits)] * number_of_channels), remaining

        digits_per_channel = len(digits) // number_of_channels
        if digits_per_channel <= 0:
            return None
        values = [
            int(digits[digits_per_channel * k : digits_per_channel * (k + 1)])
            for k in range(number_of_channels)
        ]
        # An even split with a zero chunk ("10" with 2 channels) is simply not
        # a reading of the text.
        try:
            return Size(values), remaining
        except PixelFormatValueReject:
            return None
