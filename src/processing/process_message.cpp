#include "processing/process_message.h"

#include <exception>
#include <string>

#include "logging/logger.h"
#include "messaging/message_sender.h"
#include "processing/command_args.h"
#include "processing/command_table.h"
#include "scard/pcsc_service.h"
#include "support/codecs.h"
#include "support/exceptions.h"

namespace Vorn_SCard_Bridge {

namespace {

constexpr std::size_t ECHO_LIMIT = 500;

nlohmann::json error_result(std::int32_t code, const std::string& message) {
    return nlohmann::json::array({to_hex(code), message});
}

}  // namespace

void process_message(nlohmann::json message) {
    process_message(std::move(message), [](nlohmann::json&& response) {
        add_message_to_send_queue(std::move(response));
    });
}

void process_message(nlohmann::json message, const ResponseDelivery& deliver) {
    Logger& logger = Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {});
    std::string request_id = "unknown";
    std::string command = "unknown";
    LogContext context("MessageProcessor", "process_message", "");

    if (message.is_null()) {
        logger.error("Null message received in process_message", context);
        return;
    }

    try {
        request_id = message.value("requestId", std::string("unknown"));
        command = message.value("command", std::string("unknown"));
        context.operation = command;
        context.request_id = request_id;
        logger.info("Starting message processing", context);
        if (logger.is_enabled(LogLevel::DEBUG)) {
            const std::string raw = message.dump();
            logger.debug("Raw message received: " + raw.substr(0, ECHO_LIMIT) +
                             (raw.size() > ECHO_LIMIT ? "..." : ""),
                         context);
        }
        if (message["requestId"].get<std::string>().empty()) {
            logger.error("Missing or invalid 'requestId' field", context);
            return;
        }
        logger.debug("Message validation passed", context);
    } catch (const std::exception& e) {
        logger.error(std::string("Message parsing failed: ") + e.what(), context);
        return;
    }

    nlohmann::json response;
    try {
        logger.debug("Initializing response structure", context);
        response["requestId"] = request_id;
        response["status"] = "error";
        response["result"] = "command_not_supported";
        logger.info("Processing command: " + command, context);

        static const nlohmann::json no_params;
        const auto params = message.find("params");
        const CommandCall call{command, params != message.end() ? *params : no_params, logger,
                               context};
        const CommandRow* row = find_command(command);
        if (row != nullptr && row->call != nullptr) {
            response["result"] = run_command(*row, call);
            response["status"] = "success";
        } else {
            logger.warning("Unsupported command received: " + command, context);
        }
        logger.info("Command processing completed successfully", context);
    } catch (const VornSCardException& e) {
        const std::string code = to_hex(e.error_code);
        logger.error("SmartCard error in " + command + ": " + e.message + " (code: " + code + ")",
                     context);
        response["status"] = "error";
        response["result"] = error_result(e.error_code, e.message);
    } catch (const std::exception& e) {
        logger.error("General error in " + command + ": " + e.what(), context);
        response["status"] = "error";
        response["result"] = error_result(pcsc::F_UNKNOWN_ERROR, e.what());
    }

    logger.debug("Preparing to send response for request", context);
    if (logger.is_enabled(LogLevel::DEBUG)) {
        logger.debug("Response status: " + response.value("status", std::string("unknown")),
                     context);
    }
    deliver(std::move(response));
    logger.info("Message processing fully completed", context);
}

}  // namespace Vorn_SCard_Bridge
