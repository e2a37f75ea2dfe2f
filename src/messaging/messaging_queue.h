#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "messaging/request_budget.h"

namespace Vorn_SCard_Bridge {

// A response waiting for the sender, with its request's share of the budget, which
// is given back once the response has been written (or dropped).
struct OutgoingResponse {
    nlohmann::json message;
    RequestBudget::Token token;
};

// The process-wide queue of responses waiting for the sender thread. Everything
// queued before shutdown() is still handed out; what is pushed after it is dropped.
class MessagingQueue {
public:
    static MessagingQueue& instance();

    MessagingQueue() = default;
    MessagingQueue(const MessagingQueue&) = delete;
    MessagingQueue& operator=(const MessagingQueue&) = delete;

    // Stores the message unless the queue is shut down (then drops it silently).
    void push(nlohmann::json message, RequestBudget::Token token = {});
    // Blocks for a message; empty only once the queue is shut down and drained.
    std::optional<nlohmann::json> wait_and_pop();
    // Takes every queued message at once (at least one), so the sender can write a
    // burst of responses with one system call; empty only once the queue is shut
    // down and drained. The caller reports with batch_written() when it is done.
    std::deque<OutgoingResponse> wait_and_pop_all();
    void batch_written();
    // True once nothing is queued and no batch is being written; false at the deadline.
    bool wait_until_written(std::chrono::steady_clock::time_point deadline);
    void shutdown();
    bool is_shutdown() const;

private:
    std::mutex mutex;
    std::condition_variable condition;
    std::condition_variable written_condition;
    std::deque<OutgoingResponse> messages;
    bool writing = false;
    std::atomic<bool> shutdown_flag{false};
};

}  // namespace Vorn_SCard_Bridge
