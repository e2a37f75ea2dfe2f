#include "messaging/message_reader.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "logging/logger.h"
#include "messaging/frame_codec.h"

namespace Vorn_SCard_Bridge {

namespace {

constexpr std::size_t ECHO_LIMIT = 500;
constexpr std::size_t DISCARD_CHUNK = 64 * 1024;

int standard_input_wake_fd = -1;
std::function<void()> standard_input_before_wait;

// Reads until `size` bytes or the source stops; returns the count and the last status.
ReadResult read_exactly(ByteSource& source, std::uint8_t* buffer, std::size_t size) {
    std::size_t total = 0;
    while (total < size) {
        const ReadResult got = source.read_some(buffer + total, size - total);
        if (got.status != ReadStatus::OK) return {got.status, total, got.error};
        total += got.count;
    }
    return {ReadStatus::OK, total};
}

// Skips the text of a refused frame so that the next frame is read from its own
// length, never holding more than one chunk.
void discard_exactly(ByteSource& source, std::size_t size) {
    std::vector<std::uint8_t> sink(std::min(size, DISCARD_CHUNK));
    while (size > 0) {
        const ReadResult got = read_exactly(source, sink.data(), std::min(size, sink.size()));
        if (got.status != ReadStatus::OK) return;
        size -= got.count;
    }
}

std::string echo_of(const std::vector<std::uint8_t>& text) {
    std::string echo(text.begin(),
                     text.begin() + static_cast<std::ptrdiff_t>(std::min(text.size(), ECHO_LIMIT)));
    if (text.size() > ECHO_LIMIT) echo += "...";
    return echo;
}

// Keeps the members of the request object that say whom to answer and what was
// asked; everything else, however nested, is skipped without being built.
bool keep_envelope(int depth, nlohmann::json::parse_event_t event, nlohmann::json& parsed) {
    if (depth == 1 && event == nlohmann::json::parse_event_t::key) {
        return parsed == "requestId" || parsed == "command";
    }
    return true;
}

Logger& logger() { return Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {}); }

}  // namespace

bool json_nesting_exceeds(const std::uint8_t* text, std::size_t size, std::size_t limit) {
    std::size_t depth = 0;
    bool in_string = false;
    bool escaped = false;
    for (std::size_t i = 0; i < size; ++i) {
        const std::uint8_t c = text[i];
        if (in_string) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                in_string = false;
            }
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return true;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return false;
}

void set_standard_input_wake_fd(int wake_fd, std::function<void()> before_wait) {
    standard_input_wake_fd = wake_fd;
    standard_input_before_wait = std::move(before_wait);
}

ReadRequest read_request(const FrameAdmission& admit) {
    static FdByteSource standard_input(STDIN_FILENO, standard_input_wake_fd,
                                       standard_input_before_wait);
    return read_request(standard_input, admit);
}

std::optional<nlohmann::json> read_message() {
    ReadRequest read = read_request({});
    if (read.input_ended) return std::nullopt;
    return std::move(read.request);
}

std::optional<nlohmann::json> read_message(ByteSource& source) {
    ReadRequest read = read_request(source, {});
    if (read.input_ended) return std::nullopt;
    return std::move(read.request);
}

ReadRequest read_request(ByteSource& source, const FrameAdmission& admit) {
    ReadRequest read;
    nlohmann::json& result = read.request;
    Logger& log = logger();
    LogContext context("MessageReader", "read_message", "");
    try {
        log.debug("Reading message length", context);
        std::uint8_t length_bytes[framing::HEADER_SIZE];
        const ReadResult header = read_exactly(source, length_bytes, sizeof length_bytes);
        if (header.status == ReadStatus::END) {
            log.info("Pipe closed by Chrome, exiting...", context);
            read.input_ended = true;
            return read;
        }
        if (header.status == ReadStatus::FAILED) {
            // Not a passing condition: retrying would spin for ever.
            log.error(std::string("Failed to read message length: ") + std::strerror(header.error) +
                          ", exiting...",
                      context);
            read.input_ended = true;
            return read;
        }
        if (header.status != ReadStatus::OK) {
            log.debug("Failed to read message length, clearing cin state", context);
            return read;
        }
        const std::uint32_t length = framing::decode_length(length_bytes);

        if (length == 0) {
            log.warning("Zero length message received", context);
            return read;
        }
        if (length > MAX_MESSAGE_SIZE) {
            log.error("Message too large: " + std::to_string(length) +
                          " bytes (max: " + std::to_string(MAX_MESSAGE_SIZE) + ")",
                      context);
            discard_exactly(source, length);
            return read;
        }
        if (log.is_enabled(LogLevel::DEBUG)) {
            log.debug("Reading message content (length: " + std::to_string(length) + ")", context);
        }
        if (admit) read.admission = admit(length);
        const FrameReading reading = read.admission.reading;
        if (reading == FrameReading::STOP) return read;
        std::vector<std::uint8_t> text(length);
        const ReadResult body = read_exactly(source, text.data(), text.size());
        if (body.status != ReadStatus::OK) {
            log.error("Error reading full message. Expected: " + std::to_string(length) +
                          ", Got: " + std::to_string(body.count),
                      context);
            return read;
        }

        log.debug("Parsing JSON message", context);
        nlohmann::json parsed;
        try {
            if (json_nesting_exceeds(text.data(), text.size(), MAX_JSON_DEPTH)) {
                throw std::runtime_error("JSON nesting deeper than " +
                                         std::to_string(MAX_JSON_DEPTH) + " levels");
            }
            parsed = reading == FrameReading::WHOLE
                         ? nlohmann::json::parse(text.begin(), text.end())
                         : nlohmann::json::parse(text.begin(), text.end(), keep_envelope);
        } catch (const std::exception& e) {
            const std::string failure = std::string("Error parsing message: ") + e.what() +
                                        "\nText: " + echo_of(text) + "\n";
            log.error(failure, context);
            return read;
        }
        result = std::move(parsed);

        if (result.is_null()) {
            const std::string failure =
                "Error parsing message (null result)\nText: " + echo_of(text) + "\n";
            log.error(failure, context);
            return read;
        }

        // A request without "params" is served like one with an empty list: only a
        // missing command or id makes the frame incomplete (still handed on, so that
        // the dispatcher answers what it can).
        if (!result.contains("command") || !result.contains("requestId")) {
            std::string missing;
            for (const char* member : {"command", "requestId", "params"}) {
                if (reading == FrameReading::ENVELOPE && std::strcmp(member, "params") == 0) {
                    continue;
                }
                if (!result.contains(member)) missing += std::string(member) + " ";
            }
            log.error("Error incomplete message received. Missing: " + missing, context);
            return read;
        }

        // Any id is answered: an answer that its id makes too long for a browser is
        // dropped when it is written (frame_answer), and the log shows the id's start.
        context.request_id = result.at("requestId").get<std::string>();
        log.info("Message received and parsed successfully", context);
        return read;
    } catch (const std::exception& e) {
        // What the checks above did not log themselves (a request id of another type).
        log.error(e.what(), context);
        return read;
    }
}

}  // namespace Vorn_SCard_Bridge
