"""Size, the number-of-bits piece, as the widths extension module builds it.

Reading and composing are compared with the reference model on generated
inputs in test_differential; these are the rules that comparison cannot see.
"""

import dataclasses
import inspect
import sys
import time

import pytest

import corvella.pfnc.genicam.widths as widths
from corvella.pfnc.exceptions import PixelFormatValueReject
from implementations import assert_same_function
from pfnc_model import widths as model

Size = widths.Size


# ---------------------------------------------------------------- the class

MEMBERS = ["__post_init__", "__len__", "__getitem__", "__eq__", "designation", "from_designation"]


def test_module_and_class_match_the_model():
    assert widths.__doc__ == model.__doc__
    assert [name for name in vars(widths) if not name.startswith("__")] == ["dataclass", "PixelFormatValueReject", "Size"]
    assert widths.PixelFormatValueReject is PixelFormatValueReject
    assert (Size.__doc__, Size.__annotations__) == (model.Size.__doc__, model.Size.__annotations__)
    assert Size.__bases__ == (object,) and type(Size) is type
    assert not Size.__dataclass_params__.frozen
    [field] = dataclasses.fields(Size)
    assert (field.name, field.type, field.default) == ("sizes", "list[int]", dataclasses.MISSING)
    assert [name for name in vars(Size) if name in MEMBERS] == MEMBERS
    match Size([5, 6, 5]):
        case Size([first, *_]):
            assert first == 5
    with pytest.raises(TypeError, match="unhashable type: 'Size'"):
        hash(Size([8]))
    with pytest.raises(TypeError, match=r"Size.__init__\(\) missing 1 required positional argument: 'sizes'"):
        Size()


@pytest.mark.parametrize("name", MEMBERS)
def test_member_matches_the_model(name):
    assert_same_function(getattr(Size, name), getattr(model.Size, name), "corvella.pfnc.genicam.widths")
    kinds = [isinstance(inspect.getattr_static(owner, name), staticmethod) for owner in (Size, model.Size)]
    assert kinds[0] == kinds[1]


def test_equality():
    class Sub(Size):
        pass

    class Always:
        def __eq__(self, other):
            return True

    assert Size([8, 8]) == Sub([8, 8]) and Size([5, 6]) != Size([6, 5]) and Size([8]) != Size((8,))
    assert not Size([8]) == Always()  # False, not NotImplemented: Always is never asked


class _Length:
    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length


def _outcome(call, arg):
    try:
        return call(arg)
    except Exception as e:
        return type(e), str(e)


@pytest.mark.parametrize("sizes", [
    [8, 8, 8], [], _Length(5), _Length(2**70), _Length(-1), _Length("3"), 8,
], ids=["list", "empty", "length", "huge", "negative", "not-an-int", "no-length"])
def test_length_asks_the_sizes_of_the_moment(sizes):
    outcomes = []
    for cls in (Size, model.Size):
        size = cls([8])
        size.sizes = sizes
        outcomes.append([_outcome(len, size), _outcome(bool, size)])
    assert outcomes[0] == outcomes[1]


def test_length_follows_a_patched_or_overridden_len(monkeypatch):
    class Shown(Size):
        sizes = property(lambda self: [1, 2], lambda self, value: None)

    class Own(Size):
        def __len__(self):
            return 9

    assert (len(Shown([8])), len(Own([8]))) == (2, 9)
    monkeypatch.setattr(Size, "__len__", lambda self: 7)
    assert (len(Size([8])), bool(Size([])), len(Shown([8]))) == (7, True, 7)
    monkeypatch.undo()
    assert (len(Size([8, 8])), bool(Size([])), len(Shown([8]))) == (2, False, 2)


# ---------------------------------------------------------------- composing


@pytest.mark.parametrize(
    "sizes, text",
    [
        ([-5, 100], "-05100"),
        ([-(2**63), 5], str(-(2**63)) + "5"),
        ([2**63 - 1, 1], str(2**63 - 1) + "1".zfill(19)),
        ([True, 1], "True"),
    ],
    ids=repr,
)
def test_designation_pads_like_zfill(sizes, text):
    size = Size([8])
    size.sizes = sizes
    assert size.designation() == text


# ---------------------------------------------------------------- reading


@pytest.mark.parametrize("length", [18, 19, 20, 38], ids=str)
def test_runs_around_a_machine_word(length):
    text = "9" * length
    assert Size.from_designation(text, 1)[0].sizes == [int(text)]
    assert Size.from_designation(text + text, 2)[0].sizes == [int(text)] * 2


# Runs read eight characters at a time, and a run that repeats its first
# channel is read once: the edges of both, in every script that has digits.
@pytest.mark.parametrize("text, channels", [
    ("12345678x", 1), ("1234567:8", 1), ("123/56789", 1), ("123456789012345678901234p", 3), ("0" * 16 + "/", 4),
    ("12121213", 4), ("31212121", 4), ("12341234", 2), ("1234123", 2), ("00000000", 8),
    ("\u0661\u0662\u0661\u0662", 2), ("\u0661\u0662\u0661\u0663", 2), ("\u00b2\u00b2", 2), ("8\u00b2", 1),
    ("\U0001d7ce" * 4, 2), ("99999999999999999999" * 2, 2), ("9" * 17 + ":", 1),
], ids=repr)
def test_runs_read_as_the_model_reads_them(text, channels):
    def reading(size_class):
        try:
            found = size_class.from_designation(text, channels)
        except Exception as error:
            return type(error).__name__
        return found and (found[0].sizes, found[1])

    assert reading(Size) == reading(model.Size)


def test_the_int_digit_limit_is_the_interpreters_own():
    limit = sys.get_int_max_str_digits()
    text = "9" * (limit + 1)
    sys.set_int_max_str_digits(0)
    try:
        assert Size.from_designation(text + "p", 1) == (Size([int(text)]), "p")
    finally:
        sys.set_int_max_str_digits(limit)


# ---------------------------------------------------------------- globals at call time


def test_size_is_looked_up_when_called(monkeypatch):
    class Sub(Size):
        pass

    with monkeypatch.context() as patch:
        patch.setattr(widths, "Size", Sub)
        for text, channels in [("8", 0), ("8", 3), ("565", 3)]:
            assert type(Size.from_designation(text, channels)[0]) is Sub
        assert Size([8]) != Size([8])  # __eq__ asks for the class of the moment too
        patch.delattr(widths, "Size")
        with pytest.raises(NameError, match="^name 'Size' is not defined$"):
            Size.from_designation("8", 1)
    assert type(Size.from_designation("565", 3)[0]) is Size and Size([8]) == Size([8])


def test_the_rejection_is_looked_up_when_called(monkeypatch):
    class Rejected(Exception):
        pass

    class Strict(Size):
        def __post_init__(self):
            raise PixelFormatValueReject("no")

    monkeypatch.setattr(widths, "PixelFormatValueReject", Rejected)
    with pytest.raises(Rejected, match=r"^Sizes must all be larger than 0 \[0\]\.$"):
        Size([0])
    assert Size.from_designation("10", 2) is None  # caught as the patched class
    with pytest.raises(Rejected):
        Size.from_designation("0", 3)  # the whole-run path lets it through
    monkeypatch.setattr(widths, "Size", Strict)
    with pytest.raises(PixelFormatValueReject, match="^no$"):
        Size.from_designation("1010", 2)  # no longer the class being caught


# ---------------------------------------------------------------- cost


def _best_times(calls, repeat=7):
    """The best time of each call, measured in turns so that a busy moment hits all of them."""
    best = [float("inf")] * len(calls)
    for _ in range(repeat):
        for i, call in enumerate(calls):
            start = time.perf_counter()
            try:
                call()
            except ValueError:  # past the digit limit
                pass
            best[i] = min(best[i], time.perf_counter() - start)
    return best


# Chunks read as small ints, which the interpreter shares: allocating many
# objects would measure the memory system rather than the reading.
@pytest.mark.parametrize(
    "make",
    [
        lambda n: ("00000008" * (n // 8), n // 8),
        lambda n: ("08" * (n // 2), n // 2),
        lambda n: (("\u0660" * 7 + "\u0668") * (n // 8), n // 8),
        lambda n: ("_" + "1" * n + "p", 3),  # one run, past the digit limit
        lambda n: ("8_" + "\u0661p" * (n // 2), 1),
    ],
    ids=["ascii-chunks", "short-chunks", "other-script-chunks", "whole-run", "long-rest"],
)
def test_reading_time_grows_linearly(make):
    megabyte = 1 << 20
    small, large = make(megabyte), make(4 * megabyte)
    small_time, large_time = _best_times([lambda: Size.from_designation(*small), lambda: Size.from_designation(*large)])
    # Four times the text: about four times the time; a quadratic reading takes sixteen.
    assert large_time < 10 * small_time, (small_time, large_time)
