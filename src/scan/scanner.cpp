// The item scanner's single pass: one header at a time, string content skipped (and checked
// as UTF-8 when asked), every item counted in the frames it fills.
#include "scan/scanner.h"

#include "lib/cbor.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kelvo::scan {

namespace {

const char *const kMajorNames[8] = {
    "unsigned integer",     "negative integer", "byte string", "text string", "array", "map", "tag",
    "simple value or float"};

// What a header is called in a message, with its article.
void describe_head(unsigned major, unsigned ai, char *out, size_t size) {
    const char *noun = kMajorNames[major];
    const char *prefix = "";
    if (ai == 31 && major >= 2 && major <= 5)
        prefix = "indefinite-length ";
    else if (major == 7)
        noun = ai >= 25 && ai <= 27 ? "float" : "simple value";
    const char first = *prefix != '\0' ? *prefix : *noun;
    const bool vowel = first == 'a' || first == 'e' || first == 'i' || first == 'u';
    snprintf(out, size, "%s %s%s", vowel ? "an" : "a", prefix, noun);
}

// UTF-8 as RFC 3629 has it (no overlong forms, no surrogates, nothing above U+10FFFF): the
// state is what the next byte must be.
enum : uint8_t {
    kAccept,   // any first byte
    kTail1,    // one more 80..BF
    kTail2,    // two more
    kTail3,    // three more
    kAfterE0,  // A0..BF, then one more
    kAfterED,  // 80..9F, then one more
    kAfterF0,  // 90..BF, then two more
    kAfterF4,  // 80..8F, then two more
    kReject,
};

inline uint8_t utf8_step(uint8_t state, uint8_t b) {
    const bool tail = (b & 0xc0) == 0x80;
    switch (state) {
        case kAccept:
            if (b < 0x80) return kAccept;
            if (b >= 0xc2 && b <= 0xdf) return kTail1;
            if (b == 0xe0) return kAfterE0;
            if (b == 0xed) return kAfterED;
            if (b >= 0xe1 && b <= 0xef) return kTail2;
            if (b == 0xf0) return kAfterF0;
            if (b >= 0xf1 && b <= 0xf3) return kTail3;
            if (b == 0xf4) return kAfterF4;
            return kReject;
        case kTail1:
            return tail ? kAccept : kReject;
        case kTail2:
            return tail ? kTail1 : kReject;
        case kTail3:
            return tail ? kTail2 : kReject;
        case kAfterE0:
            return b >= 0xa0 && b <= 0xbf ? kTail1 : kReject;
        case kAfterED:
            return b >= 0x80 && b <= 0x9f ? kTail1 : kReject;
        case kAfterF0:
            return b >= 0x90 && b <= 0xbf ? kTail2 : kReject;
        case kAfterF4:
            return b >= 0x80 && b <= 0x8f ? kTail2 : kReject;
        default:
            return kReject;
    }
}

inline size_t head_length(uint8_t ib) {
    const unsigned ai = ib & 31;
    return ai >= 24 && ai <= 27 ? 1 + (size_t{1} << (ai - 24)) : 1;
}

}  // namespace

Scanner::Head Scanner::fail(uint64_t at, const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    vsnprintf(fault_.reason, sizeof fault_.reason, format, args);
    va_end(args);
    fault_.offset = at;
    fault_.index = count_;
    stopped_ = true;
    stop_status_ = Status::fault;
    return Head::fault;
}

Scanner::Head Scanner::out_of_memory() noexcept {
    stopped_ = true;
    stop_status_ = Status::no_memory;
    return Head::no_memory;
}

// Inside an indefinite-length string only definite strings of its own type (and the break) stand.
bool Scanner::misplaced_chunk(uint8_t ib) const noexcept {
    const unsigned major = ib >> 5;
    return ib != 0xff && (major != stack_.back().major || (ib & 31) == 31);
}

Scanner::Head Scanner::fail_chunk(uint8_t ib, uint64_t at) noexcept {
    char what[64];
    describe_head(ib >> 5, ib & 31, what, sizeof what);
    return fail(at, "%s inside an indefinite-length %s, where only definite-length chunks of the same type may stand",
                what, kMajorNames[stack_.back().major]);
}

[[gnu::always_inline]] inline Scanner::Head Scanner::on_head(const uint8_t *h, uint64_t at) noexcept {
    const uint8_t ib = h[0];
    const unsigned major = ib >> 5;
    const unsigned ai = ib & 31;
    if (!stack_.empty() && stack_.back().major <= 3 && misplaced_chunk(ib)) [[unlikely]]
        return fail_chunk(ib, at);
    uint64_t arg;
    if (ai < 24) {
        arg = ai;
    } else if (ai < 28) {
        arg = cbor::load_argument(h + 1, 1u << (ai - 24));
    } else if (ai < 31) [[unlikely]] {
        return fail(at, "reserved additional information %u in initial byte 0x%02x", ai, ib);
    } else {
        return on_indefinite(major, at);
    }
    switch (major) {
        case 0:
        case 1:
            return Head::complete;
        case 2:
        case 3:
            if (arg == 0) return Head::complete;
            content_left_ = arg;
            content_text_ = major == 3;
            string_start_ = at;
            content_start_ = at + head_length(ib);
            utf8_state_ = kAccept;
            return Head::content;
        case 4:
        case 5:
            if (arg == 0) return Head::complete;
            // A map's count of items (two per entry) saturates: no input can hold that many.
            if (major == 5) arg = arg > UINT64_MAX / 2 ? UINT64_MAX : 2 * arg;
            return push_container(Frame{arg, static_cast<uint8_t>(major), false, false}, at);
        case 6:
            if (arg == 28 || arg == 29) saw_sharing_ = true;
            return push(Frame{1, 6, false, false, arg == 28}, at);
        default:
            if (ai == 24 && arg < 32) [[unlikely]]
                return fail(at, "simple value %u written in two bytes (the two-byte form starts at 32)",
                            static_cast<unsigned>(arg));
            return Head::complete;
    }
}

Scanner::Head Scanner::on_indefinite(unsigned major, uint64_t at) noexcept {
    switch (major) {
        case 2:
        case 3:
            // Chunks are definite strings, so these frames never nest.
            if (!stack_.push(Frame{0, static_cast<uint8_t>(major), true, false})) return out_of_memory();
            return Head::open;
        case 4:
        case 5:
            return push_container(Frame{0, static_cast<uint8_t>(major), true, false}, at);
        case 7: {
            if (stack_.empty() || !stack_.back().indefinite)
                return fail(at, "break code where no indefinite-length item is open");
            if (stack_.back().major == 5 && stack_.back().value_due)
                return fail(at, "break code after a map key, where its value was expected");
            stack_.pop_back();
            return Head::complete;
        }
        default:
            return fail(at, "indefinite length is not allowed for %s",
                        major == 0   ? "an unsigned integer"
                        : major == 1 ? "a negative integer"
                                     : "a tag");
    }
}

inline Scanner::Head Scanner::push(const Frame &frame, uint64_t at) noexcept {
    if (stack_.size() >= max_depth_) [[unlikely]]
        return fail(at, "maximum container nesting depth (%llu) exceeded", static_cast<unsigned long long>(max_depth_));
    if (!stack_.push(frame)) [[unlikely]]
        return out_of_memory();
    return Head::open;
}

inline Scanner::Head Scanner::push_container(const Frame &frame, uint64_t at) noexcept {
    if (!stack_.empty() && stack_.back().shareable) [[unlikely]]
        stack_.pop_back();  // the container completes the tag's one item when it completes
    return push(frame, at);
}

[[gnu::always_inline]] inline bool Scanner::complete(uint64_t end, OffsetVec &ends) noexcept {
    while (!stack_.empty()) {
        Frame &f = stack_.back();
        if (f.indefinite) {
            f.value_due = !f.value_due;  // only a map's is ever read
            return true;
        }
        if (--f.remaining != 0) return true;
        stack_.pop_back();
    }
    ++count_;
    if (!ends.push(end)) [[unlikely]] {
        out_of_memory();
        return false;
    }
    return true;
}

size_t Scanner::skip_content(const uint8_t *p, size_t n, uint64_t at) noexcept {
    const size_t take = n < content_left_ ? n : static_cast<size_t>(content_left_);
    if (content_text_ && check_utf8_) {
        // A bad sequence is reported once the string's content is all there: an input that
        // ends inside the string is cut short before it is anything else, as for the decoder.
        uint8_t state = utf8_state_;
        size_t i = 0;
        while (i < take && state != kReject) {
            if (state == kAccept) {
                while (i + 8 <= take) {
                    uint64_t word;
                    memcpy(&word, p + i, 8);
                    if (word & 0x8080808080808080ull) break;
                    i += 8;
                }
                if (i == take) break;
                if (p[i] < 0x80) {
                    ++i;
                    continue;
                }
                utf8_seq_start_ = at + i;
            }
            state = utf8_step(state, p[i]);
            ++i;
        }
        utf8_state_ = state;
        if (take == content_left_ && state != kAccept) {
            fail(string_start_, "text string is not valid UTF-8 (at byte %llu of its content)",
                 static_cast<unsigned long long>(utf8_seq_start_ - content_start_));
            return take;
        }
    }
    content_left_ -= take;
    return take;
}

Status Scanner::feed(const uint8_t *p, size_t n, OffsetVec &ends) noexcept {
    if (stopped_) return stop_status_;
    const uint64_t base = offset_;
    offset_ = base + n;  // fed, whether or not a fault stops the reading inside
    size_t pos = 0;
    // A string whose content continues in this piece, or the next header.
    Head head = content_left_ != 0 ? Head::content : Head::open;
    if (head_len_ != 0) {
        // The rest of a header cut off at the end of the previous piece.
        const size_t take = n < size_t{head_need_} - head_len_ ? n : size_t{head_need_} - head_len_;
        memcpy(head_ + head_len_, p, take);
        head_len_ = static_cast<uint8_t>(head_len_ + take);
        pos = take;
        if (head_len_ < head_need_) return Status::ok;
        head_len_ = 0;
        head = on_head(head_, head_start_);
    }
    for (;;) {
        switch (head) {
            case Head::complete:
                if (!complete(base + pos, ends)) return stop_status_;
                break;
            case Head::content:
                pos += skip_content(p + pos, n - pos, base + pos);
                if (stopped_) return stop_status_;
                if (content_left_ != 0) return Status::ok;
                if (!complete(base + pos, ends)) return stop_status_;
                break;
            case Head::open:
                break;
            case Head::fault:
            case Head::no_memory:
                return stop_status_;
        }
        if (pos >= n) break;
        const size_t len = head_length(p[pos]);
        if (stack_.empty()) item_start_ = base + pos;
        if (len > n - pos) {
            // The initial byte alone may already be out of place.
            if (!stack_.empty() && stack_.back().major <= 3 && misplaced_chunk(p[pos])) {
                fail_chunk(p[pos], base + pos);
                return stop_status_;
            }
            head_len_ = static_cast<uint8_t>(n - pos);
            head_need_ = static_cast<uint8_t>(len);
            head_start_ = base + pos;
            memcpy(head_, p + pos, n - pos);
            pos = n;
            break;
        }
        head = on_head(p + pos, base + pos);
        pos += len;
    }
    return Status::ok;
}

Status Scanner::finish() noexcept {
    if (stopped_) return stop_status_;
    if (!in_item()) return Status::ok;
    fault_.eof = true;
    if (head_len_ != 0)
        fail(offset_, "input ends inside the item at offset %llu", static_cast<unsigned long long>(head_start_));
    else if (content_left_ != 0)
        fail(offset_, "input ends inside the item at offset %llu", static_cast<unsigned long long>(string_start_));
    else
        fail(offset_, "input ends inside an item");
    return stop_status_;
}

}  // namespace kelvo::scan
