// Standard-library references and interned names, resolved on first use and kept.
#include "lib/stdlib.h"

#include "lib/errors.h"

#include <cstring>

namespace kelvo::stdlib {

#define KELVO_CELL(var, mod, path, is_type) ImportCell var = {{0, 0}, mod, path, is_type, nullptr}

KELVO_CELL(datetime_fromisoformat, "datetime", "datetime.fromisoformat", false);
KELVO_CELL(datetime_fromtimestamp, "datetime", "datetime.fromtimestamp", false);
KELVO_CELL(timezone_utc, "datetime", "timezone.utc", false);
KELVO_CELL(date_fromordinal, "datetime", "date.fromordinal", false);
KELVO_CELL(date_fromisoformat, "datetime", "date.fromisoformat", false);
KELVO_CELL(datetime_combine, "datetime", "datetime.combine", false);
KELVO_CELL(datetime_tzinfo, "datetime", "tzinfo", false);
KELVO_CELL(int_from_bytes, "builtins", "int.from_bytes", false);
KELVO_CELL(decimal_Decimal, "decimal", "Decimal", false);
KELVO_CELL(fractions_Fraction, "fractions", "Fraction", false);
KELVO_CELL(re_compile, "re", "compile", false);
KELVO_CELL(email_Parser, "email.parser", "Parser", false);
KELVO_CELL(uuid_UUID, "uuid", "UUID", false);
KELVO_CELL(ipv4_address, "ipaddress", "IPv4Address", false);
KELVO_CELL(ipv4_network, "ipaddress", "IPv4Network", false);
KELVO_CELL(ipv4_interface, "ipaddress", "IPv4Interface", false);
KELVO_CELL(ipv6_address, "ipaddress", "IPv6Address", false);
KELVO_CELL(ipv6_network, "ipaddress", "IPv6Network", false);
KELVO_CELL(ipv6_interface, "ipaddress", "IPv6Interface", false);
KELVO_CELL(ip_address, "ipaddress", "ip_address", false);
KELVO_CELL(ip_network, "ipaddress", "ip_network", false);
KELVO_CELL(ip_interface, "ipaddress", "ip_interface", false);
KELVO_CELL(builtin_id, "builtins", "id", false);
KELVO_CELL(builtin_sorted, "builtins", "sorted", false);
KELVO_CELL(abc_mapping, "collections.abc", "Mapping", true);
KELVO_CELL(abc_sequence, "collections.abc", "Sequence", true);
KELVO_CELL(copy_deepcopy, "copy", "deepcopy", false);
KELVO_CELL(io_raw_base, "io", "RawIOBase", true);
KELVO_CELL(io_unsupported, "io", "UnsupportedOperation", true);
KELVO_CELL(sys_get_int_max_str_digits, "sys", "get_int_max_str_digits", false);
KELVO_CELL(abc_get_cache_token, "abc", "get_cache_token", false);

#undef KELVO_CELL

namespace {

int check_type(PyObject *obj) {
    if (PyType_Check(obj)) return 0;
    return raise_not_instance(obj, "type");
}

// Imports `module` and follows the dotted attribute path. New reference or NULL.
PyObject *import_path(const char *module, const char *path) {
    Ref name(PyUnicode_FromString(module));
    if (!name) return nullptr;
    Ref cur(PyImport_Import(name.get()));
    const char *p = path;
    while (cur && *p != '\0') {
        const char *dot = strchr(p, '.');
        size_t n = dot != nullptr ? static_cast<size_t>(dot - p) : strlen(p);
        Ref attr_name(PyUnicode_FromStringAndSize(p, static_cast<Py_ssize_t>(n)));
        if (!attr_name) return nullptr;
        cur.reset(PyObject_GetAttr(cur.get(), attr_name.get()));
        p += n;
        if (*p == '.') ++p;
    }
    return cur.release();
}

OnceState g_midnight_once;
PyObject *g_midnight;
OnceState g_marker_once;
PyObject *g_marker;
OnceState g_maxsize_once;
PyObject *g_maxsize;  // the int object; converted on each read (a few instructions)
uint64_t g_maxsize_value;

const char *const kNames[] = {"update",  "decode",    "utf-8",     "_kelvo_name", "_kelvo_immutable", "join",
                              "seek",    "parsestr",  "bytes",     "as_tuple",    "tzinfo",           "big",
                              "strict",  "timestamp", "isoformat", "replace",     "+00:00",           "Z",
                              "pattern", "as_string", "int",       "packed",      "prefixlen",        "network_address",
                              "network", "scope_id",  "rstrip"};
static_assert(sizeof kNames / sizeof kNames[0] == static_cast<size_t>(Name::count_));
OnceState g_name_once[static_cast<int>(Name::count_)];
PyObject *g_names[static_cast<int>(Name::count_)];

}  // namespace

PyObject *resolve(ImportCell &cell) {
    return once_object(cell.once, cell.value, [&]() -> PyObject * {
        Ref v(import_path(cell.module, cell.path));
        if (!v) return nullptr;
        if (cell.must_be_type && check_type(v.get()) < 0) return nullptr;
        return v.release();
    });
}

PyObject *midnight() {
    return once_object(g_midnight_once, g_midnight, []() -> PyObject * {
        Ref time_type(import_path("datetime", "time"));
        if (!time_type) return nullptr;
        return PyObject_CallNoArgs(time_type.get());
    });
}

PyObject *break_marker() {
    return once_object(g_marker_once, g_marker, []() -> PyObject * {
        Ref object_type(import_path("builtins", "object"));
        if (!object_type) return nullptr;
        return PyObject_CallNoArgs(object_type.get());
    });
}

int maxsize(uint64_t *out) {
    PyObject *v = once_object(g_maxsize_once, g_maxsize, []() -> PyObject * {
        Ref m(import_path("sys", "maxsize"));
        if (!m) return nullptr;
        unsigned long long value = PyLong_AsUnsignedLongLong(m.get());
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
        g_maxsize_value = value;
        return m.release();
    });
    if (v == nullptr) return -1;
    *out = g_maxsize_value;
    return 0;
}

int init_eager_cells() {
    if (break_marker() == nullptr) return -1;
    uint64_t unused;
    return maxsize(&unused);
}

PyObject *name(Name n) {
    int i = static_cast<int>(n);
    return once_object(g_name_once[i], g_names[i], [i]() { return PyUnicode_InternFromString(kNames[i]); });
}

PyObject *get(NameCell &cell) {
    return once_object(cell.once, cell.value, [&]() { return PyUnicode_InternFromString(cell.text); });
}

}  // namespace kelvo::stdlib
