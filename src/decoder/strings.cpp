// Byte and text strings: definite lengths (read at once, or in pieces when long),
// indefinite lengths made of chunks, and UTF-8 decoding under the str_errors handler.
#include "decoder/machine.h"

#include "lib/stdlib.h"
#include "types/exceptions.h"

#include <cstring>

namespace kelvo {

namespace {

PyObject *make_bytes(const uint8_t *p, size_t n) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char *>(p), static_cast<Py_ssize_t>(n));
}

}  // namespace

int KeyCache::make_room() {
    size_t count = mask + 1;
    if (slots != nullptr && count >= kMaxSlots) {
        // Distinct keys keep coming: start over, so that the keys of what follows are
        // cached rather than none.
        memset(slots, 0, count * sizeof(KeySlot));
        used = 0;
        return 0;
    }
    size_t fresh_count = slots == nullptr ? kFirstSlots : 2 * count;
    auto *fresh = static_cast<KeySlot *>(PyMem_Calloc(fresh_count, sizeof(KeySlot)));
    if (fresh == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    KeySlot *old = slots;
    size_t old_count = old == nullptr ? 0 : count;
    slots = fresh;
    mask = fresh_count - 1;
    shift = 64 - static_cast<unsigned>(__builtin_ctzll(fresh_count));
    used = 0;
    for (size_t i = 0; i < old_count; ++i)
        if (old[i].object != nullptr) insert(KeyWords(old[i]), old[i].length, old[i].object);
    PyMem_Free(old);
    return 0;
}

void KeyCache::insert(const KeyWords &w, size_t n, PyObject *object) {
    size_t i = static_cast<size_t>(w.hash(n) >> shift);
    while (slots[i].object != nullptr) i = (i + 1) & mask;
    slots[i] = KeySlot{w.first, w.last, w.middle, w.middle2, n, object};
    ++used;
}

PyObject *add_cached_key(Machine &m, const uint8_t *p, size_t n) {
    KeyCache &cache = m.keys;
    if (cache.full() && cache.make_room() < 0) return nullptr;
    if (m.made_keys.reserve(1) < 0) return nullptr;
    PyObject *text = text_value(m, p, n);
    if (text == nullptr) return nullptr;
    m.made_keys.push(text);  // cannot fail after the reserve
    cache.insert(KeyWords(p, n), n, text);
    return text;
}

namespace {

// A map key as a new reference.
[[gnu::noinline]] PyObject *make_key(Machine &m, const uint8_t *p, size_t n) {
    return Py_XNewRef(make_cached_key(m, p, n));
}

// The n content bytes of a string: in place when they are buffered, in one read up to the
// piece size, otherwise in pieces collected in `pieces`. NULL with the exception set.
const uint8_t *read_content(Machine &m, size_t n, InputSpan &span, PodVec<uint8_t> &pieces) {
    if (n <= kPieceSize || n <= m.d->in.remaining()) {
        if (read_span(m.d, n, &span) < 0) return nullptr;
        return span.data();
    }
    pieces.truncate(0);
    if (read_pieces(m.d, n, pieces) < 0) return nullptr;
    return pieces.data();
}

// The length of the next chunk of an indefinite string of major type `major`: 1 with *n
// set, 0 at the break code, -1 with the exception set.
int read_chunk_header(Machine &m, uint8_t major, uint64_t *n) {
    uint8_t b;
    if (read_byte(m.d, &b) < 0) return -1;
    if (b == 0xff) return 0;
    if ((b >> 5) != major) {
        raise_exc_format(Exc::CBORDecodeError,
                         major == 2 ? "non-byte string (major type %d) found in indefinite length byte string"
                                    : "non-text string (major type %d) found in indefinite length text string",
                         b >> 5);
        return -1;
    }
    int r = read_argument(m, b & 0x1f, n);
    if (r < 0) return -1;
    if (r == 0) {
        indefinite_not_allowed();
        return -1;
    }
    uint64_t limit;
    if (stdlib::maxsize(&limit) < 0) return -1;
    if (*n > limit) {
        raise_exc_format(Exc::CBORDecodeError,
                         major == 2 ? "chunk too long in an indefinite bytestring chunk: %llu"
                                    : "chunk too long in an indefinite text string chunk: %llu",
                         static_cast<unsigned long long>(*n));
        return -1;
    }
    return 1;
}

DecodeAction indefinite_bytes(Machine &m) {
    PodVec<uint8_t> buf;
    for (;;) {
        uint64_t n;
        int r = read_chunk_header(m, 2, &n);
        if (r < 0) return DecodeAction::error();
        if (r == 0) break;
        // Chunks are read in pieces too, so a chunk header claiming more than the input
        // holds costs no more memory than the input does.
        if (read_pieces(m.d, n, buf) < 0) return DecodeAction::error();
    }
    return DecodeAction::item(make_bytes(buf.data(), buf.size()));
}

DecodeAction indefinite_text(Machine &m) {
    Ref chunks(PyList_New(0));
    if (!chunks) return DecodeAction::error();
    PodVec<uint8_t> pieces;
    for (;;) {
        uint64_t n;
        int r = read_chunk_header(m, 3, &n);
        if (r < 0) return DecodeAction::error();
        if (r == 0) break;
        InputSpan span;
        const uint8_t *p = read_content(m, n, span, pieces);
        if (p == nullptr) return DecodeAction::error();
        Ref text(text_value(m, p, n));
        if (!text || PyList_Append(chunks.get(), text.get()) < 0) return DecodeAction::error();
    }
    Ref empty(PyUnicode_FromStringAndSize(nullptr, 0));
    if (!empty) return DecodeAction::error();
    return DecodeAction::item(PyUnicode_Join(empty.get(), chunks.get()));
}

// A definite-length string whose bytes are not all in the input buffer.
DecodeAction unbuffered_string(Machine &m, size_t n, bool text) {
    InputSpan span;
    PodVec<uint8_t> pieces;
    const uint8_t *p = read_content(m, n, span, pieces);
    if (p == nullptr) return DecodeAction::error();
    return DecodeAction::string_item(text ? text_value(m, p, n) : make_bytes(p, n), n);
}

}  // namespace

DecodeAction decode_string(Machine &m, uint8_t ai, bool text) {
    uint64_t n;
    int r = read_argument(m, ai, &n);
    if (r < 0) return DecodeAction::error();
    if (r == 0) return text ? indefinite_text(m) : indefinite_bytes(m);
    InputBuffer &in = m.d->in;
    if (in.remaining() < n) return unbuffered_string(m, n, text);
    const uint8_t *p = in.data + in.pos;
    in.pos += n;
    return DecodeAction::string_item(buffered_string(m, p, n, text), n);
}

PyObject *buffered_string(Machine &m, const uint8_t *p, size_t n, bool text) {
    if (!text) return make_bytes(p, n);
    bool key = n <= KeyCache::kMaxLength && m.expects_map_key();
    return key ? make_key(m, p, n) : text_value(m, p, n);
}

}  // namespace kelvo
