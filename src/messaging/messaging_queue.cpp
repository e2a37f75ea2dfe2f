#include "messaging/messaging_queue.h"

namespace Vorn_SCard_Bridge {

MessagingQueue& MessagingQueue::instance() {
    // Never destroyed: a worker still inside a long call at exit may push.
    static MessagingQueue* const queue = new MessagingQueue();
    return *queue;
}

void MessagingQueue::push(nlohmann::json message, RequestBudget::Token token) {
    if (shutdown_flag.load()) return;
    {
        std::lock_guard lock(mutex);
        messages.push_back({std::move(message), std::move(token)});
    }
    condition.notify_one();
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
    condition.wait(lock, [this] { return !messages.empty() || shutdown_flag.load(); });
    std::deque<OutgoingResponse> taken;
    taken.swap(messages);
    writing = !taken.empty();
    return taken;
}

void MessagingQueue::batch_written() {
    {
        std::lock_guard lock(mutex);
        writing = false;
    }
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
