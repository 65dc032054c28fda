// The decode machine: the loop over an explicit stack of frames, item headers, integers,
// the application of actions, the depth limit and the labelling of errors. The loop never
// recurses, so native stack use does not depend on how deeply the input nests.
#include "decoder/machine.h"

#include "lib/errors.h"
#include "lib/stdlib.h"
#include "tags/registry.h"
#include "types/exceptions.h"

#include <cstring>
#include <utility>

namespace kelvo {

// ---- Machine state

namespace {

// The frame and value stacks' heap blocks, kept by each thread between decodes so that a
// thread decoding over and over does not grow them again from nothing every time (deep
// nesting would otherwise copy the frame stack about ten times per call). A decode nested
// in a hook finds nothing here and allocates its own; the larger block is kept. Raw
// memory, freed when the thread exits.
struct MachineSpare {
    DecodeFrame *frames = nullptr;
    size_t frames_cap = 0;
    PyObject **values = nullptr;
    size_t values_cap = 0;
    ~MachineSpare() {
        PyMem_RawFree(frames);
        PyMem_RawFree(values);
    }
};
thread_local MachineSpare t_machine_spare;
// Blocks larger than this are freed rather than kept.
constexpr size_t kSpareBytes = size_t{1} << 20;

template <typename T, typename Vec>
void keep_block(Vec &vec, T *&slot, size_t &slot_cap) noexcept {
    size_t cap;
    T *block = vec.surrender(&cap);
    if (block == nullptr) return;
    if (cap * sizeof(T) > kSpareBytes || cap <= slot_cap) {
        Vec::dealloc(block);
        return;
    }
    Vec::dealloc(slot);
    slot = block;
    slot_cap = cap;
}

}  // namespace

void frame_release(DecodeFrame &f) noexcept {
    Py_CLEAR(f.container);
    Py_CLEAR(f.callable);
    if (f.extra_borrowed) {
        f.extra = nullptr;
        f.extra_borrowed = false;
    }
    Py_CLEAR(f.extra);
}

Machine::Machine(DecoderState *state, bool start_flag)
    : d(state),
      tmpl{},
      frozen(nullptr),
      input_base(state->consumed + state->in.pos),
      ref_units(0),
      hashed_ref_units(0),
      string_ref_units(0),
      codec_ref_units(0),
      prefilled(0),
      break_marker(stdlib::break_marker()),
      start_immutable(start_flag),
      immutable(start_flag),
      major(0) {
    MachineSpare &spare = t_machine_spare;
    if (spare.frames != nullptr) {
        frames.adopt(std::exchange(spare.frames, nullptr), spare.frames_cap);
        spare.frames_cap = 0;
    }
    if (spare.values != nullptr) {
        values.adopt(std::exchange(spare.values, nullptr), spare.values_cap);
        spare.values_cap = 0;
    }
}

Machine::~Machine() {
    for (size_t i = 0; i < frames.size(); ++i) frame_release(frames[i]);
    frame_release(tmpl);
    drop_values(0);
    MachineSpare &spare = t_machine_spare;
    keep_block(frames, spare.frames, spare.frames_cap);
    keep_block(values, spare.values, spare.values_cap);
    for (size_t i = 0; i < shareables.size(); ++i) Py_XDECREF(shareables[i].value);
    for (size_t i = 0; i < strings.size(); ++i) Py_DECREF(strings[i]);
    PyMem_Free(keys.slots);
    for (size_t i = 0; i < made_keys.size(); ++i) Py_DECREF(made_keys[i]);
    Py_XDECREF(frozen);
}

DecodeFrame &Machine::prepare(FrameKind kind, bool frame_immutable, bool accepts_break) noexcept {
    tmpl = DecodeFrame{};
    tmpl.shareable_index = kNoIndex;
    tmpl.kind = kind;
    tmpl.immutable = frame_immutable;
    tmpl.accepts_break = accepts_break;
    return tmpl;
}

void Machine::drop_values(size_t base) noexcept {
    for (size_t i = base; i < values.size(); ++i) Py_DECREF(values[i]);
    values.truncate(base);
}

int check_depth(Machine &m) {
    if (m.frames.size() >= m.d->max_depth) {
        raise_exc_format(Exc::CBORDecodeError, "maximum container nesting depth (%llu) exceeded",
                         static_cast<unsigned long long>(m.d->max_depth));
        return -1;
    }
    return 0;
}

// ---- Headers and integers

DecodeAction indefinite_not_allowed() {
    raise_exc(Exc::CBORDecodeError, "indefinite length not allowed here");
    return DecodeAction::error();
}

int read_long_argument(Machine &m, uint8_t ai, uint64_t *out) {
    uint8_t b[8];
    switch (ai) {
        case 24:
            if (read_byte(m.d, b) < 0) return -1;
            *out = b[0];
            return 1;
        case 25:
            if (read_fixed(m.d, b, 2) < 0) return -1;
            *out = load_be<uint16_t>(b);
            return 1;
        case 26:
            if (read_fixed(m.d, b, 4) < 0) return -1;
            *out = load_be<uint32_t>(b);
            return 1;
        case 27:
            if (read_fixed(m.d, b, 8) < 0) return -1;
            *out = load_be<uint64_t>(b);
            return 1;
        case 31:
            if (m.d->allow_indefinite) return 0;
            raise_exc(Exc::CBORDecodeError, "encountered indefinite length but it has been disabled");
            return -1;
        default:
            raise_exc_format(Exc::CBORDecodeError, "unknown unsigned integer subtype 0x%x", ai);
            return -1;
    }
}

namespace {

PyObject *unsigned_int(uint64_t v) {
    if (v <= static_cast<uint64_t>(LONG_MAX)) return PyLong_FromLong(static_cast<long>(v));
    return PyLong_FromUnsignedLongLong(v);
}

PyObject *negative_int(uint64_t v) {
    if (v <= static_cast<uint64_t>(LLONG_MAX)) return PyLong_FromLongLong(-1 - static_cast<long long>(v));
    // -1 - v is the bitwise inversion of v.
    Ref n(PyLong_FromUnsignedLongLong(v));
    return n ? PyNumber_Invert(n.get()) : nullptr;
}

DecodeAction decode_integer(Machine &m, uint8_t ai, bool negative) {
    uint64_t v;
    int r = read_argument(m, ai, &v);
    if (r < 0) return DecodeAction::error();
    if (r == 0) return indefinite_not_allowed();
    return DecodeAction::item(negative ? negative_int(v) : unsigned_int(v));
}

// Reads one item header and its inline content.
DecodeAction read_item(Machine &m) {
    uint8_t b;
    if (read_byte(m.d, &b) < 0) return DecodeAction::raw_error();
    m.major = b >> 5;
    uint8_t ai = b & 0x1f;
    switch (m.major) {
        case 0:
            if (ai < 24) return DecodeAction::item(PyLong_FromLong(ai));
            return decode_integer(m, ai, false);
        case 1:
            return decode_integer(m, ai, true);
        case 2:
        case 3:
            return decode_string(m, ai, m.major == 3);
        case 4:
            return decode_array(m, ai);
        case 5:
            return decode_map(m, ai);
        case 6:
            return decode_tag(m, ai);
        default:
            return decode_special(m, ai);
    }
}

int raise_break_misplaced() {
    return raise_exc(Exc::CBORDecodeError, "break code encountered where a data item was expected");
}

// ---- Delivery to the top frame

DecodeAction deliver(Machine &m, DecodeFrame &f, Ref item, uint64_t height) {
    if (height > f.height) f.height = height;
    if (item.get() == m.break_marker && !f.accepts_break) {
        raise_break_misplaced();
        return DecodeAction::raw_error();
    }
    switch (f.kind) {
        case FrameKind::ListCollect:
        case FrameKind::ListInPlace:
        case FrameKind::ListFill:
        case FrameKind::Tuple:
            return deliver_array(m, f, std::move(item));
        case FrameKind::Dict:
        case FrameKind::FrozenDict:
            return deliver_map(m, f, std::move(item), height);
        case FrameKind::Set:
            return deliver_set(m, f, std::move(item), height);
        case FrameKind::NamespaceMarker: {
            size_t start = m.namespaces.back();
            m.namespaces.pop_back();
            for (size_t i = start; i < m.strings.size(); ++i) Py_DECREF(m.strings[i]);
            m.strings.truncate(start);
            return DecodeAction::complete(item.release());
        }
        case FrameKind::ShareableMarker: {
            SharedSlot &slot = m.shareables[f.shareable_index];
            if (slot.value == nullptr) {
                slot.value = Py_NewRef(item.get());
                slot.height = f.height;
                record_expansion(m, slot);
            }
            return DecodeAction::complete(item.release());
        }
        default:
            return deliver_tag(m, f, std::move(item));
    }
}

// ---- Applying actions

int push_template(Machine &m) {
    DecodeFrame f = std::exchange(m.tmpl, DecodeFrame{});
    f.shareable_index = kNoIndex;
    f.height = 0;
    f.immutable = f.immutable || m.immutable;
    m.set_mark(f);
    if (f.container != nullptr && m.top_is_shareable_marker()) {
        // Register the container before its contents exist, so that references inside it
        // resolve to it.
        uint64_t index = m.frames.back().shareable_index;
        m.frames.pop_back();
        SharedSlot &slot = m.shareables[index];
        Py_XSETREF(slot.value, Py_NewRef(f.container));
        slot.height = 0;
        f.shareable_index = index;
        if (register_building(m, index) < 0) {
            frame_release(f);
            return -1;
        }
    }
    if (check_depth(m) < 0 || m.frames.push(f) < 0) {
        frame_release(f);
        return -1;
    }
    m.immutable = f.immutable;
    return 0;
}

void apply_continue(Machine &m, bool next_is_key) {
    size_t n = m.frames.size();
    bool below = n >= 2 ? m.frames[n - 2].immutable : m.start_immutable;
    DecodeFrame &top = m.frames.back();
    top.immutable = next_is_key || below;
    m.immutable = top.immutable;
}

// Pops the top frame; its value becomes the current item.
uint64_t apply_complete(Machine &m, PyObject *value) {
    DecodeFrame f = m.frames.back();
    m.frames.pop_back();
    uint64_t height = f.height + 1;
    if (f.shareable_index != kNoIndex) {
        SharedSlot &slot = m.shareables[f.shareable_index];
        Py_XSETREF(slot.value, Py_NewRef(value));
        slot.height = height;
        slot.building = false;
        record_expansion(m, slot);
    }
    frame_release(f);
    if (!m.frames.empty()) m.immutable = m.frames.back().immutable;
    return height;
}

// ---- Error labels

const char *const kMajorNames[8] = {
    "unsigned integer", "negative integer", "byte string", "text string", "array", "map",
    "semantic tag",     "special value"};

PyObject *frame_name(const DecodeFrame &f) {
    switch (f.kind) {
        case FrameKind::ListCollect:
        case FrameKind::ListInPlace:
        case FrameKind::ListFill:
        case FrameKind::Tuple:
            return PyUnicode_FromString("array");
        case FrameKind::Dict:
        case FrameKind::FrozenDict:
            return PyUnicode_FromString("map");
        case FrameKind::Set:
            return PyUnicode_FromString("set");
        case FrameKind::TagCodec:
            return PyUnicode_FromString(f.row->name);
        case FrameKind::Identity:
            return PyUnicode_FromString("self-described CBOR value");
        case FrameKind::StringReference:
            return PyUnicode_FromString("string reference");
        case FrameKind::SharedReference:
            return PyUnicode_FromString("shared reference");
        case FrameKind::ShareableMarker:
            return PyUnicode_FromString("shareable value");
        case FrameKind::NamespaceMarker:
            return PyUnicode_FromString("string namespace");
        case FrameKind::TwoStage:
            if (f.extra != nullptr) return PyObject_Str(f.extra);
            return semantic_tag_name(f.tag);
        case FrameKind::OtherTag:
        case FrameKind::Semantic:
            return semantic_tag_name(f.tag);
    }
    return PyUnicode_FromString("item");
}

// Wraps the current exception under `name` (a new reference, consumed). CBORDecodeEOF and
// exceptions that are not Exception instances (KeyboardInterrupt, SystemExit, internal
// errors) pass unchanged.
void label_error(PyObject *name_owned) {
    Ref name(name_owned);
    PyObject *exc = PyErr_GetRaisedException();
    if (exc == nullptr) return;
    PyObject *decode_error = exception_type(Exc::CBORDecodeError);
    PyObject *eof = exception_type(Exc::CBORDecodeEOF);
    if (!name || decode_error == nullptr || eof == nullptr || !PyErr_GivenExceptionMatches(exc, PyExc_Exception) ||
        PyErr_GivenExceptionMatches(exc, eof)) {
        if (!name) PyErr_Clear();
        PyErr_SetRaisedException(exc);
        return;
    }
    if (PyErr_GivenExceptionMatches(exc, decode_error)) {
        PyObject *msg = PyUnicode_FromFormat("error decoding %U: %S", name.get(), exc);
        Py_DECREF(exc);
        if (msg != nullptr) {
            PyErr_SetObject(decode_error, msg);
            Py_DECREF(msg);
        }
        return;
    }
    PyErr_Format(decode_error, "error decoding %U", name.get());
    chain_cause(exc);
}

}  // namespace

PyObject *semantic_tag_name(uint64_t tag) {
    return PyUnicode_FromFormat("semantic tag %llu", static_cast<unsigned long long>(tag));
}

// ---- The loop

namespace {

// The next item header when it is all buffered and has a definite argument: its major
// type, additional information, argument and size. False otherwise (nothing is consumed).
[[gnu::always_inline]] inline bool peek_header(const InputBuffer &in, uint8_t *major, uint8_t *ai, uint64_t *v,
                                               size_t *size) {
    size_t avail = in.len - in.pos;
    if (avail == 0) return false;
    const uint8_t *p = in.data + in.pos;
    *major = p[0] >> 5;
    *ai = p[0] & 0x1f;
    if (avail >= 9) {
        // With the longest argument buffered, the argument is selected rather than
        // branched to: items of mixed sizes follow each other in no order a predictor
        // could learn.
        unsigned a = *ai;
        if (a > 27) return false;
        unsigned bytes = a < 24 ? 0 : 1u << (a & 3);  // 0, 1, 2, 4 or 8
        uint64_t wide = load_be<uint64_t>(p + 1) >> (64 - (8u << (a & 3)));
        *v = a < 24 ? a : wide;
        *size = 1 + bytes;
        return true;
    }
    if (*ai < 24) {
        *v = *ai;
        *size = 1;
        return true;
    }
    if (*ai > 27) return false;
    *size = 1 + (size_t{1} << (*ai - 24));
    if (avail < *size) return false;
    switch (*ai) {
        case 24:
            *v = p[1];
            break;
        case 25:
            *v = load_be<uint16_t>(p + 1);
            break;
        case 26:
            *v = load_be<uint32_t>(p + 1);
            break;
        default:
            *v = load_be<uint64_t>(p + 1);
            break;
    }
    return true;
}

// The item left when the stack is empty is the result, unless it is the break code.
PyObject *finish(Machine &m, Ref item) {
    if (item.get() == m.break_marker) {
        raise_break_misplaced();
        return nullptr;
    }
    return item.release();
}

// apply_continue for the mutable list and dict frames below: such a frame is opened only
// while the flag is off, and the flag of every frame under it stays as it was then (off),
// so the next item is immutable exactly when it is a map key.
inline void continue_mutable(Machine &m, DecodeFrame &f, bool next_is_key) {
    f.immutable = next_is_key;
    m.immutable = next_is_key;
}

// Called when the next item is a key of the plain dict frame f: when it is a text string
// of fewer than 24 bytes, all buffered (outside string namespaces), it is read now as the
// frame's pending key, borrowed from the key cache. 1 when taken, 0 when the item takes
// the usual path (nothing consumed), -1 with the exception set and labelled.
[[gnu::always_inline]] inline int take_short_key(Machine &m, DecodeFrame &f) {
    InputBuffer &in = m.d->in;
    if (in.pos >= in.len) return 0;
    size_t n = static_cast<size_t>(in.data[in.pos]) - 0x60;
    if (n >= 24 || in.len - in.pos - 1 < n || f.strict_keys || !m.namespaces.empty()) return 0;
    PyObject *key = make_cached_key(m, in.data + in.pos + 1, n);
    in.pos += 1 + n;
    if (key == nullptr) {
        label_error(PyUnicode_FromString(kMajorNames[3]));
        return -1;
    }
    f.extra = key;
    f.extra_borrowed = true;
    continue_mutable(m, f, false);
    return 1;
}

// Arrays of at least this many items are filled in place (FrameKind::ListFill).
constexpr uint64_t kFillFrom = 3;

// The fields of a frame pushed by fast_item for an array or map of v items whose items
// start at `base` on the value stack, in the reserved room: every one but the kind, the
// flag and the mark (only maps read it), with no clearing pass first.
[[gnu::always_inline]] inline void init_fast_frame(DecodeFrame &f, size_t base, uint64_t v) {
    f.shareable_index = kNoIndex;
    f.height = 0;
    f.count = v;
    f.filled = 0;
    f.tag = 0;
    f.container = nullptr;
    f.callable = nullptr;
    f.extra = nullptr;
    f.row = nullptr;
    f.base = base;
    f.immutable = false;
    f.accepts_break = false;
    f.hook_immutable = false;
    f.strict_keys = false;
    f.allow_duplicates = false;
    f.extra_borrowed = false;
}

// Results of fast_item.
enum FastResult : int {
    kFastUnlabelled = -2,  // failed, the exception stands as it is
    kFastFailed = -1,      // failed, labelled with the name of major type m.major
    kFastNone = 0,         // the next item takes the general path; nothing was consumed
    kFastScalar = 1,       // *out holds the item
    kFastOpened = 2,       // a frame was pushed
    kFastKey = 3,          // *out holds a map key borrowed from the key cache
};

// The common items, decoded straight from the buffered input without actions: integers,
// definite-length strings whose bytes are buffered (outside string namespaces), floats,
// booleans and None, empty arrays and maps (without object_hook); and the headers of
// non-empty definite-length mutable arrays and maps (outside shareable tags), whose frames
// are pushed directly. None of them runs user code.
int fast_item(Machine &m, PyObject **out) {
    InputBuffer &in = m.d->in;
    uint8_t major, ai;
    uint64_t v;
    size_t size;
    if (!peek_header(in, &major, &ai, &v, &size)) return kFastNone;
    const uint8_t *p = in.data + in.pos;
    PyObject *obj;
    switch (major) {
        case 0:
        case 1:
            // -1 - v is v with every bit inverted: one call for either sign.
            if (v <= static_cast<uint64_t>(LLONG_MAX))
                obj = PyLong_FromLongLong(static_cast<long long>(v ^ (uint64_t{0} - major)));
            else
                obj = major == 0 ? unsigned_int(v) : negative_int(v);
            break;
        case 2:
        case 3:
            if (in.len - in.pos - size < v || !m.namespaces.empty()) return kFastNone;
            if (major == 3 && (v > KeyCache::kMaxLength || !m.expects_map_key())) {
                // Not a key: the key test is not repeated.
                obj = text_value(m, p + size, v);
                size += v;
                break;
            }
            if (major == 3) {
                obj = make_cached_key(m, p + size, v);
                in.pos += size + v;
                if (obj == nullptr) {
                    m.major = major;
                    return kFastFailed;
                }
                *out = obj;
                return kFastKey;
            }
            obj = buffered_string(m, p + size, v, major == 3);
            size += v;
            break;
        case 4:
        case 5: {
            if (v == 0) {
                // An empty array or map is an item of its own: no frame, no depth. A map
                // still goes through object_hook on the general path.
                if (major == 5 && m.d->object_hook != nullptr) return kFastNone;
                obj = empty_container(major == 5, m.immutable);
                break;
            }
            if (m.immutable || m.frames.size() >= m.d->max_depth || m.top_is_shareable_marker()) return kFastNone;
            if (major == 5) {
                if (m.frames.reserve(1) < 0) return kFastUnlabelled;
                DecodeFrame &f = m.frames.data()[m.frames.size()];
                init_fast_frame(f, m.values.size(), v);
                // Not presized: the only presizing call makes a dict whose key table takes
                // any key type, larger and slower to look up in than the str-only table a
                // dict of str keys gets when filled from empty.
                f.container = PyDict_New();
                if (f.container == nullptr) {
                    in.pos += size;
                    m.major = major;
                    return kFastFailed;
                }
                f.kind = FrameKind::Dict;
                // The keys are decoded immutable.
                f.immutable = true;
                f.callable = Py_XNewRef(m.d->object_hook);
                f.strict_keys = m.d->strict_hashable_types;
                f.allow_duplicates = m.d->allow_duplicate_keys;
                in.pos += size;
                // Only maps measure what their keys expand to from the mark.
                m.set_mark(f);
                m.frames.commit(1);
                m.immutable = true;
                if (take_short_key(m, f) < 0) return kFastUnlabelled;
                return kFastOpened;
            }
            // Arrays nested in arrays open here one after the other: while the next header
            // is that of a short non-empty array, its frame is pushed without returning.
            // The frame below is then an array, never a shareable marker, and the flag
            // stays off.
            // The position and the depth are kept in locals meanwhile: the stores into the
            // frames could otherwise alias them and force reloads at every level.
            const uint64_t max_depth = m.d->max_depth;
            const size_t base = m.values.size();
            size_t depth = m.frames.size();
            size_t pos = in.pos;
            for (;;) {
                if (m.frames.reserve(1) < 0) {
                    in.pos = pos;
                    return kFastUnlabelled;
                }
                DecodeFrame &f = m.frames.data()[depth];
                init_fast_frame(f, base, v);
                f.kind = FrameKind::ListCollect;
                // An array whose items (a byte each at least) may all be buffered: its list
                // now, outside the collector's view until every slot is set. The budget is
                // checked as a sum: a stream's buffer may be shorter than the claims made
                // while it held other bytes.
                // A very short array is collected instead: keeping its list from the
                // collector and handing it back costs more than moving its few items.
                if (v >= kFillFrom && v <= in.len - pos - size && v + m.prefilled <= in.len) {
                    f.container = PyList_New(static_cast<Py_ssize_t>(v));
                    if (f.container == nullptr) {
                        in.pos = pos + size;
                        m.major = major;
                        return kFastFailed;
                    }
                    PyObject_GC_UnTrack(f.container);
                    f.kind = FrameKind::ListFill;
                    m.prefilled += v;
                }
                pos += size;
                m.frames.commit(1);
                ++depth;
                if (pos == in.len || depth >= max_depth) break;
                uint8_t next = in.data[pos];
                if (next < 0x81 || next > 0x97) break;
                v = next & 0x1f;
                size = 1;
            }
            in.pos = pos;
            m.immutable = false;
            return kFastOpened;
        }
        case 7:
            if (ai >= 25)
                obj = float_value(ai, p + 1);
            else if (ai == 20 || ai == 21)
                obj = Py_NewRef(ai == 21 ? Py_True : Py_False);
            else if (ai == 22)
                obj = Py_NewRef(Py_None);
            else
                return kFastNone;
            break;
        default:
            return kFastNone;
    }
    in.pos += size;
    if (obj == nullptr) {
        m.major = major;
        return kFastFailed;
    }
    *out = obj;
    return kFastScalar;
}

// Results of fast_deliver.
enum DeliverResult : int {
    kDeliverKeyFailed = -2,  // the exception is set (labelled) by an item read ahead; the item was taken
    kDeliverFailed = -1,     // the exception is set (labelled with the frame); the item released
    kDeliverNone = 0,        // the item is left for the general path
    kDeliverTaken = 1,       // the frame took the item and wants the next one
    kDeliverComplete = 2,    // the frame took the item and completed: *item and *height hold its value
};

// Releases and pops a completed frame; returns its value's height.
[[gnu::always_inline]] inline uint64_t pop_frame(Machine &m, DecodeFrame &f) {
    uint64_t height = f.height + 1;
    if (f.container != nullptr || f.callable != nullptr || f.extra != nullptr) frame_release(f);
    m.frames.pop_back();
    return height;
}

// Pops a completed frame and restores the flag of the frame under it.
[[gnu::always_inline]] inline uint64_t pop_completed(Machine &m, DecodeFrame &f) {
    uint64_t height = pop_frame(m, f);
    if (!m.frames.empty()) m.immutable = m.frames.back().immutable;
    return height;
}

// pop_completed for a list or dict frame: such a frame opens only while the flag is off,
// and the flag of the frame under it stays as it was then until this frame's value
// reaches it.
[[gnu::always_inline]] inline uint64_t pop_completed_mutable(Machine &m, DecodeFrame &f) {
    uint64_t height = pop_frame(m, f);
    m.immutable = false;
    return height;
}

// The items of the ListFill frame f that follow one another as integers, floats or text
// strings all buffered (outside string namespaces), set in its list here without a round
// through the machine for each, until the list is full or an item of another kind comes,
// which is left to the machine. 0, or -1 with the exception set and labelled.
int fill_leaves(Machine &m, DecodeFrame &f) {
    if (!m.namespaces.empty()) return 0;
    InputBuffer &in = m.d->in;
    const char *errors = m.d->errors;
    PyObject *list = f.container;
    size_t filled = static_cast<size_t>(f.filled);
    const size_t count = static_cast<size_t>(f.count);
    size_t pos = in.pos;
    const size_t len = in.len;
    int result = 0;
    while (filled != count && pos != len) {
        const uint8_t *p = in.data + pos;
        const uint8_t major = p[0] >> 5, ai = p[0] & 0x1f;
        size_t size = 1;
        uint64_t v = ai;
        if (ai >= 24) {
            if (ai > 27) break;
            size = 1 + (size_t{1} << (ai - 24));
            if (len - pos < size) break;
            if (major != 7) {
                switch (ai) {
                    case 24:
                        v = p[1];
                        break;
                    case 25:
                        v = load_be<uint16_t>(p + 1);
                        break;
                    case 26:
                        v = load_be<uint32_t>(p + 1);
                        break;
                    default:
                        v = load_be<uint64_t>(p + 1);
                        break;
                }
            }
        }
        PyObject *obj;
        if (major <= 1) {
            // -1 - v is v with every bit inverted: one call for either sign.
            if (v <= static_cast<uint64_t>(LLONG_MAX))
                obj = PyLong_FromLongLong(static_cast<long long>(v ^ (uint64_t{0} - major)));
            else
                obj = major == 0 ? unsigned_int(v) : negative_int(v);
        } else if (major == 3) {
            if (len - pos - size < v) break;
            obj = decode_utf8_text(p + size, static_cast<size_t>(v), errors);
            size += static_cast<size_t>(v);
        } else if (major == 7 && ai >= 25) {
            obj = float_value(ai, p + 1);
        } else {
            break;
        }
        pos += size;
        if (obj == nullptr) {
            label_error(PyUnicode_FromString(kMajorNames[major]));
            result = -1;
            break;
        }
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(filled), obj);
        ++filled;
    }
    in.pos = pos;
    f.filled = filled;
    return result;
}

// Delivers an item (never the break code) to a list or dict frame that needs no check and
// no user code for it, completing the frame when the item is its last one, or to a built-in
// tag's codec. Frames that are shared values or have an object_hook complete through the
// general path.
int fast_deliver(Machine &m, DecodeFrame &f, PyObject **item, uint64_t *height) {
    switch (f.kind) {
        case FrameKind::ListFill: {
            if (*height > f.height) f.height = *height;
            PyList_SET_ITEM(f.container, static_cast<Py_ssize_t>(f.filled), *item);
            if (++f.filled != f.count) {
                if (fill_leaves(m, f) < 0) return kDeliverKeyFailed;
                if (f.filled != f.count) {
                    continue_mutable(m, f, false);
                    return kDeliverTaken;
                }
            }
            *item = finish_filled_list(m, f);
            // Nothing else to release: the frame held the list alone.
            *height = f.height + 1;
            m.frames.pop_back();
            m.immutable = false;  // as in pop_completed_mutable
            return kDeliverComplete;
        }
        case FrameKind::ListCollect:
        case FrameKind::Tuple: {
            bool last = f.filled + 1 == f.count;
            if (last && f.shareable_index != kNoIndex) return kDeliverNone;
            if (*height > f.height) f.height = *height;
            if (last && f.filled == 0) {
                // The only item: its sequence at once, the value stack untouched.
                bool tuple = f.kind == FrameKind::Tuple;
                PyObject *seq = tuple ? PyTuple_New(1) : PyList_New(1);
                if (seq == nullptr) {
                    Py_DECREF(*item);
                    return kDeliverFailed;
                }
                if (tuple) {
                    PyTuple_SET_ITEM(seq, 0, *item);
                    *item = seq;
                    *height = pop_completed(m, f);
                    return kDeliverComplete;
                }
                PyList_SET_ITEM(seq, 0, *item);
                // An array frame holds nothing of its own to release (see pop_frame).
                uint64_t h = f.height + 1;
                // Arrays of one array each complete here one after the other.
                DecodeFrame *frames = m.frames.data();
                size_t n = m.frames.size() - 1;
                while (n > 0) {
                    const DecodeFrame &g = frames[n - 1];
                    if (g.kind != FrameKind::ListCollect || g.count != 1 || g.shareable_index != kNoIndex) break;
                    PyObject *outer = PyList_New(1);
                    if (outer == nullptr) {
                        m.frames.truncate(n);
                        Py_DECREF(seq);
                        return kDeliverFailed;
                    }
                    PyList_SET_ITEM(outer, 0, seq);
                    seq = outer;
                    ++h;
                    --n;
                }
                m.frames.truncate(n);
                *item = seq;
                *height = h;
                m.immutable = false;  // as in pop_completed_mutable
                return kDeliverComplete;
            }
            if (m.values.push(*item) < 0) {
                Py_DECREF(*item);
                return kDeliverFailed;
            }
            ++f.filled;
            if (!last) {
                // A tuple's items take the flag of the frame under it, which may be on.
                if (f.kind == FrameKind::Tuple)
                    apply_continue(m, false);
                else
                    continue_mutable(m, f, false);
                return kDeliverTaken;
            }
            PyObject *seq = collect_sequence(m, f.base, f.kind == FrameKind::Tuple);
            if (seq == nullptr) return kDeliverFailed;
            *item = seq;
            *height = pop_completed(m, f);
            return kDeliverComplete;
        }
        case FrameKind::Dict: {
            if (f.extra == nullptr) {
                // Keys with shared references inside are measured on the general path.
                if (f.strict_keys || *height > kMaxHashedHeight || m.ref_units != f.mark_refs) return kDeliverNone;
                if (*height > f.height) f.height = *height;
                f.extra = *item;
                continue_mutable(m, f, false);
                return kDeliverTaken;
            }
            bool last = f.filled + 1 == f.count;
            if (!f.allow_duplicates || (last && (f.callable != nullptr || f.shareable_index != kNoIndex)))
                return kDeliverNone;
            if (*height > f.height) f.height = *height;
            PyObject *key = f.extra;
            f.extra = nullptr;
            int r = PyDict_SetItem(f.container, key, *item);
            if (!f.extra_borrowed) Py_DECREF(key);
            f.extra_borrowed = false;
            Py_DECREF(*item);
            if (r < 0) return kDeliverFailed;
            ++f.filled;
            m.set_mark(f);
            if (!last) {
                continue_mutable(m, f, true);
                return take_short_key(m, f) < 0 ? kDeliverKeyFailed : kDeliverTaken;
            }
            *item = std::exchange(f.container, nullptr);
            *height = pop_completed_mutable(m, f);
            return kDeliverComplete;
        }
        case FrameKind::TagCodec: {
            // A built-in tag whose payload has just completed: its codec runs at once.
            if (f.shareable_index != kNoIndex) return kDeliverNone;
            if (payload_has_references(m, f) && charge_codec_payload(m, f) < 0) return kDeliverFailed;
            if (*height > f.height) f.height = *height;
            PyObject *value = f.row->decoder(*item, f.immutable);
            Py_DECREF(*item);
            if (value == nullptr) return kDeliverFailed;
            *item = value;
            *height = pop_completed(m, f);
            return kDeliverComplete;
        }
        default:
            return kDeliverNone;
    }
}

}  // namespace

PyObject *run_machine(DecoderState *d, bool immutable) {
    Machine m(d, immutable);
    if (m.break_marker == nullptr) return nullptr;
    for (;;) {
        // One item header; then, for as long as items complete, deliver each to the frame
        // on top of the stack, until an action asks for the next header. Common scalars
        // going into a list or dict skip the actions.
        DecodeAction a;
        bool from_header;
        PyObject *fast;
        int fast_result = fast_item(m, &fast);
        if (fast_result == kFastKey) {
            // A plain dict keeps the cache's key as it is until its value arrives.
            DecodeFrame &f = m.frames.back();
            if (f.kind == FrameKind::Dict && !f.strict_keys && m.ref_units == f.mark_refs) {
                f.extra = fast;
                f.extra_borrowed = true;
                continue_mutable(m, f, false);
                continue;
            }
            Py_INCREF(fast);
            fast_result = kFastScalar;
        }
        switch (fast_result) {
            case kFastScalar: {
                uint64_t height = 0;
                int r;
                do {
                    if (m.frames.empty()) return fast;
                    r = fast_deliver(m, m.frames.back(), &fast, &height);
                } while (r == kDeliverComplete);
                if (r == kDeliverTaken) continue;
                if (r == kDeliverFailed) {
                    label_error(frame_name(m.frames.back()));
                    return nullptr;
                }
                if (r == kDeliverKeyFailed) return nullptr;
                a = deliver(m, m.frames.back(), Ref(fast), height);
                from_header = false;
                break;
            }
            case kFastOpened:
                continue;
            case kFastFailed:
                label_error(PyUnicode_FromString(kMajorNames[m.major]));
                return nullptr;
            case kFastUnlabelled:
                return nullptr;
            default:
                a = read_item(m);
                from_header = true;
                break;
        }
        for (;;) {
            Ref item;
            uint64_t height = 0;
            switch (a.kind) {
                case ActionKind::Item:
                    item = std::move(a.value);
                    break;
                case ActionKind::StringItem:
                    if (!m.namespaces.empty() && register_string(m, a.value.get(), a.number) < 0) return nullptr;
                    item = std::move(a.value);
                    break;
                case ActionKind::FrameComplete:
                    height = apply_complete(m, a.value.get());
                    item = std::move(a.value);
                    break;
                case ActionKind::StringReference:
                case ActionKind::SharedReference: {
                    DecodeFrame f = m.frames.back();
                    m.frames.pop_back();
                    frame_release(f);
                    PyObject *v;
                    if (a.kind == ActionKind::SharedReference) {
                        if (resolve_shared_reference(m, a.number, &v, &height) < 0) return nullptr;
                    } else {
                        if (resolve_string_reference(m, a.number, &v) < 0) return nullptr;
                    }
                    item = Ref(v);
                    if (!m.frames.empty()) m.immutable = m.frames.back().immutable;
                    break;
                }
                case ActionKind::PushFrame:
                    if (push_template(m) < 0) return nullptr;
                    goto next_header;
                case ActionKind::Continue:
                    apply_continue(m, a.flag);
                    goto next_header;
                case ActionKind::OpenStringNamespace:
                    if (open_string_namespace(m) < 0) return nullptr;
                    goto next_header;
                case ActionKind::OpenShareable:
                    if (open_shareable(m) < 0) return nullptr;
                    goto next_header;
                case ActionKind::Error:
                    if (a.flag)
                        label_error(from_header ? PyUnicode_FromString(kMajorNames[m.major])
                                                : frame_name(m.frames.back()));
                    return nullptr;
            }
            if (m.frames.empty()) return finish(m, std::move(item));
            a = deliver(m, m.frames.back(), std::move(item), height);
            from_header = false;
        }
    next_header:;
    }
}

}  // namespace kelvo
