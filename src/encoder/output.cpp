// The output buffer, the flush rule and the public write() method.
#include "encoder/encoder.h"
#include "encoder/writer.h"

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/podvec.h"
#include "lib/stdlib.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace kelvo {

namespace {

// Storage kept by each thread between encodings, so that a thread calling dumps() over and
// over reuses warm memory instead of growing a fresh buffer (and faulting its pages in)
// every time. It is raw-allocator memory, so it can be freed at thread exit.
struct SpareStorage {
    uint8_t *data = nullptr;
    size_t cap = 0;
    ~SpareStorage() { PyMem_RawFree(data); }
};
thread_local SpareStorage t_spare;
constexpr size_t kSpareLimit = size_t{1} << 20;
// The size of this thread's last result made in place, as the first size of the next.
thread_local size_t t_result_hint = 0;
constexpr size_t kHintLimit = size_t{16} << 20;

}  // namespace

// A large string content standing at offset `at` of the buffer's own bytes.
struct OutPiece {
    size_t at;
    PyObject *owner;  // owned; exact bytes or str, so the content cannot change
    const uint8_t *content;
    size_t n;
};
struct OutPieces {
    PodVec<OutPiece> list;
    size_t bytes;  // sum of their sizes
};

void OutBuffer::drop_pieces() noexcept {
    OutPieces *p = pieces;
    pieces = nullptr;
    for (size_t i = 0; i < p->list.size(); ++i) Py_DECREF(p->list[i].owner);
    p->~OutPieces();
    PyMem_Free(p);
}

int OutBuffer::flatten() {
    if (pieces == nullptr) return 0;
    size_t total = len + pieces->bytes;
    if (total < len) {
        PyErr_NoMemory();
        return -1;
    }
    if (reserve(pieces->bytes) < 0) return -1;
    // From the end backwards, so that no buffered byte is overwritten before it moved.
    size_t end = total;
    size_t src_end = len;
    for (size_t i = pieces->list.size(); i-- > 0;) {
        const OutPiece &piece = pieces->list[i];
        size_t tail = src_end - piece.at;
        memmove(data + end - tail, data + piece.at, tail);
        end -= tail;
        memcpy(data + end - piece.n, piece.content, piece.n);
        end -= piece.n;
        src_end = piece.at;
    }
    len = total;
    drop_pieces();
    return 0;
}

int put_large_string(EncoderObject *enc, unsigned major, PyObject *owner, const void *content, size_t n) {
    if (put_header(enc, major, n) < 0) return -1;
    OutBuffer &out = enc->out;
    if (out.pieces == nullptr) {
        void *mem = PyMem_Malloc(sizeof(OutPieces));
        if (mem == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        out.pieces = new (mem) OutPieces{};
    }
    if (out.pieces->list.push({out.len, owner, static_cast<const uint8_t *>(content), n}) < 0) return -1;
    Py_INCREF(owner);
    out.pieces->bytes += n;
    return 0;
}

int OutBuffer::grow(size_t extra) {
    size_t need = len + extra;
    if (need < len || need > static_cast<size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        return -1;
    }
    if (into_bytes) {
        size_t new_cap = need + need / 2;
        if (new_cap < need || new_cap > static_cast<size_t>(PY_SSIZE_T_MAX)) new_cap = need;
        size_t hint = t_result_hint < kHintLimit ? t_result_hint + t_result_hint / 8 : 0;
        if (holder == nullptr && new_cap < hint) new_cap = hint;
        if (new_cap < 256) new_cap = 256;
        // A new object and a copy, so that a failure leaves the content as it was.
        PyObject *grown = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(new_cap));
        if (grown == nullptr) return -1;
        auto *p = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(grown));
        if (len > 0) memcpy(p, data, len);
        Py_XDECREF(holder);
        holder = grown;
        data = p;
        cap = new_cap;
        return 0;
    }
    if (data == nullptr && t_spare.data != nullptr) {
        data = t_spare.data;
        cap = t_spare.cap;
        t_spare.data = nullptr;
        t_spare.cap = 0;
        if (cap >= need) return 0;
    }
    // Half as much again as what is needed: geometric growth.
    size_t new_cap = need + need / 2;
    if (new_cap < need || new_cap > static_cast<size_t>(PY_SSIZE_T_MAX)) new_cap = need;
    if (new_cap < 256) new_cap = 256;
    auto *p = static_cast<uint8_t *>(PyMem_RawRealloc(data, new_cap));
    if (p == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    data = p;
    cap = new_cap;
    return 0;
}

void OutBuffer::release() noexcept {
    if (pieces != nullptr) drop_pieces();
    if (holder != nullptr) {
        Py_CLEAR(holder);
    } else if (data != nullptr && cap <= kSpareLimit && cap > t_spare.cap) {
        PyMem_RawFree(t_spare.data);
        t_spare.data = data;
        t_spare.cap = cap;
    } else {
        PyMem_RawFree(data);
    }
    data = nullptr;
    len = cap = 0;
}

PyObject *OutBuffer::finish() {
    OutBuffer out = take();
    if (out.holder != nullptr && out.pieces == nullptr) {
        // The output already stands in the result: it is cut to its length.
        PyObject *result = out.holder;
        out.holder = nullptr;
        t_result_hint = out.len;
        if (out.cap - out.len <= out.cap / 8) {
            // Little room left over (the usual case once the size hint is known): the
            // object is cut without a reallocation. Shrinking the block would hand the
            // allocator a smaller free block than the next call asks for, and a large
            // request that exceeds what was last freed is served by fresh pages every
            // time, each of them faulted in again.
            Py_SET_SIZE(result, static_cast<Py_ssize_t>(out.len));
            PyBytes_AS_STRING(result)[out.len] = '\0';
            return result;
        }
        if (_PyBytes_Resize(&result, static_cast<Py_ssize_t>(out.len)) < 0) return nullptr;
        return result;
    }
    if (out.pieces != nullptr) {
        // The one copy of the referenced contents: straight into the result.
        size_t total = out.len + out.pieces->bytes;
        PyObject *result = total >= out.len && total <= static_cast<size_t>(PY_SSIZE_T_MAX)
                               ? PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total))
                               : PyErr_NoMemory();
        if (result != nullptr) {
            auto *dst = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(result));
            size_t from = 0;
            for (size_t i = 0; i < out.pieces->list.size(); ++i) {
                const OutPiece &piece = out.pieces->list[i];
                memcpy(dst, out.data + from, piece.at - from);
                dst += piece.at - from;
                memcpy(dst, piece.content, piece.n);
                dst += piece.n;
                from = piece.at;
            }
            memcpy(dst, out.data + from, out.len - from);
        }
        out.release();
        return result;
    }
    PyObject *result =
        PyBytes_FromStringAndSize(reinterpret_cast<const char *>(out.data), static_cast<Py_ssize_t>(out.len));
    out.release();
    return result;
}

namespace {

// The rest of a chunk after a raw stream took its first `done` bytes: write() on such a
// stream returns how many bytes it took, or None when it would have to block.
int write_rest_raw(EncoderObject *enc, PyObject *chunk, PyObject *first_result) {
    Py_ssize_t total = PyBytes_GET_SIZE(chunk);
    Py_ssize_t done = 0;
    Ref view;
    Ref result = Ref::borrow(first_result);
    for (;;) {
        if (result.get() == Py_None) {
            uint64_t written = enc->raw_written + static_cast<uint64_t>(done);
            Ref exc(PyObject_CallFunction(PyExc_BlockingIOError, "isK", EAGAIN,
                                          "the stream took only part of the output without blocking",
                                          static_cast<unsigned long long>(written)));
            if (exc) PyErr_SetObject(PyExc_BlockingIOError, exc.get());
            return -1;
        }
        Py_ssize_t took = PyNumber_AsSsize_t(result.get(), PyExc_OverflowError);
        if (took == -1 && PyErr_Occurred()) return -1;
        if (took <= 0 || took > total - done) {
            PyErr_Format(PyExc_OSError, "write() of the output stream returned %zd for %zd bytes", took, total - done);
            return -1;
        }
        done += took;
        if (done == total) break;
        if (!view) {
            view = Ref(PyMemoryView_FromObject(chunk));
            if (!view) return -1;
        }
        Ref rest(PySequence_GetSlice(view.get(), done, total));
        if (!rest) return -1;
        result = Ref(PyObject_CallOneArg(enc->write_target, rest.get()));
        if (!result) return -1;
    }
    enc->raw_written += static_cast<uint64_t>(total);
    return 0;
}

}  // namespace

int flush_buffer(EncoderObject *enc) {
    // Contents referenced while there was no stream go out in their place.
    if (enc->out.flatten() < 0) {
        enc->out.clear();
        return -1;
    }
    Ref chunk(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(enc->out.data),
                                        static_cast<Py_ssize_t>(enc->out.len)));
    enc->flushed += enc->out.len;
    // Whatever happens to the call, these bytes are gone from the buffer: a failed write
    // must not leave stale bytes to be written ahead of the next, unrelated output.
    enc->out.clear();
    if (!chunk) return -1;
    Ref r(PyObject_CallOneArg(enc->write_target, chunk.get()));
    if (!r) return -1;
    Py_ssize_t size = PyBytes_GET_SIZE(chunk.get());
    if (size == 0) return 0;
    if (PyLong_CheckExact(r.get()) && PyLong_AsSsize_t(r.get()) == size) {
        enc->raw_written += static_cast<uint64_t>(size);
        return 0;  // all taken, whatever kind of stream this is
    }
    PyErr_Clear();
    // Only a raw stream's result counts the bytes it took; other writers' results mean
    // different things (or nothing) and are not looked at.
    if (enc->raw_stream < 0) {
        PyObject *raw_base = stdlib::get(stdlib::io_raw_base);
        if (raw_base == nullptr) return -1;
        Ref fp = Ref::borrow(enc->fp);
        int raw = PyObject_IsInstance(fp.get(), raw_base);
        if (raw < 0) return -1;
        enc->raw_stream = static_cast<int8_t>(raw);
    }
    if (enc->raw_stream == 0) return 0;
    return write_rest_raw(enc, chunk.get(), r.get());
}

int emit_long_chunk(EncoderObject *enc, const void *data, size_t n) {
    if (flush_buffer(enc) < 0) return -1;
    if (enc->out.reserve(n) < 0) return -1;
    memcpy(enc->out.data + enc->out.len, data, n);
    enc->out.len += n;
    return emit_flush_rule(enc);
}

}  // namespace kelvo
