"""Vendor pixel formats: teach the package the 32-bit value a camera reports for a name of its own."""

from corvella.pfnc._internal.registry import MappingSnapshot, Registry

__all__ = ["CUSTOM_FORMATS", "CustomFormatRegistry", "register_custom_format", "unregister_custom_format"]

VENDOR_BIT: int

def checked_code(value: object, argument: str) -> int: ...

class CustomFormatRegistry(Registry[int, str]):
    """Vendor values and the names they stand for: each value one name, each name one value."""

    def __init__(self) -> None: ...
    # A value and its name, where a plain registry takes a name and its value.
    def register(self, code: int, name: str) -> None: ...  # type: ignore[override]
    def unregister(self, code: int) -> None: ...
    def restore(self, snap: MappingSnapshot[int, str]) -> None: ...
    def code_of(self, name: str) -> int | None: ...

CUSTOM_FORMATS: CustomFormatRegistry

def register_custom_format(code: int, name: str) -> None: ...
def unregister_custom_format(code: int) -> None: ...
