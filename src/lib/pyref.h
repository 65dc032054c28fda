// Owned-reference handle and small helpers shared by every unit.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <utility>

namespace kelvo {

// Owns one strong reference (or none). Never copies; moves transfer ownership.
class Ref {
public:
    Ref() = default;
    // Takes over an owned reference (a "new reference" returned by the C API).
    explicit Ref(PyObject *p) noexcept : p_(p) {}
    // Takes a new strong reference to a borrowed pointer.
    static Ref borrow(PyObject *p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref &operator=(Ref &&o) noexcept {
        if (this != &o) {
            PyObject *old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject *get() const noexcept { return p_; }
    PyObject *release() noexcept { return std::exchange(p_, nullptr); }
    // Replaces the held reference by an owned one, dropping the previous one afterwards.
    void reset(PyObject *p = nullptr) noexcept {
        PyObject *old = std::exchange(p_, p);
        Py_XDECREF(old);
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject *p_ = nullptr;
};

// Stores an owned reference into a field, releasing the old value after the store.
inline void replace_field(PyObject *&field, PyObject *owned) noexcept {
    PyObject *old = field;
    field = owned;
    Py_XDECREF(old);
}

template <typename T, std::size_t N>
constexpr int array_len(T (&)[N]) noexcept {
    return static_cast<int>(N);
}

}  // namespace kelvo
