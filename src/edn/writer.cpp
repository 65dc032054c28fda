// The diagnostic-notation writer: one pass over the encoded item with an explicit stack of
// open containers, appending the notation as UTF-8.
#include "edn/writer.h"

#include "lib/podvec.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace kelvo::edn {

namespace {

constexpr size_t kMaxDepth = 100000;

enum WKind : uint8_t { kWArray, kWMap, kWTag, kWBytesIndef, kWTextIndef };

struct WFrame {
    WKind kind;
    bool marked;       // the opener carries an indicator
    bool indefinite;
    uint64_t remaining;  // items still due (definite only)
    uint64_t count;      // items so far
};

int shortest_width(uint64_t v) {
    if (v < 24) return -1;
    if (v <= 0xff) return 0;
    if (v <= 0xffff) return 1;
    if (v <= 0xffffffffu) return 2;
    return 3;
}

double half_to_double(uint16_t h) {
    int exp = (h >> 10) & 0x1f;
    int mant = h & 0x3ff;
    double v;
    if (exp == 0) v = std::ldexp(mant, -24);
    else if (exp == 31) v = mant ? NAN : INFINITY;
    else v = std::ldexp(mant + 1024, exp - 25);
    return (h & 0x8000) ? -v : v;
}

class Writer {
public:
    Writer(const uint8_t *data, size_t size, bool widths, bool pretty)
        : d_(data), n_(size), widths_(widths), pretty_(pretty) {}

    PyObject *run();

private:
    int malformed() {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "not exactly one well-formed CBOR item");
        return -1;
    }
    int put(const char *s, size_t len) { return out_.append(s, len); }
    int put(const char *s) { return put(s, strlen(s)); }
    int put(char c) { return out_.push(c); }
    int put_u64(uint64_t v) {
        char buf[24];
        auto r = std::to_chars(buf, buf + sizeof buf, v);
        return put(buf, static_cast<size_t>(r.ptr - buf));
    }
    int put_indent() {
        if (put('\n') < 0) return -1;
        for (size_t i = 0; i < level_; ++i)
            if (put("  ", 2) < 0) return -1;
        return 0;
    }
    // "_w" when the head's width is to be shown.
    int mark(uint64_t value, int width) {
        if (width < 0 || !(widths_ || shortest_width(value) != width)) return 0;
        char m[2] = {'_', static_cast<char>('0' + width)};
        return put(m, 2);
    }
    int text(const uint8_t *s, size_t len);
    int floating(double v, int width);
    int before_item();
    int close_top();

    const uint8_t *d_;
    size_t n_;
    bool widths_, pretty_;
    size_t level_ = 0;
    PodVec<char> out_;
    PodVec<WFrame, 16> stack_;
};

// A text string in JSON string syntax, with every character that does not print escaped.
int Writer::text(const uint8_t *s, size_t len) {
    static const char hex[] = "0123456789abcdef";
    if (put('"') < 0) return -1;
    size_t i = 0;
    while (i < len) {
        size_t run = i;
        while (i < len && s[i] >= 0x20 && s[i] < 0x7f && s[i] != '"' && s[i] != '\\') ++i;
        if (put(reinterpret_cast<const char *>(s + run), i - run) < 0) return -1;
        if (i >= len) break;
        uint8_t c = s[i];
        uint32_t cp;
        size_t n;
        if (c < 0x80) {
            const char *esc = nullptr;
            switch (c) {
                case '"': esc = "\\\""; break;
                case '\\': esc = "\\\\"; break;
                case '\n': esc = "\\n"; break;
                case '\r': esc = "\\r"; break;
                case '\t': esc = "\\t"; break;
                case '\b': esc = "\\b"; break;
                case '\f': esc = "\\f"; break;
                default: break;
            }
            ++i;
            if (esc != nullptr) {
                if (put(esc) < 0) return -1;
                continue;
            }
            cp = c;
            n = 0;
        } else {
            if (c >= 0xc2 && c <= 0xdf) {
                n = 1;
                cp = c & 0x1f;
            } else if (c >= 0xe0 && c <= 0xef) {
                n = 2;
                cp = c & 0x0f;
            } else if (c >= 0xf0 && c <= 0xf4) {
                n = 3;
                cp = c & 0x07;
            } else {
                return malformed();
            }
            if (len - i - 1 < n) return malformed();
            for (size_t k = 1; k <= n; ++k) {
                uint8_t t = s[i + k];
                if ((t & 0xc0) != 0x80) return malformed();
                cp = cp << 6 | (t & 0x3f);
            }
            if ((n == 2 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) || (n == 3 && (cp < 0x10000 || cp > 0x10ffff)))
                return malformed();
            if (Py_UNICODE_ISPRINTABLE(cp)) {
                if (put(reinterpret_cast<const char *>(s + i), n + 1) < 0) return -1;
                i += n + 1;
                continue;
            }
            i += n + 1;
        }
        // \uXXXX, as a surrogate pair beyond the basic plane
        uint32_t units[2];
        int count = 1;
        units[0] = cp;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units[0] = 0xd800 + (cp >> 10);
            units[1] = 0xdc00 + (cp & 0x3ff);
            count = 2;
        }
        for (int k = 0; k < count; ++k) {
            char e[6] = {'\\', 'u', hex[units[k] >> 12 & 15], hex[units[k] >> 8 & 15], hex[units[k] >> 4 & 15], hex[units[k] & 15]};
            if (put(e, 6) < 0) return -1;
        }
    }
    return put('"');
}

// A float as repr() writes it (".0" added before a bare exponent), or NaN and the infinities.
int Writer::floating(double v, int width) {
    if (std::isnan(v)) {
        if (put("NaN") < 0) return -1;
    } else if (std::isinf(v)) {
        if (put(v > 0 ? "Infinity" : "-Infinity") < 0) return -1;
    } else {
        // repr() itself, so that the text is the float's own (the allocation stays inside the
        // interpreter's objects, whatever allocator this module's buffers use).
        Ref number(PyFloat_FromDouble(v));
        if (!number) return -1;
        Ref repr(PyObject_Repr(number.get()));
        if (!repr) return -1;
        Py_ssize_t len;
        const char *r = PyUnicode_AsUTF8AndSize(repr.get(), &len);
        if (r == nullptr) return -1;
        const char *e = static_cast<const char *>(memchr(r, 'e', static_cast<size_t>(len)));
        if (e != nullptr && memchr(r, '.', static_cast<size_t>(len)) == nullptr) {
            if (put(r, static_cast<size_t>(e - r)) < 0 || put(".0", 2) < 0 || put(e, static_cast<size_t>(r + len - e)) < 0)
                return -1;
        } else if (put(r, static_cast<size_t>(len)) < 0) {
            return -1;
        }
    }
    if (!widths_) return 0;
    char m[2] = {'_', static_cast<char>('0' + width)};
    return put(m, 2);
}

// The separator a new item gets from the frame it goes into.
int Writer::before_item() {
    if (stack_.empty()) return 0;
    WFrame &f = stack_.back();
    uint64_t c = f.count++;
    switch (f.kind) {
        case kWArray:
        case kWMap:
            if (f.kind == kWMap && (c & 1)) return put(": ", 2);
            if (pretty_) {
                if (c && put(',') < 0) return -1;
                return put_indent();
            }
            if (c) return put(", ", 2);
            if (f.marked) return put(' ');
            return 0;
        case kWTag:
            return 0;
        default:
            return put(c ? ", " : "(_ ", c ? 2 : 3);
    }
}

int Writer::close_top() {
    WFrame f = stack_.back();
    stack_.pop_back();
    switch (f.kind) {
        case kWTag:
            return put(')');
        case kWArray:
        case kWMap:
            --level_;
            if (f.count && pretty_) {
                if (put_indent() < 0) return -1;
            } else if (!f.count && f.marked) {
                if (put(' ') < 0) return -1;
            }
            return put(f.kind == kWArray ? ']' : '}');
        default:
            if (f.count) return put(')');
            return put(f.kind == kWBytesIndef ? "''_" : "\"\"_");
    }
}

PyObject *Writer::run() {
    static const char hex[] = "0123456789abcdef";
    if (out_.reserve(n_ * 2 + 16) < 0) return nullptr;
    size_t pos = 0;
    for (;;) {
        if (pos >= n_) return malformed(), nullptr;
        uint8_t ib = d_[pos++];
        uint8_t major = ib >> 5;
        uint8_t ai = ib & 31;
        if (!stack_.empty()) {
            WFrame &top = stack_.back();
            if ((top.kind == kWBytesIndef || top.kind == kWTextIndef) && ib != 0xff &&
                (major != (top.kind == kWBytesIndef ? 2 : 3) || ai == 31))
                return malformed(), nullptr;
        }
        bool complete = true;
        if (ib == 0xff) {
            if (stack_.empty() || !stack_.back().indefinite) return malformed(), nullptr;
            if (stack_.back().kind == kWMap && (stack_.back().count & 1)) return malformed(), nullptr;
            if (close_top() < 0) return nullptr;
        } else {
            uint64_t arg = ai;
            int width = -1;
            if (ai >= 24 && ai <= 27) {
                width = ai - 24;
                size_t len = size_t{1} << width;
                if (n_ - pos < len) return malformed(), nullptr;
                arg = 0;
                for (size_t k = 0; k < len; ++k) arg = arg << 8 | d_[pos + k];
                pos += len;
            } else if (ai >= 28 && ai <= 30) {
                return malformed(), nullptr;
            } else if (ai == 31 && (major < 2 || major > 5)) {
                return malformed(), nullptr;
            }
            if (before_item() < 0) return nullptr;
            int rc = 0;
            switch (major) {
                case 0:
                    rc = (put_u64(arg) < 0 || mark(arg, width) < 0) ? -1 : 0;
                    break;
                case 1:
                    if (arg == UINT64_MAX) rc = put("-18446744073709551616");
                    else rc = (put('-') < 0 || put_u64(arg + 1) < 0) ? -1 : 0;
                    if (rc == 0) rc = mark(arg, width);
                    break;
                case 2:
                case 3:
                    if (ai == 31) {
                        if (stack_.size() >= kMaxDepth) return malformed(), nullptr;
                        WFrame f{major == 2 ? kWBytesIndef : kWTextIndef, false, true, 0, 0};
                        if (stack_.push(f) < 0) return nullptr;
                        complete = false;
                        break;
                    }
                    if (n_ - pos < arg) return malformed(), nullptr;
                    if (major == 2) {
                        if (put("h'", 2) < 0 || out_.reserve(static_cast<size_t>(arg) * 2) < 0) return nullptr;
                        for (uint64_t k = 0; k < arg; ++k) {
                            uint8_t b = d_[pos + k];
                            char pair[2] = {hex[b >> 4], hex[b & 15]};
                            if (put(pair, 2) < 0) return nullptr;
                        }
                        rc = put('\'');
                    } else {
                        rc = text(d_ + pos, static_cast<size_t>(arg));
                    }
                    pos += static_cast<size_t>(arg);
                    if (rc == 0) rc = mark(arg, width);
                    break;
                case 4:
                case 5: {
                    if (stack_.size() >= kMaxDepth) return malformed(), nullptr;
                    if (put(major == 4 ? '[' : '{') < 0) return nullptr;
                    size_t before = out_.size();
                    WFrame f{major == 4 ? kWArray : kWMap, false, ai == 31, 0, 0};
                    if (ai == 31) {
                        if (put('_') < 0) return nullptr;
                    } else {
                        // Items need at least a byte each: a count beyond the input is a truncation.
                        if (arg > n_ - pos || (major == 5 && arg > (n_ - pos) / 2)) return malformed(), nullptr;
                        f.remaining = major == 5 ? arg * 2 : arg;
                        if (mark(arg, width) < 0) return nullptr;
                    }
                    f.marked = out_.size() != before;
                    if (stack_.push(f) < 0) return nullptr;
                    ++level_;
                    if (ai != 31 && arg == 0) {
                        if (close_top() < 0) return nullptr;
                    } else {
                        complete = false;
                    }
                    break;
                }
                case 6: {
                    if (stack_.size() >= kMaxDepth) return malformed(), nullptr;
                    if (put_u64(arg) < 0 || mark(arg, width) < 0 || put('(') < 0) return nullptr;
                    WFrame f{kWTag, false, false, 1, 0};
                    if (stack_.push(f) < 0) return nullptr;
                    complete = false;
                    break;
                }
                default:  // 7
                    if (ai == 25) {
                        rc = floating(half_to_double(static_cast<uint16_t>(arg)), 1);
                    } else if (ai == 26) {
                        uint32_t bits = static_cast<uint32_t>(arg);
                        float f;
                        memcpy(&f, &bits, 4);
                        rc = floating(static_cast<double>(f), 2);
                    } else if (ai == 27) {
                        double v;
                        memcpy(&v, &arg, 8);
                        rc = floating(v, 3);
                    } else {
                        if (ai == 24 && arg < 32) return malformed(), nullptr;
                        static const char *names[] = {"false", "true", "null", "undefined"};
                        if (arg >= 20 && arg <= 23) {
                            rc = put(names[arg - 20]);
                        } else {
                            rc = (put("simple(", 7) < 0 || put_u64(arg) < 0 || put(')') < 0) ? -1 : 0;
                        }
                    }
                    break;
            }
            if (rc < 0) return nullptr;
        }
        if (!complete) continue;
        // The item is complete: it fills definite frames, which complete in turn.
        while (!stack_.empty()) {
            WFrame &f = stack_.back();
            if (f.indefinite || f.kind == kWBytesIndef || f.kind == kWTextIndef) break;
            if (--f.remaining != 0) break;
            if (close_top() < 0) return nullptr;
        }
        if (stack_.empty()) break;
    }
    if (pos != n_) return malformed(), nullptr;
    return PyUnicode_DecodeUTF8(out_.data(), static_cast<Py_ssize_t>(out_.size()), "strict");
}

}  // namespace

PyObject *write_diag(const uint8_t *data, size_t size, bool widths, bool pretty) {
    Writer writer(data, size, widths, pretty);
    return writer.run();
}

}  // namespace kelvo::edn
