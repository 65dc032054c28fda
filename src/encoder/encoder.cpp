// CBOREncoder: construction, options, properties, encode() and encode_to_bytes().
#include "encoder/encoder.h"
#include "encoder/methods.h"
#include "encoder/writer.h"

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/stdlib.h"
#include "lib/typecell.h"
#include "tags/registry.h"

#include "pythread.h"

#include <sched.h>

namespace kelvo {

#define KELVO_OPTION_NAME(name, ...) #name,
const char *const kEncoderOptionNames[kEncoderOptionCount] = {
    KELVO_ENCODER_OPTIONS(KELVO_OPTION_NAME, KELVO_OPTION_NAME, KELVO_OPTION_NAME)};
#undef KELVO_OPTION_NAME

namespace {

EncoderObject *as_encoder(PyObject *self) { return reinterpret_cast<EncoderObject *>(self); }

// The conversion check of options that take any object.
int accept_any(PyObject *) { return 0; }

}  // namespace

// ---- Access

int check_encoder_thread(EncoderObject *enc) {
    if (enc->depth > 0 && enc->owner != PyThread_get_thread_ident()) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return -1;
    }
    return 0;
}

bool EncoderWindow::open(EncoderObject *enc, AccessSite site) {
    if (!access_.acquire(enc->access, site)) return false;
    if (check_encoder_thread(enc) < 0) {
        access_.release();
        return false;
    }
    return true;
}

bool EncoderWindow::reopen_for_cleanup(EncoderObject *enc) {
    if (access_.held()) return true;
    // Keep the hold the moment it is obtained: releasing it to reacquire would let another
    // thread in between and leave the depth raised for good.
    for (int i = 0; i < 1000000; ++i) {
        if (enc->access.try_exclusive()) {
            access_.adopt(enc->access);
            return true;
        }
        sched_yield();
    }
    PyObject *pending = PyErr_GetRaisedException();
    bool ok = access_.acquire(enc->access, AccessSite::Window);
    if (pending != nullptr) {
        if (!ok) PyErr_Clear();
        PyErr_SetRaisedException(pending);
    }
    return ok;
}

// ---- Options and construction

int convert_encoder_options(PyObject *const *slots, EncoderOptions *o) {
    PyObject *const *slot = slots;
#define KELVO_OPTION_FLAG(name, ...)                                                          \
    if (*slot != nullptr && convert_arg(#name, convert_bool, *slot, &o->name) < 0) return -1; \
    ++slot;
#define KELVO_OPTION_OBJECT(name, field, check, ...) \
    o->field = none_as_absent(*slot++);              \
    if (o->field != nullptr && convert_arg(#name, check, o->field) < 0) return -1;
    KELVO_ENCODER_OPTIONS(KELVO_OPTION_FLAG, KELVO_OPTION_OBJECT, KELVO_OPTION_OBJECT)
#undef KELVO_OPTION_FLAG
#undef KELVO_OPTION_OBJECT
    return 0;
}

namespace {

int set_fp_locked(EncoderObject *enc, PyObject *value);
int set_timezone_locked(EncoderObject *enc, PyObject *value);
int set_encoders_locked(EncoderObject *enc, PyObject *value);
int set_default_locked(EncoderObject *enc, PyObject *value);

template <int (*Setter)(EncoderObject *, PyObject *)>
int run_setter(EncoderObject *enc, PyObject *value) {
    EncoderWindow w;
    if (!w.open(enc, AccessSite::Entry)) return -1;
    return Setter(enc, value);
}

}  // namespace

EncoderObject *encoder_create(PyObject *fp, const EncoderOptions &opts) {
    PyTypeObject *tp = encoder_type();
    if (tp == nullptr) return nullptr;
    auto *enc = reinterpret_cast<EncoderObject *>(tp->tp_alloc(tp, 0));
    if (enc == nullptr) return nullptr;
    Ref owner(reinterpret_cast<PyObject *>(enc));
#define KELVO_OPTION_FLAG(name, ...) enc->name = opts.name;
    KELVO_ENCODER_OPTIONS(KELVO_OPTION_FLAG, KELVO_OPTION_NOTHING, KELVO_OPTION_NOTHING)
#undef KELVO_OPTION_FLAG
    enc->string_namespacing = opts.string_referencing;
    if (fp != nullptr && run_setter<set_fp_locked>(enc, fp) < 0) return nullptr;
#define KELVO_OPTION_OBJECT(name, field, check, setter, ...) \
    if (opts.field != nullptr && run_setter<setter>(enc, opts.field) < 0) return nullptr;
    KELVO_ENCODER_OPTIONS(KELVO_OPTION_NOTHING, KELVO_OPTION_OBJECT, KELVO_OPTION_OBJECT)
#undef KELVO_OPTION_OBJECT
    return reinterpret_cast<EncoderObject *>(owner.release());
}

namespace {

const char *const kNewPositional[] = {"fp"};
const ArgumentSpec kNewSpec{"__new__", "CBOREncoder",       kNewPositional,     1, 0,
                            1,         kEncoderOptionNames, kEncoderOptionCount};

PyObject *encoder_new(PyTypeObject *, PyObject *args, PyObject *kwargs) {
    PyObject *slots[1 + kEncoderOptionCount];
    if (parse_arguments_tuple(kNewSpec, args, kwargs, slots) < 0) return nullptr;
    EncoderOptions opts;
    if (convert_encoder_options(slots + 1, &opts) < 0) return nullptr;
    return reinterpret_cast<PyObject *>(encoder_create(slots[0], opts));
}

// ---- Lifecycle

int encoder_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    EncoderObject *enc = as_encoder(self);
    TraverseAccess access(enc->access);
    if (!access.ok()) return 0;
    Py_VISIT(enc->fp);
    Py_VISIT(enc->write_target);
#define KELVO_OPTION_OBJECT(name, field, ...) Py_VISIT(enc->field);
    KELVO_ENCODER_OPTIONS(KELVO_OPTION_NOTHING, KELVO_OPTION_OBJECT, KELVO_OPTION_OBJECT)
#undef KELVO_OPTION_OBJECT
    for (int i = 0; i < enc->plain_len; ++i) Py_VISIT(enc->plain_types[i]);
    return registry_traverse(enc, visit, arg);
}

int encoder_clear(PyObject *self) {
    EncoderObject *enc = as_encoder(self);
    Py_CLEAR(enc->fp);
    Py_CLEAR(enc->write_target);
#define KELVO_OPTION_OBJECT(name, field, ...) Py_CLEAR(enc->field);
    KELVO_ENCODER_OPTIONS(KELVO_OPTION_NOTHING, KELVO_OPTION_OBJECT, KELVO_OPTION_OBJECT)
#undef KELVO_OPTION_OBJECT
    PyObject *types[4];
    for (int i = 0, n = plain_types_take(enc, types); i < n; ++i) Py_DECREF(types[i]);
    registry_clear(enc);
    return 0;
}

void encoder_dealloc(PyObject *self) {
    PyTypeObject *tp = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    EncoderObject *enc = as_encoder(self);
    encoder_clear(self);
    registry_free(enc);
    string_tables_free(enc->text_refs);
    string_tables_free(enc->byte_refs);
    tag_path_free(enc);
    enc->out.release();
    tp->tp_free(self);
    Py_DECREF(tp);
}

// ---- Setters (called with exclusive access held)

int set_fp_locked(EncoderObject *enc, PyObject *value) {
    if (enc->to_bytes_active > 0) {
        PyErr_SetString(PyExc_RuntimeError, "cannot assign fp while encode_to_bytes() is running on this encoder");
        return -1;
    }
    Ref writable(PyObject_CallMethod(value, "writable", nullptr));
    if (!writable) {
        PyObject *cause = PyErr_GetRaisedException();
        PyErr_SetString(PyExc_ValueError, "fp must be a writable file-like object");
        chain_cause(cause);
        return -1;
    }
    int truth = PyObject_IsTrue(writable.get());
    if (truth < 0) return -1;
    if (truth == 0) {
        PyErr_SetString(PyExc_ValueError, "fp must be a writable file-like object");
        return -1;
    }
    if (enc->fp != nullptr && enc->fp != value) {
        if (enc->write_target != nullptr && flush_buffer(enc) < 0) return -1;
        encoder_reset_tables(enc);
    }
    Ref write(PyObject_GetAttrString(value, "write"));
    if (!write) return -1;
    replace_field(enc->fp, Py_NewRef(value));
    replace_field(enc->write_target, write.release());
    enc->raw_stream = -1;
    return 0;
}

int set_timezone_locked(EncoderObject *enc, PyObject *value) {
    if (value == Py_None) {
        replace_field(enc->timezone, nullptr);
        return 0;
    }
    PyObject *tzinfo = stdlib::get(stdlib::datetime_tzinfo);
    if (tzinfo == nullptr) return -1;
    int r = PyObject_IsInstance(value, tzinfo);
    if (r < 0) return -1;
    if (r == 0) {
        PyErr_SetString(PyExc_TypeError, "timezone must be a tzinfo object");
        return -1;
    }
    replace_field(enc->timezone, Py_NewRef(value));
    return 0;
}

int set_encoders_locked(EncoderObject *enc, PyObject *value) {
    replace_field(enc->encoders, Py_NewRef(value));
    return 0;
}

int set_default_locked(EncoderObject *enc, PyObject *value) {
    if (value == Py_None) {
        replace_field(enc->default_hook, nullptr);
        return 0;
    }
    if (!PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "default must be callable");
        return -1;
    }
    replace_field(enc->default_hook, Py_NewRef(value));
    return 0;
}

template <int (*Setter)(EncoderObject *, PyObject *)>
int property_setter(PyObject *self, PyObject *value, void *) {
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "property has no deleter");
        return -1;
    }
    return run_setter<Setter>(as_encoder(self), value);
}

// ---- Getters (shared access)

template <PyObject *EncoderObject::*Field>
PyObject *get_object(PyObject *self, void *) {
    EncoderObject *enc = as_encoder(self);
    SharedAccess access;
    if (!access.acquire(enc->access, AccessSite::Entry)) return nullptr;
    PyObject *v = enc->*Field;
    return Py_NewRef(v != nullptr ? v : Py_None);
}

template <bool EncoderObject::*Field>
PyObject *get_flag(PyObject *self, void *) {
    EncoderObject *enc = as_encoder(self);
    SharedAccess access;
    if (!access.acquire(enc->access, AccessSite::Entry)) return nullptr;
    return PyBool_FromLong(enc->*Field);
}

// The rows the table expands to stand between the braces as entries.
// clang-format off
PyGetSetDef encoder_getset[] = {
    {"fp", get_object<&EncoderObject::fp>, property_setter<set_fp_locked>, "the output file object", nullptr},
#define KELVO_OPTION_FLAG(name, doc, ...) {#name, get_flag<&EncoderObject::name>, nullptr, doc, nullptr},
#define KELVO_OPTION_OBJECT(name, field, check, setter, doc, ...) \
    {#name, get_object<&EncoderObject::field>, property_setter<setter>, doc, nullptr},
    KELVO_ENCODER_OPTIONS(KELVO_OPTION_FLAG, KELVO_OPTION_OBJECT, KELVO_OPTION_NOTHING)
#undef KELVO_OPTION_FLAG
#undef KELVO_OPTION_OBJECT
    {"string_namespacing", get_flag<&EncoderObject::string_namespacing>, nullptr,
     "whether the next container opens a string-reference namespace", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// clang-format on

}  // namespace

// ---- encode / encode_to_bytes

void encoder_reset_tables(EncoderObject *enc) {
    registry_clear(enc);
    string_tables_clear(enc->text_refs);
    string_tables_clear(enc->byte_refs);
}

int encoder_encode(EncoderObject *enc, PyObject *obj) {
    Ctx c(enc);
    if (!c.open_entry()) return -1;
    if (enc->depth == 0) {
        enc->owner = PyThread_get_thread_ident();
        enc->raw_written = 0;
    }
    enc->depth += 1;
    int rc = dispatch(c, obj);
    PyObject *exc = rc < 0 ? PyErr_GetRaisedException() : nullptr;
    if (!c.reopen_for_cleanup()) {
        Py_XDECREF(exc);
        return -1;
    }
    enc->depth -= 1;
    int flush_rc = 0;
    if (enc->depth == 0) {
        enc->owner = 0;
        // A low-level call made while idle (a container, a wrapped encoder) may run a
        // nested encode() that is the outermost one; the state it relies on stays until
        // it has finished.
        if (enc->share_scopes == 0) encoder_reset_tables(enc);
        if (exc != nullptr)
            enc->out.clear();
        else if (enc->write_target != nullptr)
            flush_rc = flush_buffer(enc);
    }
    if (exc != nullptr) {
        PyErr_SetRaisedException(exc);
        return -1;
    }
    return flush_rc;
}

PyObject *encoder_encode_to_bytes(EncoderObject *enc, PyObject *obj) {
    PyObject *saved_target;
    OutBuffer saved_out;
    bool saved_namespacing;
    NamespaceSave saved_tables;
    bool swapped_tables;
    EncoderWindow w;
    if (!w.open(enc, AccessSite::Entry)) return nullptr;
    saved_target = enc->write_target;
    enc->write_target = nullptr;
    saved_out = enc->out.take();
    saved_namespacing = enc->string_namespacing;
    swapped_tables = enc->string_referencing;
    if (swapped_tables) {
        // The result is self-contained: its outermost container opens its own namespace.
        enc->string_namespacing = true;
        namespace_push(enc, saved_tables, false);
    }
    enc->to_bytes_active += 1;
    // The encode is claimed for this thread in the same window that takes out the write
    // target: another thread's encode() must not start in the gap and write into the
    // detached buffer. The encode below is then nested; this call does the outermost reset.
    if (enc->depth == 0) enc->owner = PyThread_get_thread_ident();
    enc->depth += 1;
    w.close();
    int rc = encoder_encode(enc, obj);
    PyObject *exc = rc < 0 ? PyErr_GetRaisedException() : nullptr;
    if (!w.reopen_for_cleanup(enc)) {
        Py_XDECREF(exc);
        Py_XDECREF(saved_target);
        saved_out.release();
        if (swapped_tables) namespace_discard(saved_tables);
        return nullptr;
    }
    enc->to_bytes_active -= 1;
    enc->depth -= 1;
    if (enc->depth == 0) {
        enc->owner = 0;
        if (enc->share_scopes == 0) encoder_reset_tables(enc);
    }
    enc->string_namespacing = saved_namespacing;
    if (swapped_tables) namespace_pop(enc, saved_tables);
    OutBuffer produced = enc->out;
    enc->out = saved_out;
    replace_field(enc->write_target, saved_target);
    w.close();
    if (exc != nullptr) {
        produced.release();
        PyErr_SetRaisedException(exc);
        return nullptr;
    }
    return produced.finish();
}

namespace {

const char *const kObjName[] = {"obj"};
const ArgumentSpec kEncodeSpec{"encode", "CBOREncoder", kObjName, 1, 1, 1, nullptr, 0};
const ArgumentSpec kEncodeToBytesSpec{"encode_to_bytes", "CBOREncoder", kObjName, 1, 1, 1, nullptr, 0};
const char *const kBufName[] = {"buf"};
const ArgumentSpec kWriteSpec{"write", "CBOREncoder", kBufName, 1, 1, 1, nullptr, 0};

PyObject *meth_encode(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *obj;
    if (parse_arguments(kEncodeSpec, args, nargs, kwnames, &obj) < 0) return nullptr;
    if (encoder_encode(as_encoder(self), obj) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *meth_encode_to_bytes(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *obj;
    if (parse_arguments(kEncodeToBytesSpec, args, nargs, kwnames, &obj) < 0) return nullptr;
    return encoder_encode_to_bytes(as_encoder(self), obj);
}

PyObject *meth_write(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *arg;
    if (parse_arguments(kWriteSpec, args, nargs, kwnames, &arg) < 0) return nullptr;
    EncoderObject *enc = as_encoder(self);
    EncoderWindow w;
    if (!w.open(enc, AccessSite::Entry)) return nullptr;
    ByteVector buf;
    if (convert_arg("buf", convert_byte_vector, arg, &buf) < 0) return nullptr;
    if (enc->depth > 0) {
        if (emit_bytes(enc, buf.data(), static_cast<size_t>(buf.size())) < 0) return nullptr;
        return PyLong_FromSsize_t(buf.size());
    }
    if (enc->write_target == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "fp not set");
        return nullptr;
    }
    if (enc->out.len != 0) {
        raise_internal("The buffer should have been empty");
        return nullptr;
    }
    Ref data(buf.to_bytes());
    if (!data) return nullptr;
    Ref r(PyObject_CallOneArg(enc->write_target, data.get()));
    if (!r) return nullptr;
    uint64_t written;
    if (convert_u64(r.get(), &written) < 0) return nullptr;
    return PyLong_FromUnsignedLongLong(written);
}

#define KELVO_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

PyMethodDef encoder_methods[] = {
    {"encode", KELVO_FASTCALL(meth_encode), METH_FASTCALL | METH_KEYWORDS,
     "encode($self, obj, /)\n--\n\nEncode the given object using CBOR.\n\n:param obj: the object to encode"},
    {"encode_to_bytes", KELVO_FASTCALL(meth_encode_to_bytes), METH_FASTCALL | METH_KEYWORDS,
     "encode_to_bytes($self, obj, /)\n--\n\nEncode the given object to a byte buffer and return its value "
     "as bytes.\n\nThis method was intended to be used from the ``default`` hook when an\nobject needs to "
     "be encoded separately from the rest but while still\ntaking advantage of the shared value "
     "registry.\n\n:param obj: the object to encode"},
    {"write", KELVO_FASTCALL(meth_write), METH_FASTCALL | METH_KEYWORDS,
     "write($self, buf, /)\n--\n\nWrite bytes to the data stream.\n\n:param buf: the bytes to write\n"
     ":returns: the number of bytes written\n\n.. note:: During the encoding of an object, this method may "
     "write the given bytes to the\n internal buffer without flushing to the actual output stream. When "
     "called outside the\n encoding process, it is equivalent to ``encoder.fp.write(...)``."},
    {"encode_length", KELVO_FASTCALL(meth_encode_length), METH_FASTCALL | METH_KEYWORDS,
     "encode_length($self, major_tag, length)\n--\n\n"},
    {"encode_int", KELVO_FASTCALL(meth_encode_int), METH_FASTCALL | METH_KEYWORDS, "encode_int($self, obj)\n--\n\n"},
    {"encode_bytes", KELVO_FASTCALL(meth_encode_bytes), METH_FASTCALL | METH_KEYWORDS,
     "encode_bytes($self, obj)\n--\n\n"},
    {"encode_bytearray", KELVO_FASTCALL(meth_encode_bytearray), METH_FASTCALL | METH_KEYWORDS,
     "encode_bytearray($self, obj)\n--\n\n"},
    {"encode_string", KELVO_FASTCALL(meth_encode_string), METH_FASTCALL | METH_KEYWORDS,
     "encode_string($self, obj)\n--\n\n"},
    {"encode_bool", KELVO_FASTCALL(meth_encode_bool), METH_FASTCALL | METH_KEYWORDS, "encode_bool($self, obj)\n--\n\n"},
    {"encode_none", KELVO_FASTCALL(meth_encode_none), METH_FASTCALL | METH_KEYWORDS, "encode_none($self)\n--\n\n"},
    {"encode_undefined", KELVO_FASTCALL(meth_encode_undefined), METH_FASTCALL | METH_KEYWORDS,
     "encode_undefined($self)\n--\n\n"},
    {"encode_break", KELVO_FASTCALL(meth_encode_break), METH_FASTCALL | METH_KEYWORDS, "encode_break($self)\n--\n\n"},
    {"encode_simple_value", KELVO_FASTCALL(meth_encode_simple_value), METH_FASTCALL | METH_KEYWORDS,
     "encode_simple_value($self, obj)\n--\n\n"},
    {"encode_float", KELVO_FASTCALL(meth_encode_float), METH_FASTCALL | METH_KEYWORDS,
     "encode_float($self, obj)\n--\n\n"},
    {"encode_semantic", KELVO_FASTCALL(meth_encode_semantic), METH_FASTCALL | METH_KEYWORDS,
     "encode_semantic($self, tag, value)\n--\n\nEncode a value with a semantic tag.\n\n:param tag: a numeric tag "
     "value\n:param value: the object to be encoded"},
    {"encode_value", KELVO_FASTCALL(meth_encode_value), METH_FASTCALL | METH_KEYWORDS,
     "encode_value($self, obj)\n--\n\n"},
    {"encode_array", KELVO_FASTCALL(meth_encode_array), METH_FASTCALL | METH_KEYWORDS,
     "encode_array($self, obj)\n--\n\n"},
    {"encode_map", KELVO_FASTCALL(meth_encode_map), METH_FASTCALL | METH_KEYWORDS, "encode_map($self, obj)\n--\n\n"},
    {"encode_set", KELVO_FASTCALL(meth_encode_set), METH_FASTCALL | METH_KEYWORDS, "encode_set($self, obj)\n--\n\n"},
    {"encode_frozenset", KELVO_FASTCALL(meth_encode_frozenset), METH_FASTCALL | METH_KEYWORDS,
     "encode_frozenset($self, obj)\n--\n\n"},
    {"encode_sortable_key", KELVO_FASTCALL(meth_encode_sortable_key), METH_FASTCALL | METH_KEYWORDS,
     "encode_sortable_key($self, key)\n--\n\nTakes a key and calculates the length of its optimal "
     "byte\nrepresentation, along with the representation itself.\nThis is used as the sorting key in CBOR's canonical "
     "representations."},
    {"encode_sortable_item", KELVO_FASTCALL(meth_encode_sortable_item), METH_FASTCALL | METH_KEYWORDS,
     "encode_sortable_item($self, item)\n--\n\nTakes a (key, value) tuple and calculates the length of its optimal "
     "byte\nrepresentation, along with the representation itself.\nThis is used as the sorting key in CBOR's canonical "
     "representations.\n\n:param item: a (key, value) tuple"},
// clang-format off
#define KELVO_TAG_METHOD_ROW(method, encoder)                                                            \
    {#method, KELVO_FASTCALL((encoder_obj_method<k_##method, encoder>)), METH_FASTCALL | METH_KEYWORDS, \
     #method "($self, obj)\n--\n\n"},
    KELVO_TAG_METHODS(KELVO_TAG_METHOD_ROW)
#undef KELVO_TAG_METHOD_ROW
    // clang-format on
    {nullptr, nullptr, 0, nullptr},
};

#undef KELVO_FASTCALL

const char kEncoderDoc[] =
    "CBOREncoder(fp, " KELVO_SIGNATURE_ENCODER_OPTIONS
    ")\n--\n\n"
    "Writes Python objects as CBOR (RFC 8949) to a binary file object.\n\n"
    "Each :meth:`encode` call writes one complete data item. Output is collected in a buffer and handed "
    "to ``fp.write`` whenever 4096 bytes are pending and when the item is complete. Hooks receive this "
    "encoder and write through its methods, which may also be called directly to write items piece by "
    "piece. One encoder serves one thread at a time: another thread that uses it meanwhile can get "
    ":exc:`RuntimeError` \"Already borrowed\".\n\n"
    ":param fp: the binary file object to write to (its ``writable()`` must be true)\n" KELVO_DOC_ENCODER_OPTIONS;

PyType_Slot encoder_slots[] = {
    {Py_tp_doc, const_cast<char *>(kEncoderDoc)},
    {Py_tp_new, reinterpret_cast<void *>(encoder_new)},
    {Py_tp_dealloc, reinterpret_cast<void *>(encoder_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void *>(encoder_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(encoder_clear)},
    {Py_tp_getset, encoder_getset},
    {Py_tp_methods, encoder_methods},
    {0, nullptr},
};

PyType_Spec encoder_spec = {"kelvo.CBOREncoder", sizeof(EncoderObject), 0, kClassFlags, encoder_slots};

TypeCell encoder_cell{{0, 0}, &encoder_spec, nullptr};

}  // namespace

PyTypeObject *encoder_type() { return type_from_cell(encoder_cell); }

}  // namespace kelvo
