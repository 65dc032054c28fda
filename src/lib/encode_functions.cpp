// dump(obj, fp, ...) and dumps(obj, ...): one encoder, one encode() call.
#include "lib/encode_functions.h"

#include "encoder/encoder.h"
#include "lib/args.h"

namespace kelvo {

namespace {

const char *const kDumpPositional[] = {"obj", "fp"};
const ArgumentSpec kDumpSpec{"dump", nullptr, kDumpPositional, 2, 0, 2, kEncoderOptionNames, kEncoderOptionCount};
const char *const kDumpsPositional[] = {"obj"};
const ArgumentSpec kDumpsSpec{"dumps", nullptr, kDumpsPositional, 1, 0, 1, kEncoderOptionNames,
                              kEncoderOptionCount};

PyObject *dump(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *slots[2 + kEncoderOptionCount];
    if (parse_arguments(kDumpSpec, args, nargs, kwnames, slots) < 0) return nullptr;
    EncoderOptions opts;
    if (convert_encoder_options(slots + 2, &opts) < 0) return nullptr;
    Ref enc(reinterpret_cast<PyObject *>(encoder_create(slots[1], opts)));
    if (!enc) return nullptr;
    if (encoder_encode(reinterpret_cast<EncoderObject *>(enc.get()), slots[0]) < 0) return nullptr;
    Py_RETURN_NONE;
}

PyObject *dumps(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *slots[1 + kEncoderOptionCount];
    if (parse_arguments(kDumpsSpec, args, nargs, kwnames, slots) < 0) return nullptr;
    EncoderOptions opts;
    if (convert_encoder_options(slots + 1, &opts) < 0) return nullptr;
    Ref holder(reinterpret_cast<PyObject *>(encoder_create(nullptr, opts)));
    if (!holder) return nullptr;
    auto *enc = reinterpret_cast<EncoderObject *>(holder.get());
    if (encoder_encode(enc, slots[0]) < 0) return nullptr;
    OutBuffer out;
    {
        EncoderWindow w;
        if (!w.open(enc, AccessSite::Window)) return nullptr;
        out = enc->out.take();
    }
    return out.finish();
}

#define KELVO_OPTIONS_SIGNATURE                                                                              \
    "*, datetime_as_timestamp=False, timezone=None, value_sharing=False, encoders=None, default=None, "     \
    "canonical=False, date_as_datetime=False, string_referencing=False, indefinite_containers=False)"
#define KELVO_OPTIONS_DOC                                                                                     \
    ":param datetime_as_timestamp: write datetimes as epoch timestamps (tag 1) instead of text (tag 0)\n"   \
    ":param timezone: the time zone (a datetime.tzinfo) assumed for naive datetimes\n"                      \
    ":param value_sharing: mark repeated containers as shared values (tags 28 and 29), which also allows "  \
    "cyclic structures\n"                                                                                   \
    ":param encoders: a mapping of type to a callable ``f(encoder, value)`` used for values of exactly "    \
    "that type, ahead of the built-in encoders\n"                                                           \
    ":param default: a callable ``f(encoder, value)`` for values no other encoder takes\n"                  \
    ":param canonical: canonical output: shortest floats, map keys and set members in length-first "       \
    "order\n"                                                                                               \
    ":param date_as_datetime: write dates as datetimes at midnight\n"                                       \
    ":param string_referencing: write repeated strings as string references (tags 25 and 256)\n"            \
    ":param indefinite_containers: write arrays and maps with indefinite lengths"

PyMethodDef dump_method = {
    "dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(dump)), METH_FASTCALL | METH_KEYWORDS,
    "dump(obj, fp, " KELVO_OPTIONS_SIGNATURE "\n--\n\n"
    "Serialize an object to a file as CBOR.\n\n"
    ":param obj: the object to serialize\n"
    ":param fp: a writable binary file object (anything with ``writable()`` and ``write()``)\n" KELVO_OPTIONS_DOC};

PyMethodDef dumps_method = {
    "dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(dumps)), METH_FASTCALL | METH_KEYWORDS,
    "dumps(obj, " KELVO_OPTIONS_SIGNATURE "\n--\n\n"
    "Serialize an object to a bytestring as CBOR.\n\n"
    ":param obj: the object to serialize\n" KELVO_OPTIONS_DOC "\n"
    ":return: the serialized output"};

#undef KELVO_OPTIONS_SIGNATURE
#undef KELVO_OPTIONS_DOC

}  // namespace

PyMethodDef *dump_def() { return &dump_method; }

PyMethodDef *dumps_def() { return &dumps_method; }

}  // namespace kelvo
