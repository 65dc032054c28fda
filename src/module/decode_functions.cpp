// load() and loads(): decode one item from a stream or from memory with decoder state
// built for the call (no CBORDecoder object is created).
#include "module/decode_functions.h"

#include "decoder/decoder.h"
#include "lib/args.h"
#include "lib/errors.h"

namespace kelvo {

namespace {

// Decoder state on the C stack, released when the call ends.
struct CallDecoder {
    DecoderState state{};
    CallDecoder() = default;
    CallDecoder(const CallDecoder &) = delete;
    CallDecoder &operator=(const CallDecoder &) = delete;
    ~CallDecoder() { decoder_state_clear(&state); }
};

const char *const kFpName[] = {"fp"};
constexpr DecoderOption kLoadOptions[] = {KELVO_DECODER_OPTIONS(KELVO_DECODER_TAKEN_OPTION_load)};
constexpr int kLoadOptionCount = array_len(kLoadOptions);
const char *const kLoadKeywords[] = {KELVO_DECODER_OPTIONS(KELVO_DECODER_TAKEN_NAME_load)};
const ArgumentSpec kLoadSpec{"load", nullptr, kFpName, 1, 0, 1, kLoadKeywords, kLoadOptionCount};

const char *const kDataName[] = {"data"};
constexpr DecoderOption kLoadsOptions[] = {KELVO_DECODER_OPTIONS(KELVO_DECODER_TAKEN_OPTION_loads)};
constexpr int kLoadsOptionCount = array_len(kLoadsOptions);
const char *const kLoadsKeywords[] = {KELVO_DECODER_OPTIONS(KELVO_DECODER_TAKEN_NAME_loads)};
const ArgumentSpec kLoadsSpec{"loads", nullptr, kDataName, 1, 0, 1, kLoadsKeywords, kLoadsOptionCount};

PyObject *load(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *slots[1 + kLoadOptionCount];
    if (parse_arguments(kLoadSpec, args, nargs, kwnames, slots) < 0) return nullptr;
    DecoderOptions opts;
    if (convert_decoder_options(kLoadOptions, kLoadOptionCount, slots + 1, &opts) < 0) return nullptr;
    CallDecoder dec;
    if (decoder_state_init(&dec.state, slots[0], nullptr, opts) < 0) return nullptr;
    return decoder_decode(&dec.state, opts.immutable);
}

// A format of one-byte unsigned or char items, optionally with a native or big-endian mark.
bool is_byte_format(const char *format) {
    if (format == nullptr) return true;
    if (*format == '=' || *format == '>' || *format == '@') ++format;
    return (format[0] == 'B' || format[0] == 'c') && format[1] == '\0';
}

int raise_not_bytes_like(PyObject *data) {
    Ref name(type_qualname(Py_TYPE(data)));
    if (!name) return -1;
    PyErr_Format(PyExc_TypeError, "a bytes-like object is required, not '%U'", name.get());
    return -1;
}

// The input of loads() as a bytes object: `data` itself when it is one, otherwise a copy of
// its buffer. New reference or NULL.
PyObject *input_bytes(PyObject *data) {
    if (PyBytes_Check(data)) return Py_NewRef(data);
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_FULL_RO) < 0) {
        PyErr_Clear();
        raise_not_bytes_like(data);
        return nullptr;
    }
    if (view.shape == nullptr || view.strides == nullptr || view.itemsize != 1 || !is_byte_format(view.format)) {
        PyBuffer_Release(&view);
        raise_not_bytes_like(data);
        return nullptr;
    }
    PyObject *copy = PyBytes_FromStringAndSize(nullptr, view.len);
    if (copy != nullptr && PyBuffer_ToContiguous(PyBytes_AS_STRING(copy), &view, view.len, 'C') < 0) Py_CLEAR(copy);
    PyBuffer_Release(&view);
    return copy;
}

PyObject *loads(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    PyObject *slots[1 + kLoadsOptionCount];
    if (parse_arguments(kLoadsSpec, args, nargs, kwnames, slots) < 0) return nullptr;
    DecoderOptions opts;
    if (convert_decoder_options(kLoadsOptions, kLoadsOptionCount, slots + 1, &opts) < 0) return nullptr;
    Ref data(input_bytes(slots[0]));
    if (!data) return nullptr;
    CallDecoder dec;
    if (decoder_state_init(&dec.state, nullptr, data.get(), opts) < 0) return nullptr;
    return decoder_decode(&dec.state, opts.immutable);
}

#define KELVO_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f))

}  // namespace

PyMethodDef load_def = {
    "load", KELVO_FASTCALL(load), METH_FASTCALL | METH_KEYWORDS,
    "load(fp, *" KELVO_DECODER_OPTIONS(KELVO_DECODER_SIGNATURE_load) ")\n--\n\n"
    "Read one CBOR data item from ``fp`` and return it as a Python object.\n\n"
    ":param fp: a binary file object with a true ``readable()`` and a ``read()`` method; a seekable one "
    "is left just past the item\n"
    KELVO_DECODER_OPTIONS(KELVO_DECODER_DOC_load) ":return: the decoded object"};

PyMethodDef loads_def = {
    "loads", KELVO_FASTCALL(loads), METH_FASTCALL | METH_KEYWORDS,
    "loads(data, *" KELVO_DECODER_OPTIONS(KELVO_DECODER_SIGNATURE_loads) ")\n--\n\n"
    "Decode the CBOR data item at the start of ``data`` and return it as a Python object; bytes after the "
    "item are ignored.\n\n"
    ":param data: ``bytes`` or any object exporting a buffer of single bytes (``bytearray``, "
    "``memoryview``, ``array.array('B')``...)\n"
    KELVO_DECODER_OPTIONS(KELVO_DECODER_DOC_loads) ":return: the decoded object"};

#undef KELVO_FASTCALL

}  // namespace kelvo
