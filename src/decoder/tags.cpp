// Semantic tags (semantic_decoders, the built-in table, CBORTag with tag_hook) and major
// type 7 (simple values, booleans, null, undefined, floats and the break code).
#include "decoder/machine.h"

#include "decoder/tag_table.h"
#include "lib/args.h"
#include "lib/errors.h"
#include "types/exceptions.h"
#include "types/simple.h"
#include "types/stdlib.h"
#include "types/tag.h"

#include <cmath>
#include <cstring>

namespace kelvo {

namespace {

PyObject *as_bool(bool v) { return v ? Py_True : Py_False; }

// A semantic_decoders entry that carries `_kelvo_name` decodes in two stages: called with
// the immutable flag it returns a placeholder (which references inside the payload resolve
// to) and the callable that builds the value from the payload.
DecodeAction begin_two_stage(Machine &m, uint64_t tag, Ref decoder, Ref name) {
    PyObject *immutable_attr = stdlib::name(stdlib::Name::kelvo_immutable);
    if (immutable_attr == nullptr) return DecodeAction::error();
    PyObject *flag_obj = nullptr;
    int r = PyObject_GetOptionalAttr(decoder.get(), immutable_attr, &flag_obj);
    Ref flag(flag_obj);
    if (r < 0) return DecodeAction::error();
    bool stage_immutable = false;
    if (r > 0) {
        int t = PyObject_IsTrue(flag.get());
        if (t < 0) return DecodeAction::error();
        stage_immutable = t != 0;
    }
    Ref result(PyObject_CallOneArg(decoder.get(), as_bool(m.immutable)));
    if (!result) return DecodeAction::error();
    if (!PyTuple_Check(result.get())) {
        raise_not_instance(result.get(), "tuple");
        return DecodeAction::error();
    }
    Py_ssize_t n = PyTuple_GET_SIZE(result.get());
    if (n != 2) {
        raise_exc_format(Exc::CBORDecodeError, "%S returned a tuple of %zd items, expected 2", decoder.get(), n);
        return DecodeAction::error();
    }
    PyObject *placeholder = PyTuple_GET_ITEM(result.get(), 0);
    DecodeFrame &f = m.prepare(FrameKind::TwoStage, stage_immutable, false);
    f.tag = tag;
    f.container = placeholder != Py_None ? Py_NewRef(placeholder) : nullptr;
    f.callable = Py_NewRef(PyTuple_GET_ITEM(result.get(), 1));
    f.extra = name.get() != Py_None ? name.release() : nullptr;
    return DecodeAction::push();
}

// Looks the tag up in semantic_decoders. 1 with the frame prepared, 0 when the mapping has
// no entry for it, -1 with the exception set.
int semantic_decoder(Machine &m, uint64_t tag, DecodeAction *out) {
    Ref key(PyLong_FromUnsignedLongLong(tag));
    if (!key) return -1;
    PyObject *table = m.d->semantic_decoders;
    Ref decoder;
    if (PyDict_CheckExact(table)) {
        PyObject *v;
        int r = PyDict_GetItemRef(table, key.get(), &v);
        if (r < 0) return -1;
        if (r == 0) return 0;
        decoder = Ref(v);
    } else {
        decoder = Ref(PyObject_GetItem(table, key.get()));
        if (!decoder) {
            if (!PyErr_ExceptionMatches(PyExc_LookupError)) return -1;
            PyErr_Clear();
            return 0;
        }
    }
    PyObject *name_attr = stdlib::name(stdlib::Name::kelvo_name);
    if (name_attr == nullptr) return -1;
    PyObject *name = nullptr;
    int r = PyObject_GetOptionalAttr(decoder.get(), name_attr, &name);
    if (r < 0) return -1;
    if (r > 0) {
        *out = begin_two_stage(m, tag, std::move(decoder), Ref(name));
        return 1;
    }
    DecodeFrame &f = m.prepare(FrameKind::Semantic, false, false);
    f.tag = tag;
    f.callable = decoder.release();
    *out = DecodeAction::push();
    return 1;
}

DecodeAction cbortag_frame(Machine &m, uint64_t tag) {
    PyObject *t = new_cbortag(tag, nullptr);
    if (t == nullptr) return DecodeAction::error();
    DecodeFrame &f = m.prepare(FrameKind::OtherTag, true, false);
    f.tag = tag;
    f.container = t;
    f.callable = Py_XNewRef(m.d->tag_hook);
    f.hook_immutable = m.immutable;
    return DecodeAction::push();
}

DecodeAction builtin_frame(Machine &m, FrameKind kind, const TagRow *row) {
    DecodeFrame &f = m.prepare(kind, true, false);
    f.tag = row->tag;
    f.row = row;
    return DecodeAction::push();
}

// Exact binary16 to binary64 conversion.
double half_to_double(uint16_t h) {
    uint32_t sign = h >> 15;
    uint32_t exponent = (h >> 10) & 0x1f;
    uint32_t mantissa = h & 0x3ff;
    double v;
    if (exponent == 0) {
        v = std::ldexp(static_cast<double>(mantissa), -24);
    } else if (exponent != 31) {
        v = std::ldexp(static_cast<double>(mantissa | 0x400), static_cast<int>(exponent) - 25);
    } else if (mantissa == 0) {
        v = HUGE_VAL;
    } else {
        // A quiet NaN whose payload is the ten mantissa bits at the top of the binary32
        // mantissa, widened to binary64 as the hardware widens a binary32 NaN.
        uint64_t single_mantissa = 0x400000u | (uint64_t{mantissa} << 13);
        uint64_t bits = (uint64_t{sign} << 63) | (uint64_t{0x7ff} << 52) | (single_mantissa << 29);
        memcpy(&v, &bits, sizeof v);
        return v;
    }
    return sign ? -v : v;
}

}  // namespace

DecodeAction decode_tag(Machine &m, uint8_t ai) {
    uint64_t tag;
    int r = read_argument(m, ai, &tag);
    if (r < 0) return DecodeAction::error();
    if (r == 0) return indefinite_not_allowed();
    if (m.d->semantic_decoders != nullptr) {
        DecodeAction a;
        int found = semantic_decoder(m, tag, &a);
        if (found < 0) return DecodeAction::error();
        if (found > 0) return a;
    }
    const TagRow *row = find_tag_row(tag);
    if (row != nullptr) {
        switch (row->action) {
            case TagRowAction::Codec:
                if (row->decoder != nullptr) return builtin_frame(m, FrameKind::TagCodec, row);
                break;
            case TagRowAction::StringReference:
                return builtin_frame(m, FrameKind::StringReference, row);
            case TagRowAction::Shareable:
                return DecodeAction::simple(ActionKind::OpenShareable);
            case TagRowAction::SharedReference:
                return builtin_frame(m, FrameKind::SharedReference, row);
            case TagRowAction::StringNamespace:
                return DecodeAction::simple(ActionKind::OpenStringNamespace);
            case TagRowAction::Set:
                return begin_set(m);
            case TagRowAction::Identity:
                return builtin_frame(m, FrameKind::Identity, row);
        }
    }
    return cbortag_frame(m, tag);
}

DecodeAction deliver_tag(Machine &m, DecodeFrame &f, Ref item) {
    switch (f.kind) {
        case FrameKind::TagCodec:
            if (payload_has_references(m, f) && charge_codec_payload(m, f) < 0) return DecodeAction::error();
            return DecodeAction::complete(f.row->decoder(item.get(), f.immutable));
        case FrameKind::Identity:
            return DecodeAction::complete(item.release());
        case FrameKind::StringReference:
        case FrameKind::SharedReference: {
            uint64_t index;
            if (convert_u64(item.get(), &index) < 0) return DecodeAction::error();
            return DecodeAction::simple(f.kind == FrameKind::SharedReference ? ActionKind::SharedReference
                                                                              : ActionKind::StringReference,
                                        index);
        }
        case FrameKind::OtherTag: {
            if (set_tag_value(f.container, item.get()) < 0) return DecodeAction::error();
            if (f.callable == nullptr) return DecodeAction::complete(Py_NewRef(f.container));
            PyObject *args[] = {f.container, as_bool(f.hook_immutable)};
            return DecodeAction::complete(PyObject_Vectorcall(f.callable, args, 2, nullptr));
        }
        case FrameKind::Semantic: {
            PyObject *args[] = {item.get(), as_bool(f.immutable)};
            return DecodeAction::complete(PyObject_Vectorcall(f.callable, args, 2, nullptr));
        }
        case FrameKind::TwoStage:
            return DecodeAction::complete(PyObject_CallOneArg(f.callable, item.get()));
        default:
            return DecodeAction::raw_error();  // not reached: the machine sends only tag frames here
    }
}

PyObject *float_value(uint8_t ai, const uint8_t *b) {
    if (ai == 25) return PyFloat_FromDouble(half_to_double(load_be<uint16_t>(b)));
    if (ai == 26) {
        uint32_t bits = load_be<uint32_t>(b);
        float f;
        memcpy(&f, &bits, sizeof f);
        return PyFloat_FromDouble(static_cast<double>(f));
    }
    uint64_t bits = load_be<uint64_t>(b);
    double v;
    memcpy(&v, &bits, sizeof v);
    return PyFloat_FromDouble(v);
}

DecodeAction decode_special(Machine &m, uint8_t ai) {
    uint8_t b[8];
    switch (ai) {
        case 20:
            return DecodeAction::item(Py_NewRef(Py_False));
        case 21:
            return DecodeAction::item(Py_NewRef(Py_True));
        case 22:
            return DecodeAction::item(Py_NewRef(Py_None));
        case 23: {
            PyObject *u = undefined_singleton();
            if (u == nullptr) return DecodeAction::error();
            return DecodeAction::item(Py_NewRef(u));
        }
        case 24:
            if (read_byte(m.d, b) < 0) return DecodeAction::error();
            if (b[0] < 32) {
                raise_exc(Exc::CBORDecodeError, "invalid two-byte sequence for simple value");
                return DecodeAction::error();
            }
            return DecodeAction::item(new_simple_value(b[0]));
        case 25:
        case 26:
        case 27:
            if (read_fixed(m.d, b, size_t{1} << (ai - 24)) < 0) return DecodeAction::error();
            return DecodeAction::item(float_value(ai, b));
        case 28:
        case 29:
        case 30:
            raise_exc_format(Exc::CBORDecodeError, "undefined reserved major type 7 subtype 0x%x", ai);
            return DecodeAction::error();
        case 31:
            return DecodeAction::item(Py_NewRef(m.break_marker));
        default:
            return DecodeAction::item(new_simple_value(ai));
    }
}

}  // namespace kelvo
