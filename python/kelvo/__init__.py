"""CBOR (RFC 8949) encoder and decoder, written in C++ for free-threaded CPython."""

from _kelvo import (
    CBORDecodeEOF as CBORDecodeEOF,
    CBORDecodeError as CBORDecodeError,
    CBORDecoder as CBORDecoder,
    CBOREncodeError as CBOREncodeError,
    CBOREncodeTypeError as CBOREncodeTypeError,
    CBOREncodeValueError as CBOREncodeValueError,
    CBOREncoder as CBOREncoder,
    CBORError as CBORError,
    CBORSimpleValue as CBORSimpleValue,
    CBORTag as CBORTag,
    dump as dump,
    dumps as dumps,
    frozendict as frozendict,
    load as load,
    loads as loads,
    shareable_decoder as shareable_decoder,
    shareable_encoder as shareable_encoder,
    undefined as undefined,
)
from kelvo._diag import EDNError as EDNError, diag as diag, from_diag as from_diag
from kelvo._untrusted import UNTRUSTED_SEMANTIC_DECODERS as UNTRUSTED_SEMANTIC_DECODERS
from kelvo._sequence import dump_seq as dump_seq, dumps_seq as dumps_seq, iterload as iterload
from kelvo._version import __version__ as __version__

__all__ = [
    "CBOREncoder", "shareable_encoder", "CBORDecoder", "shareable_decoder", "CBORTag",
    "CBORSimpleValue", "frozendict", "CBORError", "CBOREncodeError", "CBOREncodeTypeError",
    "CBOREncodeValueError", "CBORDecodeError", "CBORDecodeEOF", "load", "loads", "dump",
    "dumps", "undefined", "iterload", "dump_seq", "dumps_seq", "UNTRUSTED_SEMANTIC_DECODERS",
    "diag", "from_diag", "EDNError",
]
