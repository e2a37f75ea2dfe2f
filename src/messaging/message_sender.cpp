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
#include "messaging/messaging_queue.h"

namespace Vorn_SCard_Bridge {

namespace {

constexpr std::size_t ECHO_LIMIT = 200;

Logger& logger() { return Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {}); }

std::string request_id_of(const nlohmann::json& message) {
    return message.value("requestId", std::string("unknown"));
}

template <typename Message>
void queue_message(Message&& message) {
    if (!logger().is_enabled(LogLevel::DEBUG)) {
        MessagingQueue::instance().push(std::forward<Message>(message));
        return;
    }
    const LogContext context("MessageQueue", "add_message", request_id_of(message));
    MessagingQueue::instance().push(std::forward<Message>(message));
    logger().debug("Message added to send queue", context);
}

// Writes all of `data`, resuming after partial writes and signals.
void write_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t wrote = ::write(fd, data.data() + done, data.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("write failed: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(wrote);
    }
}

struct Outgoing {
    std::string request_id;
    std::size_t size;
};

}  // namespace

void add_message_to_send_queue(const nlohmann::json& message) { queue_message(message); }

void add_message_to_send_queue(nlohmann::json&& message) { queue_message(std::move(message)); }

void send_message() { send_message_to(STDOUT_FILENO); }

void send_message_to(int fd) {
    Logger& log = logger();
    LogContext context("MessageSender", "send_message", "");
    log.info("Message sender thread started", context);
    MessagingQueue& queue = MessagingQueue::instance();

    std::string frames;
    std::vector<Outgoing> batch;
    while (!queue.is_shutdown()) {
        auto messages = queue.wait_and_pop_all();
        if (messages.empty()) continue;
        frames.clear();
        batch.clear();
        // Responses that are ready together leave together: one write for the
        // burst, each still its own frame in queue order.
        for (const nlohmann::json& message : messages) {
            try {
                std::string text;
                try {
                    text = message.dump();
                } catch (const nlohmann::json::type_error& e) {
                    // A string from the service that is not UTF-8 must not leave the
                    // extension waiting for ever: send it with replacement characters.
                    context.request_id = request_id_of(message);
                    log.warning(std::string("Response is not valid UTF-8, sending it with "
                                            "replacement characters: ") + e.what(),
                                context);
                    text = message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
                }
                if (text.size() > std::numeric_limits<std::uint32_t>::max()) {
                    throw std::length_error("response too large for one frame");
                }
                const auto length = static_cast<std::uint32_t>(text.size());
                context.request_id = request_id_of(message);
                if (log.is_enabled(LogLevel::DEBUG)) {
                    std::string echo = text.substr(0, ECHO_LIMIT);
                    if (text.size() > ECHO_LIMIT) echo += "...";
                    log.debug("Sending message: " + echo, context);
                }
                char header[sizeof length];
                std::memcpy(header, &length, sizeof length);
                frames.append(header, sizeof header);
                frames.append(text);
                batch.push_back({context.request_id, text.size()});
            } catch (const std::exception& e) {
                log.error(std::string("Error sending message: ") + e.what(), context);
            }
        }
        if (frames.empty()) continue;
        try {
            write_all(fd, frames);
            for (const Outgoing& sent : batch) {
                context.request_id = sent.request_id;
                log.info("Response sent successfully (size: " + std::to_string(sent.size) +
                             " bytes)",
                         context);
            }
        } catch (const std::exception& e) {
            log.error(std::string("Error sending message: ") + e.what(), context);
        }
    }
}

}  // namespace Vorn_SCard_Bridge
