// Lets other Python threads run while pure C++ work goes on; the interpreter lock is
// taken back when the scope ends, on every path. No Python object may be touched inside.
#pragma once

#include <new>
#include <optional>

#include "pyapi.hpp"

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

// Runs `work` (pure C++, touching no Python object) with the interpreter lock released
// and returns its outcome. Memory exhaustion inside is caught there and raised as
// MemoryError once the lock is held again; nothing is returned then.
template <class Work>
auto run_unlocked(Work&& work) -> std::optional<decltype(work())> {
    std::optional<decltype(work())> outcome;
    {
        AllowThreads unlocked;
        try {
            outcome.emplace(work());
        } catch (const std::bad_alloc&) {
            outcome.reset();
        }
    }
    if (!outcome) PyErr_NoMemory();
    return outcome;
}

}  // namespace orvanel::py
