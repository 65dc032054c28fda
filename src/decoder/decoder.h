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
    PyObject *block;      // owned bytes object, or nullptr
    const uint8_t *data;  // its storage
    size_t pos;           // next unread byte
    size_t len;           // storage size of `block`

    size_t remaining() const noexcept { return len - pos; }
};

// The decoder's options, one row each in parameter order:
//   X(name, kind, takers, C++ default, signature default, property doc, parameter doc)
// Kinds: Hook (a callable or None, assigned through decoder_set_<name>), Mapping, Errors (the
// name of a codec error handler), Number (an unsigned int), Flag (a bool of the state) and
// CallFlag (a bool of one call, with no state field). Takers: ALL, STREAM (the constructor
// and load(): the options of a stream) or CALLS (load() and loads()). Every place that deals
// with options expands this table.
#define KELVO_DECODER_OPTIONS(X)                                                                               \
    X(tag_hook, Hook, ALL, nullptr, "None", "the hook called with tags that have no decoder",                  \
      ":param tag_hook: a callable ``f(tag, immutable)`` called with each :class:`CBORTag` whose number has "  \
      "no built-in decoder and no ``semantic_decoders`` entry, and whether it is being decoded immutable; "    \
      "its result stands for the tag\n")                                                                       \
    X(object_hook, Hook, ALL, nullptr, "None", "the hook called with every decoded map",                       \
      ":param object_hook: a callable ``f(mapping, immutable)`` called with each decoded map (a "              \
      ":class:`dict`, or a :class:`frozendict` when immutable); its result stands for the map\n")              \
    X(semantic_decoders, Mapping, ALL, nullptr, "None", nullptr,                                               \
      ":param semantic_decoders: a mapping from tag number to a callable ``f(payload, immutable)`` whose "     \
      "result stands for the tag; an entry replaces the built-in decoder of its tag, and a callable made "     \
      "with :func:`shareable_decoder` decodes in two stages so that cycles through the tag come back\n")       \
    X(str_errors, Errors, ALL, nullptr, "\"strict\"", "the error handler for invalid UTF-8 in text strings",   \
      ":param str_errors: the error handler for text strings that are not valid UTF-8: \"strict\" (raise "     \
      ":exc:`CBORDecodeError`), \"ignore\", \"replace\", \"surrogateescape\" or \"backslashreplace\"\n")       \
    X(read_size, Number, STREAM, 4096, "4096", "the minimum number of bytes requested from a seekable stream", \
      ":param read_size: how many bytes at least are read from a seekable ``fp`` at once; what was read "      \
      "beyond the item is given back with ``fp.seek()`` when the item is complete, and a stream that "         \
      "cannot seek is never read beyond the item\n")                                                           \
    X(max_depth, Number, ALL, 400, "400", "the maximum container nesting depth",                               \
      ":param max_depth: how deeply arrays, maps and tags may nest before :exc:`CBORDecodeError` is "          \
      "raised\n")                                                                                              \
    X(allow_indefinite, Flag, ALL, true, "True", "whether indefinite-length items are accepted",               \
      ":param allow_indefinite: set to ``False`` to raise :exc:`CBORDecodeError` on indefinite-length "        \
      "strings, arrays and maps\n")                                                                            \
    X(allow_duplicate_keys, Flag, ALL, true, "True", "whether repeated map keys are accepted",                 \
      ":param allow_duplicate_keys: set to ``False`` to raise :exc:`CBORDecodeError` on a map that repeats "   \
      "a key (otherwise the last value wins)\n")                                                               \
    X(strict_hashable_types, Flag, ALL, false, "False",                                                        \
      "whether only text and byte strings are accepted as map keys and set elements",                          \
      ":param strict_hashable_types: set to ``True`` to accept only text and byte strings as map keys and "    \
      "set members")                                                                                           \
    X(immutable, CallFlag, CALLS, false, "False", nullptr,                                                     \
      "\n:param immutable: set to ``True`` to return arrays, maps and sets as tuples, :class:`frozendict` "    \
      "and frozensets (map keys and set members are decoded that way in any case)\n")

// Whether a callable takes an option: KELVO_DECODER_TAKES_<callable>_<takers>(text) is the
// text when it does, nothing when it does not.
#define KELVO_DECODER_TAKES_new_ALL(...) __VA_ARGS__
#define KELVO_DECODER_TAKES_new_STREAM(...) __VA_ARGS__
#define KELVO_DECODER_TAKES_new_CALLS(...)
#define KELVO_DECODER_TAKES_load_ALL(...) __VA_ARGS__
#define KELVO_DECODER_TAKES_load_STREAM(...) __VA_ARGS__
#define KELVO_DECODER_TAKES_load_CALLS(...) __VA_ARGS__
#define KELVO_DECODER_TAKES_loads_ALL(...) __VA_ARGS__
#define KELVO_DECODER_TAKES_loads_STREAM(...)
#define KELVO_DECODER_TAKES_loads_CALLS(...) __VA_ARGS__

// Everything a decode needs besides the per-call machine. Embedded in CBORDecoder objects
// and built on the C stack by load()/loads(). Object fields are owned references.
// The fields of each kind of option, in the state and in DecoderOptions.
#define KELVO_DECODER_FIELD_Hook(name) PyObject *name;
#define KELVO_DECODER_FIELD_Mapping(name) PyObject *name;
#define KELVO_DECODER_FIELD_Errors(name) PyObject *name;  // the handler name object; nullptr means "strict"
#define KELVO_DECODER_FIELD_Number(name) uint64_t name;
#define KELVO_DECODER_FIELD_Flag(name) bool name;
#define KELVO_DECODER_FIELD_CallFlag(name)
#define KELVO_DECODER_OBJECT_FIELD(name, kind, ...) KELVO_DECODER_OBJECT_FIELD_##kind(KELVO_DECODER_FIELD_##kind(name))
#define KELVO_DECODER_OBJECT_FIELD_Hook(field) field
#define KELVO_DECODER_OBJECT_FIELD_Mapping(field) field
#define KELVO_DECODER_OBJECT_FIELD_Errors(field) field
#define KELVO_DECODER_OBJECT_FIELD_Number(field)
#define KELVO_DECODER_OBJECT_FIELD_Flag(field)
#define KELVO_DECODER_OBJECT_FIELD_CallFlag(field)
#define KELVO_DECODER_NUMBER_FIELD(name, kind, ...) KELVO_DECODER_NUMBER_FIELD_##kind(KELVO_DECODER_FIELD_##kind(name))
#define KELVO_DECODER_NUMBER_FIELD_Hook(field)
#define KELVO_DECODER_NUMBER_FIELD_Mapping(field)
#define KELVO_DECODER_NUMBER_FIELD_Errors(field)
#define KELVO_DECODER_NUMBER_FIELD_Number(field) field
#define KELVO_DECODER_NUMBER_FIELD_Flag(field)
#define KELVO_DECODER_NUMBER_FIELD_CallFlag(field)
#define KELVO_DECODER_FLAG_FIELD(name, kind, ...) KELVO_DECODER_FLAG_FIELD_##kind(KELVO_DECODER_FIELD_##kind(name))
#define KELVO_DECODER_FLAG_FIELD_Hook(field)
#define KELVO_DECODER_FLAG_FIELD_Mapping(field)
#define KELVO_DECODER_FLAG_FIELD_Errors(field)
#define KELVO_DECODER_FLAG_FIELD_Number(field)
#define KELVO_DECODER_FLAG_FIELD_Flag(field) field
#define KELVO_DECODER_FLAG_FIELD_CallFlag(field)

struct DecoderState {
    PyObject *fp;
    KELVO_DECODER_OPTIONS(KELVO_DECODER_OBJECT_FIELD)
    KELVO_DECODER_OPTIONS(KELVO_DECODER_NUMBER_FIELD)
    PyObject *read_target;  // fp.read
    InputBuffer in;
    uint64_t consumed;   // bytes of the blocks read before `in` (counts input read)
    const char *errors;  // str_errors as a C string for the codec; nullptr = strict
    KELVO_DECODER_OPTIONS(KELVO_DECODER_FLAG_FIELD)
    bool seekable;
};

// Options shared by the constructor, load() and loads(), already converted (objects
// borrowed; nullptr = not set).
struct DecoderOptions {
#define KELVO_DECODER_OPTION_FIELD(name, kind, takers, value, ...) KELVO_DECODER_OPTION_VALUE_##kind(name, value)
#define KELVO_DECODER_OPTION_VALUE_Hook(name, value) PyObject *name = value;
#define KELVO_DECODER_OPTION_VALUE_Mapping(name, value) PyObject *name = value;
#define KELVO_DECODER_OPTION_VALUE_Errors(name, value) PyObject *name = value;
#define KELVO_DECODER_OPTION_VALUE_Number(name, value) uint64_t name = value;
#define KELVO_DECODER_OPTION_VALUE_Flag(name, value) bool name = value;
#define KELVO_DECODER_OPTION_VALUE_CallFlag(name, value) bool name = value;
    KELVO_DECODER_OPTIONS(KELVO_DECODER_OPTION_FIELD)
};

// The options by parameter position. A callable lists the ones it takes;
// convert_decoder_options converts their slots in that order.
enum class DecoderOption : uint8_t {
#define KELVO_DECODER_OPTION_ENUM(name, ...) name,
    KELVO_DECODER_OPTIONS(KELVO_DECODER_OPTION_ENUM)
#undef KELVO_DECODER_OPTION_ENUM
};
#define KELVO_DECODER_OPTION_ONE(...) +1
constexpr int kDecoderOptionCount = 0 KELVO_DECODER_OPTIONS(KELVO_DECODER_OPTION_ONE);
#undef KELVO_DECODER_OPTION_ONE
// The option names, indexed by DecoderOption.
extern const char *const kDecoderOptionNames[kDecoderOptionCount];
const char *decoder_option_name(DecoderOption opt);
int convert_decoder_options(const DecoderOption *which, int n, PyObject *const *slots, DecoderOptions *opts);

// What a callable takes, in parameter order: its option list, its keyword names, its
// signature text and its parameter descriptions (`callable` is new, load or loads).
#define KELVO_DECODER_TAKEN_OPTION_new(name, kind, takers, ...) KELVO_DECODER_TAKES_new_##takers(DecoderOption::name, )
#define KELVO_DECODER_TAKEN_OPTION_load(name, kind, takers, ...) \
    KELVO_DECODER_TAKES_load_##takers(DecoderOption::name, )
#define KELVO_DECODER_TAKEN_OPTION_loads(name, kind, takers, ...) \
    KELVO_DECODER_TAKES_loads_##takers(DecoderOption::name, )
#define KELVO_DECODER_TAKEN_NAME_new(name, kind, takers, ...) KELVO_DECODER_TAKES_new_##takers(#name, )
#define KELVO_DECODER_TAKEN_NAME_load(name, kind, takers, ...) KELVO_DECODER_TAKES_load_##takers(#name, )
#define KELVO_DECODER_TAKEN_NAME_loads(name, kind, takers, ...) KELVO_DECODER_TAKES_loads_##takers(#name, )
#define KELVO_DECODER_SIGNATURE_new(name, kind, takers, value, text, ...) \
    KELVO_DECODER_TAKES_new_##takers(", " #name "=" text)
#define KELVO_DECODER_SIGNATURE_load(name, kind, takers, value, text, ...) \
    KELVO_DECODER_TAKES_load_##takers(", " #name "=" text)
#define KELVO_DECODER_SIGNATURE_loads(name, kind, takers, value, text, ...) \
    KELVO_DECODER_TAKES_loads_##takers(", " #name "=" text)
#define KELVO_DECODER_DOC_new(name, kind, takers, value, text, property, param) KELVO_DECODER_TAKES_new_##takers(param)
#define KELVO_DECODER_DOC_load(name, kind, takers, value, text, property, param) \
    KELVO_DECODER_TAKES_load_##takers(param)
#define KELVO_DECODER_DOC_loads(name, kind, takers, value, text, property, param) \
    KELVO_DECODER_TAKES_loads_##takers(param)

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

// ---- The Python class and module functions

struct DecoderObject {
    PyObject_HEAD
    DecoderState state;
    AccessFlag access;
};

PyTypeObject *decoder_type();

extern PyMethodDef shareable_decoder_def;

}  // namespace kelvo
