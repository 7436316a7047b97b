#include "core/interrupt.hpp"

#include <cerrno>

namespace orvanel {

namespace {

struct ThreadInterruptState {
    InterruptCheck check = nullptr;
    bool stopped = false;
};

thread_local ThreadInterruptState state;

}  // namespace

InterruptScope::InterruptScope(InterruptCheck check) noexcept
    : previous_check_(state.check), previous_stopped_(state.stopped) {
    state.check = check;
    state.stopped = false;
}

InterruptScope::~InterruptScope() {
    state.check = previous_check_;
    state.stopped = previous_stopped_;
}

bool stop_after_interrupt() noexcept {
    if (state.check == nullptr) return false;
    if (!state.stopped) {
        // The check may make system calls of its own; the caller still reads errno.
        const int saved_errno = errno;
        state.stopped = state.check();
        errno = saved_errno;
    }
    return state.stopped;
}

}  // namespace orvanel
