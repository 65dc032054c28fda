// The encoder's writing layer: the exclusive window a step holds while it appends, the
// header and scalar writers, and the entry points of the dispatch, containers, sharing
// and string-reference units.
#pragma once

#include "encoder/encoder.h"
#include "lib/copy.h"
#include "lib/recursion.h"

#include <atomic>
#include <cstdint>

namespace kelvo {

// One encoding step's hold on the encoder. The exclusive window is opened on demand and
// kept across a run of appends; it is closed before anything that can run Python code
// other than the stream's write (hooks, iteration of foreign containers, isinstance
// against abstract classes, comparisons of int subclasses, sorting keys).
class Ctx {
public:
    explicit Ctx(EncoderObject *e) noexcept : enc(e), floor_(RecursionGuard::stack_floor()) {}
    EncoderObject *const enc;

    [[nodiscard]] bool open() { return w_.held() || (++opened_, w_.open(enc, AccessSite::Window)); }
    [[nodiscard]] bool open_entry() { return w_.held() || (++opened_, w_.open(enc, AccessSite::Entry)); }
    [[nodiscard]] bool reopen_for_cleanup() { return w_.held() || (++opened_, w_.reopen_for_cleanup(enc)); }
    void close() noexcept { w_.close(); }
    bool held() const noexcept { return w_.held(); }
    // The calling thread's state, looked up on first use (for the nesting count; many
    // steps never need it, and the lookup costs more than the check).
    PyThreadState *thread_state() noexcept {
        if (tstate_ == nullptr) tstate_ = PyThreadState_GetUnchecked();
        return tstate_;
    }
    // The lowest stack address nested steps may reach (see RecursionGuard), as it was
    // known when the step began.
    uintptr_t stack_floor() const noexcept { return floor_; }
    // How many times the window was opened. A window still held with the same count as
    // before some work was never closed during it, so that work ran no Python code other
    // than the stream's write.
    uint64_t openings() const noexcept { return opened_; }

private:
    EncoderWindow w_;
    uint64_t opened_ = 0;
    PyThreadState *tstate_ = nullptr;
    const uintptr_t floor_;
};

// ---- Sinks: where encodings go. EmitSink appends through the output primitives (with
// the flush rule after each piece); BufferSink appends to a private buffer.

struct EmitSink {
    EncoderObject *enc;
    int byte(uint8_t b) { return emit_byte(enc, b); }
    int bytes(const void *p, size_t n) { return emit_bytes(enc, p, n); }
};

struct BufferSink {
    OutBuffer &buf;
    int byte(uint8_t b) {
        if (buf.reserve(1) < 0) return -1;
        buf.data[buf.len++] = b;
        return 0;
    }
    int bytes(const void *p, size_t n) {
        if (buf.reserve(n) < 0) return -1;
        if (n > 0) memcpy(buf.data + buf.len, p, n);
        buf.len += n;
        return 0;
    }
};

// ---- Headers

// Encodes a header into `out` (up to 9 bytes); returns its length. Only the low three
// bits of `major` survive.
[[gnu::always_inline]] inline size_t header_bytes(unsigned major, uint64_t v, uint8_t *out) {
    uint8_t ib = static_cast<uint8_t>(major << 5);
    if (v < 24) {
        out[0] = static_cast<uint8_t>(ib | v);
        return 1;
    }
    if (v <= 0xff) {
        out[0] = ib | 24;
        out[1] = static_cast<uint8_t>(v);
        return 2;
    }
    if (v <= 0xffff) {
        out[0] = ib | 25;
        uint16_t be = __builtin_bswap16(static_cast<uint16_t>(v));
        memcpy(out + 1, &be, 2);
        return 3;
    }
    if (v <= 0xffffffffu) {
        out[0] = ib | 26;
        uint32_t be = __builtin_bswap32(static_cast<uint32_t>(v));
        memcpy(out + 1, &be, 4);
        return 5;
    }
    out[0] = ib | 27;
    uint64_t be = __builtin_bswap64(v);
    memcpy(out + 1, &be, 8);
    return 9;
}

// A header: the initial byte on its own, then the argument bytes in one piece.
template <class Sink>
inline int sink_header(Sink &&s, unsigned major, uint64_t v) {
    uint8_t buf[9];
    size_t n = header_bytes(major, v, buf);
    if (s.byte(buf[0]) < 0) return -1;
    return n > 1 ? s.bytes(buf + 1, n - 1) : 0;
}

// A byte or text string: header, then the content.
template <class Sink>
inline int sink_string(Sink &&s, unsigned major, const void *data, size_t n) {
    if (sink_header(s, major, n) < 0) return -1;
    return s.bytes(data, n);
}

// Window held for the two below. Without a stream nothing can flush between the pieces,
// so they are appended in one go.
inline int put_header(EncoderObject *enc, unsigned major, uint64_t v) {
    if (enc->write_target != nullptr) return sink_header(EmitSink{enc}, major, v);
    if (enc->out.reserve(9) < 0) return -1;
    enc->out.len += header_bytes(major, v, enc->out.data + enc->out.len);
    return 0;
}
inline int put_string(EncoderObject *enc, unsigned major, const void *data, size_t n) {
    if (enc->write_target != nullptr) return sink_string(EmitSink{enc}, major, data, n);
    if (n > SIZE_MAX - 9 || enc->out.reserve(9 + n) < 0) {
        if (!PyErr_Occurred()) PyErr_NoMemory();
        return -1;
    }
    uint8_t *p = enc->out.data + enc->out.len;
    size_t h = header_bytes(major, n, p);
    copy_bytes(p + h, data, n);
    enc->out.len += h + n;
    return 0;
}

// A string of at least this many bytes whose content belongs to an immutable object is,
// without a stream, referenced rather than copied into the buffer: its bytes are copied
// once, into the result.
constexpr size_t kLargeString = 32 * 1024;
// Header now, content by reference (window held, no stream).
int put_large_string(EncoderObject *enc, unsigned major, PyObject *owner, const void *data, size_t n);
// put_string for content owned by `owner`, an exact bytes or str object.
inline int put_owned_string(EncoderObject *enc, unsigned major, PyObject *owner, const void *data, size_t n) {
    if (n >= kLargeString && enc->write_target == nullptr) return put_large_string(enc, major, owner, data, n);
    return put_string(enc, major, data, n);
}

// ---- Scalars

// The float encoding (up to 9 bytes) under the canonical rule; `*split` tells whether the
// initial byte is emitted apart from the payload (finite values) or not (NaN, infinities).
size_t float_bytes(double v, bool canonical, uint8_t *out, bool *split);
template <class Sink>
inline int sink_float(Sink &&s, double v, bool canonical) {
    uint8_t buf[9];
    bool split;
    size_t n = float_bytes(v, canonical, buf, &split);
    if (!split) return s.bytes(buf, n);
    if (s.byte(buf[0]) < 0) return -1;
    return s.bytes(buf + 1, n - 1);
}
// A float (window held).
int put_float(EncoderObject *enc, double v);

// True while strings are numbered (string_referencing on inside a namespace).
inline bool string_refs_active(const EncoderObject *enc) { return enc->string_referencing && enc->in_namespace; }

// The leaves that fill long lists and dicts, written inline by their loops: a text under
// 256 bytes that is ASCII or (with the GIL) keeps its UTF-8 form, without string
// references; an int of one digit, a finite float outside canonical mode, booleans and
// None; without a stream and with room in the buffer. 1 written, 0 left to try_put_leaf
// (nothing written). Window held, `encoders` step passed.
// Values, and the items of a list, vary in length from one to the next, so short texts are
// copied without branching on their length; map keys mostly repeat the same sequence of
// lengths, which branches predict well at fewer instructions (KeyPosition).
// With `Plain` the caller has seen that there is no stream and no string referencing (the
// bytes stored here may alias the encoder's fields, so they would be read again each time).
template <bool KeyPosition = false, bool Plain = false>
[[gnu::always_inline]] inline int put_common_leaf(EncoderObject *enc, PyObject *obj) {
    OutBuffer &out = enc->out;
    if ((!Plain && enc->write_target != nullptr) || out.cap - out.len < 48) return 0;
    PyTypeObject *tp = Py_TYPE(obj);
    uint8_t *p = out.data + out.len;
    if (tp == &PyUnicode_Type) {
        if (!Plain && enc->string_referencing) return 0;
        size_t n;
        const uint8_t *text;
        if (PyUnicode_IS_COMPACT_ASCII(obj)) {
            n = static_cast<size_t>(PyUnicode_GET_LENGTH(obj));
            text = reinterpret_cast<const uint8_t *>(reinterpret_cast<PyASCIIObject *>(obj) + 1);
        } else {
#ifdef Py_GIL_DISABLED
            return 0;
#else
            // Other compact text whose UTF-8 form the string already keeps; with the GIL
            // held nothing fills it in meanwhile.
            if (!PyUnicode_IS_COMPACT(obj)) return 0;
            const auto *compact = reinterpret_cast<const PyCompactUnicodeObject *>(obj);
            if (compact->utf8 == nullptr) return 0;
            n = static_cast<size_t>(compact->utf8_length);
            text = reinterpret_cast<const uint8_t *>(compact->utf8);
#endif
        }
        if (KeyPosition && n < 24) {
            p[0] = static_cast<uint8_t>(0x60 | n);
            copy_bytes(p + 1, text, n);
            out.len += 1 + n;
            return 1;
        }
        if (!KeyPosition && n <= 40) {
            // One header byte under 24, else two, and the copy, chosen without branching on
            // the length (see copy_short).
            size_t two = n >= 24;
            p[1] = static_cast<uint8_t>(n);
            p[0] = static_cast<uint8_t>(0x60 | (n + ((24 - n) & (0 - two))));
            size_t h = 1 + two;
            copy_short(p + h, text, n);
            out.len += h + n;
            return 1;
        }
        if (n > 255 || out.cap - out.len < n + 2) return 0;
        p[0] = 0x78;
        p[1] = static_cast<uint8_t>(n);
        copy_bytes(p + 2, text, n);
        out.len += 2 + n;
        return 1;
    }
    if (tp == &PyFloat_Type) {
        double v = PyFloat_AS_DOUBLE(obj);
        uint64_t bits;
        memcpy(&bits, &v, sizeof bits);
        if (enc->canonical || (bits & 0x7ff0000000000000ull) == 0x7ff0000000000000ull) return 0;
        p[0] = 0xfb;
        bits = __builtin_bswap64(bits);
        memcpy(p + 1, &bits, 8);
        out.len += 9;
        return 1;
    }
    if (tp == &PyLong_Type) {
        if (!PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(obj))) return 0;
        Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(obj));
        out.len += header_bytes(v >= 0 ? 0 : 1, v >= 0 ? static_cast<uint64_t>(v) : ~static_cast<uint64_t>(v), p);
        return 1;
    }
    if (tp == &PyBool_Type || obj == Py_None) {
        p[0] = obj == Py_True ? 0xf5 : obj == Py_False ? 0xf4 : 0xf6;
        out.len += 1;
        return 1;
    }
    return 0;
}

// Writes values whose encoding needs no Python code besides the stream's write: exact
// str (without string references), int within header range, float, bool, None and bytes
// (without string references). 1 written, 0 not such a value, -1 error. Window held;
// the caller has already passed the `encoders` step.
int try_put_leaf(EncoderObject *enc, PyObject *obj);
// The encoding of an exact str, bytes, int (any size), float, bool or None into `buf` as
// the dispatch would write it with no `encoders` and no string references: 1 written,
// 0 not such a value, -1 error.
int leaf_into_buffer(OutBuffer &buf, PyObject *obj, bool canonical);

// A CBORSimpleValue's number (window held).
int put_simple_value(EncoderObject *enc, uint8_t v);

// Writers through Ctx: each opens the window it needs and may close it.
int write_int(Ctx &c, PyObject *obj);
int write_bytes(Ctx &c, PyObject *obj);
int write_bytearray(Ctx &c, PyObject *obj);
int write_text(Ctx &c, PyObject *obj);
int write_semantic(Ctx &c, uint64_t tag, PyObject *value);
// The nested encode() that carries a tag's content.
int encode_nested(Ctx &c, PyObject *value);

// ---- Dispatch
int dispatch(Ctx &c, PyObject *obj);
// The recursion check's text, for containers and tag contents.
inline constexpr char kRecursionWhere[] = " while encoding a CBOR value";

// ---- Containers
int encode_array_step(Ctx &c, PyObject *obj);
int encode_map_step(Ctx &c, PyObject *obj);
int encode_set_step(Ctx &c, PyObject *obj);
// encode_sortable_key: (len, bytes) of the key's encoding, a new tuple.
PyObject *sortable_key(EncoderObject *enc, PyObject *key);

// ---- Sharing (sharing.cpp)
constexpr uint64_t kNoShareIndex = UINT64_MAX;
using ShareBody = int (*)(Ctx &c, PyObject *obj, void *arg);
// The sharing step around `body` (window held at entry).
int share(Ctx &c, PyObject *obj, ShareBody body, void *arg);
int raise_cycle_error();

// While one lives, containers are written without the shareable marker, as though
// value_sharing were off; the option itself stays as it was set, for hooks to read. Used
// for values that kelvo builds itself and shares with nothing (a rational's pair, a
// sort key's encoding). The count is atomic so that the guard's end needs no window and
// holds on every path out.
class UnsharedScope {
public:
    explicit UnsharedScope(EncoderObject *enc) noexcept : enc_(enc) {
        std::atomic_ref<uint32_t>(enc_->unshared_scopes).fetch_add(1, std::memory_order_relaxed);
    }
    ~UnsharedScope() { std::atomic_ref<uint32_t>(enc_->unshared_scopes).fetch_sub(1, std::memory_order_relaxed); }
    UnsharedScope(const UnsharedScope &) = delete;
    UnsharedScope &operator=(const UnsharedScope &) = delete;

private:
    EncoderObject *const enc_;
};
// Whether containers are written as shared values now (window held).
inline bool sharing_values(EncoderObject *enc) {
    return enc->value_sharing && std::atomic_ref<uint32_t>(enc->unshared_scopes).load(std::memory_order_relaxed) == 0;
}
// The sharing step in two halves, for callers that write the body themselves: what
// share_begin registered, for share_end to take back.
// What open_begin (encoder/registry.h) did, for open_end to take back.
struct OpenScope {
    uint64_t mark;  // the path's mask before the entry (path), or the open set's mask
    size_t index;   // the entry's place in the path or its slot in the open set
    uint32_t saved_tag_base;
    bool in_path;
};
struct ShareScope {
    const void *slots;  // the registry's slot table when the entry went in
    size_t slot;
    size_t count;  // entries in the registry right after this one went in
    uint64_t id;
    OpenScope open;  // without value sharing; only saved_tag_base is used otherwise
    bool sharing;
    bool in_registry;
};
// share_begin and share_end (encoder/registry.h) take and give back such a scope.

// ---- String references (stringrefs.cpp)

// The string-reference step: 1 when a reference was written, 0 when the caller must
// write the string in full, -1 on error. `obj` is the str or bytes object whose content
// is data[0..n). Window held.
int string_reference(Ctx &c, PyObject *obj, bool text, const char *data, size_t n);

// The tables of an enclosing namespace, put aside while an inner one is open.
struct NamespaceSave {
    StringTable *text;
    StringTable *bytes;
    bool in_namespace;
};
// Puts the current tables aside and starts empty ones; `opens` tells whether the new
// tables belong to a namespace (tag 256 written) or only start a self-contained output.
void namespace_push(EncoderObject *enc, NamespaceSave &save, bool opens);
// Releases the current tables and brings the saved ones back (window held).
void namespace_pop(EncoderObject *enc, NamespaceSave &save);
// Releases saved tables that can no longer be brought back.
void namespace_discard(NamespaceSave &save);
// Reopens the window and pops; when the window cannot be had the saved tables are
// released instead and false is returned with the exception set.
[[nodiscard]] inline bool namespace_close(Ctx &c, NamespaceSave &save) {
    if (!c.reopen_for_cleanup()) {
        namespace_discard(save);
        return false;
    }
    namespace_pop(c.enc, save);
    return true;
}

}  // namespace kelvo
