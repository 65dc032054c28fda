"""CBOR (RFC 8949) encoder and decoder for free-threaded CPython."""

import _kelvo
from _kelvo import *  # noqa: F401,F403

__all__ = list(_kelvo.__all__)
