// Argument matching and conversion shared by every Python-visible callable.
// Each callable declares one static ArgumentSpec; parse_arguments fills one borrowed
// slot per parameter (positional names first, then keyword-only names) without any
// heap allocation on the success path.
#pragma once

#include "lib/errors.h"
#include "lib/pyref.h"

#include <cstdint>

namespace kelvo {

struct ArgumentSpec {
    const char *function;           // "dumps", "encode", "__new__"
    const char *cls;                // class name for methods and constructors, else nullptr
    const char *const *positional;  // names that can be given by position
    int n_positional;
    int n_posonly;              // leading positional names that are positional-only
    int n_required;             // leading positional names that must be supplied
    const char *const *kwonly;  // keyword-only names (none of them is required)
    int n_kwonly;

    int n_slots() const noexcept { return n_positional + n_kwonly; }
};

constexpr int kMaxSlots = 16;

// Vectorcall form (METH_FASTCALL | METH_KEYWORDS). `slots` must have n_slots() entries;
// filled slots are borrowed references, empty ones are nullptr. Returns -1 with TypeError.
int parse_arguments(const ArgumentSpec &spec, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    PyObject **slots);
// tp_new form (argument tuple and keyword dict).
int parse_arguments_tuple(const ArgumentSpec &spec, PyObject *args, PyObject *kwargs, PyObject **slots);

// Treats an explicit None like an omitted optional argument.
inline PyObject *none_as_absent(PyObject *slot) noexcept { return slot == Py_None ? nullptr : slot; }

// ---- Conversions. Each returns 0 on success and -1 with the conversion's exception set;
// callers add the "while processing" note through convert_arg (or add_processing_note).

int convert_bool(PyObject *obj, bool *out);
int convert_u64(PyObject *obj, uint64_t *out);
int convert_i64(PyObject *obj, int64_t *out);
int convert_u8(PyObject *obj, uint8_t *out);
int convert_i32(PyObject *obj, int32_t *out);
int check_int_object(PyObject *obj);
// UTF-8 text of a str; the pointer lives as long as the str.
int convert_str(PyObject *obj, const char **utf8, Py_ssize_t *size);
int check_bytes_object(PyObject *obj);
int check_tuple(PyObject *obj, Py_ssize_t n);
int check_dict(PyObject *obj);
// A dict (or subclass) or an instance of collections.abc.Mapping. An isinstance check
// that raises is reported through sys.unraisablehook and counts as "not a mapping".
int check_mapping(PyObject *obj);
// Same test without raising: 1 mapping, 0 not (errors reported as unraisable), -1 with a
// RecursionError set.
int is_mapping(PyObject *obj);
// isinstance(obj, collections.abc.Sequence), with the same results.
int is_sequence(PyObject *obj);

// An owned byte sequence converted from bytes, bytearray or a sequence of ints 0..255.
class ByteVector {
public:
    ByteVector() = default;
    ~ByteVector();
    ByteVector(const ByteVector &) = delete;
    ByteVector &operator=(const ByteVector &) = delete;

    const uint8_t *data() const noexcept {
        return owner_ != nullptr ? reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(owner_)) : data_;
    }
    Py_ssize_t size() const noexcept { return size_; }
    // A bytes object with the same content (the original when it was a bytes object).
    PyObject *to_bytes() const;

    friend int convert_byte_vector(PyObject *obj, ByteVector *out);

private:
    PyObject *owner_ = nullptr;  // a bytes object whose storage is used directly
    uint8_t *data_ = nullptr;    // owned copy (PyMem) when owner_ is null
    Py_ssize_t size_ = 0;
};
int convert_byte_vector(PyObject *obj, ByteVector *out);

// Runs a conversion and adds "while processing '{name}'" to its failure.
template <typename F, typename... A>
inline int convert_arg(const char *name, F &&f, A &&...a) {
    int rc = f(static_cast<A &&>(a)...);
    if (rc < 0) add_processing_note(name);
    return rc;
}
}  // namespace kelvo
