# Type stubs of the _kelvo extension module. Its classes report "kelvo" as their module, and
# their stubs live in the kelvo package; this module re-exports them under its own names.

from kelvo import (
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

__all__ = [
    "CBOREncoder", "shareable_encoder", "CBORDecoder", "shareable_decoder", "CBORTag",
    "CBORSimpleValue", "frozendict", "CBORError", "CBOREncodeError", "CBOREncodeTypeError",
    "CBOREncodeValueError", "CBORDecodeError", "CBORDecodeEOF", "load", "loads", "dump",
    "dumps", "undefined",
]
