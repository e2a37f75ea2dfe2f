#include "support/error_handler.h"

#include "logging/logger.h"

namespace Vorn_SCard_Bridge {

ErrorHandler& ErrorHandler::get_instance() {
    static ErrorHandler* const instance = new ErrorHandler();
    return *instance;
}

void ErrorHandler::handle_error(const VornException& exception, const std::string& context) const {
    Logger& logger = Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {});
    const LogContext log_context("ErrorHandler", "handle_error", "");
    std::string line = "Error in " + exception.get_component() + "::" +
                       exception.get_operation() + " - " + exception.what();
    if (!context.empty()) line += " (Context: " + context + ")";
    switch (exception.get_category()) {
        case ErrorCategory::WARNING:
            logger.warning(line, log_context);
            break;
        case ErrorCategory::CRITICAL:
            logger.critical(line, log_context);
            break;
        default:
            logger.error(line, log_context);
            break;
    }
}

}  // namespace Vorn_SCard_Bridge
