#include "messaging/messaging_queue.h"

#include <algorithm>
#include <utility>

#include "messaging/answer_frame.h"
#include "messaging/frame_codec.h"

namespace Vorn_SCard_Bridge {

nlohmann::json OutgoingResponse::message() const {
    if (frame.size() < framing::HEADER_SIZE) return nullptr;
    return nlohmann::json::parse(frame.begin() + framing::HEADER_SIZE, frame.end(), nullptr, false);
}

MessagingQueue& MessagingQueue::instance() {
    // Never destroyed: a worker still inside a long call at exit may push.
    static MessagingQueue* const queue = new MessagingQueue();
    return *queue;
}

void MessagingQueue::push(const nlohmann::json& message, RequestBudget::Token token) {
    if (shutdown_flag.load()) return;
    std::optional<std::string> frame = frame_answer(message);
    if (!frame) return;
    token.answered(frame->size());
    push_frame({std::move(*frame), request_id_of(message), std::move(token)});
}

void MessagingQueue::push_frame(OutgoingResponse response) {
    bool wake = false;
    {
        std::lock_guard lock(mutex);
        if (shutdown_flag.load()) return;
        unwritten += response.frame.size();
        messages.push_back(std::move(response));
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
    const OutgoingResponse popped = std::move(messages.front());
    messages.pop_front();
    const bool drained = messages.empty();
    lock.unlock();
    sent(popped.frame.size());
    if (drained) written_condition.notify_all();
    return popped.message();
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

void MessagingQueue::sent(std::size_t bytes) {
    std::function<void()> notify;
    {
        std::lock_guard lock(mutex);
        unwritten -= std::min(bytes, unwritten);
        if (room_wanted && unwritten <= MAX_UNWRITTEN_BYTES / 2) {
            room_wanted = false;
            notify = on_room;
        }
    }
    if (notify) notify();
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

void MessagingQueue::reopen() {
    std::deque<OutgoingResponse> left;
    {
        std::lock_guard lock(mutex);
        left.swap(messages);
        writing = false;
        handed_to_sender = false;
        unwritten = 0;
        room_wanted = false;
        shutdown_flag.store(false);
    }
    // Their tokens go back to the budgets of the run that queued them.
}

bool MessagingQueue::over_unwritten_bound() {
    std::lock_guard lock(mutex);
    if (unwritten <= MAX_UNWRITTEN_BYTES) return false;
    room_wanted = true;
    return true;
}

std::size_t MessagingQueue::unwritten_bytes() const {
    std::lock_guard lock(mutex);
    return unwritten;
}

void MessagingQueue::set_on_room(std::function<void()> on_room_) {
    std::lock_guard lock(mutex);
    on_room = std::move(on_room_);
}

}  // namespace Vorn_SCard_Bridge
