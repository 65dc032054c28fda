// The diagnostic-notation reader: one pass over the text with an explicit stack of open
// containers, writing the encoding as it goes.
//
// Heads whose argument is only known at the end (array and map counts, string lengths) get
// one reserved byte where they belong; when the final head is longer, it is kept aside as an
// Insert and spliced in when the result is assembled, so that no byte is moved more than once.
#include "edn/parser.h"

#include "lib/podvec.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace kelvo::edn {

namespace {

// What follows an item as its encoding indicator.
enum Spec : int8_t {
    kSpecNone = -1,      // none: preferred serialization
    kSpecIndef = 4,      // "_": indefinite length
    kSpecImmediate = 5,  // "_i": argument in the initial byte
    // 0..3: "_0".."_3", an argument of 1, 2, 4 or 8 bytes
};

struct Insert {
    size_t pos;   // the reserved byte this head replaces
    uint8_t len;  // 2..9
    uint8_t head[9];
};

enum Kind : uint8_t { kTop, kArray, kMap, kTag, kChunks, kString, kEmbed, kAppSeq };

struct Frame {
    Kind kind;
    int8_t spec;
    uint8_t major;         // kString, kChunks: 2 or 3 once known, else 0
    bool seq;              // kTop: a sequence rather than one item
    bool mixed;            // kString: a text string with parts that are not text literals
    bool app_item;         // kString: its one part so far came from an application extension
    uint64_t count;        // array items, map keys and values, chunks, string parts, sequence items
    size_t head_pos;       // reserved head byte (containers, strings, chunked strings)
    size_t content_start;  // kString, kEmbed, kAppSeq: first content byte
    size_t extra_at_open;
    size_t inserts_at_open;
    size_t text_pos;    // where the construct starts in the text
    size_t prefix_len;  // kAppSeq: the prefix is text[text_pos, text_pos + prefix_len)
};

enum class State { kWantItem, kAfterItem, kAfterPart };

inline bool is_digit(uint8_t c) { return c >= '0' && c <= '9'; }
inline bool is_hex(uint8_t c) { return is_digit(c) || ((c | 0x20) >= 'a' && (c | 0x20) <= 'f'); }
inline int hex_value(uint8_t c) { return is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10; }
inline bool is_lower(uint8_t c) { return c >= 'a' && c <= 'z'; }
inline bool is_upper(uint8_t c) { return c >= 'A' && c <= 'Z'; }
inline bool is_wordchar(uint8_t c) { return c == '_' || is_lower(c) || is_upper(c) || is_digit(c); }
inline bool is_blank(uint8_t c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Writes the head of major type `major` with argument `value` in the shortest form.
int head_bytes(uint8_t major, uint64_t value, int width, uint8_t *head) {
    uint8_t mt = static_cast<uint8_t>(major << 5);
    if (width < 0) {
        if (value < 24)
            width = -1;
        else if (value <= 0xff)
            width = 0;
        else if (value <= 0xffff)
            width = 1;
        else if (value <= 0xffffffffu)
            width = 2;
        else
            width = 3;
    }
    if (width < 0) {
        head[0] = static_cast<uint8_t>(mt | value);
        return 1;
    }
    int n = 1 << width;
    head[0] = static_cast<uint8_t>(mt | (24 + width));
    for (int i = 0; i < n; ++i) head[1 + i] = static_cast<uint8_t>(value >> (8 * (n - 1 - i)));
    return 1 + n;
}

// Half-precision bits of `d` when it converts exactly (finite values only).
bool half_of(double d, uint16_t *out) {
    uint64_t bits;
    memcpy(&bits, &d, 8);
    uint16_t sign = static_cast<uint16_t>((bits >> 48) & 0x8000);
    int exp = static_cast<int>((bits >> 52) & 0x7ff);
    uint64_t mant = bits & ((uint64_t{1} << 52) - 1);
    if (exp == 0 && mant == 0) {
        *out = sign;
        return true;
    }
    if (exp == 0) return false;  // double subnormals are far below half precision
    int e = exp - 1023;
    if (e > 15) return false;
    if (e >= -14) {
        if (mant & ((uint64_t{1} << 42) - 1)) return false;
        *out = static_cast<uint16_t>(sign | ((e + 15) << 10) | (mant >> 42));
        return true;
    }
    if (e < -24) return false;
    uint64_t full = mant | (uint64_t{1} << 52);
    int shift = 42 + (-14 - e);
    if (full & ((uint64_t{1} << shift) - 1)) return false;
    *out = static_cast<uint16_t>(sign | (full >> shift));
    return true;
}

class Parser {
public:
    Parser(PyObject *error_type, PyObject *app_hook, const char *text, size_t size, Py_ssize_t max_depth)
        : error_type_(error_type),
          app_hook_(app_hook),
          s_(reinterpret_cast<const uint8_t *>(text)),
          n_(size),
          max_depth_(max_depth) {}

    PyObject *run(bool seq);

private:
    // ---- faults
    int fail(size_t pos, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
    PyObject *raise_syntax_error();

    uint8_t at(size_t i) const { return i < n_ ? s_[i] : 0; }
    bool looking_at(const char *word) const {
        size_t len = strlen(word);
        return n_ - p_ >= len && memcmp(s_ + p_, word, len) == 0;
    }

    // ---- output
    int emit(uint8_t b) { return out_.push(b); }
    int emit(const uint8_t *b, size_t len) { return out_.append(b, len); }
    int emit_head(uint8_t major, uint64_t value, int8_t spec, size_t pos);
    int reserve_head(size_t *pos) {
        *pos = out_.size();
        return emit(0);
    }
    int set_head(size_t pos, uint8_t major, uint64_t value, int8_t spec, size_t text_pos);
    size_t region_length(const Frame &f) const { return out_.size() - f.content_start + (extra_ - f.extra_at_open); }
    int flatten(const Frame &f, PodVec<uint8_t> *dst);
    PyObject *assemble();

    // ---- lexical pieces
    int skip_space();
    int eol_comment();
    int spec(int8_t *out);
    int check_spec_width(int8_t spec, size_t pos, bool for_float);
    int quoted_string(PodVec<uint8_t> *dst, bool *verbatim);
    int raw_string(PodVec<uint8_t> *dst);
    int unicode_escape(PodVec<uint8_t> *dst, bool single);
    int hex_content(const PodVec<uint8_t> &src, size_t base, bool verbatim, size_t lit_pos);
    int b64_content(const PodVec<uint8_t> &src, size_t base, bool verbatim, size_t lit_pos);
    int ellipsis_fault(size_t pos);

    // ---- items
    int want_item(State *next);
    int number(State *next);
    int big_integer(size_t start, size_t digits, size_t end, int base, bool negative, int8_t spec);
    int write_float(double d, bool nan, int8_t spec, size_t pos);
    int float_number(size_t start, size_t digits, size_t end, std::chars_format format, bool negative, int8_t spec);
    int open_container(Kind kind, State *next);
    int close_container();
    int start_string(State *next);
    int string_part(State *next);
    int after_part(State *next);
    int finish_string();
    int app_literal(size_t prefix_pos, size_t prefix_len, State *next);
    int app_result(PyObject *result, size_t prefix_pos, size_t prefix_len);
    int call_app(size_t prefix_pos, size_t prefix_len, const uint8_t *data, size_t size, PyObject **result);
    int after_item(State *next);
    int push_frame(Kind kind, size_t text_pos, Frame **f);

    PyObject *error_type_;
    PyObject *app_hook_;
    const uint8_t *s_;
    size_t n_;
    size_t p_ = 0;
    Py_ssize_t max_depth_;
    Py_ssize_t depth_ = 0;

    PodVec<uint8_t> out_;
    PodVec<Insert> inserts_;
    size_t extra_ = 0;  // bytes the inserts add
    PodVec<Frame, 16> stack_;
    PodVec<uint8_t> scratch_;   // string literal text before an extension decodes it
    PodVec<uint8_t> app_item_;  // the last application-extension result, whole
    uint8_t last_major_ = 0;    // major type of the item just completed when it is a definite string

    bool syntax_fault_ = false;
    size_t fault_pos_ = 0;
    char fault_[256] = {0};
};

int Parser::fail(size_t pos, const char *fmt, ...) {
    if (syntax_fault_ || PyErr_Occurred()) return -1;
    syntax_fault_ = true;
    fault_pos_ = pos > n_ ? n_ : pos;
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(fault_, sizeof fault_, fmt, ap);
    va_end(ap);
    return -1;
}

PyObject *Parser::raise_syntax_error() {
    size_t line = 1, line_start = 0;
    for (size_t i = 0; i < fault_pos_; ++i) {
        if (s_[i] == '\n') {
            ++line;
            line_start = i + 1;
        }
    }
    size_t column = 1;
    for (size_t i = line_start; i < fault_pos_; ++i)
        if ((s_[i] & 0xc0) != 0x80) ++column;
    Ref reason(PyUnicode_DecodeUTF8(fault_, static_cast<Py_ssize_t>(strlen(fault_)), "replace"));
    if (!reason) return nullptr;
    Ref message(PyUnicode_FromFormat("line %zu, column %zu: %U", line, column, reason.get()));
    if (!message) return nullptr;
    Ref exc(PyObject_CallOneArg(error_type_, message.get()));
    if (!exc) return nullptr;
    Ref line_obj(PyLong_FromSize_t(line));
    Ref column_obj(PyLong_FromSize_t(column));
    if (!line_obj || !column_obj || PyObject_SetAttrString(exc.get(), "line", line_obj.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "column", column_obj.get()) < 0 ||
        PyObject_SetAttrString(exc.get(), "reason", reason.get()) < 0)
        return nullptr;
    PyErr_SetObject(error_type_, exc.get());
    return nullptr;
}

// ---- output

int Parser::emit_head(uint8_t major, uint64_t value, int8_t spec, size_t pos) {
    if (spec == kSpecImmediate) {
        if (value >= 24)
            return fail(pos, "_i needs an argument below 24, not %llu", static_cast<unsigned long long>(value));
        spec = kSpecNone;
    }
    if (spec >= 0 && spec < 3 && value >> (8 << spec) != 0)
        return fail(pos, "_%d leaves %d byte%s for the argument, too few for %llu", spec, 1 << spec, spec ? "s" : "",
                    static_cast<unsigned long long>(value));
    uint8_t head[9];
    int len = head_bytes(major, value, spec, head);
    return emit(head, static_cast<size_t>(len));
}

int Parser::set_head(size_t pos, uint8_t major, uint64_t value, int8_t spec, size_t text_pos) {
    if (spec == kSpecImmediate) {
        if (value >= 24)
            return fail(text_pos, "_i needs an argument below 24, not %llu", static_cast<unsigned long long>(value));
        spec = kSpecNone;
    }
    if (spec >= 0 && spec < 3 && value >> (8 << spec) != 0)
        return fail(text_pos, "_%d leaves %d byte%s for the argument, too few for %llu", spec, 1 << spec,
                    spec ? "s" : "", static_cast<unsigned long long>(value));
    Insert ins;
    int len = head_bytes(major, value, spec, ins.head);
    if (len == 1) {
        out_[pos] = ins.head[0];
        return 0;
    }
    ins.pos = pos;
    ins.len = static_cast<uint8_t>(len);
    extra_ += static_cast<size_t>(len - 1);
    return inserts_.push(ins);
}

// The bytes of a frame's region as they will be in the result (its inserts spliced in).
int Parser::flatten(const Frame &f, PodVec<uint8_t> *dst) {
    dst->truncate(0);
    size_t count = inserts_.size() - f.inserts_at_open;
    Insert *first = inserts_.data() + f.inserts_at_open;
    std::sort(first, first + count, [](const Insert &a, const Insert &b) { return a.pos < b.pos; });
    size_t from = f.content_start;
    for (size_t i = 0; i < count; ++i) {
        if (dst->append(out_.data() + from, first[i].pos - from) < 0 || dst->append(first[i].head, first[i].len) < 0)
            return -1;
        from = first[i].pos + 1;
    }
    return dst->append(out_.data() + from, out_.size() - from);
}

PyObject *Parser::assemble() {
    size_t total = out_.size() + extra_;
    if (total > static_cast<size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
    PyObject *result = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total));
    if (result == nullptr) return nullptr;
    uint8_t *dst = reinterpret_cast<uint8_t *>(PyBytes_AS_STRING(result));
    Insert *ins = inserts_.data();
    size_t count = inserts_.size();
    std::sort(ins, ins + count, [](const Insert &a, const Insert &b) { return a.pos < b.pos; });
    size_t from = 0;
    for (size_t i = 0; i < count; ++i) {
        size_t len = ins[i].pos - from;
        if (len) memcpy(dst, out_.data() + from, len);
        dst += len;
        memcpy(dst, ins[i].head, ins[i].len);
        dst += ins[i].len;
        from = ins[i].pos + 1;
    }
    if (out_.size() > from) memcpy(dst, out_.data() + from, out_.size() - from);
    return result;
}

// ---- blank space and comments

int Parser::eol_comment() {
    while (p_ < n_ && s_[p_] != '\n') {
        uint8_t c = s_[p_];
        if (c < 0x20 && c != '\t' && c != '\r') return fail(p_, "control character U+%04X in a comment", c);
        ++p_;
    }
    if (p_ < n_) ++p_;
    return 0;
}

int Parser::skip_space() {
    while (p_ < n_) {
        uint8_t c = s_[p_];
        if (is_blank(c)) {
            ++p_;
        } else if (c == '#') {
            if (eol_comment() < 0) return -1;
        } else if (c == '/') {
            size_t start = p_;
            uint8_t d = at(p_ + 1);
            if (d == '/') {
                if (eol_comment() < 0) return -1;
            } else if (d == '*') {
                p_ += 2;
                for (;;) {
                    if (p_ >= n_) return fail(start, "comment '/*' is not closed by '*/'");
                    uint8_t e = s_[p_];
                    if (e < 0x20 && !is_blank(e)) return fail(p_, "control character U+%04X in a comment", e);
                    if (e == '*' && at(p_ + 1) == '/') {
                        p_ += 2;
                        break;
                    }
                    ++p_;
                }
            } else {
                ++p_;
                for (;;) {
                    if (p_ >= n_) return fail(start, "comment '/' is not closed by another '/'");
                    uint8_t e = s_[p_];
                    if (e < 0x20 && !is_blank(e)) return fail(p_, "control character U+%04X in a comment", e);
                    ++p_;
                    if (e == '/') break;
                }
            }
        } else {
            break;
        }
    }
    return 0;
}

// An encoding indicator, if one starts here: "_" and the word characters after it.
int Parser::spec(int8_t *out) {
    *out = kSpecNone;
    if (at(p_) != '_') return 0;
    size_t start = p_++;
    while (p_ < n_ && is_wordchar(s_[p_])) ++p_;
    size_t len = p_ - start - 1;
    const uint8_t *w = s_ + start + 1;
    if (len == 0) {
        *out = kSpecIndef;
    } else if (len == 1 && w[0] >= '0' && w[0] <= '3') {
        *out = static_cast<int8_t>(w[0] - '0');
    } else if (len == 1 && w[0] == 'i') {
        *out = kSpecImmediate;
    } else if (len == 1 && w[0] >= '4' && w[0] <= '7') {
        return fail(start, "encoding indicator _%c is reserved (additional information %d is not in use)", w[0],
                    24 + (w[0] - '0'));
    } else {
        return fail(start, "unknown encoding indicator '_%.*s' (known: _, _i, _0 to _3)",
                    static_cast<int>(len < 40 ? len : 40), reinterpret_cast<const char *>(w));
    }
    return 0;
}

int Parser::ellipsis_fault(size_t pos) {
    return fail(pos, "an ellipsis ('...') stands for elided data and has no encoding");
}

// ---- string literals

// A \u escape after the "\u": appends the character's UTF-8 form.
int Parser::unicode_escape(PodVec<uint8_t> *dst, bool single) {
    size_t start = p_ - 2;
    uint32_t cp = 0;
    if (at(p_) == '{') {
        ++p_;
        size_t digits = 0;
        while (p_ < n_ && is_hex(s_[p_])) {
            if (cp > 0x10ffff) return fail(start, "\\u{...} escape beyond U+10FFFF");
            cp = cp * 16 + static_cast<uint32_t>(hex_value(s_[p_]));
            ++p_;
            ++digits;
        }
        if (digits == 0 || at(p_) != '}') return fail(p_, "expected hexadecimal digits and '}' in a \\u{...} escape");
        ++p_;
        if (cp > 0x10ffff) return fail(start, "\\u{...} escape beyond U+10FFFF");
        if (cp >= 0xd800 && cp <= 0xdfff) return fail(start, "\\u{...} escape of a surrogate (U+%04X)", cp);
    } else {
        for (int i = 0; i < 4; ++i) {
            if (!is_hex(at(p_))) return fail(p_, "expected four hexadecimal digits or '{' after \\u");
            cp = cp * 16 + static_cast<uint32_t>(hex_value(s_[p_++]));
        }
        if (cp >= 0xdc00 && cp <= 0xdfff)
            return fail(start, "\\u%04X is a low surrogate without a high one before it", cp);
        if (cp >= 0xd800 && cp <= 0xdbff) {
            uint32_t low = 0;
            if (at(p_) != '\\' || at(p_ + 1) != 'u')
                return fail(start, "\\u%04X is a high surrogate without a \\u escape of a low one after it", cp);
            p_ += 2;
            for (int i = 0; i < 4; ++i) {
                if (!is_hex(at(p_))) return fail(p_, "expected four hexadecimal digits after \\u");
                low = low * 16 + static_cast<uint32_t>(hex_value(s_[p_++]));
            }
            if (low < 0xdc00 || low > 0xdfff)
                return fail(start, "\\u%04X is a high surrogate not followed by a low one", cp);
            cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
        }
    }
    if (single && cp >= 0x20 && cp <= 0x7e)
        return fail(start, "a single-quoted string writes '%c' as itself, not as a \\u escape", static_cast<char>(cp));
    uint8_t u[4];
    size_t len;
    if (cp < 0x80) {
        u[0] = static_cast<uint8_t>(cp);
        len = 1;
    } else if (cp < 0x800) {
        u[0] = static_cast<uint8_t>(0xc0 | (cp >> 6));
        u[1] = static_cast<uint8_t>(0x80 | (cp & 0x3f));
        len = 2;
    } else if (cp < 0x10000) {
        u[0] = static_cast<uint8_t>(0xe0 | (cp >> 12));
        u[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3f));
        u[2] = static_cast<uint8_t>(0x80 | (cp & 0x3f));
        len = 3;
    } else {
        u[0] = static_cast<uint8_t>(0xf0 | (cp >> 18));
        u[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3f));
        u[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3f));
        u[3] = static_cast<uint8_t>(0x80 | (cp & 0x3f));
        len = 4;
    }
    return dst->append(u, len);
}

// The byte that the one-character escape `\e` stands for inside a string delimited by
// `quote`, or -1: '/' escapes in double-quoted strings only, and each quote in its own kind.
int escaped_byte(uint8_t e, uint8_t quote) {
    switch (e) {
        case 'b':
            return '\b';
        case 'f':
            return '\f';
        case 'n':
            return '\n';
        case 'r':
            return '\r';
        case 't':
            return '\t';
        case '\\':
            return '\\';
        case '/':
            return quote == '"' ? '/' : -1;
        case '"':
        case '\'':
            return e == quote ? e : -1;
        default:
            return -1;
    }
}

// A double- or single-quoted string at p_ (on its opening quote); its UTF-8 content goes to
// `dst`. *verbatim tells whether the content is the text between the quotes unchanged (no
// escapes, no carriage returns), so that positions in it are positions in the text.
int Parser::quoted_string(PodVec<uint8_t> *dst, bool *verbatim) {
    const uint8_t quote = s_[p_];
    const bool single = quote == '\'';
    size_t start = p_++;
    *verbatim = true;
    for (;;) {
        size_t run = p_;
        while (p_ < n_) {
            uint8_t c = s_[p_];
            if (c == quote || c == '\\' || (c < 0x20 && c != '\n')) break;
            ++p_;
        }
        if (dst->append(s_ + run, p_ - run) < 0) return -1;
        if (p_ >= n_) {
            return single ? fail(start, "single-quoted string is not closed by \"'\"")
                          : fail(start, "text string is not closed by '\"'");
        }
        uint8_t c = s_[p_];
        if (c == quote) {
            ++p_;
            return 0;
        }
        *verbatim = false;
        if (c == '\r') {
            ++p_;
            continue;
        }
        if (c < 0x20) return fail(p_, "control character U+%04X in a string (write it as an escape)", c);
        uint8_t e = at(p_ + 1);
        p_ += 2;
        if (e == 'u') {
            if (unicode_escape(dst, single) < 0) return -1;
            continue;
        }
        int v = escaped_byte(e, quote);
        if (v < 0) {
            return fail(
                p_ - 2,
                single ? "unknown escape '\\%c' in a single-quoted string" : "unknown escape '\\%c' in a string",
                e >= 0x20 && e < 0x7f ? e : '?');
        }
        if (dst->push(static_cast<uint8_t>(v)) < 0) return -1;
    }
}

// A raw string at p_ (on its first backquote): no escapes, delimited by runs of backquotes.
int Parser::raw_string(PodVec<uint8_t> *dst) {
    size_t start = p_;
    while (at(p_) == '`') ++p_;
    size_t width = p_ - start;
    size_t first = dst->size();
    bool swallowed = true;
    if (at(p_) == '\n')
        ++p_;
    else if (at(p_) == '\r' && at(p_ + 1) == '\n')
        p_ += 2;
    else
        swallowed = false;
    for (;;) {
        if (p_ >= n_) return fail(start, "raw string is not closed by %zu backquote%s", width, width > 1 ? "s" : "");
        uint8_t c = s_[p_];
        if (c == '`') {
            size_t run = p_;
            while (at(p_) == '`') ++p_;
            size_t len = p_ - run;
            if (len >= width) {
                if (dst->append(s_ + run, len - width) < 0) return -1;
                break;
            }
            if (dst->append(s_ + run, len) < 0) return -1;
            continue;
        }
        if (c == '\r') {
            ++p_;
            continue;
        }
        if ((c < 0x20 && c != '\n') || c == 0x7f) return fail(p_, "control character U+%04X in a raw string", c);
        ++p_;
        if (dst->push(c) < 0) return -1;
    }
    if (dst->size() == first) {
        // The newline after the opening delimiter is the content when nothing else is.
        if (swallowed) {
            static const uint8_t nl = '\n';
            return dst->append(&nl, 1);
        }
        return fail(start, "a raw string cannot be empty (write \"\" or '')");
    }
    return 0;
}

// The content of an h'' literal (hexadecimal digits, blank space and comments).
int Parser::hex_content(const PodVec<uint8_t> &src, size_t base, bool verbatim, size_t lit_pos) {
    const uint8_t *t = src.data();
    size_t len = src.size();
    auto where = [&](size_t i) { return verbatim ? base + i : lit_pos; };
    int high = -1;
    size_t i = 0;
    while (i < len) {
        uint8_t c = t[i];
        if (is_hex(c)) {
            if (high < 0) {
                high = hex_value(c);
            } else {
                if (emit(static_cast<uint8_t>(high << 4 | hex_value(c))) < 0) return -1;
                high = -1;
            }
            ++i;
        } else if (c == ' ' || c == '\n') {
            ++i;
        } else if (c == '#' || (c == '/' && i + 1 < len && t[i + 1] == '/')) {
            while (i < len && t[i] != '\n') ++i;
        } else if (c == '/' && i + 1 < len && t[i + 1] == '*') {
            size_t open = i;
            i += 2;
            while (i + 1 < len && !(t[i] == '*' && t[i + 1] == '/')) ++i;
            if (i + 1 >= len) return fail(where(open), "comment '/*' in h'' is not closed by '*/'");
            i += 2;
        } else if (c == '/') {
            size_t open = i++;
            while (i < len && t[i] != '/') ++i;
            if (i >= len) return fail(where(open), "comment '/' in h'' is not closed by another '/'");
            ++i;
        } else if (c == '.' && i + 2 < len && t[i + 1] == '.' && t[i + 2] == '.') {
            return ellipsis_fault(where(i));
        } else {
            return fail(where(i), "expected a hexadecimal digit in h'', not %s%c%s", c >= 0x20 && c < 0x7f ? "'" : "",
                        c >= 0x20 && c < 0x7f ? c : '?',
                        c >= 0x20 && c < 0x7f ? "'" : " (a control or non-ASCII character)");
        }
    }
    if (high >= 0) return fail(lit_pos, "h'' holds an odd number of hexadecimal digits");
    return 0;
}

int b64_value(uint8_t c) {
    if (is_upper(c)) return c - 'A';
    if (is_lower(c)) return c - 'a' + 26;
    if (is_digit(c)) return c - '0' + 52;
    if (c == '+' || c == '-') return 62;
    if (c == '/' || c == '_') return 63;
    return -1;
}

// The content of a b64'' literal: base64 in either alphabet, padding optional, blank space
// and "#" comments.
int Parser::b64_content(const PodVec<uint8_t> &src, size_t base, bool verbatim, size_t lit_pos) {
    const uint8_t *t = src.data();
    size_t len = src.size();
    auto where = [&](size_t i) { return verbatim ? base + i : lit_pos; };
    uint32_t acc = 0;
    int bits = 0;
    size_t digits = 0, pads = 0;
    for (size_t i = 0; i < len; ++i) {
        uint8_t c = t[i];
        if (c == ' ' || c == '\n') continue;
        if (c == '#') {
            while (i < len && t[i] != '\n') ++i;
            continue;
        }
        if (c == '=') {
            ++pads;
            continue;
        }
        int v = b64_value(c);
        if (v < 0) {
            if (c == '.' && i + 2 < len && t[i + 1] == '.' && t[i + 2] == '.') return ellipsis_fault(where(i));
            return fail(where(i), "expected a base64 digit in b64'', not %s%c%s", c >= 0x20 && c < 0x7f ? "'" : "",
                        c >= 0x20 && c < 0x7f ? c : '?',
                        c >= 0x20 && c < 0x7f ? "'" : " (a control or non-ASCII character)");
        }
        if (pads) return fail(where(i), "base64 digit after the padding in b64''");
        ++digits;
        acc = (acc << 6) | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            if (emit(static_cast<uint8_t>(acc >> bits)) < 0) return -1;
            acc &= (1u << bits) - 1;
        }
    }
    size_t rest = digits % 4;
    if (rest == 1) return fail(lit_pos, "b64'' ends with a single base64 digit (a group needs two or more)");
    if (pads && (rest == 0 || pads != 4 - rest))
        return fail(lit_pos, "b64'' has %zu padding character%s where %zu belong", pads, pads > 1 ? "s" : "",
                    rest ? 4 - rest : 0);
    return 0;
}

// ---- numbers

// The float whose digits stand at [digits, end) in `format` (decimal or hexadecimal), written
// with the encoding indicator `spec`; `start` is where the number began, for errors.
int Parser::float_number(size_t start, size_t digits, size_t end, std::chars_format format, bool negative,
                         int8_t spec) {
    double d = 0;
    const char *first = reinterpret_cast<const char *>(s_ + digits);
    const char *last = reinterpret_cast<const char *>(s_ + end);
    auto r = std::from_chars(first, last, d, format);
    if (r.ec != std::errc() || r.ptr != last) return fail(start, "the number is outside the range of a double");
    return write_float(negative ? -d : d, false, spec, start);
}

int Parser::write_float(double d, bool nan, int8_t spec, size_t pos) {
    if (spec == kSpecIndef || spec == kSpecImmediate || spec == 0)
        return fail(pos, "a float takes _1, _2 or _3 (half, single or double precision)");
    uint8_t b[9];
    uint16_t half;
    if (nan) {
        if (spec == 2) {
            const uint8_t v[] = {0xfa, 0x7f, 0xc0, 0x00, 0x00};
            return emit(v, sizeof v);
        }
        if (spec == 3) {
            const uint8_t v[] = {0xfb, 0x7f, 0xf8, 0, 0, 0, 0, 0, 0};
            return emit(v, sizeof v);
        }
        const uint8_t v[] = {0xf9, 0x7e, 0x00};
        return emit(v, sizeof v);
    }
    bool inf = std::isinf(d);
    if (spec == kSpecNone || spec == 1) {
        if (inf) {
            half = d > 0 ? 0x7c00 : 0xfc00;
            b[0] = 0xf9;
            b[1] = static_cast<uint8_t>(half >> 8);
            b[2] = static_cast<uint8_t>(half);
            return emit(b, 3);
        }
        if (half_of(d, &half)) {
            b[0] = 0xf9;
            b[1] = static_cast<uint8_t>(half >> 8);
            b[2] = static_cast<uint8_t>(half);
            return emit(b, 3);
        }
        if (spec == 1) return fail(pos, "_1 (half precision) cannot hold this value exactly");
    }
    if (spec == kSpecNone || spec == 2) {
        float f = static_cast<float>(d);
        if (inf || static_cast<double>(f) == d) {
            uint32_t bits;
            memcpy(&bits, &f, 4);
            b[0] = 0xfa;
            for (int i = 0; i < 4; ++i) b[1 + i] = static_cast<uint8_t>(bits >> (24 - 8 * i));
            return emit(b, 5);
        }
        if (spec == 2) return fail(pos, "_2 (single precision) cannot hold this value exactly");
    }
    uint64_t bits;
    memcpy(&bits, &d, 8);
    b[0] = 0xfb;
    for (int i = 0; i < 8; ++i) b[1 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    return emit(b, 9);
}

// An integer literal too large for a head: its value through the interpreter's int, then a
// head (when it fits after all) or a bignum tag.
int Parser::big_integer(size_t start, size_t digits, size_t end, int base, bool negative, int8_t spec) {
    PodVec<char, 64> text;
    if ((negative && text.push('-') < 0) ||
        text.append(reinterpret_cast<const char *>(s_ + digits), end - digits) < 0 || text.push('\0') < 0)
        return -1;
    Ref value(PyLong_FromString(text.data(), nullptr, base));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_ValueError)) {
            PyErr_Clear();
            return fail(start, "integer literal with too many digits for the interpreter's int");
        }
        return -1;
    }
    Ref zero(PyLong_FromLong(0));
    if (!zero) return -1;
    int sign = PyObject_RichCompareBool(value.get(), zero.get(), Py_LT);
    if (sign < 0) return -1;
    Ref magnitude(sign ? PyNumber_Invert(value.get()) : Ref::borrow(value.get()).release());
    if (!magnitude) return -1;
    uint64_t small = PyLong_AsUnsignedLongLong(magnitude.get());
    if (!(small == static_cast<uint64_t>(-1) && PyErr_Occurred())) return emit_head(sign ? 1 : 0, small, spec, start);
    PyErr_Clear();
    if (spec != kSpecNone)
        return fail(start, "an integer beyond 64 bits is a bignum tag, which takes no encoding indicator");
    Ref bit_length(PyObject_CallMethod(magnitude.get(), "bit_length", nullptr));
    if (!bit_length) return -1;
    Py_ssize_t nbits = PyLong_AsSsize_t(bit_length.get());
    if (nbits < 0) return -1;
    Py_ssize_t nbytes = (nbits + 7) / 8;
    Ref bytes(PyObject_CallMethod(magnitude.get(), "to_bytes", "ns", nbytes, "big"));
    if (!bytes) return -1;
    if (emit_head(6, sign ? 3 : 2, kSpecNone, start) < 0 ||
        emit_head(2, static_cast<uint64_t>(nbytes), kSpecNone, start) < 0)
        return -1;
    return emit(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(bytes.get())), static_cast<size_t>(nbytes));
}

int Parser::number(State *next) {
    size_t start = p_;
    bool negative = false;
    if (s_[p_] == '+' || s_[p_] == '-') {
        negative = s_[p_] == '-';
        ++p_;
    }
    int8_t sp;
    if (negative && looking_at("Infinity")) {
        p_ += 8;
        if (spec(&sp) < 0) return -1;
        *next = State::kAfterItem;
        return write_float(-HUGE_VAL, false, sp, start);
    }
    uint8_t c = at(p_);
    uint8_t x = static_cast<uint8_t>(at(p_ + 1) | 0x20);
    if (c == '0' && (x == 'x' || x == 'o' || x == 'b')) {
        int base = x == 'x' ? 16 : x == 'o' ? 8 : 2;
        p_ += 2;
        size_t digits = p_;
        auto ok = [base](uint8_t d) { return base == 16 ? is_hex(d) : d >= '0' && d < '0' + base; };
        while (p_ < n_ && ok(s_[p_])) ++p_;
        size_t int_end = p_;
        bool is_float = false;
        if (base == 16 && (at(p_) == '.' || (at(p_) | 0x20) == 'p')) {
            is_float = true;
            if (at(p_) == '.') {
                ++p_;
                while (p_ < n_ && is_hex(s_[p_])) ++p_;
            }
            if (p_ - digits == 1 && int_end == digits)
                return fail(start, "expected hexadecimal digits in a hexadecimal float");
            if ((at(p_) | 0x20) != 'p')
                return fail(p_, "a hexadecimal float needs an exponent ('p' and a power of two)");
            ++p_;
            if (at(p_) == '+' || at(p_) == '-') ++p_;
            if (!is_digit(at(p_))) return fail(p_, "expected decimal digits after 'p' in a hexadecimal float");
            while (p_ < n_ && is_digit(s_[p_])) ++p_;
        } else if (int_end == digits) {
            return fail(start, "expected %s digits after '0%c'",
                        base == 16  ? "hexadecimal"
                        : base == 8 ? "octal"
                                    : "binary",
                        s_[start + (negative || s_[start] == '+') + 1]);
        }
        size_t end = p_;
        if (spec(&sp) < 0) return -1;
        *next = State::kAfterItem;
        if (is_float) return float_number(start, digits, end, std::chars_format::hex, negative, sp);
        uint64_t v = 0;
        bool big = false;
        int shift = base == 16 ? 4 : base == 8 ? 3 : 1;
        for (size_t i = digits; i < end; ++i) {
            if (v >> (64 - shift)) big = true;
            v = (v << shift) | static_cast<uint64_t>(hex_value(s_[i]));
        }
        if (big) return big_integer(start, digits, end, base, negative, sp);
        if (sp == kSpecIndef) return fail(start, "'_' (indefinite length) does not apply to an integer");
        if (negative && v != 0) return emit_head(1, v - 1, sp, start);
        return emit_head(0, v, sp, start);
    }
    // decimal: digits, fraction, exponent
    size_t digits = p_;
    while (p_ < n_ && is_digit(s_[p_])) ++p_;
    size_t int_end = p_;
    bool is_float = false;
    if (at(p_) == '.') {
        if (at(p_ + 1) == '.') {
            if (int_end == digits) return ellipsis_fault(p_);
        } else {
            is_float = true;
            ++p_;
            while (p_ < n_ && is_digit(s_[p_])) ++p_;
            if (int_end == digits && p_ == int_end + 1) return fail(start, "expected digits in a number");
        }
    }
    if (int_end == digits && !is_float) {
        if (negative || s_[start] == '+') return fail(p_, "expected digits, or Infinity after '-', in a number");
        return fail(start, "expected an item");
    }
    if ((at(p_) | 0x20) == 'e') {
        size_t e = p_ + 1;
        if (at(e) == '+' || at(e) == '-') ++e;
        if (!is_digit(at(e))) return fail(p_, "expected decimal digits in the exponent");
        p_ = e;
        while (p_ < n_ && is_digit(s_[p_])) ++p_;
        is_float = true;
    }
    size_t end = p_;
    if (spec(&sp) < 0) return -1;
    if (is_float) {
        *next = State::kAfterItem;
        return float_number(start, digits, end, std::chars_format::general, negative, sp);
    }
    uint64_t v = 0;
    bool big = false;
    for (size_t i = digits; i < end; ++i) {
        uint64_t d = s_[i] - '0';
        if (v > (UINT64_MAX - d) / 10) big = true;
        v = v * 10 + d;
    }
    // A tag: an unsigned decimal without leading zeros, its indicator, then "(".
    if (at(p_) == '(') {
        if (negative || s_[start] == '+' || (s_[digits] == '0' && end - digits > 1) || big)
            return fail(start, "a tag number is an unsigned decimal integer below 2**64 without leading zeros");
        if (sp == kSpecIndef) return fail(start, "'_' (indefinite length) does not apply to a tag");
        if (emit_head(6, v, sp, start) < 0) return -1;
        ++p_;
        Frame *f;
        if (push_frame(kTag, start, &f) < 0) return -1;
        if (skip_space() < 0) return -1;
        *next = State::kWantItem;
        return 0;
    }
    *next = State::kAfterItem;
    if (big) return big_integer(start, digits, end, 10, negative, sp);
    if (sp == kSpecIndef) return fail(start, "'_' (indefinite length) does not apply to an integer");
    if (negative && v != 0) return emit_head(1, v - 1, sp, start);
    return emit_head(0, v, sp, start);
}

// ---- containers

int Parser::push_frame(Kind kind, size_t text_pos, Frame **f) {
    if (kind != kString) {
        if (depth_ >= max_depth_) return fail(text_pos, "nesting deeper than max_depth (%zd)", max_depth_ - 1);
        ++depth_;
    }
    Frame fr{};
    fr.kind = kind;
    fr.spec = kSpecNone;
    fr.text_pos = text_pos;
    fr.extra_at_open = extra_;
    fr.inserts_at_open = inserts_.size();
    fr.content_start = out_.size();
    if (stack_.push(fr) < 0) return -1;
    *f = &stack_.back();
    return 0;
}

int Parser::open_container(Kind kind, State *next) {
    size_t start = p_++;
    int8_t sp;
    if (spec(&sp) < 0) return -1;
    Frame *f;
    if (push_frame(kind, start, &f) < 0) return -1;
    f->spec = sp;
    uint8_t major = kind == kArray ? 4 : 5;
    if (sp == kSpecIndef) {
        if (emit(static_cast<uint8_t>(major << 5 | 31)) < 0) return -1;
    } else if (reserve_head(&f->head_pos) < 0) {
        return -1;
    }
    size_t before = p_;
    if (skip_space() < 0) return -1;
    uint8_t closer = kind == kArray ? ']' : '}';
    if (at(p_) == closer) {
        ++p_;
        *next = State::kAfterItem;
        return close_container();
    }
    if (sp != kSpecNone && p_ == before) return fail(p_, "expected blank space after the encoding indicator");
    *next = State::kWantItem;
    return 0;
}

int Parser::close_container() {
    Frame f = stack_.back();
    stack_.pop_back();
    --depth_;
    last_major_ = 0;
    if (f.spec == kSpecIndef) return emit(0xff);
    uint8_t major = f.kind == kArray ? 4 : 5;
    uint64_t count = f.kind == kArray ? f.count : f.count / 2;
    return set_head(f.head_pos, major, count, f.spec, f.text_pos);
}

// ---- strings and their concatenation

int Parser::start_string(State *next) {
    Frame *f;
    if (push_frame(kString, p_, &f) < 0) return -1;
    if (reserve_head(&f->head_pos) < 0) return -1;
    f->content_start = out_.size();
    return string_part(next);
}

// One part of a string at p_; the string frame is on top of the stack.
int Parser::string_part(State *next) {
    size_t pos = p_;
    uint8_t c = at(p_);
    uint8_t part_major;
    *next = State::kAfterPart;
    if (c == '"' || c == '\'') {
        bool verbatim;
        if (quoted_string(&out_, &verbatim) < 0) return -1;
        part_major = c == '"' ? 3 : 2;
    } else if (c == '`') {
        if (raw_string(&out_) < 0) return -1;
        part_major = 3;
    } else if (c == '<' && at(p_ + 1) == '<') {
        part_major = 2;
    } else if (is_lower(c) || is_upper(c)) {
        // The whole word, so that a prefix in mixed case is refused by its name.
        size_t prefix_len = 1;
        while (p_ + prefix_len < n_) {
            uint8_t d = s_[p_ + prefix_len];
            if (!(is_digit(d) || d == '-' || is_lower(d) || is_upper(d))) break;
            ++prefix_len;
        }
        p_ += prefix_len;
        uint8_t d = at(p_);
        if (d != '\'' && d != '`' && !(d == '<' && at(p_ + 1) == '<'))
            return fail(pos, "expected a string, not '%.*s'", static_cast<int>(prefix_len < 40 ? prefix_len : 40),
                        reinterpret_cast<const char *>(s_ + pos));
        return app_literal(pos, prefix_len, next);
    } else if (c == '.' && at(p_ + 1) == '.' && at(p_ + 2) == '.') {
        return ellipsis_fault(p_);
    } else {
        return fail(p_, "expected a string after '+'");
    }
    Frame &f = stack_.back();
    if (f.count == 0) {
        f.major = part_major;
    } else {
        if (f.app_item)
            return fail(f.text_pos,
                        "this application-extension literal gives no string, so nothing can be joined to it");
        if (f.major == 2 && part_major == 3) return fail(pos, "a text string cannot be joined to a byte string");
        if (part_major != 3) f.mixed = true;
    }
    f.count++;
    f.app_item = false;
    if (c == '<') {
        Frame *e;
        p_ += 2;
        if (push_frame(kEmbed, pos, &e) < 0) return -1;
        if (skip_space() < 0) return -1;
        if (at(p_) == '>' && at(p_ + 1) == '>') {
            p_ += 2;
            stack_.pop_back();
            --depth_;
            return 0;
        }
        *next = State::kWantItem;
    }
    return 0;
}

// A prefixed literal: p_ is after the prefix, on its quote, backquote or "<<".
int Parser::app_literal(size_t prefix_pos, size_t prefix_len, State *next) {
    const char *prefix = reinterpret_cast<const char *>(s_ + prefix_pos);
    bool is_h = prefix_len == 1 && prefix[0] == 'h';
    bool is_b64 = prefix_len == 3 && memcmp(prefix, "b64", 3) == 0;
    bool known = is_h || is_b64 ||
                 (prefix_len == 2 && (memcmp(prefix, "dt", 2) == 0 || memcmp(prefix, "DT", 2) == 0 ||
                                      memcmp(prefix, "ip", 2) == 0 || memcmp(prefix, "IP", 2) == 0));
    if (!known)
        return fail(prefix_pos, "unknown application-extension prefix '%.*s' (known: h, b64, dt, DT, ip, IP)",
                    static_cast<int>(prefix_len < 40 ? prefix_len : 40), prefix);
    if (at(p_) == '<') {
        if (is_h || is_b64)
            return fail(prefix_pos, "%s<<...>> is not supported: write %s'...'", is_h ? "h" : "b64",
                        is_h ? "h" : "b64");
        p_ += 2;
        Frame *e;
        if (push_frame(kAppSeq, prefix_pos, &e) < 0) return -1;
        e->prefix_len = prefix_len;
        if (skip_space() < 0) return -1;
        if (at(p_) == '>' && at(p_ + 1) == '>') {
            p_ += 2;
            stack_.pop_back();
            --depth_;
            PyObject *r;
            if (call_app(prefix_pos, prefix_len, nullptr, 0, &r) < 0) return -1;
            Ref result(r);
            *next = State::kAfterPart;
            return app_result(result.get(), prefix_pos, prefix_len);
        }
        *next = State::kWantItem;
        return 0;
    }
    size_t content_pos = p_ + 1;
    bool verbatim = false;
    scratch_.truncate(0);
    if (at(p_) == '\'') {
        if (quoted_string(&scratch_, &verbatim) < 0) return -1;
    } else {
        size_t q = p_;
        if (raw_string(&scratch_) < 0) return -1;
        while (at(q) == '`') ++q;
        content_pos = q;
        verbatim = false;  // the delimiters and a swallowed newline shift positions
    }
    *next = State::kAfterPart;
    if (is_h || is_b64) {
        Frame &f = stack_.back();
        if (f.count == 0)
            f.major = 2;
        else if (f.app_item)
            return fail(f.text_pos,
                        "this application-extension literal gives no string, so nothing can be joined to it");
        else if (f.major == 3)
            f.mixed = true;
        f.count++;
        f.app_item = false;
        return is_h ? hex_content(scratch_, content_pos, verbatim, prefix_pos)
                    : b64_content(scratch_, content_pos, verbatim, prefix_pos);
    }
    // The input of the extension: a sequence of one text string.
    uint8_t head[9];
    int hl = head_bytes(3, scratch_.size(), -1, head);
    PodVec<uint8_t> data;
    if (data.append(head, static_cast<size_t>(hl)) < 0 || data.append(scratch_.data(), scratch_.size()) < 0) return -1;
    PyObject *r;
    if (call_app(prefix_pos, prefix_len, data.data(), data.size(), &r) < 0) return -1;
    Ref result(r);
    return app_result(result.get(), prefix_pos, prefix_len);
}

int Parser::call_app(size_t prefix_pos, size_t prefix_len, const uint8_t *data, size_t size, PyObject **result) {
    Ref prefix(PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(s_ + prefix_pos),
                                    static_cast<Py_ssize_t>(prefix_len), "strict"));
    if (!prefix) return -1;
    Ref arg(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data), static_cast<Py_ssize_t>(size)));
    if (!arg) return -1;
    PyObject *args[] = {prefix.get(), arg.get()};
    PyObject *r = PyObject_Vectorcall(app_hook_, args, 2, nullptr);
    if (r == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
        PyObject *exc = PyErr_GetRaisedException();
        Ref owned(exc);
        Ref text(PyObject_Str(exc));
        if (!text) return -1;
        const char *msg = PyUnicode_AsUTF8(text.get());
        if (msg == nullptr) return -1;
        return fail(prefix_pos, "%s", msg);
    }
    if (!PyBytes_Check(r) || PyBytes_GET_SIZE(r) == 0) {
        Py_DECREF(r);
        PyErr_SetString(PyExc_TypeError, "the application-extension hook must return the encoded item as bytes");
        return -1;
    }
    *result = r;
    return 0;
}

// The encoded item an extension gave, as a part of the string on top of the stack: a string's
// content joins it; any other item stands alone.
int Parser::app_result(PyObject *result, size_t prefix_pos, size_t prefix_len) {
    const uint8_t *b = reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(result));
    size_t len = static_cast<size_t>(PyBytes_GET_SIZE(result));
    Frame &f = stack_.back();
    uint8_t major = b[0] >> 5;
    uint8_t ai = b[0] & 31;
    bool is_string = (major == 2 || major == 3) && ai != 31;
    if (f.count > 0 && (f.app_item || !is_string))
        return fail(prefix_pos, "'%.*s' literal gives no string here, so it cannot be joined with '+'",
                    static_cast<int>(prefix_len), reinterpret_cast<const char *>(s_ + prefix_pos));
    if (f.count > 0) {
        if (f.major == 2 && major == 3) return fail(prefix_pos, "a text string cannot be joined to a byte string");
        if (major != 3) f.mixed = true;
    }
    app_item_.truncate(0);
    if (app_item_.append(b, len) < 0) return -1;
    if (is_string) {
        size_t hl = ai < 24 ? 1 : 1 + (size_t{1} << (ai - 24));
        if (emit(b + hl, len - hl) < 0) return -1;
    }
    if (f.count == 0) f.major = is_string ? major : 0;
    f.app_item = f.count == 0;
    f.count++;
    return 0;
}

const char kWholeStringSpec[] = "an encoding indicator applies to a whole string, not to a part of a '+' concatenation";

// After a part: its indicator, then "+" and another part, or the end of the string.
int Parser::after_part(State *next) {
    Frame &f = stack_.back();
    int8_t sp;
    size_t spec_pos = p_;
    if (spec(&sp) < 0) return -1;
    if (sp != kSpecNone) {
        if (f.spec != kSpecNone || (f.count > 1)) return fail(spec_pos, "%s", kWholeStringSpec);
        f.spec = sp;
    }
    size_t before = p_;
    if (skip_space() < 0) return -1;
    if (at(p_) == '+') {
        if (f.spec != kSpecNone) return fail(spec_pos, "%s", kWholeStringSpec);
        ++p_;
        if (skip_space() < 0) return -1;
        return string_part(next);
    }
    p_ = before;
    *next = State::kAfterItem;
    return finish_string();
}

int Parser::finish_string() {
    Frame f = stack_.back();
    stack_.pop_back();
    if (f.app_item) {
        // One extension literal on its own: its item replaces the reserved head and any content.
        if (f.spec != kSpecNone)
            return fail(f.text_pos, "this application-extension literal takes no encoding indicator");
        out_.truncate(f.head_pos);
        uint8_t major = app_item_[0] >> 5;
        last_major_ = (major == 2 || major == 3) && (app_item_[0] & 31) != 31 ? major : 0;
        return emit(app_item_.data(), app_item_.size());
    }
    size_t length = region_length(f);
    if (f.major == 3 && f.mixed) {
        PodVec<uint8_t> flat;
        const uint8_t *data = out_.data() + f.content_start;
        if (inserts_.size() > f.inserts_at_open) {
            if (flatten(f, &flat) < 0) return -1;
            data = flat.data();
        }
        Ref check(
            PyUnicode_DecodeUTF8(reinterpret_cast<const char *>(data), static_cast<Py_ssize_t>(length), "strict"));
        if (!check) {
            if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) return -1;
            PyErr_Clear();
            return fail(f.text_pos, "the joined text string is not valid UTF-8");
        }
    }
    if (f.spec == kSpecIndef) {
        if (length != 0 || f.count != 1)
            return fail(f.text_pos,
                        "'_' after a string stands only for an empty indefinite-length string (''_ or \"\"_); "
                        "write chunks as (_ chunk, ...)");
        out_[f.head_pos] = static_cast<uint8_t>(f.major << 5 | 31);
        last_major_ = 0;
        return emit(0xff);
    }
    last_major_ = f.major;
    return set_head(f.head_pos, f.major, length, f.spec, f.text_pos);
}

// ---- the item machine

int Parser::want_item(State *next) {
    if (p_ >= n_) return fail(p_, "expected an item, not the end of the text");
    uint8_t c = s_[p_];
    Frame &top = stack_.back();
    if (top.kind == kChunks && !(c == '"' || c == '\'' || c == '`' || c == '<' || is_lower(c) || is_upper(c)))
        return fail(p_, top.count
                            ? "expected a string chunk"
                            : "expected a string chunk (an empty indefinite-length string is written ''_ or \"\"_)");
    switch (c) {
        case '[':
            return open_container(kArray, next);
        case '{':
            return open_container(kMap, next);
        case '"':
        case '\'':
        case '`':
            return start_string(next);
        case '<':
            if (at(p_ + 1) == '<') return start_string(next);
            break;
        case '(':
            if (at(p_ + 1) == '_') {
                size_t start = p_;
                p_ += 2;
                if (!is_blank(at(p_)) && at(p_) != '/' && at(p_) != '#')
                    return fail(p_, "expected blank space after '(_'");
                Frame *f;
                if (push_frame(kChunks, start, &f) < 0) return -1;
                if (reserve_head(&f->head_pos) < 0) return -1;
                if (skip_space() < 0) return -1;
                *next = State::kWantItem;
                return 0;
            }
            return fail(p_, "expected an item, not '(' (a chunked string starts with '(_')");
        case '.':
            if (at(p_ + 1) == '.' && at(p_ + 2) == '.') return ellipsis_fault(p_);
            return number(next);
        case '+':
        case '-':
            return number(next);
        default:
            break;
    }
    if (is_digit(c)) return number(next);
    if (is_lower(c) || is_upper(c)) {
        size_t len = 1;
        while (p_ + len < n_ && is_wordchar(s_[p_ + len]) && s_[p_ + len] != '_') ++len;
        // A prefix may hold hyphens; a keyword never does.
        size_t word = len;
        while (p_ + word < n_ &&
               (s_[p_ + word] == '-' || is_lower(s_[p_ + word]) || is_upper(s_[p_ + word]) || is_digit(s_[p_ + word])))
            ++word;
        uint8_t after = at(p_ + word);
        if (after == '\'' || after == '`' || (after == '<' && at(p_ + word + 1) == '<')) return start_string(next);
        const char *w = reinterpret_cast<const char *>(s_ + p_);
        struct Keyword {
            const char *name;
            uint8_t byte;
        };
        static const Keyword keywords[] = {{"false", 0xf4}, {"true", 0xf5}, {"null", 0xf6}, {"undefined", 0xf7}};
        for (const Keyword &k : keywords) {
            if (len == strlen(k.name) && memcmp(w, k.name, len) == 0) {
                p_ += len;
                *next = State::kAfterItem;
                return emit(k.byte);
            }
        }
        size_t start = p_;
        if (len == 8 && memcmp(w, "Infinity", 8) == 0) {
            p_ += 8;
            int8_t sp;
            if (spec(&sp) < 0) return -1;
            *next = State::kAfterItem;
            return write_float(HUGE_VAL, false, sp, start);
        }
        if (len == 3 && memcmp(w, "NaN", 3) == 0) {
            p_ += 3;
            int8_t sp;
            if (spec(&sp) < 0) return -1;
            *next = State::kAfterItem;
            return write_float(0, true, sp, start);
        }
        if (len == 6 && memcmp(w, "simple", 6) == 0 && at(p_ + 6) == '(') {
            p_ += 7;
            if (skip_space() < 0) return -1;
            size_t num = p_;
            unsigned v = 0;
            while (p_ < n_ && is_digit(s_[p_]) && p_ - num < 4) v = v * 10 + (s_[p_++] - '0');
            if (p_ == num || is_digit(at(p_))) return fail(num, "expected a simple value number from 0 to 255");
            if ((s_[num] == '0' && p_ - num > 1) || v > 255)
                return fail(num, "expected a simple value number from 0 to 255 (no leading zeros)");
            if (v >= 24 && v <= 31) return fail(num, "simple values 24 to 31 are not well-formed CBOR");
            if (skip_space() < 0) return -1;
            if (at(p_) != ')') return fail(p_, "expected ')' after the simple value number");
            ++p_;
            *next = State::kAfterItem;
            if (v < 24) return emit(static_cast<uint8_t>(0xe0 | v));
            const uint8_t b[] = {0xf8, static_cast<uint8_t>(v)};
            return emit(b, 2);
        }
        return fail(p_, "unknown word '%.*s' (expected an item)", static_cast<int>(word < 40 ? word : 40), w);
    }
    if (c >= 0x20 && c < 0x7f) return fail(p_, "expected an item, not '%c'", c);
    return fail(p_, "expected an item");
}

// After a complete item: the separator or closer its container expects next.
int Parser::after_item(State *next) {
    Frame &f = stack_.back();
    uint8_t major = last_major_;
    last_major_ = 0;
    size_t item_end = p_;
    if (f.kind == kTag) {
        if (skip_space() < 0) return -1;
        if (at(p_) != ')') return fail(p_, "expected ')' after the tag content");
        ++p_;
        stack_.pop_back();
        --depth_;
        *next = State::kAfterItem;
        return 0;
    }
    if (f.kind == kChunks) {
        if (major != 2 && major != 3)
            return fail(item_end, "a chunk of an indefinite-length string must be a definite-length string");
        if (f.count == 0) {
            f.major = major;
            out_[f.head_pos] = static_cast<uint8_t>(major << 5 | 31);
        } else if (f.major != major) {
            return fail(item_end,
                        "the chunks of an indefinite-length string must all be byte strings or all text strings");
        }
    }
    f.count++;
    if (f.kind == kMap && (f.count & 1)) {
        if (skip_space() < 0) return -1;
        if (at(p_) != ':') return fail(p_, "expected ':' after a map key");
        ++p_;
        if (skip_space() < 0) return -1;
        *next = State::kWantItem;
        return 0;
    }
    if (f.kind == kTop && !f.seq) {
        if (skip_space() < 0) return -1;
        if (p_ < n_)
            return fail(p_, at(p_) == ','
                                ? "expected the end of the text after the item (a sequence of items needs seq=True)"
                                : "expected the end of the text after the item");
        *next = State::kAfterItem;  // done
        return 1;
    }
    if (skip_space() < 0) return -1;
    bool separated = p_ != item_end;
    if (at(p_) == ',') {
        ++p_;
        separated = true;
        if (skip_space() < 0) return -1;
    }
    // the closer
    bool closes;
    const char *expected;
    switch (f.kind) {
        case kArray:
            closes = at(p_) == ']';
            expected = "expected ',' or ']' after an array item";
            break;
        case kMap:
            closes = at(p_) == '}';
            expected = "expected ',' or '}' after a map value";
            break;
        case kChunks:
            closes = at(p_) == ')';
            expected = "expected ',' or ')' after a string chunk";
            break;
        case kTop:
            closes = p_ >= n_;
            expected = "expected ',' or the end of the text after an item";
            break;
        default:
            closes = at(p_) == '>' && at(p_ + 1) == '>';
            expected = "expected ',' or '>>' after an item";
            break;
    }
    if (closes) {
        Frame done = f;
        switch (done.kind) {
            case kArray:
            case kMap:
                ++p_;
                *next = State::kAfterItem;
                return close_container();
            case kChunks:
                ++p_;
                stack_.pop_back();
                --depth_;
                last_major_ = 0;
                *next = State::kAfterItem;
                return emit(0xff);
            case kTop:
                return 1;
            case kEmbed:
                p_ += 2;
                stack_.pop_back();
                --depth_;
                *next = State::kAfterPart;
                return 0;
            default: {  // kAppSeq
                p_ += 2;
                PodVec<uint8_t> flat;
                if (flatten(done, &flat) < 0) return -1;
                stack_.pop_back();
                --depth_;
                out_.truncate(done.content_start);
                inserts_.truncate(done.inserts_at_open);
                extra_ = done.extra_at_open;
                PyObject *r;
                if (call_app(done.text_pos, done.prefix_len, flat.data(), flat.size(), &r) < 0) return -1;
                Ref result(r);
                *next = State::kAfterPart;
                return app_result(result.get(), done.text_pos, done.prefix_len);
            }
        }
    }
    if (!separated) return fail(p_, "%s", expected);
    if (f.kind == kTop && p_ >= n_) return 1;
    *next = State::kWantItem;
    return 0;
}

PyObject *Parser::run(bool seq) {
    Frame *top;
    if (max_depth_ < 1) max_depth_ = 1;
    if (max_depth_ < PY_SSIZE_T_MAX) ++max_depth_;  // the top level itself is not nesting
    if (push_frame(kTop, 0, &top) < 0) return nullptr;
    top->seq = seq;
    State state = State::kWantItem;
    int rc = skip_space();
    if (rc == 0 && seq && p_ >= n_) return PyBytes_FromStringAndSize(nullptr, 0);
    while (rc == 0) {
        switch (state) {
            case State::kWantItem:
                rc = want_item(&state);
                break;
            case State::kAfterItem:
                rc = after_item(&state);
                break;
            case State::kAfterPart:
                rc = after_part(&state);
                break;
        }
    }
    if (rc < 0) {
        if (syntax_fault_ && !PyErr_Occurred()) return raise_syntax_error();
        return nullptr;
    }
    return assemble();
}

}  // namespace

PyObject *parse(PyObject *error_type, PyObject *app_hook, const char *text, size_t size, bool seq,
                Py_ssize_t max_depth) {
    Parser parser(error_type, app_hook, text, size, max_depth);
    return parser.run(seq);
}

}  // namespace kelvo::edn
