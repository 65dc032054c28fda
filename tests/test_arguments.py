"""Argument matching and conversion rules shared by every callable."""

import collections.abc
import io
import sys

import pytest

from _kelvo import CBOREncoder


class bool_:
    """Stands in for numpy.bool_: the conversion recognises it by name and module."""

    __module__ = "numpy"

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


class NoBool:
    __module__ = "numpy"


NoBool.__name__ = NoBool.__qualname__ = "bool_"


def enc():
    return CBOREncoder(io.BytesIO())


MATCHING = [
    (lambda: CBOREncoder(), "CBOREncoder.__new__() missing 1 required positional argument: 'fp'"),
    (lambda: CBOREncoder(io.BytesIO(), 1),
     "CBOREncoder.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: CBOREncoder(io.BytesIO(), bogus=1),
     "CBOREncoder.__new__() got an unexpected keyword argument 'bogus'"),
    (lambda: CBOREncoder(io.BytesIO(), fp=io.BytesIO()),
     "CBOREncoder.__new__() got multiple values for argument 'fp'"),
    (lambda: CBOREncoder(canonical=True),
     "CBOREncoder.__new__() missing 1 required positional argument: 'fp'"),
    (lambda: enc().encode(), "CBOREncoder.encode() missing 1 required positional argument: 'obj'"),
    (lambda: enc().encode(1, 2), "CBOREncoder.encode() takes 1 positional arguments but 2 were given"),
    (lambda: enc().encode(obj=1),
     "CBOREncoder.encode() got some positional-only arguments passed as keyword arguments: 'obj'"),
    (lambda: enc().encode_to_bytes(1, x=2),
     "CBOREncoder.encode_to_bytes() got an unexpected keyword argument 'x'"),
    (lambda: enc().write(), "CBOREncoder.write() missing 1 required positional argument: 'buf'"),
    (lambda: enc().write(buf=b""),
     "CBOREncoder.write() got some positional-only arguments passed as keyword arguments: 'buf'"),
]


@pytest.mark.parametrize("call,message", MATCHING)
def test_argument_matching_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not hasattr(info.value, "__notes__")


def test_keyword_order_is_as_given():
    # The first broken rule in keyword order decides the message.
    with pytest.raises(TypeError, match="unexpected keyword argument 'zzz'"):
        CBOREncoder(io.BytesIO(), zzz=1, fp=2)
    with pytest.raises(TypeError, match="multiple values for argument 'fp'"):
        CBOREncoder(io.BytesIO(), fp=2, zzz=1)


BOOL_CASES = [
    (1, TypeError, "'int' object is not an instance of 'bool'"),
    (None, TypeError, "'None' is not an instance of 'bool'"),
    ("yes", TypeError, "'str' object is not an instance of 'bool'"),
    (NoBool(), TypeError, "object of type 'bool_' does not define a '__bool__' conversion"),
]


@pytest.mark.parametrize("value,exc,message", BOOL_CASES)
def test_bool_conversion_failures(value, exc, message):
    with pytest.raises(exc) as info:
        CBOREncoder(io.BytesIO(), canonical=value)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'canonical'"]


@pytest.mark.parametrize("value,expected", [(True, True), (False, False), (bool_(True), True),
                                            (bool_(False), False)])
def test_bool_conversion_accepts(value, expected):
    assert CBOREncoder(io.BytesIO(), value_sharing=value).value_sharing is expected


def test_bool_options_convert_in_parameter_order():
    with pytest.raises(TypeError) as info:
        CBOREncoder(io.BytesIO(), indefinite_containers=1, datetime_as_timestamp=2)
    assert info.value.__notes__ == ["while processing 'datetime_as_timestamp'"]


class AbcMapping(collections.abc.Mapping):
    def __getitem__(self, key):
        raise KeyError(key)

    def __iter__(self):
        return iter(())

    def __len__(self):
        return 0


class RaisingMeta(type):
    def __instancecheck__(cls, obj):
        raise ZeroDivisionError("from isinstance")


def test_mapping_conversion():
    assert CBOREncoder(io.BytesIO(), encoders={}) is not None
    assert CBOREncoder(io.BytesIO(), encoders=AbcMapping()) is not None
    assert CBOREncoder(io.BytesIO(), encoders=None) is not None
    with pytest.raises(TypeError) as info:
        CBOREncoder(io.BytesIO(), encoders=[])
    assert str(info.value) == "'list' object is not an instance of 'Mapping'"
    assert info.value.__notes__ == ["while processing 'encoders'"]


def test_mapping_check_that_raises_is_unraisable(monkeypatch):
    class Odd:
        __class__ = property(lambda self: (_ for _ in ()).throw(ZeroDivisionError("odd")))

    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_type))
    with pytest.raises(TypeError, match="is not an instance of 'Mapping'"):
        CBOREncoder(io.BytesIO(), encoders=Odd())
    assert seen == [ZeroDivisionError]


WRITE_OK = [
    (b"ab", b"ab"),
    (bytearray(b"cd"), b"cd"),
    ([1, 2, 255], b"\x01\x02\xff"),
    ((0,), b"\x00"),
    (memoryview(b"xy"), b"xy"),
]


@pytest.mark.parametrize("buf,expected", WRITE_OK)
def test_byte_vector_conversion(buf, expected, bio):
    e = CBOREncoder(bio)
    assert e.write(buf) == len(expected)
    assert bio.getvalue() == expected


WRITE_BAD = [
    ("abc", TypeError, "Can't extract `str` to `Vec`"),
    (5, TypeError, "'int' object is not an instance of 'Sequence'"),
    (None, TypeError, "'None' is not an instance of 'Sequence'"),
    ([1, 256], OverflowError, "out of range integral type conversion attempted"),
    ([-1], OverflowError, "out of range integral type conversion attempted"),
    ([1, "a"], TypeError, "'str' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("buf,exc,message", WRITE_BAD)
def test_byte_vector_conversion_failures(buf, exc, message, bio):
    with pytest.raises(exc) as info:
        CBOREncoder(bio).write(buf)
    assert str(info.value) == message
    assert info.value.__notes__ == ["while processing 'buf'"]
    assert bio.getvalue() == b""
