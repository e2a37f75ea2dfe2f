#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "messaging/request_budget.h"

namespace Vorn_SCard_Bridge {

// An answer waiting to be written: its frame, made once when it was queued (the
// JSON is gone by then), and its share of the budget, given back once the frame
// has been written (or dropped).
struct OutgoingResponse {
    std::string frame;
    std::string request_id;  // for the log line once it is written
    RequestBudget::Token token;

    // The JSON again (tests and fuzzers read what was queued).
    nlohmann::json message() const;
};

// The process-wide queue of responses waiting to be written. Everything queued
// before shutdown() is still handed out; what is pushed after it is dropped, until
// the next run of the host opens it again (reopen()).
//
// One writer at a time takes what is queued (in order) and reports with
// batch_written(). By default that is the sender thread, woken by every push. Once
// the threads that finish responses write them themselves (set_writers_take_turns),
// a push wakes nobody: the pushing thread takes the queue itself with
// take_unless_writing(), and wakes the sender only for what it cannot write without
// waiting (hand_back).
//
// The bytes of the frames queued and not yet written are counted: past
// MAX_UNWRITTEN_BYTES the browser is not reading, and the host stops reading too.
class MessagingQueue {
public:
    // Answers of requests accepted earlier are still queued beyond it; only new
    // requests wait.
    static constexpr std::size_t MAX_UNWRITTEN_BYTES = 8u * 1024 * 1024;

    static MessagingQueue& instance();

    MessagingQueue() = default;
    MessagingQueue(const MessagingQueue&) = delete;
    MessagingQueue& operator=(const MessagingQueue&) = delete;

    // Makes the message's frame (frame_answer) and queues it unless the queue is shut
    // down (then drops it silently). The token becomes the weight of the frame, and
    // the request counts as answered.
    void push(const nlohmann::json& message, RequestBudget::Token token = {});
    // Pushes stop waking the sender; see above.
    void set_writers_take_turns(bool take_turns);
    // Blocks for a message; empty only once the queue is shut down and drained.
    std::optional<nlohmann::json> wait_and_pop();
    // Takes every queued frame at once (at least one), so the sender can write a
    // burst of responses with few system calls; empty only once the queue is shut
    // down and drained. The caller reports each frame that left with sent() and
    // the batch with batch_written().
    std::deque<OutgoingResponse> wait_and_pop_all();
    void batch_written();
    // Every queued frame, unless none is queued or another writer is at work (it
    // writes what was queued meanwhile before it stops). The caller reports with
    // sent() and batch_written() or hand_back().
    std::deque<OutgoingResponse> take_unless_writing();
    // Puts what the caller could not write without waiting back at the front, and
    // wakes the sender for it.
    void hand_back(std::deque<OutgoingResponse> batch);
    // A frame of `bytes` taken from the queue has been written or dropped.
    void sent(std::size_t bytes);
    // True once nothing is queued and no batch is being written; false at the deadline.
    bool wait_until_written(std::chrono::steady_clock::time_point deadline);
    // Ends a run of the host: later pushes are dropped, and the writers stop once
    // what is queued is written.
    void shutdown();
    bool is_shutdown() const;
    // Opens the queue again once a run of the host is over: what it left is
    // dropped. No writer may be at work.
    void reopen();

    // True while more than MAX_UNWRITTEN_BYTES wait to be written; then `on_room`
    // (set_on_room) runs once half of them have left.
    bool over_unwritten_bound();
    std::size_t unwritten_bytes() const;
    void set_on_room(std::function<void()> on_room);

private:
    void push_frame(OutgoingResponse response);

    mutable std::mutex mutex;
    std::condition_variable condition;
    std::condition_variable written_condition;
    std::deque<OutgoingResponse> messages;
    bool writing = false;
    bool take_turns = false;
    // The sender has been asked to write: until it finds the queue empty.
    bool handed_to_sender = false;
    std::atomic<bool> shutdown_flag{false};
    std::size_t unwritten = 0;  // bytes of the frames queued or being written
    bool room_wanted = false;
    std::function<void()> on_room;
};

}  // namespace Vorn_SCard_Bridge
