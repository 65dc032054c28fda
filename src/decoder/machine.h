// The decode machine: frames, actions and the per-call state shared by the units that
// decode strings, containers, tags and references.
#pragma once

#include "decoder/decoder.h"
#include "lib/utf8.h"

#include <cstdint>
#include <cstring>

namespace kelvo {

struct TagRow;

// What a frame collects and how it completes. The callback of a frame is selected by its
// kind; its state lives in the frame's fields, so pushing a frame allocates nothing.
enum class FrameKind : uint8_t {
    ListCollect,      // mutable array: items on the value stack, list made when complete
    ListInPlace,      // mutable array registered as a shared value: appended in place
    ListFill,         // short mutable array: a list of its length, kept from the collector
                      // while its items are missing, filled in place
    Tuple,            // immutable array: items on the value stack
    Dict,             // mutable map: filled in place, pending key in `extra`
    FrozenDict,       // immutable map: key/value pairs on the value stack
    Set,              // tag 258
    TagCodec,         // a built-in tag row with a codec
    Identity,         // tag 55799
    StringReference,  // tag 25
    SharedReference,  // tag 29
    OtherTag,         // a CBORTag, passed to tag_hook when there is one
    Semantic,         // an entry of semantic_decoders
    TwoStage,         // a two-stage semantic decoder (second stage in `callable`)
    ShareableMarker,  // tag 28, no callback
    NamespaceMarker,  // tag 256, no callback
};

constexpr uint64_t kNoIndex = UINT64_MAX;
constexpr uint64_t kIndefinite = UINT64_MAX;

struct DecodeFrame {
    uint64_t shareable_index;  // slot this frame's value is recorded in; kNoIndex if none
    uint64_t height;           // largest height of the items delivered so far
    uint64_t count;            // declared items (arrays) or pairs (maps); kIndefinite
    uint64_t filled;           // items or pairs delivered so far
    uint64_t tag;              // tag number, for the "semantic tag {}" name
    PyObject *container;       // owned: list, dict, placeholder set, CBORTag or placeholder
    PyObject *callable;        // owned: object_hook, tag_hook, semantic decoder, second stage
    PyObject *extra;           // owned: pending key (Dict), seen keys (FrozenDict), name (TwoStage);
                               // borrowed from the key cache when `extra_borrowed`
    const TagRow *row;         // the built-in row (TagCodec)
    size_t base;               // start of this frame's items on the value stack
    uint64_t mark_bytes;       // input read when the frame opened (maps: when the pending key began)
    uint64_t mark_refs;        // Machine::ref_units at the same moment
    uint64_t mark_strings;     // Machine::string_ref_units at the same moment
    FrameKind kind;
    bool immutable;  // immutable flag for the next item of this frame
    bool accepts_break;
    bool hook_immutable;    // the immutable flag when the header was read
    bool strict_keys;       // strict_hashable_types, copied at the header
    bool allow_duplicates;  // allow_duplicate_keys, copied at the header
    bool extra_borrowed;    // the pending key of a Dict is the key cache's (see make_cached_key)
};

void frame_release(DecodeFrame &f) noexcept;

enum class ActionKind : uint8_t {
    PushFrame,      // push Machine::tmpl
    Continue,       // flag: the next item is a map key
    FrameComplete,  // value
    Item,           // value
    StringItem,     // value, number = byte length
    OpenStringNamespace,
    StringReference,  // number = index
    OpenShareable,
    SharedReference,  // number = index
    Error,            // flag: labelled; the exception is set
};

struct DecodeAction {
    ActionKind kind;
    bool flag;
    uint64_t number;
    Ref value;

    explicit DecodeAction(ActionKind k = ActionKind::Error, bool f = false, uint64_t n = 0,
                          PyObject *owned = nullptr) noexcept
        : kind(k), flag(f), number(n), value(owned) {}

    static DecodeAction push() { return DecodeAction(ActionKind::PushFrame); }
    static DecodeAction next(bool next_is_key) { return DecodeAction(ActionKind::Continue, next_is_key); }
    // The value constructors take over `owned`; NULL (a failed call) becomes a labelled error.
    static DecodeAction complete(PyObject *owned) {
        return owned ? DecodeAction(ActionKind::FrameComplete, false, 0, owned) : error();
    }
    static DecodeAction item(PyObject *owned) {
        return owned ? DecodeAction(ActionKind::Item, false, 0, owned) : error();
    }
    static DecodeAction string_item(PyObject *owned, uint64_t length) {
        return owned ? DecodeAction(ActionKind::StringItem, false, length, owned) : error();
    }
    static DecodeAction simple(ActionKind kind, uint64_t number = 0) { return DecodeAction(kind, false, number); }
    // A failure to be labelled with the name of the item or frame being decoded.
    static DecodeAction error() { return DecodeAction(ActionKind::Error, true); }
    // A failure raised as it is.
    static DecodeAction raw_error() { return DecodeAction(ActionKind::Error, false); }
};

struct SharedSlot {
    PyObject *value;  // owned, or nullptr while empty
    uint64_t height;
    uint64_t start;      // input units when the shareable tag was read
    uint64_t expansion;  // input units of the value, references expanded; saturates at kExpansionCap
    bool building;       // a container registered before its contents, not yet complete
};

// Shared references let a few input bytes stand for a value of any size. Each value is
// measured in input units: the bytes it was decoded from, with every shared reference
// inside it counted at the full size of the value it refers to. Keys and set elements are
// hashed (and compared) item by item through all their references, so one whose units
// exceed kExpansionFactor times the input read so far is refused; and so are keys and set
// elements once the units their references add up to, over the whole decode, exceed that
// bound by more than kHashedAllowance. A value without references never exceeds the input
// read and adds nothing, so it is never refused. A single key may also expand to
// kKeyAllowance units whatever the input read, so that keys and set elements of moderate
// size decode at the start of a document too.
//
// A built-in tag codec builds a new object from its payload (an int from a byte string, a
// message from a text), so a payload reached through shared references or string
// references costs its full size each time it is handed over. Those units, added up over
// the whole decode, may exceed the same bound by no more than kCodecAllowance. Sharing
// that hands nothing to a codec (a list shared in many places, a string referenced many
// times as plain text, a value given to the caller's own hooks) is not copied and not
// charged.
constexpr uint64_t kExpansionCap = uint64_t{1} << 32;
constexpr uint64_t kExpansionFactor = 16;
constexpr uint64_t kHashedAllowance = uint64_t{1} << 24;
constexpr uint64_t kKeyAllowance = uint64_t{1} << 16;
constexpr uint64_t kCodecAllowance = uint64_t{1} << 20;

// Recently decoded short map keys, so that a key repeated across many maps is one str
// object (its hash computed once) instead of a new string each time: an open-addressing
// table of the keys' bytes, held as words. It is allocated small on the first key of a
// decode and doubled as distinct keys arrive, up to kMaxSlots; a table that is full at
// that size is emptied and filled again. The str objects are borrowed from
// Machine::made_keys, so a key the table has handed out stays alive until the decode ends.
struct KeySlot {
    uint64_t first;  // the key's bytes as words (see KeyWords)
    uint64_t last;
    uint64_t middle;
    uint64_t middle2;
    uint64_t length;
    PyObject *object;  // borrowed; nullptr while the slot is empty
};

// A key of up to 32 bytes as four words. Up to 16 bytes, the first and the last eight
// (overlapping when shorter; the middle words are zero); longer keys add bytes 8 to 16
// and the eight before the last eight. With the length, equal words mean equal bytes.
struct KeyWords {
    uint64_t first, last, middle, middle2;

    KeyWords(const uint8_t *p, size_t n) : first(0), last(0), middle(0), middle2(0) {
        if (n >= 8) {
            memcpy(&first, p, 8);
            memcpy(&last, p + n - 8, 8);
            if (n > 16) {
                memcpy(&middle, p + 8, 8);
                memcpy(&middle2, p + n - 16, 8);
            }
        } else if (n >= 4) {
            uint32_t a, b;
            memcpy(&a, p, 4);
            memcpy(&b, p + n - 4, 4);
            first = a;
            last = b;
        } else if (n > 0) {
            first = uint64_t{p[0]} | uint64_t{p[n / 2]} << 8 | uint64_t{p[n - 1]} << 16;
        }
    }
    explicit KeyWords(const KeySlot &s) : first(s.first), last(s.last), middle(s.middle), middle2(s.middle2) {}
    // The words folded together (the last one rotated, so that the two halves of a key of
    // eight bytes do not cancel), then one multiply: the table takes the top bits, which
    // every bit of the fold reaches.
    uint64_t hash(size_t n) const {
        return (first ^ ((last << 29) | (last >> 35)) ^ middle ^ n) * 0x9e3779b97f4a7c15ull;
    }
    bool matches(const KeySlot &s, size_t n) const {
        return s.first == first && s.last == last && s.length == n && s.middle == middle && s.middle2 == middle2;
    }
};

struct KeyCache {
    static constexpr size_t kMaxLength = 32;
    static constexpr size_t kFirstSlots = 16;
    static constexpr size_t kMaxSlots = 1024;
    KeySlot *slots = nullptr;  // PyMem, zeroed; nullptr until the first key
    size_t mask = 0;           // the slot count minus one
    unsigned shift = 64;       // 64 - log2(slot count): the hash's top bits pick the first slot
    size_t used = 0;           // at most half the slots

    // The cached str for the n bytes at p (a borrowed reference), or nullptr.
    [[gnu::always_inline]] PyObject *find(const uint8_t *p, size_t n) const {
        KeyWords w(p, n);
        for (size_t i = static_cast<size_t>(w.hash(n) >> shift);; i = (i + 1) & mask) {
            const KeySlot &s = slots[i];
            if (s.object == nullptr) return nullptr;
            if (w.matches(s, n)) return s.object;
        }
    }
    // Room for one more key: the first table, a doubled one, or the full one emptied.
    // -1 with the exception set.
    int make_room();
    // Records `object` (borrowed) as the key of n bytes with words w. There must be room.
    void insert(const KeyWords &w, size_t n, PyObject *object);
    bool full() const { return used + 1 > (mask + 1) / 2; }
};

struct Machine {
    explicit Machine(DecoderState *state, bool start_flag);
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    DecoderState *d;
    // Raw memory: their heap blocks are kept per thread from one decode to the next.
    PodVec<DecodeFrame, 8, true> frames;
    PodVec<PyObject *, 32, true> values;  // owned items of collecting frames
    PodVec<SharedSlot> shareables;
    PodVec<PyObject *> strings;  // owned strings of every open namespace, innermost last
    PodVec<size_t> namespaces;   // where each open namespace starts in `strings`
    DecodeFrame tmpl;            // the frame the next PushFrame action pushes
    KeyCache keys;
    // Every str the key cache has made, released when the decode ends: a key the cache
    // has handed out without a reference of its own stays alive until then.
    PodVec<PyObject *, 16> made_keys;
    PyObject *frozen;           // immutable copies of shared values, or nullptr until the first
    uint64_t input_base;        // consumed + in.pos when the decode began
    uint64_t ref_units;         // units added by resolved shared references
    uint64_t hashed_ref_units;  // of these, the ones inside keys and set elements
    uint64_t string_ref_units;  // length of the strings resolved by string references
    uint64_t codec_ref_units;   // referenced units handed to built-in tag codecs
    uint64_t prefilled;         // slots of the ListFill lists still open
    PyObject *break_marker;     // borrowed, lives for the process
    bool start_immutable;
    bool immutable;  // the current immutable flag
    uint8_t major;   // major type of the item header being decoded

    // Clears the template and fills the fields every frame has. Returns it for the rest.
    DecodeFrame &prepare(FrameKind kind, bool immutable, bool accepts_break) noexcept;
    // True when the next item is the key of the map on top of the stack.
    bool expects_map_key() const noexcept {
        if (frames.empty()) return false;
        const DecodeFrame &f = frames.back();
        if (f.kind == FrameKind::Dict) return f.extra == nullptr;
        return f.kind == FrameKind::FrozenDict && ((values.size() - f.base) & 1) == 0;
    }
    bool top_is_shareable_marker() const noexcept {
        return !frames.empty() && frames.back().kind == FrameKind::ShareableMarker;
    }
    // Releases the items of the value stack from `base` on.
    void drop_values(size_t base) noexcept;

    uint64_t bytes_read() const noexcept { return d->consumed + d->in.pos - input_base; }
    // Input units so far; a value's units are the difference across its decoding.
    uint64_t units() const noexcept { return bytes_read() + ref_units; }
    void set_mark(DecodeFrame &f) const noexcept {
        f.mark_bytes = bytes_read();
        f.mark_refs = ref_units;
        f.mark_strings = string_ref_units;
    }
    // Units since the frame's mark.
    uint64_t units_since(const DecodeFrame &f) const noexcept {
        return (bytes_read() - f.mark_bytes) + (ref_units - f.mark_refs);
    }
};

// CBORDecodeError when a value that is hashed (role: "map key" or "set element"), decoded
// since the mark of frame `f`, expands too far. -1 with the error set.
int check_expansion(Machine &m, const char *role, const DecodeFrame &f);
// CBORDecodeError when the payload of the built-in tag codec frame `f` took more units
// through references than the decode's budget for codecs allows. -1 with the error set.
int charge_codec_payload(Machine &m, const DecodeFrame &f);
// True when references were resolved inside the payload of frame `f`.
inline bool payload_has_references(const Machine &m, const DecodeFrame &f) noexcept {
    return m.ref_units != f.mark_refs || m.string_ref_units != f.mark_strings;
}
// The slot's expansion once its value is complete.
inline void record_expansion(Machine &m, SharedSlot &slot) {
    uint64_t units = m.units() - slot.start;
    slot.expansion = units < kExpansionCap ? units : kExpansionCap;
}
// Registers a container just stored in slot `index` before its contents. -1 on error.
int register_building(Machine &m, uint64_t index);

// The decode machine: one item, however deeply nested. New reference or NULL.
PyObject *run_machine(DecoderState *d, bool immutable);

// Header argument for additional information `ai`: 1 with *out set, 0 for an indefinite
// length (ai 31 with indefinite lengths allowed), -1 with the exception set.
int read_long_argument(Machine &m, uint8_t ai, uint64_t *out);
inline int read_argument(Machine &m, uint8_t ai, uint64_t *out) {
    if (ai < 24) {
        *out = ai;
        return 1;
    }
    return read_long_argument(m, ai, out);
}
// CBORDecodeError "indefinite length not allowed here" as a labelled error.
DecodeAction indefinite_not_allowed();

// ---- Item headers, by major type
// Major types 2 (text false) and 3 (text true).
DecodeAction decode_string(Machine &m, uint8_t ai, bool text);
// The value of a definite-length string whose n bytes at p have been taken from the input:
// bytes, or text (the cached str when it is a short map key). New reference or NULL.
PyObject *buffered_string(Machine &m, const uint8_t *p, size_t n, bool text);
// A text string from its n bytes at p, made afresh (not taken from the key cache). New
// reference or NULL.
[[gnu::always_inline]] inline PyObject *text_value(Machine &m, const uint8_t *p, size_t n) {
    return decode_utf8_text(p, n, m.d->errors);
}
// The str for a short map key of n bytes at p that is not in the key cache, made and
// cached. NULL with the exception set.
PyObject *add_cached_key(Machine &m, const uint8_t *p, size_t n);
// The cached str for a short map key of n bytes at p, a reference borrowed from the key
// cache that stays valid until the decode ends. NULL with the exception set.
[[gnu::always_inline]] inline PyObject *make_cached_key(Machine &m, const uint8_t *p, size_t n) {
    if (m.keys.slots != nullptr) {
        PyObject *key = m.keys.find(p, n);
        if (key != nullptr) return key;
    }
    return add_cached_key(m, p, n);
}
// The float of major type 7 with additional information 25, 26 or 27 from its big-endian
// bytes at b. New reference or NULL.
PyObject *float_value(uint8_t ai, const uint8_t *b);
DecodeAction decode_array(Machine &m, uint8_t ai);
DecodeAction decode_map(Machine &m, uint8_t ai);
DecodeAction decode_tag(Machine &m, uint8_t ai);
DecodeAction decode_special(Machine &m, uint8_t ai);

// Hashing a key recurses through its nesting inside the interpreter (a tuple's hash has no
// recursion guard), so keys and set elements deeper than this are refused rather than
// risking the native stack. Only reachable with a max_depth above it.
constexpr uint64_t kMaxHashedHeight = 1000;

// The value of an empty array or map (before any object_hook). New reference or NULL.
PyObject *empty_container(bool map, bool immutable);
// Moves the items above `base` on the value stack into a new list or tuple.
PyObject *collect_sequence(Machine &m, size_t base, bool tuple);
// A mutable array whose items the buffered input could hold, one byte each at least, is
// made as a list at its header and filled in place, as long as the slots of all such lists
// still open add up to no more than the buffered input (Machine::prefilled). Memory set
// aside before the items are read is thus bounded by the input, however arrays nest.
// A ListFill frame's list, complete: handed to the collector and returned (a new reference).
inline PyObject *finish_filled_list(Machine &m, DecodeFrame &f) {
    PyObject *list = f.container;
    f.container = nullptr;
    m.prefilled -= f.count;
    PyObject_GC_Track(list);
    return list;
}

// Tag 258: the set frame.
DecodeAction begin_set(Machine &m);

// ---- Frame callbacks: each takes over the delivered item.
DecodeAction deliver_array(Machine &m, DecodeFrame &f, Ref item);
// Maps and sets also get the item's height: keys and set elements are hashed, and hashing
// a deeply nested value recurses in the interpreter.
DecodeAction deliver_map(Machine &m, DecodeFrame &f, Ref item, uint64_t height);
DecodeAction deliver_set(Machine &m, DecodeFrame &f, Ref item, uint64_t height);
DecodeAction deliver_tag(Machine &m, DecodeFrame &f, Ref item);

// ---- Shared values and string namespaces
// Push the marker frame of tag 28 or tag 256. -1 with the exception set (not labelled).
int open_shareable(Machine &m);
int open_string_namespace(Machine &m);
// Registers a definite-length string in the innermost namespace when it qualifies.
int register_string(Machine &m, PyObject *value, uint64_t length);
// The reference actions; on success *item and *height hold the referenced value.
int resolve_shared_reference(Machine &m, uint64_t index, PyObject **item, uint64_t *height);
int resolve_string_reference(Machine &m, uint64_t index, PyObject **item);
// The depth check applied to every push. -1 with the error set.
int check_depth(Machine &m);

// Text of "semantic tag {}" for a tag number.
PyObject *semantic_tag_name(uint64_t tag);

}  // namespace kelvo
