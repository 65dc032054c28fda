// The rows of the built-in tag table, sorted by tag number.
#include "decoder/tag_table.h"

#include "tags/datetimes.h"
#include "tags/numbers.h"
#include "tags/text_ip.h"

namespace kelvo {

namespace {

constexpr TagRow kRows[] = {
    {0, "string-form datetime", TagRowAction::Codec, decode_datetime_text},
    {1, "epoch-form datetime", TagRowAction::Codec, decode_datetime_epoch},
    {2, "positive bignum", TagRowAction::Codec, decode_positive_bignum},
    {3, "negative bignum", TagRowAction::Codec, decode_negative_bignum},
    {4, "decimal fraction", TagRowAction::Codec, decode_decimal_fraction},
    {5, "bigfloat", TagRowAction::Codec, decode_bigfloat},
    {25, "string reference", TagRowAction::StringReference, nullptr},
    {28, "shareable value", TagRowAction::Shareable, nullptr},
    {29, "shared reference", TagRowAction::SharedReference, nullptr},
    {30, "rational", TagRowAction::Codec, decode_rational},
    {35, "regular expression", TagRowAction::Codec, decode_regexp},
    {36, "MIME message", TagRowAction::Codec, decode_mime},
    {37, "UUID", TagRowAction::Codec, decode_uuid},
    {52, "IPv4 address", TagRowAction::Codec, decode_ipv4},
    {54, "IPv6 address", TagRowAction::Codec, decode_ipv6},
    {100, "epoch-form date", TagRowAction::Codec, decode_date_epoch},
    {256, "string namespace", TagRowAction::StringNamespace, nullptr},
    {258, "set", TagRowAction::Set, nullptr},
    {260, "IP address", TagRowAction::Codec, decode_ip_address},
    {261, "IP network", TagRowAction::Codec, decode_ip_network},
    {1004, "string-form date", TagRowAction::Codec, decode_date_text},
    {43000, "complex number", TagRowAction::Codec, decode_complex},
    {55799, "self-described CBOR value", TagRowAction::Identity, nullptr},
};

constexpr bool rows_sorted() {
    for (size_t i = 1; i < sizeof kRows / sizeof kRows[0]; ++i)
        if (kRows[i - 1].tag >= kRows[i].tag) return false;
    return true;
}
static_assert(rows_sorted(), "the tag table must be sorted by tag number");

}  // namespace

const TagRow *find_tag_row(uint64_t tag) {
    size_t lo = 0;
    size_t hi = sizeof kRows / sizeof kRows[0];
    while (lo < hi) {
        size_t mid = (lo + hi) / 2;
        if (kRows[mid].tag < tag)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < sizeof kRows / sizeof kRows[0] && kRows[lo].tag == tag ? &kRows[lo] : nullptr;
}

}  // namespace kelvo
