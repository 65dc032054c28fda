// The semantic-tag registry: every Python type the encoder writes through a tag codec, every
// encoder method that writes one, and every tag number the decoder reads itself, one row each.
// A new tag family is one tags/*.cpp unit (its codecs) plus its rows here (and its tag numbers
// in lib/cbor.h).
#pragma once

#include "encoder/encoder.h"
#include "lib/args.h"
#include "lib/cbor.h"
#include "lib/once.h"
#include "lib/pyref.h"

#include <cstdint>

namespace kelvo {

// ---- Writing

// An encoder of one value: called with no access held on the encoder; 0, or -1 with the
// exception set.
using SemanticEncoder = int (*)(EncoderObject *enc, PyObject *obj);

// The standard-library types the dispatch recognises by exact type, in dispatch order:
//   X(row, module, type name, encoder)
#define KELVO_TYPE_ROWS(X)                                                 \
    X(datetime, "datetime", "datetime", encode_datetime)                   \
    X(date, "datetime", "date", encode_date)                               \
    X(decimal, "decimal", "Decimal", encode_decimal)                       \
    X(fraction, "fractions", "Fraction", encode_rational)                  \
    X(uuid, "uuid", "UUID", encode_uuid)                                   \
    X(regexp, "re", "Pattern", encode_regexp)                              \
    X(ipv4_address, "ipaddress", "IPv4Address", encode_ipv4_address)       \
    X(ipv4_network, "ipaddress", "IPv4Network", encode_ipv4_network)       \
    X(ipv4_interface, "ipaddress", "IPv4Interface", encode_ipv4_interface) \
    X(ipv6_address, "ipaddress", "IPv6Address", encode_ipv6_address)       \
    X(ipv6_network, "ipaddress", "IPv6Network", encode_ipv6_network)       \
    X(ipv6_interface, "ipaddress", "IPv6Interface", encode_ipv6_interface) \
    X(mime, "email.mime.text", "MIMEText", encode_mime)

// The CBOREncoder methods `name(obj)` that write one value through a tag codec:
//   X(method name, encoder)
#define KELVO_TAG_METHODS(X)                        \
    X(encode_datetime, encode_datetime)             \
    X(encode_date, encode_date)                     \
    X(encode_decimal, encode_decimal)               \
    X(encode_rational, encode_rational)             \
    X(encode_complex, encode_complex_checked)       \
    X(encode_regexp, encode_regexp)                 \
    X(encode_mime, encode_mime)                     \
    X(encode_uuid, encode_uuid)                     \
    X(encode_ipv4_address, encode_ipv4_address)     \
    X(encode_ipv4_network, encode_ipv4_network)     \
    X(encode_ipv4_interface, encode_ipv4_interface) \
    X(encode_ipv6_address, encode_ipv6_address)     \
    X(encode_ipv6_network, encode_ipv6_network)     \
    X(encode_ipv6_interface, encode_ipv6_interface)

#define KELVO_REGISTRY_DECLARE_ENCODER(row, encoder) int encoder(EncoderObject *enc, PyObject *obj);
#define KELVO_REGISTRY_DECLARE_TYPE_ENCODER(row, module, type, encoder) KELVO_REGISTRY_DECLARE_ENCODER(row, encoder)
KELVO_TYPE_ROWS(KELVO_REGISTRY_DECLARE_TYPE_ENCODER)
KELVO_TAG_METHODS(KELVO_REGISTRY_DECLARE_ENCODER)
#undef KELVO_REGISTRY_DECLARE_TYPE_ENCODER
#undef KELVO_REGISTRY_DECLARE_ENCODER
// The dispatch's complex step (not a table row: complex is a built-in type).
int encode_complex(EncoderObject *enc, PyObject *obj);

enum class TypeRow : int {
#define KELVO_REGISTRY_ROW_NAME(row, ...) row,
    KELVO_TYPE_ROWS(KELVO_REGISTRY_ROW_NAME)
#undef KELVO_REGISTRY_ROW_NAME
        count_
};
constexpr int kTypeRows = static_cast<int>(TypeRow::count_);

// The encoders of the rows, in row order.
extern const SemanticEncoder kTypeEncoders[kTypeRows];
// The type objects of the rows, in row order, once built (read on every value the dispatch
// passes to the table, hence inline).
extern OnceState g_type_table_once;
extern PyObject *g_type_table[kTypeRows];
// Builds the table: imports every module the rows name. NULL with the exception set.
PyObject *const *build_type_table();
// The table when it has been built, else nullptr (never builds it).
inline PyObject *const *built_type_table() { return g_type_table_once.filled() ? g_type_table : nullptr; }
// The table, built on first use; NULL with the exception set.
inline PyObject *const *type_table() {
    PyObject *const *rows = built_type_table();
    return rows != nullptr ? rows : build_type_table();
}
// The type of one row when the table has been built, else nullptr (never builds it).
inline PyObject *type_row_type(TypeRow row) {
    PyObject *const *rows = built_type_table();
    return rows != nullptr ? rows[static_cast<int>(row)] : nullptr;
}

// The ArgumentSpec of each method.
#define KELVO_REGISTRY_METHOD_SPEC(method, encoder) extern const ArgumentSpec k_##method;
KELVO_TAG_METHODS(KELVO_REGISTRY_METHOD_SPEC)
#undef KELVO_REGISTRY_METHOD_SPEC

// ---- Reading

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
    const char *name;  // the frame name in error messages
    TagRowAction action;
    TagDecoder decoder;  // Codec rows only (the table checks that each has one)
};

// The tag numbers the decoder reads itself, sorted by number (the table checks it):
//   CODEC(number, frame name, decoder): the payload goes to the decoder
//   BUILTIN(number, frame name, action): the machine acts on it
#define KELVO_TAG_ROWS(CODEC, BUILTIN)                                              \
    CODEC(cbor::tag::kDatetimeText, "string-form datetime", decode_datetime_text)   \
    CODEC(cbor::tag::kDatetimeEpoch, "epoch-form datetime", decode_datetime_epoch)  \
    CODEC(cbor::tag::kPositiveBignum, "positive bignum", decode_positive_bignum)    \
    CODEC(cbor::tag::kNegativeBignum, "negative bignum", decode_negative_bignum)    \
    CODEC(cbor::tag::kDecimalFraction, "decimal fraction", decode_decimal_fraction) \
    CODEC(cbor::tag::kBigfloat, "bigfloat", decode_bigfloat)                        \
    BUILTIN(cbor::tag::kStringReference, "string reference", StringReference)       \
    BUILTIN(cbor::tag::kShareable, "shareable value", Shareable)                    \
    BUILTIN(cbor::tag::kSharedReference, "shared reference", SharedReference)       \
    CODEC(cbor::tag::kRational, "rational", decode_rational)                        \
    CODEC(cbor::tag::kRegexp, "regular expression", decode_regexp)                  \
    CODEC(cbor::tag::kMime, "MIME message", decode_mime)                            \
    CODEC(cbor::tag::kUuid, "UUID", decode_uuid)                                    \
    CODEC(cbor::tag::kIPv4, "IPv4 address", decode_ipv4)                            \
    CODEC(cbor::tag::kIPv6, "IPv6 address", decode_ipv6)                            \
    CODEC(cbor::tag::kDateEpoch, "epoch-form date", decode_date_epoch)              \
    BUILTIN(cbor::tag::kStringNamespace, "string namespace", StringNamespace)       \
    BUILTIN(cbor::tag::kSet, "set", Set)                                            \
    CODEC(cbor::tag::kIPAddress, "IP address", decode_ip_address)                   \
    CODEC(cbor::tag::kIPNetwork, "IP network", decode_ip_network)                   \
    CODEC(cbor::tag::kDateText, "string-form date", decode_date_text)               \
    CODEC(cbor::tag::kComplex, "complex number", decode_complex)                    \
    BUILTIN(cbor::tag::kSelfDescribed, "self-described CBOR value", Identity)

#define KELVO_REGISTRY_DECLARE_DECODER(number, name, decoder) PyObject *decoder(PyObject *payload, bool immutable);
KELVO_TAG_ROWS(KELVO_REGISTRY_DECLARE_DECODER, KELVO_OPTION_NOTHING)
#undef KELVO_REGISTRY_DECLARE_DECODER

// The row for a tag number, or nullptr when the table has none.
const TagRow *find_tag_row(uint64_t tag);

}  // namespace kelvo
