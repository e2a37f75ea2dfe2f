#pragma once

#include <concepts>
#include <string>
#include <string_view>

#include "logging/logger.h"

namespace Vorn_SCard_Bridge {

// Where a command logs: the request's command text and log context.
struct CommandCall {
    const std::string& command;
    Logger& logger;
    const LogContext& log_context;

    void debug(std::string_view message) const { logger.debug(message, log_context); }
    // For a text that costs something to build: built only when debug lines are written.
    template <std::invocable MakeText>
    void debug(MakeText make_text) const {
        if (debug_enabled()) logger.debug(make_text(), log_context);
    }
    void info(std::string_view message) const { logger.info(message, log_context); }
    // Built only when information lines are written.
    template <std::invocable MakeText>
    void info(MakeText make_text) const {
        if (logger.is_enabled(LogLevel::INFO)) logger.info(make_text(), log_context);
    }
    void error(std::string_view message) const { logger.error(message, log_context); }
    bool debug_enabled() const { return logger.is_enabled(LogLevel::DEBUG); }
};

}  // namespace Vorn_SCard_Bridge
