"""Vendor values: an unknown one is explained, a registered one reads as its name everywhere, at once."""

import threading

import numpy
import pytest

from corvella.pfnc import PixelFormat, decode, register_custom_format, unregister_custom_format
from corvella.pfnc._internal.registry import MappingSnapshot
from corvella.pfnc.exceptions import DuplicateRegistrationError, NameReadError, NotRegisteredError, UnknownCodeError
from corvella.pfnc.names.custom import CUSTOM_FORMATS

CODE, NAME, DATA = 0x810C0001, "Mono12pmsb", bytes(range(1, 25))  # a vendor's 12-bit format


@pytest.fixture(autouse=True)
def vendors():
    snapshot = CUSTOM_FORMATS.snapshot()
    yield
    CUSTOM_FORMATS.restore(snapshot)


@pytest.mark.parametrize(("code", "says"), [
    (0x01080099, "no standard pixel format has the value 0x01080099"),
    (0xFF20ABCD, "no standard pixel format has the value 0xFF20ABCD: bit 31 makes it a vendor's own value, of 32 bits"
                 " per pixel (bits 23-16) and id 0xABCD (bits 15-0); register_custom_format gives it a name")])
def test_an_unknown_value_is_explained(code, says):
    with pytest.raises(UnknownCodeError) as caught:
        PixelFormat.from_code(code)
    assert str(caught.value) == says


def readings():
    """What the value reads as, the name's value, and whether a strict reading takes the name."""
    by_value = strictly = None
    try:
        by_value = PixelFormat.from_code(CODE).name
        strictly = PixelFormat.from_name(NAME, strict=True).name
    except (UnknownCodeError, NameReadError):
        pass
    return by_value, PixelFormat.from_name(NAME).code, strictly, decode(DATA, NAME, 8, 2).tolist()


@pytest.mark.parametrize("code", [CODE, numpy.uint32(CODE), numpy.int64(CODE)])
def test_a_registration_changes_the_memoised_readings_at_once_in_every_thread(code):
    before, seen, registered = readings(), [], threading.Event()
    thread = threading.Thread(target=lambda: (readings(), registered.wait(), seen.append(readings())))
    thread.start()
    register_custom_format(code, NAME)
    registered.set()
    thread.join()
    assert seen == [readings()] == [(NAME, CODE, NAME, before[3])] and type(readings()[1]) is int
    assert decode(DATA, CODE, 8, 2).tolist() == before[3]
    taken = CUSTOM_FORMATS.snapshot()
    unregister_custom_format(code)
    assert readings() == before == (None, None, None, before[3])
    CUSTOM_FORMATS.restore(taken)
    CUSTOM_FORMATS.restore(taken)
    assert readings() == seen[0] and taken.mapping == {CODE: NAME}
    CUSTOM_FORMATS.restore(MappingSnapshot({}))
    # The same value for another format: its conversion plan must not outlive the first registration.
    register_custom_format(CODE, "Mono12g")
    assert decode(DATA, CODE, 8, 2).tolist() == decode(DATA, "Mono12g", 8, 2).tolist() != before[3]


@pytest.mark.parametrize(("call", "error", "says"), [
    ((True, NAME), TypeError, "expected int, got bool"), ((float(CODE), NAME), TypeError, "expected int, got float"),
    ((CODE, b"Mono12pmsb"), TypeError, "expected str, got bytes"), ((1 << 32, NAME), ValueError, "outside 0..0xFFFFFFFF"),
    ((0x010C0001, NAME), ValueError, "0x010C0001 is not a vendor value: its bit 31 is clear"),
    ((0x81100001, NAME), ValueError, "0x81100001 says 16 bits per pixel (bits 23-16), but 'Mono12pmsb' takes 12"),
    ((0x810B0001, "Mono10c3p32"), ValueError, "but 'Mono10c3p32' takes 32 bits for 3 pixels"),
    ((CODE, "Mono12P"), NameReadError, "did you mean 'Mono12p'?"),
    ((CODE, "Mono12p"), ValueError, "'Mono12p' is a standard name, with the value 0x010C0047"),
    ((0x81080001, "Mono8Signed"), ValueError, "'Mono8Signed' is a legacy spelling of 'Mono8s', with the value"),
    ((0x81080005, "Data8u"), DuplicateRegistrationError, "0x81080005 is already registered for 'Mono8u'"),
    ((0x81080006, "Mono8u"), DuplicateRegistrationError, "'Mono8u' is already registered with 0x81080005"),
    ((CODE,), NotRegisteredError, "0x810C0001 is not registered"), ((0x01080001,), ValueError, "bit 31 is clear"),
    ((MappingSnapshot({CODE: NAME, 0x810C0002: NAME}),), ValueError, "the snapshot gives 'Mono12pmsb' two values"),
    ((MappingSnapshot({CODE: "Mono12p"}),), ValueError, "standard name"),
    ((MappingSnapshot({CODE: 5}),), TypeError, "expected str")])
def test_a_refusal_changes_nothing(call, error, says):
    register_custom_format(0x81080005, "Mono8u")
    register_custom_format(0x81080005, "Mono8u")  # the same pair again changes nothing
    kept = CUSTOM_FORMATS.snapshot()
    act = {1: CUSTOM_FORMATS.restore if isinstance(call[0], MappingSnapshot) else unregister_custom_format}
    with pytest.raises(error) as caught:
        act.get(len(call), register_custom_format)(*call)
    assert says in str(caught.value) and CUSTOM_FORMATS.snapshot() == kept == MappingSnapshot({0x81080005: "Mono8u"})
