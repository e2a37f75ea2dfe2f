#include "messaging/messaging_queue.h"

namespace Vorn_SCard_Bridge {

MessagingQueue& MessagingQueue::instance() {
    // Never destroyed: detached workers may still push after main has returned.
    static MessagingQueue* const queue = new MessagingQueue();
    return *queue;
}

void MessagingQueue::push(nlohmann::json message) {
    if (shutdown_flag.load()) return;
    {
        std::lock_guard lock(mutex);
        messages.push_back(std::move(message));
    }
    condition.notify_one();
}

std::optional<nlohmann::json> MessagingQueue::wait_and_pop() {
    std::unique_lock lock(mutex);
    condition.wait(lock, [this] { return !messages.empty() || shutdown_flag.load(); });
    if (messages.empty()) return std::nullopt;
    nlohmann::json message = std::move(messages.front());
    messages.pop_front();
    return message;
}

std::deque<nlohmann::json> MessagingQueue::wait_and_pop_all() {
    std::unique_lock lock(mutex);
    condition.wait(lock, [this] { return !messages.empty() || shutdown_flag.load(); });
    std::deque<nlohmann::json> taken;
    if (shutdown_flag.load()) {
        // Once shut down, hand out at most the one message a single pop would.
        if (!messages.empty()) {
            taken.push_back(std::move(messages.front()));
            messages.pop_front();
        }
        return taken;
    }
    taken.swap(messages);
    return taken;
}

void MessagingQueue::shutdown() {
    // The flag is set under the lock: a sender that has just found the queue
    // empty and open is then either before its test (and sees the flag) or
    // already waiting (and gets the notification). Unlocked, the wake-up could
    // fall between the two and the sender would wait for ever.
    {
        std::lock_guard lock(mutex);
        shutdown_flag.store(true);
    }
    condition.notify_all();
}

bool MessagingQueue::is_shutdown() const { return shutdown_flag.load(); }

}  // namespace Vorn_SCard_Bridge
