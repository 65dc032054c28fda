// The output buffer, the flush rule and the public write() method.
#include "encoder/encoder.h"

#include "lib/args.h"
#include "lib/errors.h"

#include <cstring>

namespace kelvo {

int OutBuffer::grow(size_t extra) {
    size_t need = len + extra;
    if (need < len || need > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return -1;
    }
    // Half as much again as what is needed: geometric, and the finished content fills at
    // least two thirds of the storage, so that trimming it to size can leave it in place.
    size_t new_cap = need + need / 2;
    if (new_cap < need || new_cap > static_cast<size_t>(PY_SSIZE_T_MAX)) new_cap = need;
    if (new_cap < 256) new_cap = 256;
    if (owner == nullptr) {
        owner = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(new_cap));
    } else if (_PyBytes_Resize(&owner, static_cast<Py_ssize_t>(new_cap)) < 0) {
        owner = nullptr;  // released by the failed resize
    }
    if (owner == nullptr) {
        data = nullptr;
        len = cap = 0;
        return -1;
    }
    data = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(owner));
    cap = new_cap;
    return 0;
}

void OutBuffer::release() noexcept {
    Py_CLEAR(owner);
    data = nullptr;
    len = cap = 0;
}

PyObject *OutBuffer::finish() {
    OutBuffer out = take();
    if (out.owner == nullptr) return PyBytes_FromStringAndSize(nullptr, 0);
    PyObject *result = out.owner;
    if (_PyBytes_Resize(&result, static_cast<Py_ssize_t>(out.len)) < 0) return nullptr;
    return result;
}

int flush_buffer(EncoderObject *enc) {
    Ref chunk(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(enc->out.data),
                                        static_cast<Py_ssize_t>(enc->out.len)));
    // Whatever happens to the call, these bytes are gone from the buffer: a failed write
    // must not leave stale bytes to be written ahead of the next, unrelated output.
    enc->out.clear();
    if (!chunk) return -1;
    Ref r(PyObject_CallOneArg(enc->write_target, chunk.get()));
    return r ? 0 : -1;
}

int emit_long_chunk(EncoderObject *enc, const void *data, size_t n) {
    if (flush_buffer(enc) < 0) return -1;
    if (enc->out.reserve(n) < 0) return -1;
    memcpy(enc->out.data + enc->out.len, data, n);
    enc->out.len += n;
    return emit_flush_rule(enc);
}

}  // namespace kelvo
