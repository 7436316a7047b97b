#include "core/worker_pool.hpp"

#include <chrono>
#include <system_error>
#include <utility>

namespace orvanel {

namespace {

// Waits until `ready` holds, as condition_variable::wait(lock, ready) does, but through
// wait_until: the plain wait is a symbol of the C++ runtime of GCC 12, which the Linux
// systems the wheel is meant for (glibc 2.34 with GCC 11's runtime) lack, whereas
// wait_until on the steady clock is compiled into the module.
template <class Ready>
void wait_until_ready(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, Ready ready) {
    while (!ready()) condition.wait_until(lock, std::chrono::steady_clock::now() + std::chrono::hours(1));
}

}  // namespace

WorkerPool::WorkerPool(unsigned helpers) {
    threads_.reserve(helpers);
    for (unsigned i = 0; i < helpers; ++i) {
        try {
            threads_.emplace_back([this] { helper_loop(); });
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the ones that started do the work
        }
    }
}

WorkerPool::~WorkerPool() {
    wait_all();
    {
        std::lock_guard lock(mutex_);
        ending_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& thread : threads_) thread.join();
}

void WorkerPool::submit(Task task) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(task));
    }
    work_ready_.notify_one();
}

void WorkerPool::finish_task() {
    {
        std::lock_guard lock(mutex_);
        --running_;
        ++completed_;
    }
    task_done_.notify_all();
}

bool WorkerPool::run_one() {
    Task task;
    {
        std::lock_guard lock(mutex_);
        if (queue_.empty()) return false;
        task = std::move(queue_.front());
        queue_.pop_front();
        ++running_;
    }
    task();
    finish_task();
    return true;
}

std::size_t WorkerPool::queued() {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

void WorkerPool::wait_all() {
    while (run_one()) {
    }
    std::unique_lock lock(mutex_);
    wait_until_ready(task_done_, lock, [this] { return queue_.empty() && running_ == 0; });
}

void WorkerPool::wait_for_progress() {
    std::unique_lock lock(mutex_);
    // With nothing running, no task can end until the caller runs one itself.
    if (running_ == 0) return;
    const std::size_t seen = completed_;
    wait_until_ready(task_done_, lock, [&] { return completed_ != seen; });
}

void WorkerPool::helper_loop() {
    for (;;) {
        Task task;
        {
            std::unique_lock lock(mutex_);
            wait_until_ready(work_ready_, lock, [this] { return ending_ || !queue_.empty(); });
            if (queue_.empty()) return;  // ending, and nothing left to do
            task = std::move(queue_.front());
            queue_.pop_front();
            ++running_;
        }
        task();
        finish_task();
    }
}

}  // namespace orvanel
