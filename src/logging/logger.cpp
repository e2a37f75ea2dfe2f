#include "logging/logger.h"

#include <spdlog/sinks/ansicolor_sink.h>
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/syslog_sink.h>
#include <spdlog/spdlog.h>

#include <exception>
#include <system_error>

#include "logging/log_escape.h"
#include "logging/log_location.h"

namespace Vorn_SCard_Bridge {

namespace {

const char* const LOGGER_NAME = "VornSmartCardBridge";
const char* const TEMP_LOGGER_NAME = "VornSmartCardBridge.temp";
const char* const SYSLOG_IDENT = "VornSmartCardBridge";
constexpr int SYSLOG_FACILITY_USER = 8;

spdlog::level::level_enum to_spd_level(LogLevel level) {
    switch (level) {
        case LogLevel::DEBUG:
            return spdlog::level::debug;
        case LogLevel::INFO:
            return spdlog::level::info;
        case LogLevel::WARNING:
            return spdlog::level::warn;
        case LogLevel::ERROR:
            return spdlog::level::err;
        case LogLevel::CRITICAL:
            return spdlog::level::critical;
    }
    return spdlog::level::info;
}

}  // namespace

LogDestination operator|(LogDestination a, LogDestination b) {
    return static_cast<LogDestination>(static_cast<std::uint8_t>(a) | static_cast<std::uint8_t>(b));
}

bool has_destination(LogDestination set, LogDestination flag) {
    return (static_cast<std::uint8_t>(set) & static_cast<std::uint8_t>(flag)) != 0;
}

Logger& Logger::get_instance(LogLevel level, LogDestination destinations,
                             const std::filesystem::path& path) {
    // Never destroyed: worker threads that are still inside a long PC/SC call
    // when the process exits may log on their way out.
    static Logger* const instance = new Logger(level, destinations, path);
    return *instance;
}

Logger::Logger(LogLevel level_, LogDestination destinations, const std::filesystem::path& path)
    : level(level_), default_destinations(destinations), level_value(level_) {
    if (!path.empty() && has_destination(destinations, LogDestination::FILE)) {
        // A log directory that cannot be made must not keep the host from serving:
        // the other sinks still work.
        try {
            log_file_path = get_log_file_path(path);
        } catch (const std::exception& e) {
            file_problem = e.what();
        }
    } else if (!path.empty()) {
        log_file_path = get_log_file_path(path);
    }
    std::lock_guard lock(mutex);
    configure_sinks_unlocked(default_destinations, log_file_path);
    if (!file_problem.empty()) {
        spd_logger->log(
            spdlog::level::warn, "{}",
            escape_for_log("Log file unavailable, logging without it: " + file_problem));
    }
}

std::shared_ptr<spdlog::sinks::sink> Logger::shared_sink_unlocked(
    LogDestination flag, const std::filesystem::path& path) {
    switch (flag) {
        case LogDestination::CONSOLE:
            if (!console_sink) {
                console_sink = std::make_shared<spdlog::sinks::ansicolor_stderr_sink_mt>(
                    spdlog::color_mode::automatic);
            }
            return console_sink;
        case LogDestination::FILE:
            if (!file_sink && file_problem.empty()) {
                std::error_code ignored;
                std::filesystem::create_directories(path.parent_path(), ignored);
                try {
                    file_sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(
                        path.string(), MAX_LOG_FILE_SIZE, MAX_NUM_OF_LOGS, true);
                } catch (const std::exception& e) {
                    file_problem = e.what();
                }
            }
            return file_sink;
        case LogDestination::SYSLOG:
            if (!syslog_sink) {
                syslog_sink = std::make_shared<spdlog::sinks::syslog_sink_mt>(
                    SYSLOG_IDENT, 0, SYSLOG_FACILITY_USER, true);
                syslog_sink->set_level(spdlog::level::warn);
            }
            return syslog_sink;
        default:
            return nullptr;
    }
}

std::vector<std::shared_ptr<spdlog::sinks::sink>> Logger::build_sinks_unlocked(
    LogDestination destinations, const std::filesystem::path& path) {
    std::vector<std::shared_ptr<spdlog::sinks::sink>> sinks;
    if (has_destination(destinations, LogDestination::CONSOLE)) {
        sinks.push_back(shared_sink_unlocked(LogDestination::CONSOLE, path));
    }
    if (has_destination(destinations, LogDestination::FILE) && !path.empty()) {
        if (auto sink = shared_sink_unlocked(LogDestination::FILE, path)) sinks.push_back(sink);
    }
    if (has_destination(destinations, LogDestination::SYSLOG)) {
        sinks.push_back(shared_sink_unlocked(LogDestination::SYSLOG, path));
    }
    if (sinks.empty()) sinks.push_back(shared_sink_unlocked(LogDestination::CONSOLE, path));
    return sinks;
}

void Logger::configure_sinks_unlocked(LogDestination destinations,
                                      const std::filesystem::path& path) {
    auto sinks = build_sinks_unlocked(destinations, path);
    // Writers may hold the previous logger while it is replaced; they finish on
    // it, and new lines go to the new one.
    auto replacement = std::make_shared<spdlog::logger>(LOGGER_NAME, sinks.begin(), sinks.end());
    replacement->set_level(to_spd_level(level));
    replacement->set_pattern(pattern, spdlog::pattern_time_type::local);
    spdlog::drop(LOGGER_NAME);
    spdlog::register_logger(replacement);
    spd_logger = std::move(replacement);
}

void Logger::set_log_level(LogLevel new_level) {
    std::lock_guard lock(mutex);
    level = new_level;
    level_value.store(new_level, std::memory_order_relaxed);
    if (spd_logger) spd_logger->set_level(to_spd_level(new_level));
}

void Logger::set_default_destinations(LogDestination destinations) {
    std::lock_guard lock(mutex);
    default_destinations = destinations;
    configure_sinks_unlocked(destinations, log_file_path);
}

void Logger::flush() {
    std::shared_ptr<spdlog::logger> target;
    {
        std::lock_guard lock(mutex);
        target = spd_logger;
    }
    if (target) target->flush();
}

std::string Logger::format_context_prefix(const LogContext& context) {
    if (context.component.empty()) return {};
    std::string prefix = "[" + context.component;
    if (!context.operation.empty()) prefix += "::" + context.operation;
    if (!context.request_id.empty()) {
        std::string cut;
        prefix += " req:";
        prefix += cut_for_log(context.request_id, MAX_LOGGED_REQUEST_ID, cut);
    }
    prefix += "] ";
    return prefix;
}

void Logger::log_with_context(LogLevel line_level, std::string_view message,
                              const LogContext& context, LogDestination destinations) {
    if (!is_enabled(line_level)) return;
    std::shared_ptr<spdlog::logger> target;
    {
        std::lock_guard lock(mutex);
        if (static_cast<std::int32_t>(line_level) < static_cast<std::int32_t>(level)) return;
        if (destinations == LogDestination::NONE) {
            target = spd_logger;
        } else {
            auto sinks = build_sinks_unlocked(destinations, log_file_path);
            target = std::make_shared<spdlog::logger>(TEMP_LOGGER_NAME, sinks.begin(), sinks.end());
            target->set_level(to_spd_level(level));
            target->set_pattern(pattern, spdlog::pattern_time_type::local);
        }
    }
    std::string text = format_context_prefix(context);
    std::string cut;
    text.append(cut_for_log(message, MAX_LOGGED_MESSAGE, cut));
    if (needs_log_escaping(text)) text = escape_for_log(text);
    target->log(to_spd_level(line_level), "{}", text);
}

void Logger::log(LogLevel line_level, std::string_view message, LogDestination destinations) {
    log_with_context(line_level, message, LogContext(), destinations);
}

void Logger::debug(std::string_view message, const LogContext& context) {
    log_with_context(LogLevel::DEBUG, message, context, LogDestination::NONE);
}
void Logger::info(std::string_view message, const LogContext& context) {
    log_with_context(LogLevel::INFO, message, context, LogDestination::NONE);
}
void Logger::warning(std::string_view message, const LogContext& context) {
    log_with_context(LogLevel::WARNING, message, context, LogDestination::NONE);
}
void Logger::error(std::string_view message, const LogContext& context) {
    log_with_context(LogLevel::ERROR, message, context, LogDestination::NONE);
}
void Logger::critical(std::string_view message, const LogContext& context) {
    log_with_context(LogLevel::CRITICAL, message, context, LogDestination::NONE);
}

}  // namespace Vorn_SCard_Bridge
