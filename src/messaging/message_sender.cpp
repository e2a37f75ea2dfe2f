#include "messaging/message_sender.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/logger.h"
#include "messaging/frame_codec.h"
#include "messaging/messaging_queue.h"
#include "platform/fd_writes.h"
#include "platform/nonblocking_output.h"

namespace Vorn_SCard_Bridge {

namespace {

// Frames gathered by one system call, at most.
constexpr std::size_t PIECES = 64;

Logger& logger() { return Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {}); }

void queue_message(const nlohmann::json& message, RequestBudget::Token token) {
    // Throws for what is no answer: not an object, or a requestId that is not text.
    const std::string request_id = message.value("requestId", std::string("unknown"));
    MessagingQueue::instance().push(message, std::move(token));
    if (logger().is_enabled(LogLevel::DEBUG)) {
        logger().debug("Message added to send queue",
                       LogContext("MessageQueue", "add_message", request_id));
    }
}

// Where the responses go once the threads that finish them may write them
// (share_output), and whether it still takes them.
struct Output {
    std::atomic<int> fd{-1};
    std::atomic<bool> broken{false};
    std::mutex mutex;
    std::function<void()> on_broken;
    bool broken_reported = false;
};

Output& output() {
    // Never destroyed: a worker still inside a long call at exit may write.
    static Output* const shared = new Output();
    return *shared;
}

// Runs the sender's `on_broken` once the output is broken, whichever thread saw it.
void report_broken() {
    Output& out = output();
    std::function<void()> notify;
    {
        const std::lock_guard lock(out.mutex);
        if (!out.broken.load() || out.broken_reported || !out.on_broken) return;
        out.broken_reported = true;
        notify = out.on_broken;
    }
    notify();
}

// Frames that will never be written leave the queue's count (and the budget).
void drop(std::deque<OutgoingResponse>& batch) {
    for (const OutgoingResponse& response : batch) {
        MessagingQueue::instance().sent(response.frame.size());
    }
    batch.clear();
}

void output_failed(std::deque<OutgoingResponse>& batch, LogContext& context) {
    // A frame is written whole or not at all: a stream that failed in the middle of
    // one is of no use to the browser any more.
    if (!batch.empty()) {
        context.request_id =
            batch.front().request_id.empty() ? "unknown" : batch.front().request_id;
    }
    logger().error(std::string("Error sending message: write failed: ") + std::strerror(errno),
                   context);
    drop(batch);
    output().broken.store(true);
    report_broken();
}

enum class BatchWrite { DONE, WOULD_WAIT, FAILED };

// Writes the frames of `batch` in order, each whole, several per system call
// without joining them into one buffer; a frame leaves the batch (its bytes, its
// budget) as soon as it is written. Without `may_wait`, an output that takes
// nothing at a frame's start ends it (WOULD_WAIT) with the rest of the batch kept;
// once part of a frame is written the rest follows, waiting if need be.
BatchWrite write_batch(int fd, std::deque<OutgoingResponse>& batch, bool may_wait,
                       LogContext& context) {
    MessagingQueue& queue = MessagingQueue::instance();
    std::size_t offset = 0;  // bytes of the first frame already written
    std::string_view pieces[PIECES];
    while (!batch.empty()) {
        std::size_t count = 0;
        for (auto it = batch.begin(); it != batch.end() && count < PIECES; ++it) {
            pieces[count++] = it->frame;
        }
        pieces[0].remove_prefix(offset);
        const long wrote = platform::write_pieces(fd, pieces, count);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return BatchWrite::FAILED;
            if (!may_wait && offset == 0) return BatchWrite::WOULD_WAIT;
            if (platform::wait_writable(fd, -1) < 0 && errno != EINTR) return BatchWrite::FAILED;
            continue;
        }
        for (auto left = static_cast<std::size_t>(wrote); left > 0;) {
            OutgoingResponse& front = batch.front();
            const std::size_t rest = front.frame.size() - offset;
            if (left < rest) {
                offset += left;
                break;
            }
            left -= rest;
            offset = 0;
            context.request_id = front.request_id.empty() ? "unknown" : front.request_id;
            logger().info("Response sent successfully (size: " +
                              std::to_string(front.frame.size() - framing::HEADER_SIZE) + " bytes)",
                          context);
            const std::size_t size = front.frame.size();
            batch.pop_front();
            queue.sent(size);
        }
    }
    return BatchWrite::DONE;
}

std::size_t size_of(const std::deque<OutgoingResponse>& batch) {
    std::size_t size = 0;
    for (const OutgoingResponse& response : batch) size += response.frame.size();
    return size;
}

}  // namespace

void add_message_to_send_queue(const nlohmann::json& message) { queue_message(message, {}); }

void add_message_to_send_queue(nlohmann::json&& message) {
    // The JSON goes as soon as its frame is made.
    const nlohmann::json owned = std::move(message);
    queue_message(owned, {});
}

void add_message_to_send_queue(nlohmann::json&& message, RequestBudget::Token token) {
    const nlohmann::json owned = std::move(message);
    queue_message(owned, std::move(token));
}

void send_message() { send_message_to(STDOUT_FILENO); }

bool share_output(int fd) {
    if (fd < 0) {
        MessagingQueue::instance().set_writers_take_turns(false);
        output().fd.store(-1);
        return false;
    }
    // A write the reader is not ready for must fail at once instead of holding the
    // thread that finished the response; where it cannot, the sender writes all.
    if (!platform::make_output_nonblocking(fd)) return false;
    output().fd.store(fd);
    MessagingQueue::instance().set_writers_take_turns(true);
    return true;
}

void write_ready_responses() {
    const int fd = output().fd.load();
    if (fd < 0) return;
    MessagingQueue& queue = MessagingQueue::instance();
    LogContext context("MessageSender", "send_message", "");
    for (;;) {
        std::deque<OutgoingResponse> messages = queue.take_unless_writing();
        if (messages.empty()) return;
        if (output().broken.load()) {
            drop(messages);
            queue.batch_written();
            continue;
        }
        // Up to PIPE_BUF bytes a pipe takes whole or not at all; more could take
        // part of it and leave this thread waiting for the rest.
        if (size_of(messages) > platform::whole_write_size()) {
            queue.hand_back(std::move(messages));
            return;
        }
        switch (write_batch(fd, messages, false, context)) {
            case BatchWrite::WOULD_WAIT:
                queue.hand_back(std::move(messages));
                return;
            case BatchWrite::FAILED:
                output_failed(messages, context);
                break;
            case BatchWrite::DONE:
                break;
        }
        queue.batch_written();
    }
}

void send_message_to(int fd, const std::function<void()>& on_broken) {
    Logger& log = logger();
    LogContext context("MessageSender", "send_message", "");
    log.info("Message sender thread started", context);
    MessagingQueue& queue = MessagingQueue::instance();
    {
        const std::lock_guard lock(output().mutex);
        output().on_broken = on_broken;
        output().broken.store(false);
        output().broken_reported = false;
    }

    for (;;) {
        auto messages = queue.wait_and_pop_all();
        if (messages.empty()) break;  // shut down, and everything written
        if (output().broken.load()) {
            // Nobody reads any more: the answers go, and with them their share of
            // the budget.
            drop(messages);
        } else if (write_batch(fd, messages, true, context) == BatchWrite::FAILED) {
            output_failed(messages, context);
        }
        queue.batch_written();
        log.flush();
    }
    // Who asked to hear of a broken output may be gone with its run.
    const std::lock_guard lock(output().mutex);
    output().on_broken = {};
}

}  // namespace Vorn_SCard_Bridge
