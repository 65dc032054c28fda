// Shared values (tags 28 and 29) and string references (tags 256 and 25) on decoding:
// the shareable table, the string namespaces, and the marker frames that open them.
#include "decoder/machine.h"

#include "types/exceptions.h"

namespace kelvo {

namespace {

int push_marker(Machine &m, FrameKind kind, uint64_t shareable_index) {
    if (check_depth(m) < 0) return -1;
    DecodeFrame f{};
    f.shareable_index = shareable_index;
    f.kind = kind;
    f.immutable = m.immutable;
    return m.frames.push(f);
}

// The shortest string worth numbering when a namespace already holds `count` strings: a
// reference to it (tag 25 and its index) would not be shorter.
uint64_t registration_threshold(size_t count) {
    if (count < 24) return 3;
    if (count < 256) return 4;
    if (count < 65536) return 5;
    if (count < 4294967296ull) return 7;
    return 11;
}

}  // namespace

int open_shareable(Machine &m) {
    if (m.shareables.reserve(1) < 0) return -1;
    if (push_marker(m, FrameKind::ShareableMarker, m.shareables.size()) < 0) return -1;
    return m.shareables.push(SharedSlot{nullptr, 0});
}

int open_string_namespace(Machine &m) {
    if (m.namespaces.reserve(1) < 0) return -1;
    if (push_marker(m, FrameKind::NamespaceMarker, kNoIndex) < 0) return -1;
    return m.namespaces.push(m.strings.size());
}

int register_string(Machine &m, PyObject *value, uint64_t length) {
    size_t count = m.strings.size() - m.namespaces.back();
    if (length < registration_threshold(count)) return 0;
    if (m.strings.push(value) < 0) return -1;
    Py_INCREF(value);
    return 0;
}

int resolve_shared_reference(Machine &m, uint64_t index, PyObject **item, uint64_t *height) {
    if (index >= m.shareables.size())
        return raise_exc_format(Exc::CBORDecodeError, "shared reference %llu not found",
                                static_cast<unsigned long long>(index));
    const SharedSlot &slot = m.shareables[index];
    if (slot.value == nullptr)
        return raise_exc_format(Exc::CBORDecodeError, "shared value %llu has not been initialized",
                                static_cast<unsigned long long>(index));
    // The value's own nesting counts wherever it is inserted.
    uint64_t open = m.frames.size();
    if (slot.height > m.d->max_depth || open > m.d->max_depth - slot.height)
        return raise_exc_format(Exc::CBORDecodeError, "maximum container nesting depth (%llu) exceeded",
                                static_cast<unsigned long long>(m.d->max_depth));
    *item = Py_NewRef(slot.value);
    *height = slot.height;
    return 0;
}

int resolve_string_reference(Machine &m, uint64_t index, PyObject **item) {
    if (m.namespaces.empty()) return raise_exc(Exc::CBORDecodeError, "string reference outside of namespace");
    size_t start = m.namespaces.back();
    if (index >= m.strings.size() - start)
        return raise_exc_format(Exc::CBORDecodeError, "string reference %llu not found",
                                static_cast<unsigned long long>(index));
    *item = Py_NewRef(m.strings[start + index]);
    return 0;
}

}  // namespace kelvo
