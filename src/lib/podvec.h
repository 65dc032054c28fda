// A growable array of trivially copyable elements in PyMem memory, with optional room
// for the first few elements inside the object itself (no heap allocation until it
// outgrows them). Growth is geometric. Elements are plain values: a caller that stores
// owned references releases them itself before truncating or destroying the array.
// With `Raw` the heap block comes from the raw allocator, so that it can be kept past the
// array (handed over with adopt() and surrender()) and freed where no thread state exists.
#pragma once

#include "lib/pyref.h"

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace kelvo {

template <typename T, size_t Inline = 0, bool Raw = false>
class PodVec {
    static_assert(std::is_trivially_copyable_v<T>, "PodVec holds plain values only");

public:
    PodVec() noexcept : data_(inline_ptr()), len_(0), cap_(Inline) {}
    PodVec(const PodVec &) = delete;
    PodVec &operator=(const PodVec &) = delete;
    ~PodVec() { free_storage(); }

    size_t size() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    T *data() noexcept { return data_; }
    const T *data() const noexcept { return data_; }
    T &operator[](size_t i) noexcept { return data_[i]; }
    const T &operator[](size_t i) const noexcept { return data_[i]; }
    T &back() noexcept { return data_[len_ - 1]; }
    const T &back() const noexcept { return data_[len_ - 1]; }
    void pop_back() noexcept { --len_; }
    void truncate(size_t n) noexcept { len_ = n; }
    // Counts `n` more elements as present; they must lie in reserved room and be written.
    void commit(size_t n) noexcept { len_ += n; }

    // Makes room for `extra` more elements. -1 with MemoryError.
    int reserve(size_t extra) {
        if (cap_ - len_ >= extra) return 0;
        return grow(extra);
    }
    int push(const T &v) {
        if (len_ == cap_ && grow(1) < 0) return -1;
        data_[len_++] = v;
        return 0;
    }
    // Appends n elements copied from `src`.
    int append(const T *src, size_t n) {
        if (reserve(n) < 0) return -1;
        if (n != 0) memcpy(static_cast<void *>(data_ + len_), src, n * sizeof(T));
        len_ += n;
        return 0;
    }
    // Returns the storage to the empty state (frees any heap block).
    void reset() noexcept {
        free_storage();
        data_ = inline_ptr();
        len_ = 0;
        cap_ = Inline;
    }
    // Takes over a heap block of `cap` elements from this array's allocator, when that
    // gives more room than it has; otherwise the block is freed. Only while empty.
    void adopt(T *block, size_t cap) noexcept {
        if (len_ != 0 || cap <= cap_) {
            dealloc(block);
            return;
        }
        free_storage();
        data_ = block;
        cap_ = cap;
    }
    // Gives up the heap block (nullptr when the inline room is in use) and its capacity,
    // leaving the array empty. The elements are not released.
    T *surrender(size_t *cap) noexcept {
        T *block = data_ == inline_ptr() ? nullptr : data_;
        *cap = block != nullptr ? cap_ : 0;
        data_ = inline_ptr();
        len_ = 0;
        cap_ = Inline;
        return block;
    }
    static void dealloc(T *block) noexcept {
        if constexpr (Raw)
            PyMem_RawFree(block);
        else
            PyMem_Free(block);
    }

private:
    static constexpr size_t kInlineBytes = (Inline > 0 ? Inline : 1) * sizeof(T);

    T *inline_ptr() noexcept { return Inline > 0 ? reinterpret_cast<T *>(inline_) : nullptr; }
    void free_storage() noexcept {
        if (data_ != inline_ptr()) dealloc(data_);
    }
    static void *alloc(size_t n) noexcept {
        if constexpr (Raw) return PyMem_RawMalloc(n);
        return PyMem_Malloc(n);
    }
    static void *realloc_block(void *p, size_t n) noexcept {
        if constexpr (Raw) return PyMem_RawRealloc(p, n);
        return PyMem_Realloc(p, n);
    }
    int grow(size_t extra) {
        size_t need = len_ + extra;
        if (need < len_ || need > PY_SSIZE_T_MAX / sizeof(T)) {
            PyErr_NoMemory();
            return -1;
        }
        size_t new_cap = cap_ < 8 ? 8 : cap_;
        while (new_cap < need) new_cap = new_cap > PY_SSIZE_T_MAX / sizeof(T) / 2 ? need : new_cap * 2;
        T *p;
        if (data_ == inline_ptr()) {
            p = static_cast<T *>(alloc(new_cap * sizeof(T)));
            if (p != nullptr && len_ != 0) memcpy(static_cast<void *>(p), data_, len_ * sizeof(T));
        } else {
            p = static_cast<T *>(realloc_block(data_, new_cap * sizeof(T)));
        }
        if (p == nullptr) {
            PyErr_NoMemory();
            return -1;
        }
        data_ = p;
        cap_ = new_cap;
        return 0;
    }

    T *data_;
    size_t len_;
    size_t cap_;
    alignas(T) unsigned char inline_[kInlineBytes];
};

}  // namespace kelvo
