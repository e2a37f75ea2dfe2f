#include "messaging/message_sender.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <string>

#include "logging/logger.h"
#include "messaging/frame_codec.h"
#include "messaging/messaging_queue.h"
#include "platform/nonblocking_output.h"

namespace Vorn_SCard_Bridge {

namespace {

constexpr std::size_t ECHO_LIMIT = 200;

Logger& logger() { return Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {}); }

std::string request_id_of(const nlohmann::json& message) {
    return message.value("requestId", std::string("unknown"));
}

void queue_message(nlohmann::json message, RequestBudget::Token token) {
    if (!logger().is_enabled(LogLevel::DEBUG)) {
        MessagingQueue::instance().push(std::move(message), std::move(token));
        return;
    }
    const LogContext context("MessageQueue", "add_message", request_id_of(message));
    MessagingQueue::instance().push(std::move(message), std::move(token));
    logger().debug("Message added to send queue", context);
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

void output_failed(LogContext& context) {
    // A frame is written whole or not at all: a stream that failed in the middle of
    // one is of no use to the browser any more.
    logger().error(std::string("Error sending message: write failed: ") + std::strerror(errno),
                   context);
    output().broken.store(true);
    report_broken();
}

// Makes the frame of each message that has none yet, in queue order, and returns
// them all; a message that cannot be sent is logged and dropped.
std::string frames_of(std::deque<OutgoingResponse>& messages, LogContext& context) {
    Logger& log = logger();
    std::string frames;
    for (auto it = messages.begin(); it != messages.end();) {
        if (it->frame.empty()) {
            const nlohmann::json& message = it->message;
            context.request_id = request_id_of(message);
            try {
                std::string text;
                try {
                    text = message.dump();
                } catch (const nlohmann::json::type_error& e) {
                    // A string from the service that is not UTF-8 must not leave the
                    // extension waiting for ever: send it with replacement characters.
                    log.warning(std::string("Response is not valid UTF-8, sending it with "
                                            "replacement characters: ") +
                                    e.what(),
                                context);
                    text = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
                }
                if (log.is_enabled(LogLevel::DEBUG)) {
                    std::string echo = text.substr(0, ECHO_LIMIT);
                    if (text.size() > ECHO_LIMIT) echo += "...";
                    log.debug("Sending message: " + echo, context);
                }
                framing::append_frame(it->frame, text);
            } catch (const std::exception& e) {
                log.error(std::string("Error sending message: ") + e.what(), context);
                it = messages.erase(it);
                continue;
            }
        }
        frames += it->frame;
        ++it;
    }
    return frames;
}

void log_sent(const std::deque<OutgoingResponse>& messages, LogContext& context) {
    for (const OutgoingResponse& sent : messages) {
        context.request_id = request_id_of(sent.message);
        logger().info("Response sent successfully (size: " +
                          std::to_string(sent.frame.size() - framing::HEADER_SIZE) + " bytes)",
                      context);
    }
}

}  // namespace

void add_message_to_send_queue(const nlohmann::json& message) { queue_message(message, {}); }

void add_message_to_send_queue(nlohmann::json&& message) { queue_message(std::move(message), {}); }

void add_message_to_send_queue(nlohmann::json&& message, RequestBudget::Token token) {
    queue_message(std::move(message), std::move(token));
}

void send_message() { send_message_to(STDOUT_FILENO); }

bool share_output(int fd) {
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
            messages.clear();
            queue.batch_written();
            continue;
        }
        const std::string frames = frames_of(messages, context);
        // Up to PIPE_BUF bytes a pipe takes whole or not at all; more could take
        // part of it and leave this thread waiting for the rest.
        if (frames.size() > platform::whole_write_size()) {
            queue.hand_back(std::move(messages));
            return;
        }
        ssize_t written = 0;
        if (!frames.empty()) {
            do {
                written = ::write(fd, frames.data(), frames.size());
            } while (written < 0 && errno == EINTR);
        }
        if (written < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            queue.hand_back(std::move(messages));
            return;
        }
        // A socket may take part of it: the rest follows at once, as the sender would.
        if (written < 0 || (static_cast<std::size_t>(written) < frames.size() &&
                            !framing::write_all(fd, std::string_view(frames).substr(
                                                        static_cast<std::size_t>(written))))) {
            output_failed(context);
        } else {
            log_sent(messages, context);
        }
        messages.clear();
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
    }
    report_broken();

    for (;;) {
        auto messages = queue.wait_and_pop_all();
        if (messages.empty()) return;  // shut down, and everything written
        if (output().broken.load()) {
            // Nobody reads any more: the answers go, and with them their share of
            // the budget.
            messages.clear();
            queue.batch_written();
            continue;
        }
        // Responses that are ready together leave together: one write for the
        // burst, each still its own frame in queue order.
        const std::string frames = frames_of(messages, context);
        if (!frames.empty()) {
            if (framing::write_all(fd, frames)) {
                log_sent(messages, context);
            } else {
                output_failed(context);
            }
        }
        messages.clear();
        queue.batch_written();
        log.flush();
    }
}

}  // namespace Vorn_SCard_Bridge
