// What a system call interrupted by a signal (EINTR) does next. By default it is simply
// retried. A caller that runs signal handlers of its own (the Python extension, while
// the interpreter lock is released) installs a check for the calling thread; when the
// check says stop, the interrupted call fails with the io error EINTR instead.
#pragma once

namespace orvanel {

// Runs whatever the caller does on a signal and reports whether the interrupted call
// must stop. Called on the thread that was interrupted.
using InterruptCheck = bool (*)() noexcept;

// Installs `check` for the calling thread for the lifetime of the scope; the previous
// check (usually none) is restored at the end. Once the check has said stop, every
// later interrupted call of the scope stops too, without asking again.
class InterruptScope {
public:
    explicit InterruptScope(InterruptCheck check) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    InterruptCheck previous_check_;
    bool previous_stopped_;
};

// For the EINTR loops of the core: false to retry the interrupted call, true to give it
// up. Always false when no check is installed.
bool stop_after_interrupt() noexcept;

}  // namespace orvanel
