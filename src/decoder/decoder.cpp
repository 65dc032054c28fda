// CBORDecoder: options, construction, setters, properties, read() and decode().
#include "decoder/decoder.h"

#include "decoder/machine.h"
#include "lib/args.h"
#include "lib/errors.h"
#include "lib/stdlib.h"
#include "lib/typecell.h"

#include <cstring>

namespace kelvo {

// ---- Options

#define KELVO_DECODER_OPTION_NAME(name, ...) #name,
const char *const kDecoderOptionNames[kDecoderOptionCount] = {KELVO_DECODER_OPTIONS(KELVO_DECODER_OPTION_NAME)};
#undef KELVO_DECODER_OPTION_NAME

const char *decoder_option_name(DecoderOption opt) { return kDecoderOptionNames[static_cast<int>(opt)]; }

namespace {

// Conversions by kind of option; `v` is the slot (nullptr = omitted).
int convert_option_Hook(const char *, PyObject *v, PyObject **out) {
    *out = none_as_absent(v);
    return 0;
}

int convert_option_Mapping(const char *name, PyObject *v, PyObject **out) {
    v = none_as_absent(v);
    if (v != nullptr && convert_arg(name, check_mapping, v) < 0) return -1;
    *out = v;
    return 0;
}

int convert_option_Errors(const char *name, PyObject *v, PyObject **out) {
    if (v != nullptr) {
        const char *text;
        Py_ssize_t size;
        if (convert_arg(name, convert_str, v, &text, &size) < 0) return -1;
    }
    *out = v;
    return 0;
}

int convert_option_Number(const char *name, PyObject *v, uint64_t *out) {
    return v != nullptr ? convert_arg(name, convert_u64, v, out) : 0;
}

int convert_option_Flag(const char *name, PyObject *v, bool *out) {
    return v != nullptr ? convert_arg(name, convert_bool, v, out) : 0;
}

int convert_option_CallFlag(const char *name, PyObject *v, bool *out) { return convert_option_Flag(name, v, out); }

}  // namespace

int convert_decoder_options(const DecoderOption *which, int n, PyObject *const *slots, DecoderOptions *o) {
    for (int i = 0; i < n; ++i) {
        PyObject *v = slots[i];
        int rc = 0;
        switch (which[i]) {
#define KELVO_DECODER_OPTION_CASE(name, kind, ...)      \
    case DecoderOption::name:                           \
        rc = convert_option_##kind(#name, v, &o->name); \
        break;
            KELVO_DECODER_OPTIONS(KELVO_DECODER_OPTION_CASE)
#undef KELVO_DECODER_OPTION_CASE
        }
        if (rc < 0) return -1;
    }
    return 0;
}

// ---- State

int decoder_state_init(DecoderState *d, PyObject *fp, PyObject *data, const DecoderOptions &o) {
    d->read_size = data != nullptr ? 0 : o.read_size;
    d->max_depth = o.max_depth;
    d->allow_indefinite = o.allow_indefinite;
    d->allow_duplicate_keys = o.allow_duplicate_keys;
    d->strict_hashable_types = o.strict_hashable_types;
    d->seekable = false;
    d->semantic_decoders = Py_XNewRef(o.semantic_decoders);
    if (data != nullptr) input_set_block(d, Py_NewRef(data), 0);
    if (fp != nullptr && decoder_set_fp(d, fp) < 0) return -1;
    if (decoder_set_tag_hook(d, o.tag_hook != nullptr ? o.tag_hook : Py_None) < 0) return -1;
    if (decoder_set_object_hook(d, o.object_hook != nullptr ? o.object_hook : Py_None) < 0) return -1;
    if (o.str_errors != nullptr && decoder_set_str_errors(d, o.str_errors) < 0) return -1;
    return 0;
}

void decoder_state_clear(DecoderState *d) {
    Py_CLEAR(d->fp);
    Py_CLEAR(d->read_target);
    Py_CLEAR(d->tag_hook);
    Py_CLEAR(d->object_hook);
    Py_CLEAR(d->semantic_decoders);
    Py_CLEAR(d->str_errors);
    d->errors = nullptr;
    input_set_block(d, nullptr, 0);
}

int decoder_state_traverse(DecoderState *d, visitproc visit, void *arg) {
    Py_VISIT(d->fp);
    Py_VISIT(d->read_target);
    Py_VISIT(d->tag_hook);
    Py_VISIT(d->object_hook);
    Py_VISIT(d->semantic_decoders);
    return 0;
}

// ---- Setters

int decoder_set_fp(DecoderState *d, PyObject *fp) {
    Ref readable(PyObject_CallMethod(fp, "readable", nullptr));
    if (!readable) {
        PyObject *cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_ValueError, "fp must be a readable file-like object");
        chain_cause(cause);
        return -1;
    }
    int truth = PyObject_IsTrue(readable.get());
    if (truth < 0) return -1;
    if (truth == 0) {
        PyErr_SetString(PyExc_ValueError, "fp must be a readable file-like object");
        return -1;
    }
    Ref seekable(PyObject_CallMethod(fp, "seekable", nullptr));
    if (!seekable) return -1;
    int can_seek = PyObject_IsTrue(seekable.get());
    if (can_seek < 0) return -1;
    Ref read(PyObject_GetAttrString(fp, "read"));
    if (!read) return -1;
    replace_field(d->fp, Py_NewRef(fp));
    replace_field(d->read_target, read.release());
    d->seekable = can_seek != 0;
    // Bytes buffered from the previous stream are dropped, not given back.
    input_set_block(d, nullptr, 0);
    return 0;
}

namespace {

int set_hook(PyObject *&field, PyObject *hook, const char *message) {
    if (hook == Py_None) {
        replace_field(field, nullptr);
        return 0;
    }
    if (!PyCallable_Check(hook)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    replace_field(field, Py_NewRef(hook));
    return 0;
}

}  // namespace

int decoder_set_tag_hook(DecoderState *d, PyObject *hook) {
    return set_hook(d->tag_hook, hook, "tag_hook must be callable or None");
}

int decoder_set_object_hook(DecoderState *d, PyObject *hook) {
    return set_hook(d->object_hook, hook, "object_hook must be callable or None");
}

int decoder_set_str_errors(DecoderState *d, PyObject *name) {
    static const char *const kHandlers[] = {"ignore", "replace", "surrogateescape", "backslashreplace"};
    Py_ssize_t size;
    const char *text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) return -1;
    auto is = [&](const char *word) {
        return static_cast<size_t>(size) == strlen(word) && memcmp(text, word, static_cast<size_t>(size)) == 0;
    };
    if (is("strict")) {
        replace_field(d->str_errors, nullptr);
        d->errors = nullptr;
        return 0;
    }
    for (const char *handler : kHandlers) {
        if (is(handler)) {
            replace_field(d->str_errors, Py_NewRef(name));
            d->errors = handler;
            return 0;
        }
    }
    PyErr_Format(PyExc_ValueError, "invalid str_errors value: '%U'", name);
    return -1;
}

// ---- decode

PyObject *decoder_decode(DecoderState *d, bool immutable) {
    Ref value(run_machine(d, immutable));
    if (!value || give_back(d) < 0) return nullptr;
    return value.release();
}

// ---- The Python class

namespace {

DecoderObject *as_decoder(PyObject *self) { return reinterpret_cast<DecoderObject *>(self); }

constexpr DecoderOption kNewOptions[] = {KELVO_DECODER_OPTIONS(KELVO_DECODER_TAKEN_OPTION_new)};
constexpr int kNewOptionCount = array_len(kNewOptions);
const char *const kNewKeywords[] = {KELVO_DECODER_OPTIONS(KELVO_DECODER_TAKEN_NAME_new)};

const char *const kNewPositional[] = {"fp"};
const ArgumentSpec kNewSpec{"__new__", "CBORDecoder", kNewPositional, 1, 0, 1, kNewKeywords, kNewOptionCount};

PyObject *decoder_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) {
    PyObject *slots[1 + kNewOptionCount];
    if (parse_arguments_tuple(kNewSpec, args, kwargs, slots) < 0) return nullptr;
    DecoderOptions opts;
    if (convert_decoder_options(kNewOptions, kNewOptionCount, slots + 1, &opts) < 0) return nullptr;
    Ref self(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    if (decoder_state_init(&as_decoder(self.get())->state, slots[0], nullptr, opts) < 0) return nullptr;
    return self.release();
}

int decoder_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    DecoderObject *dec = as_decoder(self);
    TraverseAccess access(dec->access);
    if (!access.ok()) return 0;
    return decoder_state_traverse(&dec->state, visit, arg);
}

int decoder_clear(PyObject *self) {
    DecoderState *d = &as_decoder(self)->state;
    Py_CLEAR(d->fp);
    Py_CLEAR(d->read_target);
    Py_CLEAR(d->tag_hook);
    Py_CLEAR(d->object_hook);
    Py_CLEAR(d->semantic_decoders);
    return 0;
}

void decoder_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    decoder_state_clear(&as_decoder(self)->state);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// ---- Properties

template <PyObject *DecoderState::*Field>
PyObject *get_object(PyObject *self, void *) {
    DecoderObject *dec = as_decoder(self);
    SharedAccess access;
    if (!access.acquire(dec->access, AccessSite::Entry)) return nullptr;
    PyObject *v = dec->state.*Field;
    return Py_NewRef(v != nullptr ? v : Py_None);
}

PyObject *get_str_errors(PyObject *self, void *) {
    DecoderObject *dec = as_decoder(self);
    SharedAccess access;
    if (!access.acquire(dec->access, AccessSite::Entry)) return nullptr;
    PyObject *v = dec->state.str_errors;
    if (v == nullptr) v = stdlib::name(stdlib::Name::strict);
    return Py_XNewRef(v);
}

template <uint64_t DecoderState::*Field>
PyObject *get_number(PyObject *self, void *) {
    DecoderObject *dec = as_decoder(self);
    SharedAccess access;
    if (!access.acquire(dec->access, AccessSite::Entry)) return nullptr;
    return PyLong_FromUnsignedLongLong(dec->state.*Field);
}

template <bool DecoderState::*Field>
PyObject *get_flag(PyObject *self, void *) {
    DecoderObject *dec = as_decoder(self);
    SharedAccess access;
    if (!access.acquire(dec->access, AccessSite::Entry)) return nullptr;
    return PyBool_FromLong(dec->state.*Field);
}

template <int (*Setter)(DecoderState *, PyObject *)>
int set_property(PyObject *self, PyObject *value, void *) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "property has no deleter");
        return -1;
    }
    DecoderObject *dec = as_decoder(self);
    ExclusiveAccess access;
    if (!access.acquire(dec->access, AccessSite::Entry)) return -1;
    return Setter(&dec->state, value);
}

int set_str_errors(PyObject *self, PyObject *value, void *closure) {
    if (value != nullptr) {
        const char *text;
        Py_ssize_t size;
        if (convert_arg("str_errors", convert_str, value, &text, &size) < 0) return -1;
    }
    return set_property<decoder_set_str_errors>(self, value, closure);
}

// A property for each option the state keeps, by kind.
#define KELVO_DECODER_PROPERTY(name, kind, takers, value, text, doc, ...) KELVO_DECODER_PROPERTY_##kind(name, doc)
#define KELVO_DECODER_PROPERTY_Hook(name, doc) \
    {#name, get_object<&DecoderState::name>, set_property<decoder_set_##name>, doc, nullptr},
#define KELVO_DECODER_PROPERTY_Mapping(name, doc)
#define KELVO_DECODER_PROPERTY_Errors(name, doc) {#name, get_##name, set_##name, doc, nullptr},
#define KELVO_DECODER_PROPERTY_Number(name, doc) {#name, get_number<&DecoderState::name>, nullptr, doc, nullptr},
#define KELVO_DECODER_PROPERTY_Flag(name, doc) {#name, get_flag<&DecoderState::name>, nullptr, doc, nullptr},
#define KELVO_DECODER_PROPERTY_CallFlag(name, doc)

// The rows the table expands to stand between the braces as entries.
// clang-format off
PyGetSetDef decoder_getset[] = {
    {"fp", get_object<&DecoderState::fp>, set_property<decoder_set_fp>, "the input file object", nullptr},
    KELVO_DECODER_OPTIONS(KELVO_DECODER_PROPERTY)
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// clang-format on

// ---- Methods

const char *const kAmountName[] = {"amount"};
const ArgumentSpec kReadSpec{"read", "CBORDecoder", kAmountName, 1, 1, 1, nullptr, 0};
const char *const kImmutableName[] = {"immutable"};
const ArgumentSpec kDecodeSpec{"decode", "CBORDecoder", nullptr, 0, 0, 0, kImmutableName, 1};

PyObject *meth_read(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *arg;
    if (parse_arguments(kReadSpec, args, nargs, kwnames, &arg) < 0) return nullptr;
    DecoderObject *dec = as_decoder(self);
    ExclusiveAccess access;
    if (!access.acquire(dec->access, AccessSite::Entry)) return nullptr;
    uint64_t amount;
    if (convert_arg("amount", convert_u64, arg, &amount) < 0) return nullptr;
    return read_exact_bytes(&dec->state, amount);
}

PyObject *meth_decode(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *arg;
    if (parse_arguments(kDecodeSpec, args, nargs, kwnames, &arg) < 0) return nullptr;
    DecoderObject *dec = as_decoder(self);
    ExclusiveAccess access;
    if (!access.acquire(dec->access, AccessSite::Entry)) return nullptr;
    bool immutable = false;
    if (arg != nullptr && convert_arg("immutable", convert_bool, arg, &immutable) < 0) return nullptr;
    return decoder_decode(&dec->state, immutable);
}

#define KELVO_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef decoder_methods[] = {
    {"read", KELVO_FASTCALL(meth_read), METH_FASTCALL | METH_KEYWORDS,
     "read($self, amount, /)\n--\n\nRead bytes from the data stream.\n\n"
     ":param amount: the number of bytes to read"},
    {"decode", KELVO_FASTCALL(meth_decode), METH_FASTCALL | METH_KEYWORDS,
     "decode($self, /, *, immutable=False)\n--\n\nDecode the next value from the stream.\n\n"
     ":param immutable: if :data:`True`, decode the next item as an immutable type\n"
     ":return: the decoded object\n"
     ":raises CBORDecodeError: if there is any problem decoding the stream"},
    {nullptr, nullptr, 0, nullptr},
};

#undef KELVO_FASTCALL

const char kDecoderDoc[] =
    "CBORDecoder(fp, *" KELVO_DECODER_OPTIONS(KELVO_DECODER_SIGNATURE_new) ")\n--\n\n"
    "Reads CBOR (RFC 8949) data items from a binary file object and returns them as Python objects.\n\n"
    "Each :meth:`decode` call reads one complete data item, however deeply nested, without recursion. "
    "Items that the built-in rules do not cover reach the hooks. One decoder serves one thread at a "
    "time: a second thread using it meanwhile gets :exc:`RuntimeError` \"Already borrowed\".\n\n"
    ":param fp: the binary file object to read from (its ``readable()`` must be true)\n"
    KELVO_DECODER_OPTIONS(KELVO_DECODER_DOC_new);

PyType_Slot decoder_slots[] = {
    {Py_tp_doc, const_cast<char *>(kDecoderDoc)},
    {Py_tp_new, reinterpret_cast<void *>(decoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(decoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(decoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(decoder_clear)},
    {Py_tp_getset, decoder_getset},
    {Py_tp_methods, decoder_methods},
    {0, nullptr},
};

PyType_Spec decoder_spec = {"kelvo.CBORDecoder", sizeof(DecoderObject), 0, kClassFlags, decoder_slots};

TypeCell decoder_cell{{0, 0}, &decoder_spec, nullptr};

}  // namespace

PyTypeObject *decoder_type() { return type_from_cell(decoder_cell); }

}  // namespace kelvo
