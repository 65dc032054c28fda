// The deterministic-form pass: heads, lengths, floats and bignums judged as they are read,
// each map key and set member compared with the one before it, and, when rewriting the
// encoder's output, every float shortened and every container found out of order sorted
// once its own content is final.
#include "deterministic/walker.h"

#include "lib/cbor.h"
#include "lib/float_width.h"
#include "lib/podvec.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace kelvo::det {

namespace {

enum class Rule : uint8_t {
    truncated,
    reserved_info,
    stray_break,
    small_simple,
    head_not_shortest,
    indefinite,
    key_order,
    key_repeated,
    set_order,
    set_repeated,
    float_width,
    nan_form,
    bignum_small,
    bignum_zero,
    trailing,
};

const char *rule_text(Rule r) {
    switch (r) {
        case Rule::truncated:
            return "premature end of data";
        case Rule::reserved_info:
            return "reserved additional information in a head";
        case Rule::stray_break:
            return "break code outside an indefinite-length item";
        case Rule::small_simple:
            return "two-byte simple value below 32";
        case Rule::head_not_shortest:
            return "head not in its shortest form";
        case Rule::indefinite:
            return "indefinite length";
        case Rule::key_order:
            return "map keys out of bytewise order";
        case Rule::key_repeated:
            return "map key repeated";
        case Rule::set_order:
            return "set members out of bytewise order";
        case Rule::set_repeated:
            return "set member repeated";
        case Rule::float_width:
            return "float that a shorter width holds exactly";
        case Rule::nan_form:
            return "NaN other than f9 7e 00";
        case Rule::bignum_small:
            return "bignum that fits a plain integer";
        case Rule::bignum_zero:
            return "bignum with a leading zero byte";
        case Rule::trailing:
            return "trailing bytes after the item";
    }
    return "unknown rule";
}

enum class Kind : uint8_t { array, map, set };

// One open container. A map counts its keys and values separately, so a key is due
// whenever the count left is even; every member of a set (a tag-258 array) is compared
// with the one before it as a map key is.
struct Frame {
    uint64_t remaining;
    size_t start;        // offset of the container's head
    size_t entry_start;  // offset of the key or member being read
    size_t prev_start;   // previous key or member; prev_end == 0 while there is none
    size_t prev_end;
    size_t base;  // first of this container's entries (reordering only)
    Kind kind;
    bool unsorted;
    bool in_key;  // the container lies inside a map key
};

// A key (or member) with what follows it up to the next one: [start, key_end) is the key.
struct Entry {
    size_t start;
    size_t key_end;
};

// Writes the shortest encoding of a float (head included) that keeps its value exactly, NaN
// as f9 7e 00; returns its length (3, 5 or 9).
size_t shortest_float(double d, uint8_t *out) {
    if (std::isnan(d)) {
        out[0] = cbor::kHalf, out[1] = float_width::kHalfNaN >> 8, out[2] = float_width::kHalfNaN & 0xff;
        return 3;
    }
    if (std::isinf(d) || float_width::double_fits_single(d)) {
        const float f = static_cast<float>(d);
        uint32_t bits;
        memcpy(&bits, &f, 4);
        if (std::isinf(d) || float_width::single_fits_half(bits)) {
            const uint16_t h = std::isinf(d)
                                   ? static_cast<uint16_t>(((bits >> 16) & 0x8000) | float_width::kHalfInfinity)
                                   : float_width::half_from_single(bits);
            out[0] = cbor::kHalf, out[1] = static_cast<uint8_t>(h >> 8), out[2] = static_cast<uint8_t>(h);
            return 3;
        }
        out[0] = cbor::kSingle;
        bits = __builtin_bswap32(bits);
        memcpy(out + 1, &bits, 4);
        return 5;
    }
    uint64_t bits;
    memcpy(&bits, &d, 8);
    out[0] = cbor::kDouble;
    bits = __builtin_bswap64(bits);
    memcpy(out + 1, &bits, 8);
    return 9;
}

// Reading (Reorder false) judges the bytes where they are. Reordering (Reorder true) reads
// an encoding that is already in preferred serialization apart from float widths, and
// rewrites it, in a private copy made on the first change, into deterministic form: each
// float is shortened where it starts (everything after it moves down by the bytes saved, in
// runs, as late as possible) and each container is sorted when it completes. Offsets kept in
// frames and entries are then offsets in that output.
template <bool Reorder>
class Walker {
public:
    Walker(const uint8_t *data, size_t size) : buf_(data), n_(size) {}

    // Reads the item that starts at `start`; its end is left in end_. 0 when the item passes,
    // 1 with rule_/at_ set at the first fault, -1 with a Python exception set.
    int run(size_t start);

    Rule rule_ = Rule::truncated;
    size_t at_ = 0;
    size_t end_ = 0;
    Ref copy_;  // the writable copy (reordering), once something had to change
    // A map key holds a float, a boolean or a tag: two keys with different encodings may
    // then decode to Python values that compare equal (1 and 1.0, True and 1, two tags
    // for one instant).
    bool keys_may_compare_equal_ = false;

    size_t bytes_saved() const { return delta_; }

    int fault(Rule r, size_t at) {
        rule_ = r;
        at_ = at;
        return 1;
    }

private:
    int compare(size_t a0, size_t a1, size_t b0, size_t b1) const {
        // Keys of different major types, and strings of different short lengths, already
        // differ in their initial byte: most comparisons end there without a memcmp call.
        if (buf_[a0] != buf_[b0]) return buf_[a0] < buf_[b0] ? -1 : 1;
        const size_t la = a1 - a0, lb = b1 - b0;
        const int c = memcmp(buf_ + a0 + 1, buf_ + b0 + 1, (la < lb ? la : lb) - 1);
        if (c != 0) return c;
        return la < lb ? -1 : (la > lb ? 1 : 0);
    }
    bool in_key_context() const {
        if (stack_.empty()) return false;
        const Frame &t = stack_.back();
        return t.in_key || (t.kind == Kind::map && (t.remaining & 1) == 0);
    }
    void note_key_scalar() {
        if (!Reorder && !keys_may_compare_equal_ && in_key_context()) keys_may_compare_equal_ = true;
    }
    int end_entry(Frame &f, size_t end);
    int sort_container(const Frame &f, size_t end);
    int make_writable() {
        if (copy_) return 0;
        copy_.reset(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(buf_), static_cast<Py_ssize_t>(n_)));
        if (!copy_) return -1;
        out_ = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(copy_.get()));
        buf_ = out_;
        return 0;
    }
    // Moves the input read since the last move, up to `pos`, down to its output place.
    void flush(size_t pos) {
        if (delta_ != 0 && pos > run_) memmove(out_ + run_ - delta_, out_ + run_, pos - run_);
        run_ = pos;
    }
    int shorten_float(size_t head, size_t pos);

    const uint8_t *buf_;
    size_t n_;
    uint8_t *out_ = nullptr;  // the copy's storage (reordering)
    size_t delta_ = 0;        // input bytes saved so far: output offset = input offset - delta_
    size_t run_ = 0;          // input offset where the bytes not yet moved down begin
    PodVec<Frame, 16> stack_;
    PodVec<Entry, 32> entries_;
    PodVec<size_t> order_;
    PodVec<uint8_t> scratch_;
};

template <bool Reorder>
int Walker<Reorder>::end_entry(Frame &f, size_t end) {
    const size_t s = f.entry_start;
    if (f.prev_end != 0) {
        const int c = compare(f.prev_start, f.prev_end, s, end);
        if (c == 0) return fault(f.kind == Kind::set ? Rule::set_repeated : Rule::key_repeated, s);
        if (c > 0) {
            if (!Reorder) return fault(f.kind == Kind::set ? Rule::set_order : Rule::key_order, s);
            f.unsorted = true;
        }
    }
    f.prev_start = s;
    f.prev_end = end;
    if constexpr (Reorder) {
        if (entries_.push(Entry{s, end}) < 0) return -1;
    }
    return 0;
}

// Replaces the float in input [head, pos) by its shortest form when that is shorter.
template <bool Reorder>
int Walker<Reorder>::shorten_float(size_t head, size_t pos) {
    double d;
    if (pos - head == 9) {
        const uint64_t bits = cbor::load_argument(buf_ + head + 1, 8);
        memcpy(&d, &bits, 8);
    } else {
        const uint32_t bits = static_cast<uint32_t>(cbor::load_argument(buf_ + head + 1, 4));
        float f;
        memcpy(&f, &bits, 4);
        d = f;
    }
    uint8_t shortest[9];
    const size_t len = shortest_float(d, shortest);
    if (len >= pos - head) return 0;
    if (make_writable() < 0) return -1;
    flush(head);
    memcpy(out_ + head - delta_, shortest, len);
    delta_ += pos - head - len;
    run_ = pos;
    return 0;
}

// Rewrites the container's body (output [first key, end)) with its entries in bytewise key
// order. Every key's bytes are final by now: containers nested in a key were completed, and
// sorted, before it.
template <bool Reorder>
int Walker<Reorder>::sort_container(const Frame &f, size_t end) {
    if (make_writable() < 0) return -1;
    const Entry *e = entries_.data() + f.base;
    const size_t count = entries_.size() - f.base;
    order_.truncate(0);
    if (order_.reserve(count) < 0) return -1;
    for (size_t i = 0; i < count; ++i) order_.push(i);
    std::sort(order_.data(), order_.data() + count,
              [&](size_t a, size_t b) { return compare(e[a].start, e[a].key_end, e[b].start, e[b].key_end) < 0; });
    for (size_t i = 1; i < count; ++i) {
        const Entry &a = e[order_[i - 1]], &b = e[order_[i]];
        if (compare(a.start, a.key_end, b.start, b.key_end) == 0)
            return fault(f.kind == Kind::set ? Rule::set_repeated : Rule::key_repeated, b.start);
    }
    const size_t first = e[0].start;
    scratch_.truncate(0);
    if (scratch_.reserve(end - first) < 0) return -1;
    for (size_t i = 0; i < count; ++i) {
        const size_t k = order_[i];
        const size_t stop = k + 1 < count ? e[k + 1].start : end;
        scratch_.append(buf_ + e[k].start, stop - e[k].start);
    }
    memcpy(out_ + first, scratch_.data(), end - first);
    return 0;
}

template <bool Reorder>
int Walker<Reorder>::run(size_t start) {
    size_t pos = start;
    for (;;) {
        // One item: any tag heads, then the head that decides what the item is.
        const size_t item_start = pos;
        // Only a key's or a member's start is ever used; for a map value it is overwritten
        // before anything reads it.
        if (!stack_.empty()) stack_.back().entry_start = pos - delta_;
        bool bignum_next = false, set_next = false, opened = false;
        size_t tag_at = 0;
        for (;;) {
            if (pos >= n_) {
                const bool inside_tag = pos > item_start;
                return fault(Rule::truncated, inside_tag || stack_.empty() ? item_start : stack_.back().start);
            }
            const size_t head = pos;
            const uint8_t initial = buf_[pos++];
            const unsigned major = initial >> 5, info = initial & 31;
            uint64_t arg = info;
            if (info >= 24) {
                if (info >= 28) {
                    if (info < 31) return fault(Rule::reserved_info, head);
                    if (major == 7) return fault(Rule::stray_break, head);
                    return fault(major >= 2 && major <= 5 ? Rule::indefinite : Rule::reserved_info, head);
                }
                const unsigned width = 1u << (info - 24);
                if (n_ - pos < width) return fault(Rule::truncated, head);
                arg = cbor::load_argument(buf_ + pos, width);
                pos += width;
                if (major != 7 && arg < cbor::kShortestFrom[info - 24]) return fault(Rule::head_not_shortest, head);
            }
            if (bignum_next && major == 2) {
                if (arg <= 8) return fault(Rule::bignum_small, tag_at);
                if (pos < n_ && buf_[pos] == 0) return fault(Rule::bignum_zero, tag_at);
            }
            switch (major) {
                case 2:
                case 3:
                    if (arg > n_ - pos) return fault(Rule::truncated, head);
                    pos += static_cast<size_t>(arg);
                    break;
                case 4:
                case 5: {
                    if (arg == 0) break;
                    // Every array item takes a byte at least, every map entry two: a count
                    // beyond that is refused before it sizes anything.
                    if (arg > (n_ - pos) / (major == 5 ? 2 : 1)) return fault(Rule::truncated, head);
                    if (stack_.reserve(1) < 0) return -1;
                    const bool in_key = !Reorder && in_key_context();
                    Frame &f = stack_.data()[stack_.size()];
                    f.remaining = major == 5 ? arg * 2 : arg;
                    f.start = head - delta_;
                    f.prev_end = 0;
                    f.base = entries_.size();
                    f.kind = major == 5 ? Kind::map : (set_next ? Kind::set : Kind::array);
                    f.unsorted = false;
                    f.in_key = in_key;
                    stack_.commit(1);
                    opened = true;
                    break;
                }
                case 6:
                    note_key_scalar();
                    bignum_next = arg == 2 || arg == 3;
                    set_next = arg == 258;
                    tag_at = head;
                    continue;  // the tagged item follows
                case 7:
                    if (info == 24 && arg < 32) return fault(Rule::small_simple, head);
                    if (info == 20 || info == 21 || info >= 25) note_key_scalar();
                    if (info == 25) {
                        const uint32_t h = static_cast<uint32_t>(arg);
                        if ((h & 0x7c00) == 0x7c00 && (h & 0x3ff) != 0 && h != 0x7e00)
                            return fault(Rule::nan_form, head);
                    } else if (Reorder && (info == 26 || info == 27)) {
                        if (shorten_float(head, pos) < 0) return -1;
                    } else if (info == 26) {
                        const uint32_t b = static_cast<uint32_t>(arg);
                        if ((b & 0x7f800000) == 0x7f800000)
                            return fault((b & 0x7fffff) != 0 ? Rule::nan_form : Rule::float_width, head);
                        if (float_width::single_fits_half(b)) return fault(Rule::float_width, head);
                    } else if (info == 27) {
                        if ((arg & 0x7ff0000000000000) == 0x7ff0000000000000)
                            return fault((arg & 0xfffffffffffff) != 0 ? Rule::nan_form : Rule::float_width, head);
                        double d;
                        memcpy(&d, &arg, 8);
                        if (float_width::double_fits_single(d)) return fault(Rule::float_width, head);
                    }
                    break;
                default:
                    break;
            }
            break;
        }
        if (opened) continue;
        // The item ended at pos: close every container it completes.
        for (;;) {
            if (stack_.empty()) {
                if constexpr (Reorder) flush(pos);
                end_ = pos;
                return 0;
            }
            Frame &f = stack_.back();
            if (f.kind == Kind::set || (f.kind == Kind::map && (f.remaining & 1) == 0)) {
                if constexpr (Reorder) flush(pos);
                int rc = end_entry(f, pos - delta_);
                if (rc != 0) return rc;
            }
            if (--f.remaining != 0) break;
            if constexpr (Reorder) {
                if (f.unsorted) {
                    flush(pos);
                    int rc = sort_container(f, pos - delta_);
                    if (rc != 0) return rc;
                }
                entries_.truncate(f.base);
            }
            stack_.pop_back();
        }
    }
}

}  // namespace

namespace {

// Raises `type` with "{rule} at byte {offset}" (or the truncation message), the offset and the
// rule also given as the exception's `offset` and `rule` attributes. Always returns -1.
int raise_rule(PyObject *type, Rule rule, size_t at) {
    Ref message(rule == Rule::truncated
                    ? PyUnicode_FromFormat("premature end of data: the item at byte %zu is incomplete", at)
                    : PyUnicode_FromFormat("%s at byte %zu", rule_text(rule), at));
    if (!message) return -1;
    Ref exc(PyObject_CallOneArg(type, message.get()));
    if (!exc) return -1;
    Ref offset(PyLong_FromSize_t(at));
    if (!offset || PyObject_SetAttrString(exc.get(), "offset", offset.get()) < 0) return -1;
    Ref text(PyUnicode_FromString(rule_text(rule)));
    if (!text || PyObject_SetAttrString(exc.get(), "rule", text.get()) < 0) return -1;
    PyErr_SetObject(type, exc.get());
    return -1;
}

}  // namespace

int check_deterministic(const ErrorTypes &errors, const uint8_t *data, size_t size, bool *keys_may_compare_equal) {
    Walker<false> w(data, size);
    int rc = w.run(0);
    *keys_may_compare_equal = w.keys_may_compare_equal_;
    if (rc < 0) return -1;
    if (rc == 0 && w.end_ != size) rc = w.fault(Rule::trailing, w.end_);
    if (rc == 0) return 0;
    return raise_rule(w.rule_ == Rule::truncated ? errors.decode_eof : errors.decode_error, w.rule_, w.at_);
}

Py_ssize_t check_deterministic_sequence(const ErrorTypes &errors, const uint8_t *data, size_t size) {
    Walker<false> w(data, size);
    Py_ssize_t count = 0;
    for (size_t pos = 0; pos < size; pos = w.end_, ++count) {
        int rc = w.run(pos);
        if (rc < 0) return -1;
        if (rc > 0)
            return raise_rule(w.rule_ == Rule::truncated ? errors.decode_eof : errors.decode_error, w.rule_, w.at_);
    }
    return count;
}

PyObject *make_deterministic(const ErrorTypes &errors, PyObject *encoded) {
    if (!PyBytes_Check(encoded)) {
        PyErr_Format(PyExc_TypeError, "expected bytes, not '%s'", Py_TYPE(encoded)->tp_name);
        return nullptr;
    }
    const size_t size = static_cast<size_t>(PyBytes_GET_SIZE(encoded));
    Walker<true> w(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(encoded)), size);
    int rc = w.run(0);
    if (rc == 0 && w.end_ != size) rc = w.fault(Rule::trailing, w.end_);
    if (rc < 0) return nullptr;
    if (rc > 0) {
        if (w.rule_ == Rule::key_repeated)
            PyErr_SetString(errors.encode_value_error, "two map keys have the same deterministic encoding");
        else if (w.rule_ == Rule::set_repeated)
            PyErr_SetString(errors.encode_value_error, "two set members have the same deterministic encoding");
        else
            PyErr_Format(errors.encode_value_error, "the encoded value is not in deterministic form: %s at byte %zu",
                         rule_text(w.rule_), w.at_);
        return nullptr;
    }
    if (!w.copy_) return Py_NewRef(encoded);
    PyObject *result = w.copy_.release();
    if (w.bytes_saved() != 0 && _PyBytes_Resize(&result, static_cast<Py_ssize_t>(size - w.bytes_saved())) < 0)
        return nullptr;
    return result;
}

}  // namespace kelvo::det
