// Skipper: finds where one encoded CBOR item ends, without building any value.
#pragma once

#include "lib/pyref.h"

#include <cstddef>
#include <cstdint>

namespace kelvo::typed {

// The exception types raised for malformed input, borrowed from the module state.
struct ErrorTypes {
    PyObject *decode_error;  // CBORDecodeError
    PyObject *decode_eof;    // CBORDecodeEOF
};

constexpr uint64_t kIndefinite = UINT64_MAX;

// Where an indefinite-length container or string waits for its break code: the number of
// items still owed by the level around it, and whether it only takes string chunks (and of
// which major type).
struct Open {
    uint64_t outer_pending;
    int chunk_major;  // -1: any item; 2 or 3: chunks of that string type
};

class Skipper {
public:
    Skipper(const ErrorTypes *st, const uint8_t *data, size_t size, size_t max_open)
        : st_(st), data_(data), size_(size), max_open_(max_open) {}
    ~Skipper() { PyMem_Free(open_); }
    Skipper(const Skipper &) = delete;
    Skipper &operator=(const Skipper &) = delete;

    // The offset just past the item that starts at `pos`, or -1 with the exception set.
    // Every container, tag and indefinite string opens a level on a small stack (bounded by
    // max_open), which holds how many items the level around it still owes.
    Py_ssize_t end_of(size_t pos) {
        uint64_t pending = 1;  // items still owed at the current level
        for (;;) {
            while (pending == 0) {
                if (n_open_ == 0) return static_cast<Py_ssize_t>(pos);
                pending = open_[--n_open_].outer_pending;
            }
            if (pos >= size_) return fail_eof(pos);
            const size_t start = pos;
            const uint8_t initial = data_[pos++];
            const int major = initial >> 5;
            const int info = initial & 0x1f;
            if (initial == 0xff) {
                if (pending != kIndefinite) return fail(start, "a break code stands outside an indefinite-length item");
                pending = 0;
                continue;
            }
            if (n_open_ > 0 && pending == kIndefinite && open_[n_open_ - 1].chunk_major >= 0 &&
                (major != open_[n_open_ - 1].chunk_major || info == 31))
                return fail(start,
                            "an indefinite-length string holds an item that is not a definite chunk of its type");
            uint64_t arg = 0;
            if (info < 24) {
                arg = static_cast<uint64_t>(info);
            } else if (info <= 27) {
                const size_t width = size_t{1} << (info - 24);
                if (size_ - pos < width) return fail_eof(size_);
                for (size_t i = 0; i < width; ++i) arg = (arg << 8) | data_[pos + i];
                pos += width;
            } else if (info != 31 || major == 0 || major == 1 || major == 6 || major == 7) {
                return fail(start, "reserved additional information in an item's initial byte");
            }
            if (pending != kIndefinite) --pending;
            if (major == 2 || major == 3) {
                if (info == 31) {
                    if (push(start, pending, major) < 0) return -1;
                    pending = kIndefinite;
                } else {
                    if (size_ - pos < arg) return fail_eof(size_);
                    pos += static_cast<size_t>(arg);
                }
            } else if (major == 4 || major == 5 || major == 6) {
                uint64_t items = kIndefinite;
                if (major == 6) {
                    items = 1;
                    // Shared values and string references tie items to others read before
                    // them, so an item holding one cannot be decoded on its own.
                    if (arg == 25 || arg == 28 || arg == 29 || arg == 256) saw_reference_ = true;
                } else if (info != 31) {
                    // Every item takes at least one byte: a count beyond the bytes left cannot
                    // be met, and refusing it here keeps the doubling below from wrapping.
                    if (arg > size_ - pos) return fail_eof(size_);
                    items = major == 5 ? arg * 2 : arg;
                    if (items > size_ - pos) return fail_eof(size_);
                }
                if (items != 0) {
                    if (push(start, pending, -1) < 0) return -1;
                    pending = items;
                }
            }
        }
    }

    // Whether a skipped item held a tag of shared values or string references.
    bool saw_reference() const { return saw_reference_; }
    // The most levels that were open at once.
    size_t deepest() const { return deepest_; }

private:
    int push(size_t start, uint64_t outer_pending, int chunk_major) {
        if (n_open_ >= max_open_) {
            fail(start, "the item is nested too deeply");
            return -1;
        }
        if (n_open_ == cap_) {
            const size_t cap = cap_ == 0 ? 16 : cap_ * 2;
            void *grown = PyMem_Realloc(open_, cap * sizeof(Open));
            if (grown == nullptr) {
                PyErr_NoMemory();
                return -1;
            }
            open_ = static_cast<Open *>(grown);
            cap_ = cap;
        }
        open_[n_open_++] = Open{outer_pending, chunk_major};
        if (n_open_ > deepest_) deepest_ = n_open_;
        return 0;
    }

    Py_ssize_t fail(size_t offset, const char *what) {
        PyErr_Format(st_->decode_error, "%s (byte %zu)", what, offset);
        return -1;
    }
    Py_ssize_t fail_eof(size_t offset) {
        PyErr_Format(st_->decode_eof, "the data ends inside an item (byte %zu)", offset);
        return -1;
    }

    const ErrorTypes *st_;
    const uint8_t *data_;
    size_t size_;
    size_t max_open_;
    Open *open_ = nullptr;
    size_t n_open_ = 0;
    size_t cap_ = 0;
    bool saw_reference_ = false;
    size_t deepest_ = 0;
};

}  // namespace kelvo::typed
