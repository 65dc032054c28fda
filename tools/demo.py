"""A short demonstration of what the module offers so far."""

import io
import sys

import _kelvo

print("GIL enabled:", sys._is_gil_enabled())
print("__all__:", _kelvo.__all__)

fp = io.BytesIO()
enc = _kelvo.CBOREncoder(fp)
written = enc.write(b"\x82\x01\x02")
print("CBOREncoder.write returned", written, "->", fp.getvalue().hex())


def hook(encoder, value):
    encoder.write(b"\xf6")


enc.default = hook
enc.encode(object())
print("encode(object()) with a default hook ->", fp.getvalue().hex())
