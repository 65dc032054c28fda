// dump(obj, fp, ...) and dumps(obj, ...): one encoder, one encode() call.
#include "module/encode_functions.h"

#include "encoder/encoder.h"
#include "lib/args.h"

namespace kelvo {

namespace {

const char *const kDumpPositional[] = {"obj", "fp"};
const ArgumentSpec kDumpSpec{"dump", nullptr, kDumpPositional, 2, 0, 2, kEncoderOptionNames, kEncoderOptionCount};
const char *const kDumpsPositional[] = {"obj"};
const ArgumentSpec kDumpsSpec{"dumps", nullptr, kDumpsPositional, 1, 0, 1, kEncoderOptionNames, kEncoderOptionCount};

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
    enc->out.into_bytes = true;
    if (encoder_encode(enc, slots[0]) < 0) return nullptr;
    OutBuffer out;
    {
        EncoderWindow w;
        if (!w.open(enc, AccessSite::Window)) return nullptr;
        out = enc->out.take();
    }
    return out.finish();
}

PyMethodDef dump_method = {
    "dump", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(dump)), METH_FASTCALL | METH_KEYWORDS,
    "dump(obj, fp, " KELVO_SIGNATURE_ENCODER_OPTIONS
    ")\n--\n\n"
    "Write ``obj`` to ``fp`` as one CBOR data item.\n\n"
    ":param obj: the object to write\n"
    ":param fp: a binary file object with a true ``writable()`` and a ``write()`` method; it receives the "
    "encoding in pieces of at least 4096 bytes and the rest when the item is complete\n" KELVO_DOC_ENCODER_OPTIONS};

PyMethodDef dumps_method = {"dumps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(dumps)),
                            METH_FASTCALL | METH_KEYWORDS,
                            "dumps(obj, " KELVO_SIGNATURE_ENCODER_OPTIONS
                            ")\n--\n\n"
                            "Return the encoding of ``obj`` as one CBOR data item.\n\n"
                            ":param obj: the object to encode\n" KELVO_DOC_ENCODER_OPTIONS
                            "\n"
                            ":return: the encoding, as ``bytes``"};

}  // namespace

PyMethodDef *dump_def() { return &dump_method; }

PyMethodDef *dumps_def() { return &dumps_method; }

}  // namespace kelvo
