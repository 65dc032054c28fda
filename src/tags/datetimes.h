// Dates and times: the encoders of datetime and date values and the decoders of tags 0,
// 1, 100 and 1004.
#pragma once

#include "encoder/encoder.h"

namespace kelvo {

// Encoders (rows of the standard-library table); no access held on entry. 0 or -1.
int encode_datetime(EncoderObject *enc, PyObject *obj);
int encode_date(EncoderObject *enc, PyObject *obj);

// Tag decoders (see TagDecoder): the payload is borrowed, the result a new reference.
PyObject *decode_datetime_text(PyObject *payload, bool immutable);   // tag 0
PyObject *decode_datetime_epoch(PyObject *payload, bool immutable);  // tag 1
PyObject *decode_date_epoch(PyObject *payload, bool immutable);      // tag 100
PyObject *decode_date_text(PyObject *payload, bool immutable);       // tag 1004

}  // namespace kelvo
