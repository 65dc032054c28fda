// CBORDecoder: the decoder state, its input buffer and the input operations every part of
// the decoder reads through.
#pragma once

#include "lib/access.h"
#include "lib/podvec.h"
#include "lib/pyref.h"

#include <cstdint>
#include <cstring>

namespace kelvo {

// The most recent block of input: a bytes object (from fp.read, or the data given to
// loads) and the unread part of it. Sizes always come from the object's real storage.
struct InputBuffer {
    PyObject *block;       // owned bytes object, or nullptr
    const uint8_t *data;   // its storage
    size_t pos;            // next unread byte
    size_t len;            // storage size of `block`

    size_t remaining() const noexcept { return len - pos; }
};

// Everything a decode needs besides the per-call machine. Embedded in CBORDecoder objects
// and built on the C stack by load()/loads(). Object fields are owned references.
struct DecoderState {
    PyObject *fp;
    PyObject *tag_hook;
    PyObject *object_hook;
    PyObject *semantic_decoders;
    PyObject *str_errors;      // the handler name object; nullptr means "strict"
    uint64_t read_size;
    uint64_t max_depth;
    PyObject *read_target;     // fp.read
    InputBuffer in;
    uint64_t consumed;         // bytes of the blocks read before `in` (counts input read)
    const char *errors;        // str_errors as a C string for the codec; nullptr = strict
    bool allow_indefinite;
    bool allow_duplicate_keys;
    bool strict_hashable_types;
    bool seekable;
};

// Options shared by the constructor, load() and loads(), already converted.
struct DecoderOptions {
    PyObject *tag_hook = nullptr;           // borrowed; nullptr = not set
    PyObject *object_hook = nullptr;
    PyObject *semantic_decoders = nullptr;
    PyObject *str_errors = nullptr;         // a str, or nullptr for the default
    uint64_t read_size = 4096;
    uint64_t max_depth = 400;
    bool allow_indefinite = true;
    bool allow_duplicate_keys = true;
    bool strict_hashable_types = false;
    bool immutable = false;                 // load()/loads() only
};

// The keyword options in the order of their parameters. A callable lists the ones it
// takes; convert_decoder_options converts their slots in that order.
enum class DecoderOption : uint8_t {
    tag_hook,
    object_hook,
    semantic_decoders,
    str_errors,
    read_size,
    max_depth,
    allow_indefinite,
    allow_duplicate_keys,
    strict_hashable_types,
    immutable,
};
constexpr int kDecoderOptionCount = 10;
// The option names, indexed by DecoderOption.
extern const char *const kDecoderOptionNames[kDecoderOptionCount];
const char *decoder_option_name(DecoderOption opt);
int convert_decoder_options(const DecoderOption *which, int n, PyObject *const *slots, DecoderOptions *opts);

// Fills a zeroed state from the options and runs the setters in constructor order. With
// `fp` the state reads from the stream; with `data` (a bytes object, used without a copy)
// it decodes from memory. -1 with the setter's exception; the state must still be cleared.
int decoder_state_init(DecoderState *d, PyObject *fp, PyObject *data, const DecoderOptions &opts);
// Releases every reference the state holds.
void decoder_state_clear(DecoderState *d);
int decoder_state_traverse(DecoderState *d, visitproc visit, void *arg);

// Setters (validation included).
int decoder_set_fp(DecoderState *d, PyObject *fp);
int decoder_set_tag_hook(DecoderState *d, PyObject *hook);
int decoder_set_object_hook(DecoderState *d, PyObject *hook);
int decoder_set_str_errors(DecoderState *d, PyObject *name);

// Decodes one item and gives unread read-ahead bytes back to fp. New reference or NULL.
PyObject *decoder_decode(DecoderState *d, bool immutable);

// ---- Input operations

// Replaces the input buffer (steals `block`, a bytes object; nullptr empties it).
void input_set_block(DecoderState *d, PyObject *block, size_t pos);
// A new block of at least `min` bytes from fp.read, or CBORDecodeEOF. New reference.
PyObject *fetch_block(DecoderState *d, size_t min);
// Copies n bytes that are not all buffered: the buffered ones, then the rest from a new
// block. Used by read_byte and read_fixed once the buffer runs short.
int read_slow(DecoderState *d, uint8_t *dst, size_t n);

inline int read_byte(DecoderState *d, uint8_t *out) {
    InputBuffer &in = d->in;
    if (in.pos < in.len) {
        *out = in.data[in.pos++];
        return 0;
    }
    return read_slow(d, out, 1);
}

// k = 1, 2, 4 or 8 bytes for header arguments and floats.
inline int read_fixed(DecoderState *d, uint8_t *out, size_t k) {
    InputBuffer &in = d->in;
    if (in.len - in.pos >= k) {
        memcpy(out, in.data + in.pos, k);
        in.pos += k;
        return 0;
    }
    return read_slow(d, out, k);
}

// Big-endian numbers of header arguments and floats (T is uint16_t, uint32_t or uint64_t).
template <typename T>
inline T load_be(const uint8_t *p) {
    T v;
    memcpy(&v, p, sizeof v);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if constexpr (sizeof v == 2)
        v = __builtin_bswap16(v);
    else if constexpr (sizeof v == 4)
        v = __builtin_bswap32(v);
    else
        v = __builtin_bswap64(v);
#endif
    return v;
}

// n contiguous input bytes, valid until the next input operation. Points into the input
// buffer when the bytes are there; otherwise they are assembled in memory that is
// allocated only once the missing bytes have arrived.
class InputSpan {
public:
    InputSpan() = default;
    InputSpan(const InputSpan &) = delete;
    InputSpan &operator=(const InputSpan &) = delete;
    ~InputSpan() {
        if (owned_ != nullptr) PyMem_Free(owned_);
    }

    const uint8_t *data() const noexcept { return data_; }

    friend int read_span(DecoderState *d, size_t n, InputSpan *out);

private:
    const uint8_t *data_ = nullptr;
    uint8_t *owned_ = nullptr;
};
int read_span(DecoderState *d, size_t n, InputSpan *out);

// Pieces in which long strings and string chunks are read.
constexpr size_t kPieceSize = 65536;
// Appends n input bytes to `out`, reading them in pieces of at most kPieceSize bytes, so
// that no memory is reserved beyond what has arrived.
int read_pieces(DecoderState *d, size_t n, PodVec<uint8_t> &out);

// read(amount): exactly `amount` bytes as a new bytes object.
PyObject *read_exact_bytes(DecoderState *d, uint64_t amount);

// After a successful decode: fp.seek(-remaining, 1) and release the buffer.
int give_back(DecoderState *d);

// ---- Docstring lines shared by CBORDecoder, load() and loads()

#define KELVO_DOC_DECODER_HOOKS                                                                              \
    ":param tag_hook: a callable ``f(tag, immutable)`` called with each :class:`CBORTag` whose number has " \
    "no built-in decoder and no ``semantic_decoders`` entry, and whether it is being decoded immutable; "   \
    "its result stands for the tag\n"                                                                        \
    ":param object_hook: a callable ``f(mapping, immutable)`` called with each decoded map (a "             \
    ":class:`dict`, or a :class:`frozendict` when immutable); its result stands for the map\n"             \
    ":param semantic_decoders: a mapping from tag number to a callable ``f(payload, immutable)`` whose "    \
    "result stands for the tag; an entry replaces the built-in decoder of its tag, and a callable made "    \
    "with :func:`shareable_decoder` decodes in two stages so that cycles through the tag come back\n"      \
    ":param str_errors: the error handler for text strings that are not valid UTF-8: \"strict\" (raise "  \
    ":exc:`CBORDecodeError`), \"ignore\", \"replace\", \"surrogateescape\" or \"backslashreplace\"\n"
#define KELVO_DOC_DECODER_READ_SIZE                                                                          \
    ":param read_size: how many bytes at least are read from a seekable ``fp`` at once; what was read "     \
    "beyond the item is given back with ``fp.seek()`` when the item is complete, and a stream that "       \
    "cannot seek is never read beyond the item\n"
#define KELVO_DOC_DECODER_LIMITS                                                                             \
    ":param max_depth: how deeply arrays, maps and tags may nest before :exc:`CBORDecodeError` is raised\n" \
    ":param allow_indefinite: set to ``False`` to raise :exc:`CBORDecodeError` on indefinite-length "      \
    "strings, arrays and maps\n"                                                                             \
    ":param allow_duplicate_keys: set to ``False`` to raise :exc:`CBORDecodeError` on a map that repeats " \
    "a key (otherwise the last value wins)\n"                                                                \
    ":param strict_hashable_types: set to ``True`` to accept only text and byte strings as map keys and "  \
    "set members"

// ---- The Python class and module functions

struct DecoderObject {
    PyObject_HEAD
    DecoderState state;
    AccessFlag access;
};

PyTypeObject *decoder_type();

extern PyMethodDef shareable_decoder_def;

}  // namespace kelvo
