// One level of a recursive operation over nested values (repr, hash or comparison of a
// value that contains further values). Entering fails with RecursionError instead of
// exhausting the C stack, however deep the nesting is.
#pragma once

#include "lib/pyref.h"

namespace kelvo {

class RecursionGuard {
public:
    RecursionGuard() = default;
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }

    // `where` completes "maximum recursion depth exceeded{where}". Returns false with
    // RecursionError set.
    [[nodiscard]] bool enter(const char *where);

private:
    bool entered_ = false;
};

}  // namespace kelvo
