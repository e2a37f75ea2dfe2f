#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "messaging/request_budget.h"

namespace Vorn_SCard_Bridge {

// A response waiting for the sender, with its request's share of the budget, which
// is given back once the response has been written (or dropped).
struct OutgoingResponse {
    nlohmann::json message;
    RequestBudget::Token token;
    std::string frame;  // its frame, once a writer has made it
};

// The process-wide queue of responses waiting to be written. Everything queued
// before shutdown() is still handed out; what is pushed after it is dropped.
//
// One writer at a time takes what is queued (in order) and reports with
// batch_written(). By default that is the sender thread, woken by every push. Once
// the threads that finish responses write them themselves (set_writers_take_turns),
// a push wakes nobody: the pushing thread takes the queue itself with
// take_unless_writing(), and wakes the sender only for what it cannot write without
// waiting (hand_back).
class MessagingQueue {
public:
    static MessagingQueue& instance();

    MessagingQueue() = default;
    MessagingQueue(const MessagingQueue&) = delete;
    MessagingQueue& operator=(const MessagingQueue&) = delete;

    // Stores the message unless the queue is shut down (then drops it silently).
    void push(nlohmann::json message, RequestBudget::Token token = {});
    // Pushes stop waking the sender; see above.
    void set_writers_take_turns(bool take_turns);
    // Blocks for a message; empty only once the queue is shut down and drained.
    std::optional<nlohmann::json> wait_and_pop();
    // Takes every queued message at once (at least one), so the sender can write a
    // burst of responses with one system call; empty only once the queue is shut
    // down and drained. The caller reports with batch_written() when it is done.
    std::deque<OutgoingResponse> wait_and_pop_all();
    void batch_written();
    // Every queued message, unless none is queued or another writer is at work
    // (it writes what was queued meanwhile before it stops). The caller reports with
    // batch_written() or hand_back().
    std::deque<OutgoingResponse> take_unless_writing();
    // Puts a batch the caller could not write without waiting back at the front,
    // and wakes the sender for it.
    void hand_back(std::deque<OutgoingResponse> batch);
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
    bool take_turns = false;
    // The sender has been asked to write: until it finds the queue empty.
    bool handed_to_sender = false;
    std::atomic<bool> shutdown_flag{false};
};

}  // namespace Vorn_SCard_Bridge
