#include "messaging/answer_frame.h"

#include <cstdint>
#include <exception>
#include <string_view>

#include "logging/logger.h"
#include "messaging/frame_codec.h"

namespace Vorn_SCard_Bridge {

namespace {

constexpr std::size_t ECHO_LIMIT = 200;
constexpr const char* INSUFFICIENT_BUFFER = "0x80100008";

Logger& logger() { return Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {}); }

// Appends the compact text of `answer` to `out`.
void append_text(std::string& out, const nlohmann::json& answer,
                 nlohmann::json::error_handler_t on_bad_utf8) {
    nlohmann::detail::serializer<nlohmann::json> text(
        nlohmann::detail::output_adapter<char, std::string>(out), ' ', on_bad_utf8);
    text.dump(answer, false, false, 0);
}

// The frame of `answer`: its text written once, straight after room for the header.
std::string frame_of(const nlohmann::json& answer, const LogContext& context) {
    std::string frame(framing::HEADER_SIZE, '\0');
    try {
        append_text(frame, answer, nlohmann::json::error_handler_t::strict);
    } catch (const nlohmann::json::type_error& e) {
        logger().warning(std::string("Response is not valid UTF-8, sending it with "
                                     "replacement characters: ") +
                             e.what(),
                         context);
        frame.resize(framing::HEADER_SIZE);
        append_text(frame, answer, nlohmann::json::error_handler_t::replace);
    }
    const std::string header =
        framing::encode_header(static_cast<std::uint32_t>(frame.size() - framing::HEADER_SIZE));
    frame.replace(0, framing::HEADER_SIZE, header);
    return frame;
}

}  // namespace

std::string request_id_of(const nlohmann::json& answer) {
    if (!answer.is_object()) return {};
    const auto found = answer.find("requestId");
    return found != answer.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::optional<std::string> frame_answer(const nlohmann::json& answer) {
    Logger& log = logger();
    const std::string request_id = request_id_of(answer);
    const LogContext context("MessageSender", "send_message",
                             request_id.empty() ? "unknown" : request_id);
    try {
        std::string frame = frame_of(answer, context);
        if (frame.size() - framing::HEADER_SIZE > MAX_ANSWER_SIZE) {
            const std::string size = std::to_string(frame.size() - framing::HEADER_SIZE);
            const std::string text =
                nlohmann::json{
                    {"requestId", request_id},
                    {"status", "error"},
                    {"result",
                     {INSUFFICIENT_BUFFER, "The answer of " + size + " bytes is longer than the " +
                                               std::to_string(MAX_ANSWER_SIZE) +
                                               " bytes a browser takes from the host"}}}
                    .dump();
            if (request_id.empty() || text.size() > MAX_ANSWER_SIZE) {
                log.error("Response of " + size + " bytes dropped: longer than a browser takes",
                          context);
                return std::nullopt;
            }
            log.error("Response of " + size + " bytes replaced by an error: longer than a " +
                          "browser takes",
                      context);
            frame = framing::encode_frame(text);
        }
        if (log.is_enabled(LogLevel::DEBUG)) {
            const std::string_view text = std::string_view(frame).substr(framing::HEADER_SIZE);
            std::string echo(text.substr(0, ECHO_LIMIT));
            if (text.size() > ECHO_LIMIT) echo += "...";
            log.debug("Sending message: " + echo, context);
        }
        return frame;
    } catch (const std::exception& e) {
        log.error(std::string("Error sending message: ") + e.what(), context);
        return std::nullopt;
    }
}

}  // namespace Vorn_SCard_Bridge
