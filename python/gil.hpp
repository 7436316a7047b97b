// Lets other Python threads run while pure C++ work goes on; the interpreter lock is
// taken back when the scope ends, on every path. No Python object may be touched inside.
#pragma once

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

}  // namespace orvanel::py
