"""Vendor values: an unknown one is explained, a registered one reads as its name everywhere, at once."""

import threading

import numpy
import pytest

from corvella.pfnc import PixelFormat, decode, register_custom_format, unregister_custom_format
from corvella.pfnc._internal.registry import MappingSnapshot
from corvella.pfnc.exceptions import (DuplicateRegistrationError, NameReadError, NotRegisteredError,
                                      UnknownCodeError)
from corvella.pfnc.names.custom import CUSTOM_FORMATS

CODE = 0x810C0001  # a vendor's 12-bit format
NAME = "Mono12pmsb"


@pytest.fixture(autouse=True)
def vendors():
    snapshot = CUSTOM_FORMATS.snapshot()
    yield CUSTOM_FORMATS
    CUSTOM_FORMATS.restore(snapshot)


@pytest.mark.parametrize(
    ("code", "says"),
    [(0x810C0001, "bit 31 makes it a vendor's own value, of 12 bits per pixel (bits 23-16) and id 0x0001"),
     (0xFF20ABCD, "of 32 bits per pixel (bits 23-16) and id 0xABCD (bits 15-0)"),
     (0x80000000, "of 0 bits per pixel (bits 23-16) and id 0x0000")],
)
def test_an_unknown_vendor_value_is_explained(code, says):
    with pytest.raises(UnknownCodeError) as caught:
        PixelFormat.from_code(code)
    assert str(caught.value).startswith(f"no standard pixel format has the value 0x{code:08X}: ")
    assert says in str(caught.value) and "register_custom_format" in str(caught.value)


def test_an_unknown_standard_value_keeps_its_message():
    with pytest.raises(UnknownCodeError) as caught:
        PixelFormat.from_code(0x01080099)
    assert str(caught.value) == "no standard pixel format has the value 0x01080099"


def read_both():
    """The name the value reads as, the value the name reads with, and whether a strict reading takes it."""
    try:
        by_value = PixelFormat.from_code(CODE).name
    except UnknownCodeError:
        by_value = None
    try:
        strictly = PixelFormat.from_name(NAME, strict=True).name
    except NameReadError:
        strictly = None
    return by_value, PixelFormat.from_name(NAME).code, strictly


def test_a_registration_changes_the_memoised_readings_at_once():
    with pytest.raises(UnknownCodeError):
        PixelFormat.from_code(CODE)
    before = PixelFormat.from_name(NAME)
    assert before.code is None and PixelFormat.from_name(NAME) is before
    register_custom_format(CODE, NAME)
    assert read_both() == (NAME, CODE, NAME)
    assert PixelFormat.from_code(CODE) == PixelFormat.from_name(NAME) != before
    unregister_custom_format(CODE)
    with pytest.raises(UnknownCodeError):
        PixelFormat.from_code(CODE)
    assert PixelFormat.from_name(NAME) == before and read_both() == (None, None, None)


def test_another_thread_sees_a_registration_at_once():
    registered, seen = threading.Event(), []

    def reader():
        PixelFormat.from_name(NAME)  # a memoised reading from before
        registered.wait()
        seen.append(read_both())

    thread = threading.Thread(target=reader)
    thread.start()
    register_custom_format(CODE, NAME)
    registered.set()
    thread.join()
    assert seen == [(NAME, CODE, NAME)]


def test_threads_registering_at_once_each_keep_their_pair():
    names = ["Mono12pmsb", "Mono12g", "Mono12gmsb", "Mono12c2p"]
    codes = [0x810C0100 + i for i in range(len(names))]
    start = threading.Barrier(len(names))

    def churn(code, name):
        start.wait()
        for _ in range(50):
            register_custom_format(code, name)
            assert PixelFormat.from_code(code).name == name
            unregister_custom_format(code)
        register_custom_format(code, name)

    threads = [threading.Thread(target=churn, args=pair) for pair in zip(codes, names)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert dict(CUSTOM_FORMATS.snapshot().mapping) == dict(zip(codes, names))
    assert [PixelFormat.from_name(name).code for name in names] == codes


@pytest.mark.parametrize("code", [numpy.uint32(CODE), numpy.int64(CODE), numpy.uint64(CODE)])
def test_numpy_integers_are_values(code):
    register_custom_format(code, NAME)
    assert PixelFormat.from_code(CODE).code == CODE and type(PixelFormat.from_name(NAME).code) is int
    unregister_custom_format(code)
    assert list(CUSTOM_FORMATS) == []


@pytest.mark.parametrize(
    ("code", "name", "error", "says"),
    [(True, NAME, TypeError, "expected int, got bool"),
     (float(CODE), NAME, TypeError, "expected int, got float"),
     (str(CODE), NAME, TypeError, "expected int, got str"),
     (CODE, None, TypeError, "expected str, got NoneType"),
     (CODE, b"Mono12pmsb", TypeError, "expected str, got bytes"),
     (-1, NAME, ValueError, "outside 0..0xFFFFFFFF"),
     (1 << 32, NAME, ValueError, "outside 0..0xFFFFFFFF"),
     (0x010C0001, NAME, ValueError, "0x010C0001 is not a vendor value: its bit 31 is clear"),
     (0x81100001, NAME, ValueError, "0x81100001 says 16 bits per pixel (bits 23-16), but 'Mono12pmsb' takes 12"),
     (0x810B0001, "Mono10c3p32", ValueError, "but 'Mono10c3p32' takes 32 bits for 3 pixels"),
     (CODE, "Mono12P", NameReadError, "did you mean 'Mono12p'?"),
     (CODE, "Mono12p", ValueError, "'Mono12p' is a standard name, with the value 0x010C0047"),
     (0x81080001, "Mono8Signed", ValueError, "'Mono8Signed' is a legacy spelling of 'Mono8s', with the value"),
     (0x81100001, "R10_Deprecated", ValueError, "'R10_Deprecated' is a standard name")],
)
def test_a_registration_is_refused_and_changes_nothing(code, name, error, says):
    register_custom_format(0x81080005, "Mono8u")
    kept = CUSTOM_FORMATS.snapshot()
    with pytest.raises(error) as caught:
        register_custom_format(code, name)
    assert says in str(caught.value)
    assert CUSTOM_FORMATS.snapshot() == kept and PixelFormat.from_name("Mono8u").code == 0x81080005


@pytest.mark.parametrize(
    ("code", "name", "says"),
    [(0x81080005, "Mono8s", "'Mono8s' is a standard name"),
     (0x81080005, "Data8u", "0x81080005 is already registered for 'Mono8u'"),
     (0x81080006, "Mono8u", "'Mono8u' is already registered with 0x81080005")],
)
def test_a_value_or_a_name_already_taken_is_refused(code, name, says):
    register_custom_format(0x81080005, "Mono8u")
    with pytest.raises(ValueError, match=says) as caught:
        register_custom_format(code, name)
    assert isinstance(caught.value, DuplicateRegistrationError) == ("already" in says)
    register_custom_format(0x81080005, "Mono8u")  # the same pair again changes nothing
    assert dict(CUSTOM_FORMATS.snapshot().mapping) == {0x81080005: "Mono8u"}


@pytest.mark.parametrize(
    ("code", "error"),
    [(CODE, NotRegisteredError), (0x010C0047, ValueError), (True, TypeError), (None, TypeError)],
)
def test_unregistering_what_is_not_registered_is_refused(code, error):
    with pytest.raises(error):
        unregister_custom_format(code)
    assert isinstance(NotRegisteredError("x"), LookupError)


def test_a_snapshot_restores_the_pairs_and_the_readings():
    empty = CUSTOM_FORMATS.snapshot()
    register_custom_format(CODE, NAME)
    taken = CUSTOM_FORMATS.snapshot()
    CUSTOM_FORMATS.restore(empty)
    assert read_both() == (None, None, None)
    CUSTOM_FORMATS.restore(taken)
    CUSTOM_FORMATS.restore(taken)
    assert read_both() == (NAME, CODE, NAME)
    register_custom_format(0x81080005, "Mono8u")
    assert taken.mapping == {CODE: NAME}


@pytest.mark.parametrize(
    ("mapping", "error"),
    [({0x010C0001: NAME}, ValueError), ({CODE: "Mono12p"}, ValueError), ({CODE: NAME, 0x810C0002: NAME}, ValueError),
     ({CODE: 5}, TypeError), ({"0x810C0001": NAME}, TypeError)],
)
def test_a_snapshot_that_could_not_have_been_taken_is_refused(mapping, error):
    register_custom_format(0x81080005, "Mono8u")
    kept = CUSTOM_FORMATS.snapshot()
    with pytest.raises(error):
        CUSTOM_FORMATS.restore(MappingSnapshot(mapping))
    assert CUSTOM_FORMATS.snapshot() == kept


def test_decode_takes_the_value_and_follows_its_registration():
    data = bytes(range(1, 25))
    with pytest.raises(UnknownCodeError):
        decode(data, CODE, 8, 2)
    # The same value read as two formats in turn: a conversion plan must not outlive its registration.
    for name in ("Mono12pmsb", "Mono12g"):
        register_custom_format(CODE, name)
        numpy.testing.assert_array_equal(decode(data, CODE, 8, 2), decode(data, name, 8, 2))
        unregister_custom_format(CODE)
    assert not numpy.array_equal(decode(data, "Mono12pmsb", 8, 2), decode(data, "Mono12g", 8, 2))
