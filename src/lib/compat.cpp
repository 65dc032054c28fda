// Out-of-line parts of the 3.13 fallbacks.
#include "lib/compat.h"

#if !KELVO_NATIVE_314

#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif

namespace kelvo::compat {

namespace {

// Room kept free below the check: what runs between two checks and the raising of the
// error must fit in it.
constexpr uintptr_t kStackMargin = 256 * 1024;

// The lowest address the calling thread may reach before the check fails; 0 while not
// read yet, 1 when the bounds could not be read (then only the interpreter's count applies).
[[gnu::tls_model("initial-exec")]] thread_local uintptr_t t_stack_floor = 0;

uintptr_t read_stack_floor() {
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
    void *addr = nullptr;
    size_t size = 0;
    int rc = pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_destroy(&attr);
    if (rc != 0 || addr == nullptr || size <= 2 * kStackMargin) return 1;
    return reinterpret_cast<uintptr_t>(addr) + kStackMargin;
}

}  // namespace

bool stack_nearly_exhausted() {
    uintptr_t floor = t_stack_floor;
    if (floor == 0) t_stack_floor = floor = read_stack_floor();
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < floor;
}

}  // namespace kelvo::compat

#endif
