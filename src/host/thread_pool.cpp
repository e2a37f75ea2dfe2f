#include "host/thread_pool.h"

#include <exception>

#include "logging/logger.h"

namespace Vorn_SCard_Bridge {

namespace {
Logger& logger() { return Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {}); }
}  // namespace

ThreadPool::ThreadPool(std::uint64_t worker_count) : state(std::make_shared<State>()) {
    std::lock_guard lock(state->queue_mutex);
    for (std::uint64_t i = 0; i < worker_count; ++i) {
        ++state->total_workers;
        workers.emplace_back(&ThreadPool::worker_loop, state, false);
    }
    workers.emplace_back(&ThreadPool::monitor_loop, state);
}

void ThreadPool::start_extra_worker_unlocked(const std::shared_ptr<State>& state) {
    ++state->total_workers;
    // Extra workers end on their own; nobody keeps their thread object.
    std::thread(&ThreadPool::worker_loop, state, true).detach();
}

void ThreadPool::monitor_loop(const std::shared_ptr<State>& shared_state) {
    const std::shared_ptr<State> state = shared_state;
    std::unique_lock lock(state->queue_mutex);
    while (!state->stop.load()) {
        if (state->tasks.empty() || state->idle_workers > 0 ||
            state->total_workers >= MAX_WORKERS) {
            state->monitor_condition.wait(lock);
            continue;
        }
        const std::uint64_t seen = state->taken_tasks;
        const bool moved = state->monitor_condition.wait_for(lock, STALL_TIMEOUT, [&] {
            return state->stop.load() || state->tasks.empty() || state->taken_tasks != seen ||
                   state->idle_workers > 0;
        });
        if (!moved) {
            // Every queued task gets a worker of its own: they are most likely
            // waits like the ones that stalled the queue.
            for (std::size_t i = 0; i < state->tasks.size() && state->total_workers < MAX_WORKERS; ++i) {
                start_extra_worker_unlocked(state);
            }
        }
    }
}

void ThreadPool::worker_loop(const std::shared_ptr<State>& shared_state, bool extra) {
    // Own a reference for the thread's whole life, whatever happens to the pool.
    const std::shared_ptr<State> state = shared_state;
    for (;;) {
        std::function<void()> task;
        {
            std::unique_lock lock(state->queue_mutex);
            const auto ready = [&] { return state->stop.load() || !state->tasks.empty(); };
            ++state->idle_workers;
            if (extra) {
                if (!state->condition.wait_for(lock, EXTRA_WORKER_IDLE_TIMEOUT, ready)) {
                    --state->idle_workers;
                    --state->total_workers;
                    return;
                }
            } else {
                state->condition.wait(lock, ready);
            }
            --state->idle_workers;
            if (state->stop.load() && state->tasks.empty()) {
                --state->total_workers;
                return;
            }
            task = std::move(state->tasks.front());
            state->tasks.pop_front();
            ++state->taken_tasks;
            state->active_tasks.fetch_add(1);
            if (!state->tasks.empty() && state->idle_workers == 0) {
                state->monitor_condition.notify_one();
            }
        }
        try {
            task();
        } catch (const std::exception& e) {
            logger().error(std::string("Task failed: ") + e.what(), LogContext());
        } catch (...) {
            logger().error("Task failed with unknown exception", LogContext());
        }
        task = nullptr;
        if (state->active_tasks.fetch_sub(1) == 1 && state->stop.load()) {
            state->done_condition.notify_all();
        }
    }
}

void ThreadPool::enqueue(std::function<void()> task) {
    {
        std::lock_guard lock(state->queue_mutex);
        if (state->stop.load()) {
            logger().log(LogLevel::ERROR, "enqueue on stopped ThreadPool", LogDestination::NONE);
            return;
        }
        state->tasks.push_back(std::move(task));
        if (state->idle_workers == 0) state->monitor_condition.notify_one();
    }
    state->condition.notify_one();
}

std::uint64_t ThreadPool::busy_workers() const { return state->active_tasks.load(); }

std::uint64_t ThreadPool::worker_threads() const {
    std::lock_guard lock(state->queue_mutex);
    return state->total_workers;
}

ThreadPool::~ThreadPool() {
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(state->queue_mutex);
        state->stop.store(true);
        dropped.swap(state->tasks);
    }
    dropped.clear();
    state->condition.notify_all();
    state->monitor_condition.notify_all();
    for (std::thread& worker : workers) {
        if (worker.joinable()) worker.detach();
    }
    std::this_thread::sleep_for(THREAD_DETACH_TIMEOUT);
}

}  // namespace Vorn_SCard_Bridge
