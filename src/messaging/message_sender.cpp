#include "messaging/message_sender.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "logging/logger.h"
#include "messaging/frame_codec.h"
#include "messaging/messaging_queue.h"

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

struct Outgoing {
    std::string request_id;
    std::size_t size;
};

}  // namespace

void add_message_to_send_queue(const nlohmann::json& message) { queue_message(message, {}); }

void add_message_to_send_queue(nlohmann::json&& message) { queue_message(std::move(message), {}); }

void add_message_to_send_queue(nlohmann::json&& message, RequestBudget::Token token) {
    queue_message(std::move(message), std::move(token));
}

void send_message() { send_message_to(STDOUT_FILENO); }

void send_message_to(int fd, const std::function<void()>& on_broken) {
    Logger& log = logger();
    LogContext context("MessageSender", "send_message", "");
    log.info("Message sender thread started", context);
    MessagingQueue& queue = MessagingQueue::instance();

    std::string frames;
    std::vector<Outgoing> batch;
    bool broken = false;
    for (;;) {
        auto messages = queue.wait_and_pop_all();
        if (messages.empty()) return;  // shut down, and everything written
        if (broken) {
            // Nobody reads any more: the answers go, and with them their share of
            // the budget.
            messages.clear();
            queue.batch_written();
            continue;
        }
        frames.clear();
        batch.clear();
        // Responses that are ready together leave together: one write for the
        // burst, each still its own frame in queue order.
        for (const OutgoingResponse& outgoing : messages) {
            const nlohmann::json& message = outgoing.message;
            try {
                std::string text;
                try {
                    text = message.dump();
                } catch (const nlohmann::json::type_error& e) {
                    // A string from the service that is not UTF-8 must not leave the
                    // extension waiting for ever: send it with replacement characters.
                    context.request_id = request_id_of(message);
                    log.warning(std::string("Response is not valid UTF-8, sending it with "
                                            "replacement characters: ") +
                                    e.what(),
                                context);
                    text = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
                }
                context.request_id = request_id_of(message);
                if (log.is_enabled(LogLevel::DEBUG)) {
                    std::string echo = text.substr(0, ECHO_LIMIT);
                    if (text.size() > ECHO_LIMIT) echo += "...";
                    log.debug("Sending message: " + echo, context);
                }
                framing::append_frame(frames, text);
                batch.push_back({context.request_id, text.size()});
            } catch (const std::exception& e) {
                log.error(std::string("Error sending message: ") + e.what(), context);
            }
        }
        if (!frames.empty()) {
            if (framing::write_all(fd, frames)) {
                for (const Outgoing& sent : batch) {
                    context.request_id = sent.request_id;
                    log.info("Response sent successfully (size: " + std::to_string(sent.size) +
                                 " bytes)",
                             context);
                }
            } else {
                // A frame is written whole or not at all: a stream that failed in the
                // middle of one is of no use to the browser any more.
                log.error(
                    std::string("Error sending message: write failed: ") + std::strerror(errno),
                    context);
                broken = true;
                if (on_broken) on_broken();
            }
        }
        messages.clear();
        queue.batch_written();
    }
}

}  // namespace Vorn_SCard_Bridge
