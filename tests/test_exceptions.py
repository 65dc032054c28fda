import pytest

from _kelvo import CBORDecodeEOF, CBORDecodeError, CBOREncodeError, CBOREncodeTypeError, CBOREncodeValueError, CBORError

DOCS = {
    CBORError: "Base class for errors that occur during CBOR encoding or decoding.",
    CBOREncodeError: "Raised for exceptions occurring during CBOR encoding.",
    CBOREncodeTypeError: "Raised when attempting to encode a type that cannot be serialized.",
    CBOREncodeValueError: "Raised when the CBOR encoder encounters an invalid value.",
    CBORDecodeError: "Raised for exceptions occurring during CBOR decoding.",
    CBORDecodeEOF: "Raised when decoding unexpectedly reaches EOF.",
}
BASES = {
    CBORError: Exception,
    CBOREncodeError: CBORError,
    CBOREncodeTypeError: CBOREncodeError,
    CBOREncodeValueError: CBOREncodeError,
    CBORDecodeError: CBORError,
    CBORDecodeEOF: CBORDecodeError,
}


@pytest.mark.parametrize("exc", list(DOCS))
def test_exception_class_shape(exc):
    assert exc.__doc__ == DOCS[exc]
    assert exc.__bases__ == (BASES[exc],)
    assert exc.__module__ == "kelvo"
    assert exc.__qualname__ == exc.__name__
    assert str(exc("x")) == "x"


def test_hierarchy():
    assert CBORDecodeEOF.__mro__ == (CBORDecodeEOF, CBORDecodeError, CBORError, Exception,
                                     BaseException, object)
    assert not issubclass(CBOREncodeTypeError, TypeError)
    assert not issubclass(CBOREncodeValueError, ValueError)
    assert not issubclass(CBORDecodeError, ValueError)
    assert not issubclass(CBORDecodeEOF, EOFError)


def test_exceptions_can_be_subclassed():
    class Mine(CBORDecodeError):
        pass

    with pytest.raises(CBORError):
        raise Mine("boom")
