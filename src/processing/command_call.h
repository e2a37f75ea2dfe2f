#pragma once

#include <concepts>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "logging/logger.h"

namespace Vorn_SCard_Bridge {

// What a command gets: the request's command text and "params", and the
// request's log context.
struct CommandCall {
    const std::string& command;
    const nlohmann::json& params;
    Logger& logger;
    const LogContext& log_context;

    void debug(std::string_view message) const { logger.debug(message, log_context); }
    // For a text that costs something to build: built only when debug lines are written.
    template <std::invocable MakeText>
    void debug(MakeText make_text) const {
        if (debug_enabled()) logger.debug(make_text(), log_context);
    }
    void info(std::string_view message) const { logger.info(message, log_context); }
    void error(std::string_view message) const { logger.error(message, log_context); }
    bool debug_enabled() const { return logger.is_enabled(LogLevel::DEBUG); }
};

}  // namespace Vorn_SCard_Bridge
