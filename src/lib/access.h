// The per-object access flag: many shared holders or one exclusive holder, lock-free,
// never waiting. A holder that cannot get in fails at once.
#pragma once

#include "lib/pyref.h"

#include <atomic>
#include <cstdint>

namespace kelvo {

struct AccessFlag {
    int64_t word;  // 0 free, n > 0 shared holders, -1 exclusive

    std::atomic_ref<int64_t> ref() noexcept { return std::atomic_ref<int64_t>(word); }

    bool try_shared() noexcept {
        auto a = ref();
        int64_t cur = a.load(std::memory_order_relaxed);
        while (cur != -1) {
            if (a.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed))
                return true;
        }
        return false;
    }
    bool try_exclusive() noexcept {
        int64_t expected = 0;
        return ref().compare_exchange_strong(expected, -1, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void release_shared() noexcept { ref().fetch_sub(1, std::memory_order_release); }
    void release_exclusive() noexcept { ref().store(0, std::memory_order_release); }
};

// How a failure to take access is reported: at an operation's entry it is the
// RuntimeError callers can handle; inside a running operation it is an internal failure.
enum class AccessSite { Entry, Window };

void raise_access_error(bool exclusive_wanted, AccessSite site);

// Scoped exclusive access. Check ok() (or use acquire()) before touching the state.
class ExclusiveAccess {
public:
    ExclusiveAccess() = default;
    ExclusiveAccess(const ExclusiveAccess &) = delete;
    ExclusiveAccess &operator=(const ExclusiveAccess &) = delete;
    ~ExclusiveAccess() { release(); }

    // Returns false with the access error set.
    [[nodiscard]] bool acquire(AccessFlag &flag, AccessSite site) {
        if (!flag.try_exclusive()) {
            raise_access_error(true, site);
            return false;
        }
        flag_ = &flag;
        return true;
    }
    // Takes over an exclusive hold already obtained with try_exclusive().
    void adopt(AccessFlag &flag) noexcept { flag_ = &flag; }
    void release() noexcept {
        if (flag_ != nullptr) {
            flag_->release_exclusive();
            flag_ = nullptr;
        }
    }
    bool held() const noexcept { return flag_ != nullptr; }

private:
    AccessFlag *flag_ = nullptr;
};

class SharedAccess {
public:
    SharedAccess() = default;
    SharedAccess(const SharedAccess &) = delete;
    SharedAccess &operator=(const SharedAccess &) = delete;
    ~SharedAccess() { release(); }

    [[nodiscard]] bool acquire(AccessFlag &flag, AccessSite site) {
        if (!flag.try_shared()) {
            raise_access_error(false, site);
            return false;
        }
        flag_ = &flag;
        return true;
    }
    void release() noexcept {
        if (flag_ != nullptr) {
            flag_->release_shared();
            flag_ = nullptr;
        }
    }
    bool held() const noexcept { return flag_ != nullptr; }

private:
    AccessFlag *flag_ = nullptr;
};

// Runs the garbage collector's traversal only while the object is not held
// exclusively: its fields are then stable.
class TraverseAccess {
public:
    explicit TraverseAccess(AccessFlag &flag) noexcept : flag_(flag), ok_(flag.try_shared()) {}
    ~TraverseAccess() {
        if (ok_) flag_.release_shared();
    }
    bool ok() const noexcept { return ok_; }

private:
    AccessFlag &flag_;
    bool ok_;
};

// A per-object critical section on a mutable built-in (list, bytearray, dict).
// With the GIL the interpreter lock already keeps other threads out while no Python
// code runs, and 3.13 does not define the critical-section structure there, so the
// guard is empty.
#ifdef Py_GIL_DISABLED
class CriticalSection {
public:
    explicit CriticalSection(PyObject *obj) noexcept { PyCriticalSection_Begin(&cs_, obj); }
    ~CriticalSection() { PyCriticalSection_End(&cs_); }
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;

private:
    PyCriticalSection cs_;
};
#else
class CriticalSection {
public:
    explicit CriticalSection(PyObject *) noexcept {}
    CriticalSection(const CriticalSection &) = delete;
    CriticalSection &operator=(const CriticalSection &) = delete;
};
#endif

}  // namespace kelvo
