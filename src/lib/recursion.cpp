#include "lib/recursion.h"

#include "lib/compat.h"

#if !KELVO_NATIVE_314
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#include <cstdint>
#endif

namespace kelvo {

#if !KELVO_NATIVE_314

namespace {

// The 3.13 interpreter bounds recursion by a count of levels that assumes small frames;
// a level of nested repr/hash/comparison takes several interpreter frames, so the count
// alone can overrun an 8 MiB stack. The remaining stack of the thread is measured too.
constexpr size_t kStackMargin = 256 * 1024;

[[gnu::noinline, gnu::cold]] uintptr_t find_stack_floor() {
    pthread_attr_t attr;
#if defined(__FreeBSD__)
    if (pthread_attr_init(&attr) != 0) return 1;
    if (pthread_attr_get_np(pthread_self(), &attr) != 0) {
        pthread_attr_destroy(&attr);
        return 1;
    }
#else
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return 1;
#endif
    void *base = nullptr;
    size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || base == nullptr) return 1;
    size_t margin = size / 4 < kStackMargin ? size / 4 : kStackMargin;
    return reinterpret_cast<uintptr_t>(base) + margin;
}

[[gnu::noinline, gnu::cold]] bool raise_stack_exhausted(const char *where) {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return false;
}

}  // namespace

namespace recursion_detail {

thread_local uintptr_t stack_floor = 0;

bool check_stack(uintptr_t sp, const char *where) {
    if (stack_floor == 0) stack_floor = find_stack_floor();
    if (sp < stack_floor) return raise_stack_exhausted(where);
    return true;
}

}  // namespace recursion_detail

#endif

}  // namespace kelvo
