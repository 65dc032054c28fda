// The built-in tag table of the decoder: which tag numbers it decodes itself, the frame
// name each uses in error messages, and what each row does.
#pragma once

#include "lib/pyref.h"

#include <cstdint>

namespace kelvo {

// A tag codec: builds the value of a tag from its decoded payload (borrowed; always decoded
// immutable). Returns a new reference, or NULL with the exception set; the machine labels
// the exception with the row's name.
using TagDecoder = PyObject *(*)(PyObject *payload, bool immutable);

enum class TagRowAction : uint8_t {
    Codec,            // a frame whose payload goes to `decoder`
    StringReference,  // tag 25
    Shareable,        // tag 28: no frame, opens a shareable slot
    SharedReference,  // tag 29
    StringNamespace,  // tag 256: no frame, opens a string namespace
    Set,              // tag 258
    Identity,         // tag 55799: the payload itself
};

struct TagRow {
    uint64_t tag;
    const char *name;
    TagRowAction action;
    // For Codec rows. A row whose codec is not built in yet has none; its tags decode as
    // CBORTag values until it arrives.
    TagDecoder decoder;
};

// The row for a tag number, or nullptr when the table has none.
const TagRow *find_tag_row(uint64_t tag);

}  // namespace kelvo
