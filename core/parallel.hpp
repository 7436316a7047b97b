// What the parallel reader and writer share: how much work goes to other threads, the
// first failure in file order among those the threads meet, and the calling thread's
// look at pending signals.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <vector>

#include "core/error.hpp"
#include "core/plane.hpp"

namespace orvanel {

struct ParallelSettings {
    // Threads that do the work, the calling thread included; 1 runs everything on the
    // calling thread.
    unsigned threads = 1;
    // Less work than this (values loaded or written) is done on the calling thread
    // alone: starting threads would cost more than they save.
    std::size_t min_parallel_cells = std::size_t{1} << 19;
    // Values per batch of rows handed to a thread: large enough that handing it over is
    // cheap beside decoding or encoding it, small enough to share the work evenly.
    std::size_t batch_cells = std::size_t{1} << 18;

    // Threads to use for `cells` values of work.
    unsigned threads_for(std::uint64_t cells) const noexcept { return cells < min_parallel_cells ? 1 : threads; }
};

// At most this many threads work on one operation. Loading and writing stream values
// through memory; past a handful of threads the memory bus, not the processors, sets
// the pace, and more threads only cost start-up time and buffers.
inline constexpr unsigned max_parallel_threads = 64;

// The failure with the lowest record number among those reported, from any thread.
class FirstFailure {
public:
    static constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();

    // Keeps `error` when `record` comes before every failure reported so far.
    void offer(std::uint64_t record, MatrixError&& error) {
        std::lock_guard lock(mutex_);
        if (record >= record_.load(std::memory_order_relaxed)) return;
        error_ = std::move(error);
        record_.store(record, std::memory_order_release);
    }
    // The record number of the first failure so far, `none` when there is none.
    std::uint64_t record() const noexcept { return record_.load(std::memory_order_acquire); }
    bool failed() const noexcept { return record() != none; }
    MatrixError take() {
        std::lock_guard lock(mutex_);
        return std::move(error_);
    }

private:
    std::mutex mutex_;
    std::atomic<std::uint64_t> record_{none};
    MatrixError error_;
};

// Plane scratch, one per thread at work, lent out by task.
class ScratchPool {
public:
    explicit ScratchPool(std::size_t zone_count) noexcept : zone_count_(zone_count) {}

    struct Lease {
        ScratchPool* pool;
        std::unique_ptr<PlaneScratch> scratch;
        std::unique_ptr<double[]> row;  // room for one row of values
        Lease(ScratchPool* owner, std::unique_ptr<PlaneScratch> s, std::unique_ptr<double[]> r) noexcept
            : pool(owner), scratch(std::move(s)), row(std::move(r)) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Lease(Lease&&) noexcept = default;
        ~Lease() {
            if (scratch) pool->give_back(std::move(scratch), std::move(row));
        }
    };
    Lease lend();

private:
    void give_back(std::unique_ptr<PlaneScratch> scratch, std::unique_ptr<double[]> row);

    std::size_t zone_count_;
    std::mutex mutex_;
    std::vector<std::unique_ptr<PlaneScratch>> scratches_;
    std::vector<std::unique_ptr<double[]>> rows_;
};

// The calling thread's look at pending signals between batches: at most every 20 ms it
// runs the interrupt check of the calling thread (core/interrupt.hpp), which stays
// "stop" once it said so. Looking costs a clock read; the check itself may have to wait
// for a lock (the Python extension's runs signal handlers), hence the interval.
class InterruptPoll {
public:
    bool stop_requested();

private:
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
    unsigned calls_ = 0;
    bool stopped_ = false;
};

// The error a stopped operation returns; the caller that asked for the stop knows why.
MatrixError interrupted_error();

}  // namespace orvanel
