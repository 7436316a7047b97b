// The shared/exclusive hold of one object: many readers or one writer at a time.
// The flag is 0 when free, n > 0 with n shared holds, -1 with one exclusive hold.
#pragma once

#include <atomic>
#include <cstdint>

#include "python/pyapi.hpp"

namespace orvanel::py {

using HoldFlag = std::atomic<std::intptr_t>;

class HoldGuard {
public:
    enum class Mode { shared, exclusive };

    // Tries to take the hold; when refused, RuntimeError is set and the guard is empty.
    HoldGuard(HoldFlag& flag, Mode mode) noexcept : mode_(mode) {
        if (mode == Mode::shared) {
            std::intptr_t current = flag.load(std::memory_order_relaxed);
            do {
                if (current == -1) {
                    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                    return;
                }
            } while (!flag.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed));
        } else {
            std::intptr_t expected = 0;
            if (!flag.compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                              std::memory_order_relaxed)) {
                PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
                return;
            }
        }
        flag_ = &flag;
    }

    HoldGuard(const HoldGuard&) = delete;
    HoldGuard& operator=(const HoldGuard&) = delete;

    ~HoldGuard() {
        if (flag_ == nullptr) return;
        if (mode_ == Mode::shared) {
            flag_->fetch_sub(1, std::memory_order_release);
        } else {
            flag_->store(0, std::memory_order_release);
        }
    }

    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    HoldFlag* flag_ = nullptr;
    Mode mode_;
};

}  // namespace orvanel::py
