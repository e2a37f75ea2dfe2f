// The worker pool: tasks run, failures are logged without losing the worker,
// blocked workers do not hold up other requests, and destroying the pool never
// waits for a task.

#include "host/thread_pool.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

using vorn_test::WAIT_LIMIT;

// A gate that blocked tasks wait at. Its waits are bounded too, so a test that
// fails before opening it cannot leave threads stuck for ever.
class Gate {
public:
    void open() {
        {
            std::lock_guard lock(mutex);
            opened = true;
        }
        condition.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex);
        condition.wait_for(lock, 3 * WAIT_LIMIT, [this] { return opened; });
    }

private:
    std::mutex mutex;
    std::condition_variable condition;
    bool opened = false;
};

// Counts events and lets the test wait, bounded, for a number of them.
class Counter {
public:
    void add() {
        {
            std::lock_guard lock(mutex);
            ++count;
        }
        condition.notify_all();
    }
    bool wait_for_at_least(int wanted) {
        std::unique_lock lock(mutex);
        return condition.wait_for(lock, WAIT_LIMIT, [&] { return count >= wanted; });
    }
    int value() {
        std::lock_guard lock(mutex);
        return count;
    }

private:
    std::mutex mutex;
    std::condition_variable condition;
    int count = 0;
};

// Polls a condition that has no notification of its own, at most WAIT_LIMIT.
template <typename Condition>
bool eventually(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + WAIT_LIMIT;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

TEST(ThreadPool, RunsEveryTask) {
    auto done = std::make_shared<Counter>();
    ThreadPool pool(3);
    for (int i = 0; i < 200; ++i) pool.enqueue([done] { done->add(); });
    EXPECT_TRUE(done->wait_for_at_least(200)) << done->value() << " of 200 ran";
}

TEST(ThreadPool, TasksFromManyThreadsAllRun) {
    auto done = std::make_shared<Counter>();
    ThreadPool pool(3);
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&pool, done] {
            for (int i = 0; i < 100; ++i) pool.enqueue([done] { done->add(); });
        });
    }
    for (std::thread& producer : producers) producer.join();
    EXPECT_TRUE(done->wait_for_at_least(400)) << done->value() << " of 400 ran";
}

TEST(ThreadPool, StartsTheBaseWorkers) {
    ThreadPool pool(3);
    EXPECT_EQ(pool.worker_threads(), 3u);
    EXPECT_EQ(pool.busy_workers(), 0u);
}

struct FailingCase {
    const char* name;
    std::function<void()> failure;
    std::string line;
};

class ThreadPoolFailingTask : public ::testing::TestWithParam<FailingCase> {};

// A task that throws is logged (no context prefix) and its worker takes the next task.
TEST_P(ThreadPoolFailingTask, IsLoggedAndTheWorkerGoesOn) {
    ThreadPool pool(1);
    auto failed_on = std::make_shared<std::promise<std::thread::id>>();
    auto next_on = std::make_shared<std::promise<std::thread::id>>();
    auto failed_future = failed_on->get_future();
    auto next_future = next_on->get_future();

    vorn_test::StderrCapture capture;
    pool.enqueue([failed_on, failure = GetParam().failure] {
        failed_on->set_value(std::this_thread::get_id());
        failure();
    });
    ASSERT_EQ(failed_future.wait_for(WAIT_LIMIT), std::future_status::ready);
    // The worker has logged by the time it no longer counts the task as running.
    ASSERT_TRUE(eventually([&] { return pool.busy_workers() == 0; }));
    pool.enqueue([next_on] { next_on->set_value(std::this_thread::get_id()); });
    ASSERT_EQ(next_future.wait_for(WAIT_LIMIT), std::future_status::ready);
    EXPECT_EQ(next_future.get(), failed_future.get()) << "the failing task's worker was lost";

    const auto lines = vorn_test::lines_starting_with(capture.take_lines(), "Task failed");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].level, "error");
    EXPECT_EQ(lines[0].text, GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ThreadPoolFailingTask,
    ::testing::Values(FailingCase{"RuntimeError", [] { throw std::runtime_error("boom"); },
                                  "Task failed: boom"},
                      FailingCase{"LogicError", [] { throw std::out_of_range("index 9"); },
                                  "Task failed: index 9"},
                      FailingCase{"NotAStandardException", [] { throw 42; },
                                  "Task failed with unknown exception"}),
    [](const auto& info) { return std::string(info.param.name); });

// Requests that wait (a status change can wait for ever) must not hold up the
// others: with every base worker blocked, a quick task still runs.
TEST(ThreadPool, BlockedWorkersDoNotStarveOtherTasks) {
    auto gate = std::make_shared<Gate>();
    auto blocked_started = std::make_shared<Counter>();
    auto blocked_finished = std::make_shared<Counter>();
    ThreadPool pool(3);
    for (int i = 0; i < 5; ++i) {
        pool.enqueue([gate, blocked_started, blocked_finished] {
            blocked_started->add();
            gate->wait();
            blocked_finished->add();
        });
    }
    auto quick = std::make_shared<std::promise<void>>();
    auto quick_done = quick->get_future();
    pool.enqueue([quick] { quick->set_value(); });

    EXPECT_EQ(quick_done.wait_for(WAIT_LIMIT), std::future_status::ready)
        << "a quick task waited behind blocked workers";
    EXPECT_TRUE(blocked_started->wait_for_at_least(5)) << "every waiting task gets a worker";
    EXPECT_GT(pool.worker_threads(), 3u);
    EXPECT_LE(pool.worker_threads(), ThreadPool::MAX_WORKERS);
    gate->open();
    EXPECT_TRUE(blocked_finished->wait_for_at_least(5));
}

TEST(ThreadPool, ExtraWorkersStopAtTheMaximum) {
    auto gate = std::make_shared<Gate>();
    auto started = std::make_shared<Counter>();
    auto finished = std::make_shared<Counter>();
    const int tasks = static_cast<int>(ThreadPool::MAX_WORKERS) + 10;
    ThreadPool pool(3);
    for (int i = 0; i < tasks; ++i) {
        pool.enqueue([gate, started, finished] {
            started->add();
            gate->wait();
            finished->add();
        });
    }
    const bool all_busy = started->wait_for_at_least(static_cast<int>(ThreadPool::MAX_WORKERS));
    EXPECT_TRUE(all_busy) << started->value() << " tasks started";
    EXPECT_EQ(pool.worker_threads(), ThreadPool::MAX_WORKERS);
    EXPECT_EQ(started->value(), static_cast<int>(ThreadPool::MAX_WORKERS))
        << "more tasks ran at once than there may be workers";
    gate->open();
    EXPECT_TRUE(finished->wait_for_at_least(tasks)) << finished->value() << " of " << tasks;
}

// Shutdown must not wait for a worker stuck in a long smart-card call; the
// call ending afterwards must find everything it touches still alive.
TEST(ThreadPool, DestroyingWhileATaskIsBlockedReturnsAndTheTaskEndsSafely) {
    auto gate = std::make_shared<Gate>();
    auto started = std::make_shared<std::promise<void>>();
    auto finished = std::make_shared<std::promise<void>>();
    auto started_future = started->get_future();
    auto finished_future = finished->get_future();
    auto pool = std::make_shared<std::unique_ptr<ThreadPool>>(std::make_unique<ThreadPool>(1));
    (*pool)->enqueue([gate, started, finished] {
        started->set_value();
        gate->wait();
        finished->set_value();
    });
    ASSERT_EQ(started_future.wait_for(WAIT_LIMIT), std::future_status::ready);

    EXPECT_TRUE(vorn_test::finishes_within([pool] { pool->reset(); }, WAIT_LIMIT))
        << "the pool's destructor waited for a blocked task";
    gate->open();
    EXPECT_EQ(finished_future.wait_for(WAIT_LIMIT), std::future_status::ready);
}

TEST(ThreadPool, DestroyingAnIdlePoolReturns) {
    auto pool = std::make_shared<std::unique_ptr<ThreadPool>>(std::make_unique<ThreadPool>(3));
    EXPECT_TRUE(vorn_test::finishes_within([pool] { pool->reset(); }, WAIT_LIMIT));
}

// Only a caller holding a dangling reference can reach enqueue on a stopped
// pool. The child process recreates that: the pool's lifetime ends in storage
// that stays mapped, while a blocked worker keeps the shared state alive, and
// the late enqueue must log instead of queueing or crashing.
TEST(ThreadPoolDeathTest, EnqueueOnAStoppedPoolIsLoggedAndDropped) {
    EXPECT_EXIT(
        {
            ::alarm(60);
            auto gate = std::make_shared<Gate>();
            auto started = std::make_shared<std::promise<void>>();
            auto started_future = started->get_future();
            auto late_ran = std::make_shared<std::atomic<bool>>(false);
            alignas(ThreadPool) static unsigned char storage[sizeof(ThreadPool)];
            auto* pool = new (storage) ThreadPool(1);
            pool->enqueue([gate, started] {
                started->set_value();
                gate->wait();
            });
            if (started_future.wait_for(WAIT_LIMIT) != std::future_status::ready) {
                vorn_test::exit_child(2);
            }
            pool->~ThreadPool();
            pool->enqueue([late_ran] { late_ran->store(true); });
            gate->open();
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::fprintf(stderr, "late task ran: %s\n", late_ran->load() ? "yes" : "no");
            vorn_test::exit_child(0);
        },
        ::testing::ExitedWithCode(0),
        "\\[error\\] \\[tid:[0-9]+\\] enqueue on stopped ThreadPool\n.*late task ran: no");
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
