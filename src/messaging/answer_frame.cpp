#include "messaging/answer_frame.h"

#include <exception>

#include "logging/logger.h"
#include "messaging/frame_codec.h"

namespace Vorn_SCard_Bridge {

namespace {

constexpr std::size_t ECHO_LIMIT = 200;
constexpr const char* INSUFFICIENT_BUFFER = "0x80100008";

Logger& logger() { return Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {}); }

std::string text_of(const nlohmann::json& answer, const LogContext& context) {
    try {
        return answer.dump();
    } catch (const nlohmann::json::type_error& e) {
        logger().warning(std::string("Response is not valid UTF-8, sending it with "
                                     "replacement characters: ") +
                             e.what(),
                         context);
        return answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
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
        std::string text = text_of(answer, context);
        if (text.size() > MAX_ANSWER_SIZE) {
            const std::string size = std::to_string(text.size());
            text =
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
        }
        if (log.is_enabled(LogLevel::DEBUG)) {
            std::string echo = text.substr(0, ECHO_LIMIT);
            if (text.size() > ECHO_LIMIT) echo += "...";
            log.debug("Sending message: " + echo, context);
        }
        return framing::encode_frame(text);
    } catch (const std::exception& e) {
        log.error(std::string("Error sending message: ") + e.what(), context);
        return std::nullopt;
    }
}

}  // namespace Vorn_SCard_Bridge
