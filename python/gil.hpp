// Lets other Python threads run while pure C++ work goes on; the interpreter lock is
// taken back when the scope ends, on every path. No Python object may be touched inside.
#pragma once

#include <new>
#include <optional>

#include "core/interrupt.hpp"
#include "python/pyapi.hpp"

namespace orvanel::py {

class AllowThreads {
public:
    AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
    ~AllowThreads() { PyEval_RestoreThread(state_); }
    AllowThreads(const AllowThreads&) = delete;
    AllowThreads& operator=(const AllowThreads&) = delete;

private:
    PyThreadState* state_;
};

// The interrupt check of work run without the interpreter lock: a system call of the
// core interrupted by a signal runs the Python signal handlers, as the interpreter does
// for its own calls, and stops when one of them raised. The exception stays set on
// the thread state. Handlers only run on the main thread; elsewhere nothing is run and
// the call is retried.
inline bool python_signal_handler_raised() noexcept {
    const PyGILState_STATE gil = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(gil);
    return raised;
}

// Runs `work` (pure C++, touching no Python object) with the interpreter lock released
// and returns its outcome. Nothing is returned, with an exception set, when a signal
// handler raised while `work` waited in a system call (that exception, e.g.
// KeyboardInterrupt, then replaces whatever `work` returned) or when memory ran out
// inside (MemoryError).
template <class Work>
auto run_unlocked(Work&& work) -> std::optional<decltype(work())> {
    std::optional<decltype(work())> outcome;
    bool out_of_memory = false;
    {
        AllowThreads unlocked;
        InterruptScope interrupts(python_signal_handler_raised);
        try {
            outcome.emplace(work());
        } catch (const std::bad_alloc&) {
            out_of_memory = true;
        }
    }
    if (PyErr_Occurred() != nullptr) {
        outcome.reset();
    } else if (out_of_memory) {
        PyErr_NoMemory();
    }
    return outcome;
}

}  // namespace orvanel::py
