#include "processing/process_message.h"

#include <exception>
#include <string>
#include <utility>

#include "logging/logger.h"
#include "messaging/message_sender.h"
#include "processing/command_table.h"
#include "scard/pcsc_service.h"
#include "support/codecs.h"
#include "support/exceptions.h"

namespace Vorn_SCard_Bridge {

namespace {

constexpr std::size_t ECHO_LIMIT = 500;

Logger& logger() { return Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {}); }

nlohmann::json error_result(std::int32_t code, const std::string& message) {
    return nlohmann::json::array({to_hex(code), message});
}

// The envelope as the extension's requests are checked: "requestId" and "command"
// texts when present (another type makes the request unreadable), then a requestId
// that is there and not empty.
void read_envelope(nlohmann::json& message, ParsedRequest& parsed) {
    using Envelope = ParsedRequest::Envelope;
    if (message.is_null()) {
        parsed.envelope = Envelope::NULL_MESSAGE;
        return;
    }
    try {
        parsed.request_id = message.value("requestId", std::string("unknown"));
        parsed.command = message.value("command", std::string("unknown"));
    } catch (const std::exception& e) {
        parsed.envelope = Envelope::UNREADABLE;
        parsed.failure = e.what();
        return;
    }
    try {
        if (logger().is_enabled(LogLevel::DEBUG)) {
            const std::string raw = message.dump();
            parsed.raw_echo = raw.substr(0, ECHO_LIMIT) + (raw.size() > ECHO_LIMIT ? "..." : "");
        }
        if (message["requestId"].get<std::string>().empty()) parsed.envelope = Envelope::NO_ID;
    } catch (const std::exception& e) {
        parsed.envelope = Envelope::UNREADABLE_STARTED;
        parsed.failure = e.what();
    }
}

}  // namespace

ParsedRequest parse_request(nlohmann::json message, const CommandRow* row) {
    ParsedRequest parsed;
    read_envelope(message, parsed);
    parsed.row = row;
    // Also for an unusable envelope: where a request runs depends on its ids alone.
    if (row != nullptr && row->call != nullptr && message.is_object()) {
        const auto params = message.find("params");
        nlohmann::json none;
        parsed.args.emplace(*row, parsed.command, params != message.end() ? *params : none);
    }
    return parsed;
}

void process_request(const ParsedRequest& request, const ResponseDelivery& deliver) {
    using Envelope = ParsedRequest::Envelope;
    Logger& log = logger();
    LogContext context("MessageProcessor", "process_message", "");
    if (request.envelope == Envelope::NULL_MESSAGE) {
        log.error("Null message received in process_message", context);
        return;
    }
    if (request.envelope == Envelope::UNREADABLE) {
        log.error("Message parsing failed: " + request.failure, context);
        return;
    }
    context.operation = request.command;
    context.request_id = request.request_id;
    log.info("Starting message processing", context);
    if (request.raw_echo) log.debug("Raw message received: " + *request.raw_echo, context);
    if (request.envelope == Envelope::UNREADABLE_STARTED) {
        log.error("Message parsing failed: " + request.failure, context);
        return;
    }
    if (request.envelope == Envelope::NO_ID) {
        log.error("Missing or invalid 'requestId' field", context);
        return;
    }
    log.debug("Message validation passed", context);

    const std::string& command = request.command;
    nlohmann::json result = "command_not_supported";
    const char* status = "error";
    try {
        log.debug("Initializing response structure", context);
        if (log.is_enabled(LogLevel::INFO)) log.info("Processing command: " + command, context);
        const CommandRow* row = request.row;
        if (row != nullptr && row->call != nullptr && request.args) {
            result = run_command(*row, *request.args, CommandCall{command, log, context});
            status = "success";
        } else {
            log.warning("Unsupported command received: " + command, context);
        }
        log.info("Command processing completed successfully", context);
    } catch (const VornSCardException& e) {
        const std::string code = to_hex(e.error_code);
        log.error("SmartCard error in " + command + ": " + e.message + " (code: " + code + ")",
                  context);
        status = "error";
        result = error_result(e.error_code, e.message);
    } catch (const std::exception& e) {
        log.error("General error in " + command + ": " + e.what(), context);
        status = "error";
        result = error_result(pcsc::F_UNKNOWN_ERROR, e.what());
    }

    log.debug("Preparing to send response for request", context);
    if (log.is_enabled(LogLevel::DEBUG)) {
        log.debug(std::string("Response status: ") + status, context);
    }
    nlohmann::json::object_t response;
    response.emplace("requestId", request.request_id);
    response.emplace("status", status);
    response.emplace("result", std::move(result));
    deliver(nlohmann::json(std::move(response)));
    log.info("Message processing fully completed", context);
}

void process_message(nlohmann::json message) {
    process_message(std::move(message), [](nlohmann::json&& response) {
        add_message_to_send_queue(std::move(response));
    });
}

void process_message(nlohmann::json message, const ResponseDelivery& deliver) {
    const CommandRow* row = nullptr;
    if (message.is_object()) {
        const auto command = message.find("command");
        if (command != message.end() && command->is_string()) {
            row = find_command(command->get_ref<const std::string&>());
        }
    }
    process_request(parse_request(std::move(message), row), deliver);
}

}  // namespace Vorn_SCard_Bridge
