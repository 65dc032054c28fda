// One-time initialisation of process-wide cells. The filled state is read with one
// acquire load; only an empty cell takes the slow path, which detaches the thread
// before it waits for another thread's initialisation.
#pragma once

#include "lib/pyref.h"

#include <atomic>

namespace kelvo {

struct OnceState {
    int state;            // 0 empty, 1 initialising, 2 filled
    unsigned long owner;  // thread running the initialisation while state is 1

    bool filled() noexcept { return std::atomic_ref<int>(state).load(std::memory_order_acquire) == 2; }
};

// Claims a cell for initialisation, or waits for the thread that has claimed it.
// After construction exactly one of these holds:
//   done():    the cell is filled; use its value.
//   failed():  an exception is set (the thread re-entered its own initialisation).
//   claimed(): this thread must initialise the cell and call succeed(); if it does not,
//              the destructor returns the cell to empty and wakes the waiters.
class OnceClaim {
public:
    explicit OnceClaim(OnceState &st);
    ~OnceClaim();
    OnceClaim(const OnceClaim &) = delete;
    OnceClaim &operator=(const OnceClaim &) = delete;

    bool done() const noexcept { return result_ == Result::Done; }
    bool failed() const noexcept { return result_ == Result::Failed; }
    bool claimed() const noexcept { return result_ == Result::Claimed; }
    // Publishes the value stored by the caller before this call.
    void succeed() noexcept;

private:
    enum class Result { Done, Failed, Claimed, Finished };
    OnceState &st_;
    Result result_;
};

// A cell holding one Python object produced by `init` (a new reference, or NULL with an
// exception). Returns a borrowed reference that stays valid for the process's life.
template <typename Init>
PyObject *once_object(OnceState &st, PyObject *&slot, Init &&init) {
    if (st.filled()) return slot;
    OnceClaim claim(st);
    if (claim.failed()) return nullptr;
    if (claim.done()) return slot;
    PyObject *v = init();
    if (v == nullptr) return nullptr;
    slot = v;
    claim.succeed();
    return v;
}

}  // namespace kelvo
