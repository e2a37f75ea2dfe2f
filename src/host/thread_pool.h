#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Vorn_SCard_Bridge {

// The workers that run requests. It starts with a base number of workers. A
// status-change wait may block its worker for as long as the extension asked,
// even for ever, so a few waits could hold up every other request. A monitor
// thread therefore watches the queue: when tasks wait, no worker is idle and no
// task has been taken up for STALL_TIMEOUT, it starts another worker, up to
// MAX_WORKERS in all. A burst of quick requests normally keeps the queue moving
// and starts nothing; on a starved machine it may start extra workers, which the
// cap bounds and which leave again when idle. Workers beyond the base leave after EXTRA_WORKER_IDLE_TIMEOUT without
// work. Nothing polls: an idle pool wakes no thread.
class ThreadPool {
public:
    static constexpr std::chrono::nanoseconds THREAD_DETACH_TIMEOUT{500};
    static constexpr std::uint64_t MAX_WORKERS = 64;
    static constexpr std::chrono::seconds EXTRA_WORKER_IDLE_TIMEOUT{30};
    static constexpr std::chrono::milliseconds STALL_TIMEOUT{10};

    explicit ThreadPool(std::uint64_t worker_count);
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;
    // Drops the tasks no worker has started and detaches the workers without
    // waiting for them.
    ~ThreadPool();

    void enqueue(std::function<void()> task);

    // Tasks being run right now.
    std::uint64_t busy_workers() const;
    // Worker threads alive right now.
    std::uint64_t worker_threads() const;

private:
    // What a worker uses lives here, shared with the workers: a worker detached
    // in a long call keeps it alive after the pool is gone.
    struct State {
        std::mutex queue_mutex;
        std::condition_variable condition;
        std::condition_variable done_condition;
        std::deque<std::function<void()>> tasks;
        std::atomic<bool> stop{false};
        std::atomic<std::uint64_t> active_tasks{0};
        std::uint64_t idle_workers = 0;   // guarded by queue_mutex
        std::uint64_t total_workers = 0;  // guarded by queue_mutex
        std::uint64_t taken_tasks = 0;    // guarded by queue_mutex
        std::condition_variable monitor_condition;
    };

    static void worker_loop(const std::shared_ptr<State>& state, bool extra);
    static void monitor_loop(const std::shared_ptr<State>& state);
    static void start_extra_worker_unlocked(const std::shared_ptr<State>& state);

    std::vector<std::thread> workers;
    std::shared_ptr<State> state;
};

}  // namespace Vorn_SCard_Bridge
