// Numbers: the encoders of Decimal, Fraction and complex values and the decoders of tags
// 2, 3, 4, 5, 30 and 43000.
#pragma once

#include "encoder/encoder.h"

namespace kelvo {

// Encoders (rows of the standard-library table, and the complex step of the dispatch);
// no access held on entry. 0 or -1.
int encode_decimal(EncoderObject *enc, PyObject *obj);
int encode_rational(EncoderObject *enc, PyObject *obj);
int encode_complex(EncoderObject *enc, PyObject *obj);
// encode_complex for the method: refuses anything but a complex.
int encode_complex_checked(EncoderObject *enc, PyObject *obj);

// Tag decoders (see TagDecoder): the payload is borrowed, the result a new reference.
PyObject *decode_positive_bignum(PyObject *payload, bool immutable);   // tag 2
PyObject *decode_negative_bignum(PyObject *payload, bool immutable);   // tag 3
PyObject *decode_decimal_fraction(PyObject *payload, bool immutable);  // tag 4
PyObject *decode_bigfloat(PyObject *payload, bool immutable);          // tag 5
PyObject *decode_rational(PyObject *payload, bool immutable);          // tag 30
PyObject *decode_complex(PyObject *payload, bool immutable);           // tag 43000

}  // namespace kelvo
