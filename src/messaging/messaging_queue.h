#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

namespace Vorn_SCard_Bridge {

// The process-wide queue of responses waiting for the sender thread.
class MessagingQueue {
public:
    static MessagingQueue& instance();

    MessagingQueue() = default;
    MessagingQueue(const MessagingQueue&) = delete;
    MessagingQueue& operator=(const MessagingQueue&) = delete;

    // Stores the message unless the queue is shut down (then drops it silently).
    void push(nlohmann::json message);
    // Blocks for a message; empty only once the queue is shut down and drained.
    std::optional<nlohmann::json> wait_and_pop();
    // Takes every queued message at once (at least one), so the sender can write
    // a burst of responses with one system call; empty as wait_and_pop. Once the
    // queue is shut down it hands out at most one message, as wait_and_pop would.
    std::deque<nlohmann::json> wait_and_pop_all();
    void shutdown();
    bool is_shutdown() const;

private:
    std::mutex mutex;
    std::condition_variable condition;
    std::deque<nlohmann::json> messages;
    std::atomic<bool> shutdown_flag{false};
};

}  // namespace Vorn_SCard_Bridge
