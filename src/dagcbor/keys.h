// Map keys kept from one decode to the next: each thread that decodes has a small table of
// the short ASCII keys it met last, so that the keys every record repeats ("$type",
// "createdAt", ...) are neither made nor hashed again.
#pragma once

#include "dagcbor/state.h"
#include "lib/ascii.h"

#include <cstring>

namespace kelvo::dag {

// A str of the n UTF-8 bytes at p (ASCII copied, the rest decoded strictly). New reference,
// or NULL with the exception set.
PyObject *make_text(const uint8_t *p, size_t n);

class KeyTable {
public:
    static constexpr size_t kMaxLength = 24;
    static constexpr unsigned kBits = 9;
    static constexpr size_t kMaxValueLength = 20;
    static constexpr unsigned kValueBits = 8;

    // The str of the n UTF-8 bytes at p that find_key did not find, made (and, when short
    // and ASCII, recorded in place of the slot's previous key). New reference, or NULL with
    // the exception set (UnicodeDecodeError for bytes that are not UTF-8).
    PyObject *add_key(const uint8_t *p, size_t n) {
        if (n > kMaxLength) return make_text(p, n);
        return replace(keys_[hash(p, n) >> (64 - kBits)], p, n, true);
    }
    // The same for a text value that find_value did not find: short ASCII values that
    // records repeat ("$type" values, MIME types) are shared too, in a table of their own
    // so that they never push keys out.
    PyObject *add_value(const uint8_t *p, size_t n) {
        if (n > kMaxValueLength || n < 2) return make_text(p, n);
        return replace(values_[hash(p, n) >> (64 - kValueBits)], p, n, false);
    }
    // The key's str when the table holds it (borrowed: the table keeps it while the thread
    // decodes), or nullptr.
    [[gnu::always_inline]] PyObject *find_key(const uint8_t *p, size_t n) const {
        if (n > kMaxLength) return nullptr;
        const Slot &s = keys_[hash(p, n) >> (64 - kBits)];
        return s.length == n && same_bytes(s.bytes, p, n) ? s.text : nullptr;
    }
    // The same for a text value.
    [[gnu::always_inline]] PyObject *find_value(const uint8_t *p, size_t n) const {
        if (n > kMaxValueLength || n < 2) return nullptr;
        const Slot &s = values_[hash(p, n) >> (64 - kValueBits)];
        return s.length == n && same_bytes(s.bytes, p, n) ? s.text : nullptr;
    }

    // Releases every key; used by the table's owner when its thread state is cleared.
    void clear() noexcept;

private:
    // The key's bytes are kept in the slot itself: a lookup reads the table only, not the str.
    struct Slot {
        uint8_t bytes[kMaxLength];
        size_t length;
        PyObject *text;  // owned, ASCII, or nullptr
    };
    static uint64_t hash(const uint8_t *p, size_t n) {
        uint64_t a = 0, b = 0;
        if (n >= 8) {
            memcpy(&a, p, 8);
            memcpy(&b, p + n - 8, 8);
        } else if (n >= 4) {
            uint32_t x, y;
            memcpy(&x, p, 4);
            memcpy(&y, p + n - 4, 4);
            a = x;
            b = y;
        } else if (n > 0) {
            a = uint64_t{p[0]} | uint64_t{p[n / 2]} << 8 | uint64_t{p[n - 1]} << 16;
        }
        return ((a ^ ((b << 29) | (b >> 35))) + n) * 0x9e3779b97f4a7c15ull;
    }
    // Whether the n (at most 24) bytes at a and b are equal, a word at a time.
    static bool same_bytes(const uint8_t *a, const uint8_t *b, size_t n) {
        uint64_t diff = 0;
        if (n >= 8) {
            size_t i = 0;
            for (; i + 8 <= n; i += 8) diff |= load8(a + i) ^ load8(b + i);
            if (i < n) diff |= load8(a + n - 8) ^ load8(b + n - 8);
        } else if (n >= 4) {
            diff = (load4(a) ^ load4(b)) | (load4(a + n - 4) ^ load4(b + n - 4));
        } else if (n > 0) {
            // The first, middle and last bytes are every byte of a text this short.
            diff = (a[0] ^ b[0]) | (a[n / 2] ^ b[n / 2]) | (a[n - 1] ^ b[n - 1]);
        }
        return diff == 0;
    }
    static uint64_t load8(const uint8_t *p) {
        uint64_t v;
        memcpy(&v, p, 8);
        return v;
    }
    static uint64_t load4(const uint8_t *p) {
        uint32_t v;
        memcpy(&v, p, 4);
        return v;
    }
    // Makes the str, and records it in `s` when it is ASCII (with its hash computed when it is
    // a key: the hash is kept by the str for every dict it goes into).
    PyObject *replace(Slot &s, const uint8_t *p, size_t n, bool hashed);

    Slot keys_[size_t{1} << kBits];
    Slot values_[size_t{1} << kValueBits];
};

// The calling thread's table, kept in its thread-state dictionary under `name` (made on first
// use), with a strong reference to its holder in *holder when it had to be looked up there. nullptr (no error set) when
// there is none to be had: the decoder then makes every key afresh.
KeyTable *thread_key_table(PyObject *name, Ref *holder);
// The same without the thread's memo of its last table.
KeyTable *find_key_table(PyObject *name, Ref *holder);

}  // namespace kelvo::dag
