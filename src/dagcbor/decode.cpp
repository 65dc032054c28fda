// decode_item: heads read and judged where they stand, containers built by a depth-bounded
// recursion, map keys compared with the one before them, tag 42 checked as a CID.
#include "dagcbor/decode.h"

#include "dagcbor/cid.h"
#include "dagcbor/keys.h"
#include "lib/cbor.h"

#include <cmath>
#include <cstring>

namespace kelvo::dag {

namespace {

constexpr const char kTruncated[] = "premature end of data";
constexpr const char kNotShortest[] = "head not in its shortest form";
constexpr const char kIndefinite[] = "indefinite length";
constexpr const char kReserved[] = "reserved additional information in a head";
constexpr const char kKeyNotText[] = "map key that is not a text string";
constexpr const char kKeyOrder[] = "map keys out of length-first bytewise order";
constexpr const char kKeyRepeated[] = "map key repeated";
constexpr const char kTag[] = "tag other than 42";
constexpr const char kTagContent[] = "tag 42 content that is not a byte string";
constexpr const char kTagPrefix[] = "tag 42 bytes without the 0x00 prefix";
constexpr const char kSimple[] = "simple value other than false, true and null";
constexpr const char kNarrowFloat[] = "float narrower than 64 bits";
constexpr const char kNonFinite[] = "NaN or infinite float";
constexpr const char kBreak[] = "break code outside an indefinite-length item";
constexpr const char kUtf8[] = "text string that is not valid UTF-8";
constexpr const char kDepth[] = "containers nested too deeply";

// memcmp's order of the n bytes at a and b, read a word at a time (keys are short).
int compare_bytes(const uint8_t *a, const uint8_t *b, size_t n) {
    auto order = [](uint64_t x, uint64_t y) { return x < y ? -1 : x > y ? 1 : 0; };
    auto word8 = [](const uint8_t *p) {
        uint64_t v;
        memcpy(&v, p, 8);
        return __builtin_bswap64(v);
    };
    auto word4 = [](const uint8_t *p) {
        uint32_t v;
        memcpy(&v, p, 4);
        return uint64_t{__builtin_bswap32(v)};
    };
    if (n >= 8) {
        // Whole words from the front, then the last eight bytes, whose overlap with the words
        // before is already known to be equal.
        size_t i = 0;
        for (; i + 8 <= n; i += 8)
            if (word8(a + i) != word8(b + i)) return order(word8(a + i), word8(b + i));
        return i < n ? order(word8(a + n - 8), word8(b + n - 8)) : 0;
    }
    if (n >= 4) return order(word4(a) << 32 | word4(a + n - 4), word4(b) << 32 | word4(b + n - 4));
    if (n == 0) return 0;
    // The first, middle and last bytes are every byte of a text this short, in order.
    return order(uint64_t{a[0]} << 16 | uint64_t{a[n / 2]} << 8 | a[n - 1],
                 uint64_t{b[0]} << 16 | uint64_t{b[n / 2]} << 8 | b[n - 1]);
}

class Decoder {
public:
    Decoder(const ModuleState *st, KeyTable *keys, const uint8_t *data, size_t size, size_t start, bool strict)
        : st_(st), keys_(keys), buf_(data), n_(size), pos_(start), strict_(strict) {}

    PyObject *value(int depth);
    size_t pos() const noexcept { return pos_; }

private:
    PyObject *fault(const char *rule, size_t at) { return raise_decode_fault(st_, rule, at, rule == kTruncated); }
    // Reads the argument of the head at pos_ (whose initial byte is `ib`) and moves past it.
    // 0, or -1 with the fault raised. An argument held in the initial byte, as most are, is
    // read in place; the rest go to long_head.
    [[gnu::always_inline]] int head(uint8_t ib, uint64_t *arg) {
        if ((ib & 0x1f) < 24) {
            *arg = ib & 0x1f;
            pos_ += 1;
            return 0;
        }
        // A one-byte argument (text of 24 to 255 bytes, a CID) is the next most common.
        if ((ib & 0x1f) == 24 && n_ - pos_ > 1 && (buf_[pos_ + 1] >= 24 || !strict_)) {
            *arg = buf_[pos_ + 1];
            pos_ += 2;
            return 0;
        }
        return long_head(ib, arg);
    }
    int long_head(uint8_t ib, uint64_t *arg);
    // Checks that `len` more bytes exist at pos_.
    bool available(uint64_t len) const noexcept { return len <= n_ - pos_; }
    // The items other than text, whose head starts at `start`: value() keeps to the most
    // common ones, so that they are read without a stack frame of their own.
    [[gnu::noinline]] PyObject *other(size_t start, uint8_t ib, int depth);
    // A text value whose head (starting at `start`) has been read, its bytes at pos_.
    [[gnu::always_inline]] PyObject *text_value(size_t start, uint64_t len);
    // The text item at pos_ (starting at `start`, its head read) that the key table's find
    // missed, made and recorded there; the fault for text that is not UTF-8 is raised at
    // `start`.
    [[gnu::noinline]] PyObject *text(size_t start, uint64_t len, bool key);
    [[gnu::noinline]] PyObject *array(size_t start, uint64_t len, int depth);
    [[gnu::noinline]] PyObject *map(size_t start, uint64_t len, int depth);
    [[gnu::noinline]] PyObject *tag(size_t start, uint64_t number);
    PyObject *simple(size_t start, uint8_t info);

    const ModuleState *st_;
    KeyTable *keys_;  // nullable
    const uint8_t *buf_;
    size_t n_;
    size_t pos_;
    bool strict_;
};

int Decoder::long_head(uint8_t ib, uint64_t *arg) {
    const size_t start = pos_;
    const uint8_t info = ib & 0x1f;
    if (info > 27) {
        fault(info == 31 ? kIndefinite : kReserved, start);
        return -1;
    }
    const unsigned width = 1u << (info - 24);
    if (n_ - pos_ - 1 < width) {
        fault(kTruncated, start);
        return -1;
    }
    *arg = cbor::load_argument(buf_ + pos_ + 1, width);
    if (strict_ && *arg < cbor::kShortestFrom[info - 24]) {
        fault(kNotShortest, start);
        return -1;
    }
    pos_ += 1 + width;
    return 0;
}

PyObject *Decoder::value(int depth) {
    const size_t start = pos_;
    if (pos_ >= n_) return fault(kTruncated, start);
    const uint8_t ib = buf_[pos_];
    const uint8_t info = ib & 0x1f;
    // Text, maps and arrays with their length in the initial byte or the next one, and
    // tag 42, are read from here; the rest goes through other().
    uint64_t arg;
    if (info < 24) {
        arg = info;
        pos_ += 1;
    } else if (info == 24 && n_ - pos_ > 1 && (buf_[pos_ + 1] >= 24 || !strict_)) {
        arg = buf_[pos_ + 1];
        pos_ += 2;
    } else {
        return other(start, ib, depth);
    }
    // Most common first: text, maps, CIDs, arrays.
    const uint8_t major = ib >> 5;
    if (major == 3) return text_value(start, arg);
    if (major == 5) return map(start, arg, depth);
    if (major == 6) return tag(start, arg);
    if (major == 4) return array(start, arg, depth);
    pos_ = start;  // other() reads the head again
    return other(start, ib, depth);
}

PyObject *Decoder::other(size_t start, uint8_t ib, int depth) {
    const uint8_t major = ib >> 5;
    if (major == 7) return simple(start, ib & 0x1f);
    uint64_t arg;
    if (head(ib, &arg) < 0) return nullptr;
    switch (major) {
        case 0:
            return PyLong_FromUnsignedLongLong(arg);
        case 1: {
            if (arg <= static_cast<uint64_t>(INT64_MAX)) return PyLong_FromLongLong(-1 - static_cast<int64_t>(arg));
            Ref n(PyLong_FromUnsignedLongLong(arg));
            return n ? PyNumber_Invert(n.get()) : nullptr;  // ~n == -1 - n
        }
        case 2: {
            if (!available(arg)) return fault(kTruncated, start);
            PyObject *b =
                PyBytes_FromStringAndSize(reinterpret_cast<const char *>(buf_ + pos_), static_cast<Py_ssize_t>(arg));
            pos_ += arg;
            return b;
        }
        case 3:
            return text_value(start, arg);
        case 4:
            return array(start, arg, depth);
        case 5:
            return map(start, arg, depth);
        default:
            return tag(start, arg);
    }
}

PyObject *Decoder::text_value(size_t start, uint64_t len) {
    if (!available(len)) return fault(kTruncated, start);
    if (keys_ != nullptr) {
        if (PyObject *found = keys_->find_value(buf_ + pos_, len)) {
            pos_ += len;
            return Py_NewRef(found);
        }
    }
    return text(start, len, false);
}

PyObject *Decoder::text(size_t start, uint64_t len, bool key) {
    if (!available(len)) return fault(kTruncated, start);
    const uint8_t *p = buf_ + pos_;
    PyObject *s = keys_ == nullptr ? make_text(p, len) : key ? keys_->add_key(p, len) : keys_->add_value(p, len);
    if (s == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return nullptr;
        PyErr_Clear();
        return fault(kUtf8, start);
    }
    pos_ += len;
    return s;
}

PyObject *Decoder::array(size_t start, uint64_t len, int depth) {
    // Every item takes at least one byte: a longer count cannot be met by this input.
    if (!available(len)) return fault(kTruncated, start);
    if (depth >= kMaxDepth) return fault(kDepth, start);
    Ref list(PyList_New(static_cast<Py_ssize_t>(len)));
    if (!list) return nullptr;
    for (uint64_t i = 0; i < len; ++i) {
        PyObject *item = value(depth + 1);
        if (item == nullptr) return nullptr;  // the list releases the items set so far
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

PyObject *Decoder::map(size_t start, uint64_t len, int depth) {
    if (len > (n_ - pos_) / 2) return fault(kTruncated, start);
    if (depth >= kMaxDepth) return fault(kDepth, start);
    // A map of more than five entries would outgrow a new dict's table; its size is known
    // (and bounded by the input left), so the table is made large enough at once.
    Ref dict(len > 5 ? _PyDict_NewPresized(static_cast<Py_ssize_t>(len)) : PyDict_New());
    if (!dict) return nullptr;
    const uint8_t *prev = nullptr;
    uint64_t prev_len = 0;
    for (uint64_t i = 0; i < len; ++i) {
        const size_t key_start = pos_;
        if (pos_ >= n_) return fault(kTruncated, key_start);
        const uint8_t ib = buf_[pos_];
        uint64_t key_len;
        if (ib - 0x60u < 24) {
            key_len = ib & 0x1f;
            pos_ += 1;
        } else if ((ib >> 5) != 3) {
            return fault(kKeyNotText, key_start);
        } else if (head(ib, &key_len) < 0) {
            return nullptr;
        }
        if (!available(key_len)) return fault(kTruncated, key_start);
        const uint8_t *key_bytes = buf_ + pos_;
        if (strict_ && prev != nullptr) {
            // Shortest heads make the encoded length grow with the text's length, so comparing
            // the texts length first is comparing the encoded keys length first.
            int c = key_len < prev_len ? -1 : key_len > prev_len ? 1 : compare_bytes(key_bytes, prev, key_len);
            if (c <= 0) return fault(c == 0 ? kKeyRepeated : kKeyOrder, key_start);
        }
        prev = key_bytes;
        prev_len = key_len;
        PyObject *found = keys_ != nullptr ? keys_->find_key(key_bytes, key_len) : nullptr;
        if (found != nullptr) pos_ += key_len;
        Ref key(found != nullptr ? Py_NewRef(found) : text(key_start, key_len, true));
        if (!key) return nullptr;
        Ref val(value(depth + 1));
        if (!val) return nullptr;
        if (strict_) {
            if (PyDict_SetItem(dict.get(), key.get(), val.get()) < 0) return nullptr;
        } else {
            PyObject *present = nullptr;
            int rc = PyDict_SetDefaultRef(dict.get(), key.get(), val.get(), &present);
            Py_XDECREF(present);
            if (rc < 0) return nullptr;
            if (rc == 1) return fault(kKeyRepeated, key_start);
        }
    }
    return dict.release();
}

PyObject *Decoder::tag(size_t start, uint64_t number) {
    if (number != 42) return fault(kTag, start);
    const size_t content = pos_;
    if (pos_ >= n_) return fault(kTruncated, content);
    const uint8_t ib = buf_[pos_];
    if ((ib >> 5) != 2) return fault(kTagContent, content);
    uint64_t len;
    if (head(ib, &len) < 0) return nullptr;
    if (!available(len)) return fault(kTruncated, content);
    const uint8_t *p = buf_ + pos_;
    if (len == 0 || p[0] != 0x00) return fault(kTagPrefix, content);
    const char *bad = cid_fault(p + 1, len - 1);
    if (bad != nullptr) return fault(bad, content);
    pos_ += len;
    return make_cid(st_, p + 1, len - 1);
}

PyObject *Decoder::simple(size_t start, uint8_t info) {
    switch (info) {
        case 20:
            pos_ += 1;
            Py_RETURN_FALSE;
        case 21:
            pos_ += 1;
            Py_RETURN_TRUE;
        case 22:
            pos_ += 1;
            Py_RETURN_NONE;
        case 25:
        case 26:
        case 27: {
            const unsigned width = 1u << (info - 24);
            if (n_ - pos_ - 1 < width) return fault(kTruncated, start);
            if (strict_ && width != 8) return fault(kNarrowFloat, start);
            const char *p = reinterpret_cast<const char *>(buf_ + pos_ + 1);
            double d;
            if (width == 8) {
                const uint64_t bits = cbor::load_argument(buf_ + pos_ + 1, 8);
                memcpy(&d, &bits, 8);
            } else {
                d = width == 2 ? PyFloat_Unpack2(p, 0) : PyFloat_Unpack4(p, 0);
                if (d == -1.0 && PyErr_Occurred()) return nullptr;
            }
            if (!std::isfinite(d)) return fault(kNonFinite, start);
            pos_ += 1 + width;
            return PyFloat_FromDouble(d);
        }
        case 28:
        case 29:
        case 30:
            return fault(kReserved, start);
        case 31:
            return fault(kBreak, start);
        default:
            return fault(kSimple, start);
    }
}

}  // namespace

PyObject *raise_decode_fault(const ModuleState *st, const char *rule, size_t at, bool eof) {
    PyObject *type = eof ? st->decode_eof : st->decode_error;
    Ref message(rule == kTruncated
                    ? PyUnicode_FromFormat("premature end of data: the item at byte %zu is incomplete", at)
                    : PyUnicode_FromFormat("%s at byte %zu", rule, at));
    if (!message) return nullptr;
    Ref exc(PyObject_CallOneArg(type, message.get()));
    if (!exc) return nullptr;
    Ref offset(PyLong_FromSize_t(at));
    if (!offset || PyObject_SetAttrString(exc.get(), "offset", offset.get()) < 0) return nullptr;
    Ref text(PyUnicode_FromString(rule));
    if (!text || PyObject_SetAttrString(exc.get(), "rule", text.get()) < 0) return nullptr;
    PyErr_SetObject(type, exc.get());
    return nullptr;
}

PyObject *decode_item(const ModuleState *st, KeyTable *keys, const uint8_t *data, size_t size, size_t start,
                      bool strict, size_t *end) {
    Decoder d(st, keys, data, size, start, strict);
    PyObject *v = d.value(0);
    *end = d.pos();
    return v;
}

}  // namespace kelvo::dag
