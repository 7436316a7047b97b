#include "core/parallel.hpp"

#include <cerrno>

#include "core/interrupt.hpp"

namespace orvanel {

ScratchPool::Lease ScratchPool::lend() {
    {
        std::lock_guard lock(mutex_);
        if (!scratches_.empty()) {
            Lease lease{this, std::move(scratches_.back()), std::move(rows_.back())};
            scratches_.pop_back();
            rows_.pop_back();
            return lease;
        }
    }
    return Lease{this, std::make_unique<PlaneScratch>(zone_count_), std::make_unique<double[]>(zone_count_)};
}

void ScratchPool::give_back(std::unique_ptr<PlaneScratch> scratch, std::unique_ptr<double[]> row) {
    std::lock_guard lock(mutex_);
    scratches_.push_back(std::move(scratch));
    rows_.push_back(std::move(row));
}

bool InterruptPoll::stop_requested() {
    if (stopped_) return true;
    // The clock is read every few calls only.
    if (++calls_ % 8 != 0) return false;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(20)) return false;
    last_ = now;
    stopped_ = stop_after_interrupt();
    return stopped_;
}

MatrixError interrupted_error() { return MatrixError::io_os(EINTR); }

}  // namespace orvanel
