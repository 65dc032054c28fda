// Process-wide references into the standard library: resolved on first use, kept for
// the life of the process, retried after a failed attempt.
#pragma once

#include "lib/once.h"

#include <cstdint>

namespace kelvo::stdlib {

struct ImportCell {
    OnceState once;
    const char *module;  // absolute module name
    const char *path;    // attribute path, names joined by "."
    bool must_be_type;   // a type cell: the result must be a type object
    PyObject *value;
};

PyObject *resolve(ImportCell &cell);

// Borrowed reference valid for the process's life, or NULL with the exception set.
inline PyObject *get(ImportCell &cell) {
    if (cell.once.filled()) return cell.value;
    return resolve(cell);
}

extern ImportCell datetime_fromisoformat, datetime_fromtimestamp, timezone_utc, date_fromordinal, date_fromisoformat,
    datetime_combine, datetime_tzinfo, int_from_bytes, decimal_Decimal, fractions_Fraction, re_compile, email_Parser,
    uuid_UUID, ipv4_address, ipv4_network, ipv4_interface, ipv6_address, ipv6_network, ipv6_interface, ip_address,
    ip_network, ip_interface, builtin_id, builtin_sorted, abc_mapping, abc_sequence, copy_deepcopy, io_raw_base,
    io_unsupported, sys_get_int_max_str_digits, abc_get_cache_token;

// An interned str made on first use, for the names the tag codecs look up besides the
// fixed ones below.
struct NameCell {
    OnceState once;
    const char *text;
    PyObject *value;
};
// Borrowed, never NULL unless memory ran out.
PyObject *get(NameCell &cell);

// datetime.time(): midnight without tzinfo.
PyObject *midnight();
// The decoder's break marker: a private object() made at module initialisation.
PyObject *break_marker();
// sys.maxsize as an unsigned integer; -1 with the exception set when it cannot be read.
int maxsize(uint64_t *out);
// Fills the two cells module initialisation fills eagerly.
int init_eager_cells();

enum class Name : int {
    update,
    decode,
    utf_8,
    kelvo_name,
    kelvo_immutable,
    join,
    seek,
    parsestr,
    bytes,
    as_tuple,
    tzinfo,
    big,
    strict,
    timestamp,
    isoformat,
    replace,
    utc_offset,
    Z,
    pattern,
    as_string,
    int_,
    packed,
    prefixlen,
    network_address,
    network,
    scope_id,
    rstrip,
    count_
};
// An interned str for one fixed name; borrowed, never NULL unless memory ran out.
PyObject *name(Name n);

}  // namespace kelvo::stdlib
