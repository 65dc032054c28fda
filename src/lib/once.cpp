#include "lib/once.h"

#include <condition_variable>
#include <mutex>

#include "pythread.h"

namespace kelvo {

namespace {

// Only the slow path of an empty cell touches these, and only while detached.
std::mutex g_mutex;
std::condition_variable g_cv;

std::atomic_ref<int> state_of(OnceState &st) { return std::atomic_ref<int>(st.state); }

}  // namespace

OnceClaim::OnceClaim(OnceState &st) : st_(st), result_(Result::Done) {
    unsigned long me = PyThread_get_thread_ident();
    if (state_of(st).load(std::memory_order_acquire) == 2) return;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (state_of(st).load(std::memory_order_acquire) == 1 && st.owner == me) {
            result_ = Result::Failed;
        }
    }
    if (result_ == Result::Failed) {
        PyErr_SetString(PyExc_RuntimeError,
                        "re-entrant initialisation of a cached reference: the thread that is "
                        "initialising it needs it again");
        return;
    }
    Result r = Result::Done;
    Py_BEGIN_ALLOW_THREADS {
        std::unique_lock<std::mutex> lock(g_mutex);
        for (;;) {
            int s = state_of(st).load(std::memory_order_acquire);
            if (s == 2) {
                r = Result::Done;
                break;
            }
            if (s == 0) {
                st.owner = me;
                state_of(st).store(1, std::memory_order_relaxed);
                r = Result::Claimed;
                break;
            }
            g_cv.wait(lock);
        }
    }
    Py_END_ALLOW_THREADS result_ = r;
}

void OnceClaim::succeed() noexcept {
    if (result_ != Result::Claimed) return;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        st_.owner = 0;
        state_of(st_).store(2, std::memory_order_release);
    }
    g_cv.notify_all();
    result_ = Result::Finished;
}

OnceClaim::~OnceClaim() {
    if (result_ != Result::Claimed) return;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        st_.owner = 0;
        state_of(st_).store(0, std::memory_order_release);
    }
    g_cv.notify_all();
}

}  // namespace kelvo
