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
        if (entered_) Py_LeaveRecursiveCall();
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
    bool entered_ = false;
};

}  // namespace kelvo
