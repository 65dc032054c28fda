// CBOREncoder: the object, its output buffer and the two output primitives.
#pragma once

#include "lib/access.h"
#include "lib/pyref.h"

#include <cstdint>
#include <cstring>

namespace kelvo {

// Large string contents kept by reference in an OutBuffer (see put_large_string).
struct OutPieces;

// A growable byte buffer in raw PyMem memory; growth is geometric, and released storage
// is kept per thread for the next buffer. Without a stream, a large string content may
// stand in it as a reference to its immutable owner (`pieces`, in output order), copied
// once when the buffer becomes a bytes object or is flushed.
struct OutBuffer {
    uint8_t *data;
    size_t len;
    size_t cap;
    OutPieces *pieces;  // nullptr unless large contents are referenced
    // With `into_bytes` set (dumps), the storage is a bytes object of `cap` bytes that
    // becomes the result, so that the output is not copied again at the end.
    PyObject *holder;  // owned; nullptr while the storage is raw memory or absent
    bool into_bytes;

    // Makes room for `extra` more bytes. -1 with MemoryError (the content is kept).
    int reserve(size_t extra) {
        if (cap - len >= extra) return 0;
        return grow(extra);
    }
    int grow(size_t extra);
    void clear() noexcept {
        len = 0;
        if (pieces != nullptr) drop_pieces();
    }
    void release() noexcept;
    void drop_pieces() noexcept;
    // Copies the referenced contents into the buffer, in place. -1 with MemoryError.
    int flatten();
    // Moves the content out, leaving this buffer empty.
    OutBuffer take() noexcept {
        OutBuffer out = *this;
        data = nullptr;
        len = cap = 0;
        pieces = nullptr;
        holder = nullptr;
        return out;
    }
    // The content as a new bytes object, leaving this buffer empty. NULL on error.
    PyObject *finish();
};

// The encoder's options, one row each in parameter order. Every place that deals with
// options (argument names, conversion, the fields of EncoderOptions and of the encoder,
// construction, properties, the signature and parameter text) expands this table.
//   FLAG(name, property doc, parameter doc): a bool, with a read-only property.
//   OBJECT(name, field, check, setter, property doc, parameter doc): an object (None is as
//     absent) checked by `check` when converted, stored by `setter` (window held), with a
//     property that reads `field` and assigns through `setter`.
//   HIDDEN(name, field, check, setter, parameter doc): as OBJECT, without a property.
#define KELVO_ENCODER_OPTIONS(FLAG, OBJECT, HIDDEN)                                                           \
    FLAG(datetime_as_timestamp, "encode datetimes as epoch timestamps",                                       \
         ":param datetime_as_timestamp: write datetimes as seconds since the epoch (tag 1) instead of ISO "   \
         "8601 text (tag 0), and dates as days since the epoch (tag 100) instead of text (tag 1004); the "    \
         "time zone is not kept\n")                                                                           \
    OBJECT(timezone, timezone, accept_any, set_timezone_locked, "the time zone used for naive datetimes",     \
           ":param timezone: a :class:`datetime.tzinfo` attached to naive datetimes before they are "         \
           "written; without it a naive datetime raises :exc:`CBOREncodeError`\n")                            \
    FLAG(value_sharing, "mark shared and cyclic values",                                                      \
         ":param value_sharing: mark every container as a shareable value (tag 28), repeated or not, and "    \
         "write each later appearance within the same item as a reference to it (tag 29), so that repeated "  \
         "and cyclic structures come back as they were; without it a container that contains itself raises "  \
         ":exc:`CBOREncodeValueError`\n")                                                                     \
    HIDDEN(encoders, encoders, check_mapping, set_encoders_locked,                                            \
           ":param encoders: a mapping from a type to a callable ``f(encoder, value)`` that writes values "   \
           "of exactly that type (subclasses are not looked up), ahead of every built-in rule\n")             \
    OBJECT(default, default_hook, accept_any, set_default_locked, "the fallback hook for unsupported types",  \
           ":param default: a callable ``f(encoder, value)`` for values that no built-in rule and no "        \
           "``encoders`` entry takes; it writes through the encoder's methods, and without it such a value "  \
           "raises :exc:`CBOREncodeError`\n")                                                                 \
    FLAG(canonical, "produce canonical output",                                                               \
         ":param canonical: canonical output in length-first order: floats in the shortest width that holds " \
         "them exactly, map keys and set members sorted by the length and then the bytes of their encoding "  \
         "(:mod:`kelvo.deterministic` writes the bytewise order of RFC 8949 instead)\n")                      \
    FLAG(date_as_datetime, "encode dates as datetimes",                                                       \
         ":param date_as_datetime: write dates as the datetime of their midnight, which needs ``timezone`` "  \
         "(without it such a date raises :exc:`CBOREncodeError`)\n")                                          \
    FLAG(string_referencing, "use string references",                                                         \
         ":param string_referencing: write a text or byte string met again within the same item as a "        \
         "reference to its first appearance (tags 256 and 25)\n")                                             \
    FLAG(indefinite_containers, "write containers with indefinite lengths",                                   \
         ":param indefinite_containers: write arrays and maps with indefinite lengths, closed by a break "    \
         "code")

#define KELVO_OPTION_NOTHING(...)

// The shared-value registry and the string-reference tables, owned by the encoder.
struct SharedRegistry;
struct StringTable;

struct EncoderObject {
    PyObject_HEAD
    OutBuffer out;
    SharedRegistry *registry;  // lazily created; nullptr while empty
    StringTable *text_refs;    // lazily created
    StringTable *byte_refs;    // lazily created
    PyObject *fp;
#define KELVO_OPTION_FIELD(name, field, ...) PyObject *field;
    KELVO_ENCODER_OPTIONS(KELVO_OPTION_NOTHING, KELVO_OPTION_FIELD, KELVO_OPTION_FIELD)
#undef KELVO_OPTION_FIELD
    PyObject *write_target;    // fp.write, looked up when fp is assigned
    uint64_t depth;            // active encode() calls
    unsigned long owner;       // thread that raised depth from 0
    uint32_t to_bytes_active;  // running encode_to_bytes calls
    uint32_t share_scopes;     // running sharing steps (container bodies, wrapped encoders)
    uint32_t unshared_scopes;  // live UnsharedScope guards (changed through atomic_ref)
    uint64_t share_next;       // index the next tag 28 gets
    PyObject **tag_path;       // CBORTags whose content is being written (addresses only)
    uint32_t tag_len;
    uint32_t tag_cap;
    uint32_t tag_base;  // tags before this index lie outside the innermost container
    bool in_namespace;  // the current string tables belong to an open namespace
#define KELVO_OPTION_FIELD(name, ...) bool name;
    KELVO_ENCODER_OPTIONS(KELVO_OPTION_FIELD, KELVO_OPTION_NOTHING, KELVO_OPTION_NOTHING)
#undef KELVO_OPTION_FIELD
    bool string_namespacing;  // the next container opens a string-reference namespace
    int8_t raw_stream;        // fp is an io.RawIOBase, whose write() may take only part:
                              // 1 or 0, -1 until a write leaves it to be found out
    uint64_t raw_written;     // bytes such a stream took since the outermost encode began
    uint64_t flushed;         // bytes handed to fp.write since the encoder was made
    uint8_t plain_len;
    // Immutable types that the abstract-class checks of the dispatch found to be neither
    // mappings nor sequences (strong references), valid while the ABC cache token is
    // `plain_token`.
    uint64_t plain_token;
    PyObject *plain_types[4];
    // The containers being written without value sharing, outermost first, while there
    // are at most eight of them (the open set takes deeper ones): addresses only, never
    // dereferenced, with one bit per address in `path_mask` for a quick negative answer.
    PyObject *path[8];
    uint64_t path_mask;
    uint32_t path_len;
    // The open set: the deeper containers being written without value sharing, by
    // address in an open-addressing table (linear probing, at most half full; nullptr is
    // an empty slot). Entries arrive and leave in nesting order.
    uint32_t open_count;
    uint32_t open_limit;  // entries the table takes before it grows (0 without a table)
    PyObject **open_slots;
    size_t open_mask;
    AccessFlag access;
};

PyTypeObject *encoder_type();

// Options of the constructor and of dump()/dumps(), already converted. Objects are
// borrowed; nullptr = not set.
struct EncoderOptions {
#define KELVO_OPTION_FLAG(name, ...) bool name = false;
#define KELVO_OPTION_OBJECT(name, field, ...) PyObject *field = nullptr;
    KELVO_ENCODER_OPTIONS(KELVO_OPTION_FLAG, KELVO_OPTION_OBJECT, KELVO_OPTION_OBJECT)
#undef KELVO_OPTION_FLAG
#undef KELVO_OPTION_OBJECT
};
// Number of option names after the leading positional ones.
#define KELVO_OPTION_ONE(...) +1
constexpr int kEncoderOptionCount = 0 KELVO_ENCODER_OPTIONS(KELVO_OPTION_ONE, KELVO_OPTION_ONE, KELVO_OPTION_ONE);
#undef KELVO_OPTION_ONE
extern const char *const kEncoderOptionNames[kEncoderOptionCount];
// Converts the option slots (in kEncoderOptionNames order; nullptr = omitted).
int convert_encoder_options(PyObject *const *slots, EncoderOptions *opts);
// Builds an encoder as the constructor does. `fp` may be nullptr (dumps: no stream).
EncoderObject *encoder_create(PyObject *fp, const EncoderOptions &opts);

// Opens an exclusive window on the encoder. Besides the access flag it refuses a caller
// from another thread while an encode started by some thread is running, so that two
// threads never interleave their output on one encoder.
class EncoderWindow {
public:
    [[nodiscard]] bool open(EncoderObject *enc, AccessSite site);
    // Reopens the window that must end a step (restoring state it changed). Other threads'
    // short windows may be in the way, so it waits for them briefly; a pending exception is
    // kept. Returns false with an exception set when the window cannot be had.
    [[nodiscard]] bool reopen_for_cleanup(EncoderObject *enc);
    void close() noexcept { access_.release(); }
    bool held() const noexcept { return access_.held(); }

private:
    ExclusiveAccess access_;
};
// The owner test alone (used by callers that already hold the access).
int check_encoder_thread(EncoderObject *enc);

// ---- Output primitives; called with exclusive access held.
int flush_buffer(EncoderObject *enc);
inline int emit_flush_rule(EncoderObject *enc) {
    if (enc->write_target != nullptr && (enc->depth == 0 || enc->out.len >= 4096)) return flush_buffer(enc);
    return 0;
}
inline int emit_byte(EncoderObject *enc, uint8_t b) {
    if (enc->out.reserve(1) < 0) return -1;
    enc->out.data[enc->out.len++] = b;
    return emit_flush_rule(enc);
}
// A chunk longer than 4096 bytes first hands the pending bytes to the stream.
int emit_long_chunk(EncoderObject *enc, const void *data, size_t n);
inline int emit_bytes(EncoderObject *enc, const void *data, size_t n) {
    if (n > 4096 && enc->write_target != nullptr) return emit_long_chunk(enc, data, n);
    if (enc->out.reserve(n) < 0) return -1;
    if (n > 0) memcpy(enc->out.data + enc->out.len, data, n);
    enc->out.len += n;
    return emit_flush_rule(enc);
}

// Forgets the types of the abstract-class memo; returns them for release once no access is
// held (window held).
int plain_types_take(EncoderObject *enc, PyObject **out);

// Clears the per-call state of an outermost encode (registry, then text and byte tables).
void encoder_reset_tables(EncoderObject *enc);

// encode() and encode_to_bytes() as callable from C (the object may be any value).
int encoder_encode(EncoderObject *enc, PyObject *obj);
PyObject *encoder_encode_to_bytes(EncoderObject *enc, PyObject *obj);

// The dispatch for any value.
int encode_value(EncoderObject *enc, PyObject *obj);
// encode_semantic(tag, value): the tag header, then `value` through a nested encode().
int encode_semantic(EncoderObject *enc, uint64_t tag, PyObject *value);

// Hooks the registry and string-table units provide.
void registry_clear(EncoderObject *enc);
void registry_free(EncoderObject *enc);
int registry_traverse(EncoderObject *enc, visitproc visit, void *arg);
void string_tables_clear(StringTable *&table);
void string_tables_free(StringTable *&table);
void tag_path_free(EncoderObject *enc);

// The keyword part of the signatures of the constructor and dump/dumps, and the
// descriptions of their options.
#define KELVO_OPTION_SIGNATURE_FLAG(name, ...) ", " #name "=False"
#define KELVO_OPTION_SIGNATURE_OBJECT(name, ...) ", " #name "=None"
#define KELVO_SIGNATURE_ENCODER_OPTIONS \
    "*" KELVO_ENCODER_OPTIONS(KELVO_OPTION_SIGNATURE_FLAG, KELVO_OPTION_SIGNATURE_OBJECT, KELVO_OPTION_SIGNATURE_OBJECT)
#define KELVO_OPTION_DOC_FLAG(name, property, param) param
#define KELVO_OPTION_DOC_OBJECT(name, field, check, setter, property, param) param
#define KELVO_OPTION_DOC_HIDDEN(name, field, check, setter, param) param
#define KELVO_DOC_ENCODER_OPTIONS \
    KELVO_ENCODER_OPTIONS(KELVO_OPTION_DOC_FLAG, KELVO_OPTION_DOC_OBJECT, KELVO_OPTION_DOC_HIDDEN)

// The module function shareable_encoder.
PyMethodDef *shareable_encoder_def();

}  // namespace kelvo
