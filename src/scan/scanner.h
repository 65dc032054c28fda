// The item scanner: finds where the items of a CBOR sequence end, without building any value,
// reading its input in pieces of any size and keeping only the open frames between them.
#pragma once

#include "lib/pyref.h"

#include <cstddef>
#include <cstdint>

namespace kelvo::scan {

// A growable array of plain values from the raw allocator. It is filled while no thread state
// is attached (a long scan lets other threads and the collector run), so it reports a failed
// allocation by its return value instead of raising.
template <typename T>
class RawVec {
public:
    RawVec() = default;
    RawVec(const RawVec &) = delete;
    RawVec &operator=(const RawVec &) = delete;
    ~RawVec() { PyMem_RawFree(data_); }

    size_t size() const noexcept { return len_; }
    bool empty() const noexcept { return len_ == 0; }
    T *data() noexcept { return data_; }
    const T *data() const noexcept { return data_; }
    T &back() noexcept { return data_[len_ - 1]; }
    const T &back() const noexcept { return data_[len_ - 1]; }
    void pop_back() noexcept { --len_; }
    void clear() noexcept { len_ = 0; }
    [[nodiscard]] bool push(const T &v) noexcept {
        if (len_ == cap_ && !grow()) return false;
        data_[len_++] = v;
        return true;
    }

private:
    bool grow() noexcept {
        size_t cap = cap_ < 16 ? 16 : cap_ * 2;
        if (cap > SIZE_MAX / sizeof(T)) return false;
        void *p = PyMem_RawRealloc(data_, cap * sizeof(T));
        if (p == nullptr) return false;
        data_ = static_cast<T *>(p);
        cap_ = cap;
        return true;
    }

    T *data_ = nullptr;
    size_t len_ = 0;
    size_t cap_ = 0;
};

using OffsetVec = RawVec<uint64_t>;

// The first fault met, in the words the command-line tool prints after "offset N: ".
struct Fault {
    uint64_t offset = 0;  // where the fault lies, from the start of the input
    uint64_t index = 0;   // how many items were complete before the one at fault
    bool eof = false;     // the input ended inside an item
    char reason[192] = {};
};

enum class Status { ok, fault, no_memory };

// One open container, tag or indefinite-length string. A definite container counts the
// items it still expects (a map two per entry); an indefinite one waits for its break code,
// and an indefinite map remembers whether a value is due, since a break may not stand there.
struct Frame {
    uint64_t remaining;
    uint8_t major;  // 2 or 3 for the chunks of an indefinite string, 4 array, 5 map, 6 tag
    bool indefinite;
    bool value_due;
    // A tag 28 whose content has not begun: an array or map there takes its place in the
    // nesting, as the decoder registers the shared container in the tag's stead.
    bool shareable = false;
};

class Scanner {
public:
    // `max_depth`: the most arrays, maps and tags open at once; `check_utf8`: text strings
    // must hold valid UTF-8 (each chunk of an indefinite one on its own).
    Scanner(uint64_t max_depth, bool check_utf8) noexcept : max_depth_(max_depth), check_utf8_(check_utf8) {}

    // Reads the next `n` bytes of the input and appends to `ends` the offset just past every
    // item that completes in them. After a fault (or a failed allocation) the scanner stays
    // stopped there; `ends` then holds the items complete before it. Needs no thread state.
    Status feed(const uint8_t *data, size_t n, OffsetVec &ends) noexcept;
    // The input has ended: a fault when it ends inside an item.
    Status finish() noexcept;

    uint64_t offset() const noexcept { return offset_; }
    uint64_t count() const noexcept { return count_; }
    // Where the item being read starts (the offset of the next item when none is open).
    uint64_t item_start() const noexcept { return in_item() ? item_start_ : offset_; }
    bool in_item() const noexcept { return head_len_ != 0 || content_left_ != 0 || !stack_.empty(); }
    bool stopped() const noexcept { return stopped_; }
    // Whether a tag 28 or 29 (a shared value or a reference to one) was met: such items may
    // refer to each other only within one top-level item.
    bool saw_sharing() const noexcept { return saw_sharing_; }
    const Fault &fault() const noexcept { return fault_; }

private:
    enum class Head { complete, open, content, fault, no_memory };

    // Reads the complete header at h (offset `at`).
    Head on_head(const uint8_t *h, uint64_t at) noexcept;
    Head on_indefinite(unsigned major, uint64_t at) noexcept;
    bool misplaced_chunk(uint8_t ib) const noexcept;
    Head fail_chunk(uint8_t ib, uint64_t at) noexcept;
    Head push(const Frame &frame, uint64_t at) noexcept;
    Head push_container(const Frame &frame, uint64_t at) noexcept;
    Head out_of_memory() noexcept;
    // An item ended at `end`: counts it in the frames it fills. False when out of memory.
    bool complete(uint64_t end, OffsetVec &ends) noexcept;
    // Skips (and checks) string content from p[0, n); returns the bytes used.
    size_t skip_content(const uint8_t *p, size_t n, uint64_t at) noexcept;
    Head fail(uint64_t at, const char *format, ...) noexcept __attribute__((format(printf, 3, 4)));

    uint64_t max_depth_;
    bool check_utf8_;
    bool stopped_ = false;
    bool saw_sharing_ = false;
    Status stop_status_ = Status::ok;
    bool content_text_ = false;
    uint8_t utf8_state_ = 0;
    uint8_t head_len_ = 0;   // bytes of a header cut off at the end of the previous piece
    uint8_t head_need_ = 0;  // that header's full length
    uint8_t head_[9] = {};
    uint64_t offset_ = 0;          // bytes read so far
    uint64_t count_ = 0;           // items complete
    uint64_t item_start_ = 0;      // offset of the top-level item being read
    uint64_t head_start_ = 0;      // offset of the cut-off header
    uint64_t string_start_ = 0;    // offset of the header of the string being skipped
    uint64_t content_start_ = 0;   // offset of its first content byte
    uint64_t content_left_ = 0;    // its content bytes not yet read
    uint64_t utf8_seq_start_ = 0;  // offset where the UTF-8 sequence being checked began
    RawVec<Frame> stack_;
    Fault fault_;
};

}  // namespace kelvo::scan
