"""CBOR (RFC 8949) encoder and decoder for free-threaded CPython."""

import _kelvo
from _kelvo import *  # noqa: F401,F403
from kelvo._version import __version__ as __version__

__all__ = list(_kelvo.__all__)
