#include "messaging/messaging_queue.h"

namespace Vorn_SCard_Bridge {

MessagingQueue& MessagingQueue::instance() {
    // Never destroyed: a worker still inside a long call at exit may push.
    static MessagingQueue* const queue = new MessagingQueue();
    return *queue;
}

void MessagingQueue::push(nlohmann::json message, RequestBudget::Token token) {
    if (shutdown_flag.load()) return;
    bool wake = false;
    {
        std::lock_guard lock(mutex);
        messages.push_back({std::move(message), std::move(token), {}});
        wake = !take_turns;
    }
    if (wake) condition.notify_one();
}

void MessagingQueue::set_writers_take_turns(bool take_turns_) {
    std::lock_guard lock(mutex);
    take_turns = take_turns_;
}

std::optional<nlohmann::json> MessagingQueue::wait_and_pop() {
    std::unique_lock lock(mutex);
    condition.wait(lock, [this] { return !messages.empty() || shutdown_flag.load(); });
    if (messages.empty()) return std::nullopt;
    nlohmann::json message = std::move(messages.front().message);
    messages.pop_front();
    if (messages.empty()) written_condition.notify_all();
    return message;
}

std::deque<OutgoingResponse> MessagingQueue::wait_and_pop_all() {
    std::unique_lock lock(mutex);
    condition.wait(lock, [this] {
        // Only once other threads write too can a writer be at work here.
        if (writing && take_turns) return false;
        if (messages.empty()) {
            handed_to_sender = false;
            return shutdown_flag.load();
        }
        return !take_turns || handed_to_sender || shutdown_flag.load();
    });
    std::deque<OutgoingResponse> taken;
    taken.swap(messages);
    writing = !taken.empty();
    return taken;
}

std::deque<OutgoingResponse> MessagingQueue::take_unless_writing() {
    std::deque<OutgoingResponse> taken;
    std::lock_guard lock(mutex);
    if (writing || handed_to_sender) return taken;
    taken.swap(messages);
    writing = !taken.empty();
    return taken;
}

void MessagingQueue::hand_back(std::deque<OutgoingResponse> batch) {
    {
        std::lock_guard lock(mutex);
        while (!batch.empty()) {
            messages.push_front(std::move(batch.back()));
            batch.pop_back();
        }
        writing = false;
        handed_to_sender = true;
    }
    condition.notify_one();
}

void MessagingQueue::batch_written() {
    bool wake_sender = false;
    {
        std::lock_guard lock(mutex);
        writing = false;
        // The sender may wait for this writer: to drain at shutdown, or to go on
        // with what it was handed.
        wake_sender = handed_to_sender || shutdown_flag.load();
    }
    if (wake_sender) condition.notify_one();
    written_condition.notify_all();
}

bool MessagingQueue::wait_until_written(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex);
    return written_condition.wait_until(lock, deadline,
                                        [this] { return messages.empty() && !writing; });
}

void MessagingQueue::shutdown() {
    // The flag is set under the lock: a sender that has just found the queue
    // empty and open is then either before its test (and sees the flag) or
    // already waiting (and gets the notification).
    {
        std::lock_guard lock(mutex);
        shutdown_flag.store(true);
    }
    condition.notify_all();
}

bool MessagingQueue::is_shutdown() const { return shutdown_flag.load(); }

}  // namespace Vorn_SCard_Bridge
