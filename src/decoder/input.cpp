// The decoder's input buffer: refilling it from fp.read, the reads built on it, and the
// give-back of read-ahead bytes after a decode.
#include "decoder/decoder.h"

#include "lib/errors.h"
#include "lib/stdlib.h"
#include "types/exceptions.h"

namespace kelvo {

void input_set_block(DecoderState *d, PyObject *block, size_t pos) {
    PyObject *old = d->in.block;
    d->in.block = block;
    if (block != nullptr) {
        d->in.data = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(block));
        d->in.len = static_cast<size_t>(PyBytes_GET_SIZE(block));
        d->in.pos = pos;
    } else {
        d->in.data = nullptr;
        d->in.len = 0;
        d->in.pos = 0;
    }
    Py_XDECREF(old);
}

namespace {

// One call of fp.read for at least `missing` more bytes. New reference or NULL.
PyObject *read_once(DecoderState *d, size_t missing) {
    uint64_t request = d->seekable ? (missing > d->read_size ? missing : d->read_size) : (missing > 1 ? missing : 1);
    Ref target = Ref::borrow(d->read_target);
    Ref size(PyLong_FromUnsignedLongLong(request));
    if (!size) return nullptr;
    Ref block(PyObject_CallOneArg(target.get(), size.get()));
    if (!block) return nullptr;
    if (!PyBytes_Check(block.get())) {
        raise_not_instance(block.get(), "bytes");
        return nullptr;
    }
    return block.release();
}

}  // namespace

PyObject *fetch_block(DecoderState *d, size_t min) {
    size_t got = 0;
    if (d->read_target != nullptr) {
        Ref block(read_once(d, min));
        if (!block) return nullptr;
        // The storage size, not len(): a subclass cannot make us read past its bytes.
        got = static_cast<size_t>(PyBytes_GET_SIZE(block.get()));
        if (got >= min) return block.release();
        // A raw pipe or socket may return fewer bytes than asked without being at its end:
        // read on for the missing bytes until they are all here or a read returns nothing.
        if (got > 0) {
            Ref pieces(PyList_New(0));
            if (!pieces || PyList_Append(pieces.get(), block.get()) < 0) return nullptr;
            while (got < min) {
                Ref more(read_once(d, min - got));
                if (!more) return nullptr;
                size_t n = static_cast<size_t>(PyBytes_GET_SIZE(more.get()));
                if (n == 0) break;
                if (PyList_Append(pieces.get(), more.get()) < 0) return nullptr;
                got += n;
            }
            if (got >= min) {
                PyObject *joined = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(got));
                if (joined == nullptr) return nullptr;
                char *dst = PyBytes_AS_STRING(joined);
                for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pieces.get()); ++i) {
                    PyObject *piece = PyList_GET_ITEM(pieces.get(), i);
                    memcpy(dst, PyBytes_AS_STRING(piece), static_cast<size_t>(PyBytes_GET_SIZE(piece)));
                    dst += PyBytes_GET_SIZE(piece);
                }
                return joined;
            }
        }
    }
    raise_exc_format(Exc::CBORDecodeEOF,
                     "premature end of stream (expected to read at least %zu bytes, got %zu instead)", min, got);
    return nullptr;
}

namespace {

// The buffer holds fewer than `n` unread bytes. Takes the buffer out (its unread tail stays
// readable through `old`), fetches a block with the missing bytes and installs it,
// positioned just after them. On failure the buffer is left empty.
struct Refill {
    Ref old;
    const uint8_t *tail = nullptr;
    size_t have = 0;
    const uint8_t *head = nullptr;  // the missing bytes at the start of the new block
};

int refill(DecoderState *d, size_t n, Refill *r) {
    InputBuffer &in = d->in;
    r->have = in.remaining();
    r->tail = in.data != nullptr ? in.data + in.pos : nullptr;
    r->old = Ref(in.block);
    d->consumed += in.len;
    in.block = nullptr;
    in.data = nullptr;
    in.pos = in.len = 0;
    PyObject *block = fetch_block(d, n - r->have);
    if (block == nullptr) return -1;
    input_set_block(d, block, n - r->have);
    r->head = in.data;
    return 0;
}

// Copies n bytes to dst from wherever they are.
int read_copy(DecoderState *d, uint8_t *dst, size_t n) {
    InputBuffer &in = d->in;
    if (in.remaining() >= n) {
        if (n != 0) memcpy(dst, in.data + in.pos, n);
        in.pos += n;
        return 0;
    }
    return read_slow(d, dst, n);
}

}  // namespace

int read_slow(DecoderState *d, uint8_t *dst, size_t n) {
    Refill r;
    if (refill(d, n, &r) < 0) return -1;
    if (r.have != 0) memcpy(dst, r.tail, r.have);
    memcpy(dst + r.have, r.head, n - r.have);
    return 0;
}

int read_span(DecoderState *d, size_t n, InputSpan *out) {
    InputBuffer &in = d->in;
    if (in.remaining() >= n) {
        static const uint8_t kNothing[1] = {0};
        out->data_ = n != 0 ? in.data + in.pos : kNothing;
        in.pos += n;
        return 0;
    }
    Refill r;
    if (refill(d, n, &r) < 0) return -1;
    auto *buf = static_cast<uint8_t *>(PyMem_Malloc(n));
    if (buf == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    if (r.have != 0) memcpy(buf, r.tail, r.have);
    memcpy(buf + r.have, r.head, n - r.have);
    out->owned_ = buf;
    out->data_ = buf;
    return 0;
}

int read_pieces(DecoderState *d, size_t n, PodVec<uint8_t> &out) {
    while (n > 0) {
        size_t piece = n < kPieceSize ? n : kPieceSize;
        if (out.reserve(piece) < 0) return -1;
        if (read_copy(d, out.data() + out.size(), piece) < 0) return -1;
        out.commit(piece);
        n -= piece;
    }
    return 0;
}

PyObject *read_exact_bytes(DecoderState *d, uint64_t amount) {
    InputBuffer &in = d->in;
    if (amount == 0) return PyBytes_FromStringAndSize(nullptr, 0);
    if (in.remaining() >= amount) {
        PyObject *b = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(in.data + in.pos),
                                                static_cast<Py_ssize_t>(amount));
        if (b != nullptr) in.pos += amount;
        return b;
    }
    Refill r;
    if (refill(d, amount, &r) < 0) return nullptr;
    PyObject *b = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(amount));
    if (b == nullptr) return nullptr;
    char *dst = PyBytes_AS_STRING(b);
    if (r.have != 0) memcpy(dst, r.tail, r.have);
    memcpy(dst + r.have, r.head, amount - r.have);
    return b;
}

int give_back(DecoderState *d) {
    if (d->fp == nullptr) return 0;  // an in-memory decoder keeps its unread bytes
    size_t rest = d->in.remaining();
    if (rest > 0) {
        Ref offset(PyLong_FromLongLong(-static_cast<long long>(rest)));
        Ref whence(PyLong_FromLong(1));
        if (!offset || !whence) return -1;
        PyObject *seek_name = stdlib::name(stdlib::Name::seek);
        if (seek_name == nullptr) return -1;
        Ref fp = Ref::borrow(d->fp);
        PyObject *seek_raw;
        if (PyObject_GetOptionalAttr(fp.get(), seek_name, &seek_raw) < 0) return -1;
        // A stream that cannot seek cannot take the bytes back: they stay buffered and the
        // next read or decode of this decoder starts with them.
        if (seek_raw == nullptr) return 0;
        Ref seek(seek_raw);
        PyObject *args[] = {offset.get(), whence.get()};
        Ref r(PyObject_Vectorcall(seek.get(), args, 2, nullptr));
        if (!r) {
            PyObject *exc = PyErr_GetRaisedException();
            PyObject *unsupported = stdlib::get(stdlib::io_unsupported);
            if (unsupported == nullptr || !PyErr_GivenExceptionMatches(exc, unsupported)) {
                if (unsupported == nullptr) PyErr_Clear();
                PyErr_SetRaisedException(exc);
                return -1;
            }
            Py_DECREF(exc);
            return 0;
        }
    }
    input_set_block(d, nullptr, 0);
    return 0;
}

}  // namespace kelvo
