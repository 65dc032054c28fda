// IP addresses, networks and interfaces (tags 52 and 54, and tags 260 and 261 on decoding).
#include "tags/registry.h"

#include "encoder/writer.h"
#include "lib/args.h"
#include "lib/cbor.h"
#include "lib/errors.h"
#include "lib/stdlib.h"
#include "types/exceptions.h"
#include "types/tag.h"

#include <cstring>

namespace kelvo {

namespace {

using stdlib::Name;

PyObject *get_attr(PyObject *obj, Name n) {
    PyObject *attr = stdlib::name(n);
    return attr != nullptr ? PyObject_GetAttr(obj, attr) : nullptr;
}

// The packed bytes without their trailing zero bytes (bytes.rstrip(b"\0")).
PyObject *strip_trailing_zeros(PyObject *packed) {
    if (PyBytes_CheckExact(packed)) {
        const char *p = PyBytes_AS_STRING(packed);
        Py_ssize_t n = PyBytes_GET_SIZE(packed);
        while (n > 0 && p[n - 1] == '\0') --n;
        return PyBytes_FromStringAndSize(p, n);
    }
    PyObject *method = stdlib::name(Name::rstrip);
    if (method == nullptr) return nullptr;
    Ref zero(PyBytes_FromStringAndSize("", 1));
    if (!zero) return nullptr;
    return PyObject_CallMethodOneArg(packed, method, zero.get());
}

// [prefix length, network address bytes without trailing zeros] under `tag`.
int write_network(EncoderObject *enc, PyObject *obj, uint64_t tag) {
    Ref address(get_attr(obj, Name::network_address));
    if (!address) return -1;
    Ref packed(get_attr(address.get(), Name::packed));
    if (!packed) return -1;
    Ref stripped(strip_trailing_zeros(packed.get()));
    if (!stripped) return -1;
    Ref prefixlen(get_attr(obj, Name::prefixlen));
    if (!prefixlen) return -1;
    Ref payload(PyTuple_Pack(2, prefixlen.get(), stripped.get()));
    if (!payload) return -1;
    return encode_semantic(enc, tag, payload.get());
}

// The packed address and its network's prefix length.
int read_interface(PyObject *obj, Ref &packed, Ref &prefixlen) {
    packed.reset(get_attr(obj, Name::packed));
    if (!packed) return -1;
    Ref network(get_attr(obj, Name::network));
    if (!network) return -1;
    prefixlen.reset(get_attr(network.get(), Name::prefixlen));
    return prefixlen ? 0 : -1;
}

// ---- Decoding

PyObject *call_with_pair(stdlib::ImportCell &cell, PyObject *a, PyObject *b) {
    PyObject *callable = stdlib::get(cell);
    if (callable == nullptr) return nullptr;
    Ref pair(PyTuple_Pack(2, a, b));
    if (!pair) return nullptr;
    return PyObject_CallOneArg(callable, pair.get());
}

PyObject *call_with(stdlib::ImportCell &cell, PyObject *arg) {
    PyObject *callable = stdlib::get(cell);
    if (callable == nullptr) return nullptr;
    return PyObject_CallOneArg(callable, arg);
}

// A copy of the network address bytes extended with zero bytes to `width`.
PyObject *padded_address(PyObject *bytes, Py_ssize_t width, const char *family) {
    Py_ssize_t n = PyBytes_GET_SIZE(bytes);
    if (n > width) {
        raise_exc_format(Exc::CBORDecodeError, "address byte string for %s network is too long (%zd bytes)", family, n);
        return nullptr;
    }
    Ref out(PyBytes_FromStringAndSize(nullptr, width));
    if (!out) return nullptr;
    char *p = PyBytes_AS_STRING(out.get());
    memcpy(p, PyBytes_AS_STRING(bytes), static_cast<size_t>(n));
    memset(p + n, 0, static_cast<size_t>(width - n));
    return out.release();
}

PyObject *raise_array_shape() {
    raise_exc(Exc::CBORDecodeError, "input value must be a bytestring or an array of 2 elements");
    return nullptr;
}

PyObject *raise_item_types() {
    raise_exc(Exc::CBORDecodeError, "invalid types in input array");
    return nullptr;
}

// "%zone" for a tag 54 zone item (UTF-8 bytes or an integer), "" without one.
PyObject *zone_suffix(PyObject *payload) {
    if (PyTuple_GET_SIZE(payload) < 3) return PyUnicode_FromStringAndSize("", 0);
    PyObject *zone = PyTuple_GET_ITEM(payload, 2);
    if (PyBytes_Check(zone)) {
        Ref text(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(zone), PyBytes_GET_SIZE(zone), "strict"));
        if (!text) return nullptr;
        return PyUnicode_FromFormat("%%%U", text.get());
    }
    if (PyLong_Check(zone)) return PyUnicode_FromFormat("%%%S", zone);
    raise_exc(Exc::CBORDecodeError, "zone ID must be an integer or a bytestring");
    return nullptr;
}

}  // namespace

// ---- Encoding

int encode_ipv4_address(EncoderObject *enc, PyObject *obj) {
    Ref packed(get_attr(obj, Name::packed));
    if (!packed) return -1;
    return encode_semantic(enc, cbor::tag::kIPv4, packed.get());
}

int encode_ipv4_network(EncoderObject *enc, PyObject *obj) { return write_network(enc, obj, 52); }

int encode_ipv4_interface(EncoderObject *enc, PyObject *obj) {
    Ref packed, prefixlen;
    if (read_interface(obj, packed, prefixlen) < 0) return -1;
    Ref payload(PyTuple_Pack(2, packed.get(), prefixlen.get()));
    if (!payload) return -1;
    return encode_semantic(enc, cbor::tag::kIPv4, payload.get());
}

int encode_ipv6_address(EncoderObject *enc, PyObject *obj) {
    Ref packed(get_attr(obj, Name::packed));
    if (!packed) return -1;
    Ref scope(get_attr(obj, Name::scope_id));
    if (!scope) return -1;
    if (scope.get() == Py_None) return encode_semantic(enc, cbor::tag::kIPv6, packed.get());
    Ref text(PyObject_Str(scope.get()));
    if (!text) return -1;
    Ref zone(PyUnicode_AsUTF8String(text.get()));
    if (!zone) return -1;
    Ref payload(PyTuple_Pack(3, packed.get(), Py_None, zone.get()));
    if (!payload) return -1;
    return encode_semantic(enc, cbor::tag::kIPv6, payload.get());
}

int encode_ipv6_network(EncoderObject *enc, PyObject *obj) { return write_network(enc, obj, 54); }

int encode_ipv6_interface(EncoderObject *enc, PyObject *obj) {
    Ref packed, prefixlen;
    if (read_interface(obj, packed, prefixlen) < 0) return -1;
    Ref scope(get_attr(obj, Name::scope_id));
    if (!scope) return -1;
    Ref zone;
    if (scope.get() != Py_None) {
        if (!PyUnicode_Check(scope.get())) return raise_not_instance(scope.get(), "str");
        zone.reset(PyUnicode_AsUTF8String(scope.get()));
        if (!zone) return -1;
    }
    Ref payload(PyList_New(zone ? 3 : 2));
    if (!payload) return -1;
    PyList_SET_ITEM(payload.get(), 0, packed.release());
    PyList_SET_ITEM(payload.get(), 1, prefixlen.release());
    if (zone) PyList_SET_ITEM(payload.get(), 2, zone.release());
    return encode_semantic(enc, cbor::tag::kIPv6, payload.get());
}

// ---- Decoding

PyObject *decode_ipv4(PyObject *payload, bool) {
    if (PyBytes_Check(payload)) return call_with(stdlib::ipv4_address, payload);
    if (!PyTuple_Check(payload) || PyTuple_GET_SIZE(payload) != 2) return raise_array_shape();
    PyObject *first = PyTuple_GET_ITEM(payload, 0);
    PyObject *second = PyTuple_GET_ITEM(payload, 1);
    if (PyLong_Check(first) && PyBytes_Check(second)) {
        Ref address(padded_address(second, 4, "IPv4"));
        if (!address) return nullptr;
        return call_with_pair(stdlib::ipv4_network, address.get(), first);
    }
    if (PyBytes_Check(first) && PyLong_Check(second)) return call_with_pair(stdlib::ipv4_interface, first, second);
    return raise_item_types();
}

PyObject *decode_ipv6(PyObject *payload, bool) {
    if (PyBytes_Check(payload)) return call_with(stdlib::ipv6_address, payload);
    if (!PyTuple_Check(payload) || PyTuple_GET_SIZE(payload) < 2 || PyTuple_GET_SIZE(payload) > 3)
        return raise_array_shape();
    Ref suffix(zone_suffix(payload));
    if (!suffix) return nullptr;
    PyObject *first = PyTuple_GET_ITEM(payload, 0);
    PyObject *second = PyTuple_GET_ITEM(payload, 1);
    if (second == Py_None && PyBytes_Check(first)) {
        Ref address(call_with(stdlib::ipv6_address, first));
        if (!address) return nullptr;
        Ref text(PyUnicode_FromFormat("%S%U", address.get(), suffix.get()));
        if (!text) return nullptr;
        return call_with(stdlib::ipv6_address, text.get());
    }
    stdlib::ImportCell *result_cell;
    PyObject *bytes;
    PyObject *prefixlen;
    Ref padded;
    if (PyLong_Check(first) && PyBytes_Check(second)) {
        padded.reset(padded_address(second, 16, "IPv6"));
        if (!padded) return nullptr;
        result_cell = &stdlib::ipv6_network;
        bytes = padded.get();
        prefixlen = first;
    } else if (PyBytes_Check(first) && PyLong_Check(second)) {
        result_cell = &stdlib::ipv6_interface;
        bytes = first;
        prefixlen = second;
    } else {
        return raise_item_types();
    }
    Ref address(call_with(stdlib::ipv6_address, bytes));
    if (!address) return nullptr;
    Ref text(PyUnicode_FromFormat("%S%U/%S", address.get(), suffix.get(), prefixlen));
    if (!text) return nullptr;
    return call_with(*result_cell, text.get());
}

PyObject *decode_ip_address(PyObject *payload, bool) {
    if (!PyBytes_Check(payload)) {
        raise_not_instance(payload, "bytes");
        return nullptr;
    }
    Py_ssize_t n = PyBytes_GET_SIZE(payload);
    if (n == 4 || n == 16) return call_with(stdlib::ip_address, payload);
    // Six bytes are a MAC address, which has no Python type here: it stays a tag.
    if (n == 6) return new_cbortag(260, payload);
    raise_exc_format(Exc::CBORDecodeError, "invalid IP address length (%zd)", n);
    return nullptr;
}

PyObject *decode_ip_network(PyObject *payload, bool) {
    if (check_mapping(payload) < 0) return nullptr;
    Py_ssize_t n = PyMapping_Size(payload);
    if (n < 0) return nullptr;
    Ref items;
    if (n == 1) {
        items.reset(PyMapping_Items(payload));
        if (!items) return nullptr;
        n = PyList_GET_SIZE(items.get());  // a mapping may report one length and hold another
    }
    if (n != 1) {
        raise_exc_format(Exc::CBORDecodeError, "invalid input map length for IP network: %zd", n);
        return nullptr;
    }
    PyObject *pair = PyList_GET_ITEM(items.get(), 0);
    Ref prefixlen(PySequence_GetItem(pair, 1));
    if (!prefixlen) return nullptr;
    if (!PyLong_CheckExact(prefixlen.get())) {
        raise_exc_format(Exc::CBORDecodeError, "invalid mask length for IP network: %S", prefixlen.get());
        return nullptr;
    }
    Ref network(call_with(stdlib::ip_network, pair));
    if (network || !PyErr_ExceptionMatches(PyExc_ValueError)) return network.release();
    // Host bits set: the pair names an interface.
    PyErr_Clear();
    return call_with(stdlib::ip_interface, pair);
}

}  // namespace kelvo
