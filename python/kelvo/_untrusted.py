"""Semantic decoders for input from parties that are not trusted."""

from collections.abc import Callable, Mapping
from types import MappingProxyType

from _kelvo import CBORTag


def _keep_as_tag(tag: int) -> Callable[[object, bool], object]:
    def keep(payload: object, immutable: bool) -> object:
        return CBORTag(tag, payload)

    keep.__qualname__ = keep.__name__ = f"keep_tag_{tag}"
    return keep


# Tags 35 (regular expression) and 36 (MIME message) hand their payload to the standard
# library's regular-expression compiler and e-mail parser, whose cost per input byte is far
# above the rest of the decoder (a short case-insensitive pattern full of character classes
# takes seconds to compile). This mapping keeps both as CBORTag values.
UNTRUSTED_SEMANTIC_DECODERS: Mapping[int, Callable[[object, bool], object]] = MappingProxyType(
    {35: _keep_as_tag(35), 36: _keep_as_tag(36)})
