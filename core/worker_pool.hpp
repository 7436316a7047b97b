// A small pool of helper threads for one long operation, and the calling thread's share
// of the work: tasks run in the order they were submitted, on whichever thread is free.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace orvanel {

class WorkerPool {
public:
    using Task = std::function<void()>;

    // Starts up to `helpers` threads. A thread the system refuses is simply not there:
    // the calling thread then does more of the work itself (helpers() tells how many
    // run).
    explicit WorkerPool(unsigned helpers);
    // Waits for the tasks already submitted, then ends the threads.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    unsigned helpers() const noexcept { return static_cast<unsigned>(threads_.size()); }

    // Queues a task. Tasks must not throw.
    void submit(Task task);
    // Runs the oldest queued task on the calling thread; false when none is queued.
    bool run_one();
    // Tasks queued and not yet started.
    std::size_t queued();
    // Runs queued tasks on the calling thread, then waits until every task has ended.
    void wait_all();
    // Blocks until a running task ends; returns at once when none is running.
    void wait_for_progress();

private:
    void helper_loop();
    void finish_task();

    std::mutex mutex_;
    std::condition_variable work_ready_;  // a task was queued, or the pool is ending
    std::condition_variable task_done_;   // a task ended
    std::deque<Task> queue_;
    std::size_t running_ = 0;
    std::size_t completed_ = 0;
    bool ending_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace orvanel
