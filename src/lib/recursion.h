// One level of a recursive operation over nested values (repr, hash or comparison of a
// value that contains further values). Entering fails with RecursionError instead of
// exhausting the C stack, however deep the nesting is.
#pragma once

#include "lib/compat.h"
#include "lib/pyref.h"

#include <cstdint>

namespace kelvo {

#if !KELVO_NATIVE_314
namespace recursion_detail {
// Lowest stack address this thread's nested operations may reach; 0 until found, 1 when
// it cannot be.
extern thread_local uintptr_t stack_floor;
// Finds the floor when it is not known yet, then checks `sp` against it. False with
// RecursionError set when the stack is nearly used up.
bool check_stack(uintptr_t sp, const char *where);
}  // namespace recursion_detail
#endif

class RecursionGuard {
public:
    RecursionGuard() = default;
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    ~RecursionGuard() {
#if !KELVO_NATIVE_314
        if (counted_ != nullptr) {
            counted_->c_recursion_remaining++;
            return;
        }
#endif
        if (entered_) Py_LeaveRecursiveCall();
    }

    // enter() for a caller that already has its thread's state (a walk over nested values
    // looks it up once, not at every level). On 3.13 the level is counted in the state's
    // own budget as Py_EnterRecursiveCall counts it, without the call and the thread-local
    // lookup that call makes; the budget's end still goes through the interpreter, which
    // raises the error.
    [[nodiscard]] bool enter(const char *where, PyThreadState *tstate) { return enter(where, tstate, stack_floor()); }

    // enter() for a walk that has also read the stack floor once (Ctx::stack_floor;
    // UINTPTR_MAX while it is not known, so that the first level finds it).
    [[nodiscard]] bool enter(const char *where, PyThreadState *tstate, uintptr_t floor) {
#if !KELVO_NATIVE_314
        auto sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        if (sp < floor && !recursion_detail::check_stack(sp, where)) [[unlikely]]
            return false;
        if (tstate->c_recursion_remaining > 0) [[likely]] {
            tstate->c_recursion_remaining--;
            counted_ = tstate;
            return true;
        }
        if (Py_EnterRecursiveCall(where) != 0) return false;
        entered_ = true;
        return true;
#else
        (void)tstate;
        (void)floor;
        return enter(where);
#endif
    }

    // The floor to pass to the overload above, read from the thread's state of the check.
    static uintptr_t stack_floor() noexcept {
#if !KELVO_NATIVE_314
        uintptr_t floor = recursion_detail::stack_floor;
        return floor == 0 ? UINTPTR_MAX : floor;
#else
        return 0;
#endif
    }

    // `where` completes "maximum recursion depth exceeded{where}". Returns false with
    // RecursionError set. Runs once per nesting level of every container, so it is inline
    // with the rare paths out of line.
    [[nodiscard]] bool enter(const char *where) {
#if !KELVO_NATIVE_314
        auto sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        uintptr_t floor = recursion_detail::stack_floor;
        if ((floor == 0 || sp < floor) && !recursion_detail::check_stack(sp, where)) [[unlikely]]
            return false;
#endif
        if (Py_EnterRecursiveCall(where) != 0) return false;
        entered_ = true;
        return true;
    }

private:
#if !KELVO_NATIVE_314
    PyThreadState *counted_ = nullptr;
#endif
    bool entered_ = false;
};

}  // namespace kelvo
