#include "logging/logger.h"

#include <spdlog/details/os.h>
#include <spdlog/sinks/rotating_file_sink.h>

#include <exception>

#include "logging/log_escape.h"
#include "logging/log_location.h"
#include "logging/log_outputs.h"
#include "platform/log_directory.h"
#include "platform/system_log.h"

namespace Vorn_SCard_Bridge {

namespace {

const char* const LINE_PATTERN = "%Y-%m-%d %H:%M:%S [%^%l%$] [tid:%t] %v";
const char* const SYSLOG_IDENT = "VornSmartCardBridge";
// The room a thread's line buffer keeps between lines.
constexpr std::size_t MAX_KEPT_TEXT = 1024;

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
    : level(level_),
      default_destinations(destinations),
      outputs(std::make_unique<LogOutputs>(LINE_PATTERN)),
      level_value(level_) {
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
    {
        const std::lock_guard lock(mutex);
        open_sinks_unlocked(default_destinations);
        outputs->set_default_destinations(usable_unlocked(default_destinations));
    }
    if (!file_problem.empty()) {
        outputs->write(spdlog::level::warn,
                       escape_for_log("Log file unavailable, logging without it: " + file_problem),
                       LogDestination::NONE);
    }
}

void Logger::open_sink_unlocked(LogDestination flag) {
    switch (flag) {
        case LogDestination::CONSOLE:
            if (!console_open) {
                console_open = true;
                // A colour terminal gets its colours (as the colour sink's automatic
                // mode decides), written like any other standard error.
                outputs->attach_standard_error(spdlog::details::os::in_terminal(stderr) &&
                                               spdlog::details::os::is_color_terminal());
            }
            return;
        case LogDestination::FILE:
            if (!file_sink && file_problem.empty() && !log_file_path.empty()) {
                try {
                    file_sink = std::make_shared<spdlog::sinks::rotating_file_sink_st>(
                        log_file_path.string(), MAX_LOG_FILE_SIZE, MAX_NUM_OF_LOGS, true,
                        platform::log_file_handlers());
                    outputs->attach(LogDestination::FILE, file_sink);
                } catch (const std::exception& e) {
                    file_problem = e.what();
                }
            }
            return;
        case LogDestination::SYSLOG:
            if (!syslog_sink) {
                syslog_sink = platform::system_log_sink(SYSLOG_IDENT);
                if (!syslog_sink) return;
                syslog_sink->set_level(spdlog::level::warn);
                outputs->attach(LogDestination::SYSLOG, syslog_sink);
            }
            return;
        default:
            return;
    }
}

void Logger::open_sinks_unlocked(LogDestination destinations) {
    for (const LogDestination flag :
         {LogDestination::CONSOLE, LogDestination::FILE, LogDestination::SYSLOG}) {
        if (has_destination(destinations, flag)) open_sink_unlocked(flag);
    }
}

LogDestination Logger::usable_unlocked(LogDestination destinations) {
    // Lines with nowhere to go (no destination, or only a file that cannot be
    // opened) go to standard error.
    const bool file = has_destination(destinations, LogDestination::FILE) && file_sink;
    if (!file && !has_destination(destinations, LogDestination::CONSOLE) &&
        !has_destination(destinations, LogDestination::SYSLOG)) {
        open_sink_unlocked(LogDestination::CONSOLE);
        return LogDestination::CONSOLE;
    }
    return destinations;
}

void Logger::set_log_level(LogLevel new_level) {
    const std::lock_guard lock(mutex);
    level = new_level;
    level_value.store(new_level, std::memory_order_relaxed);
}

void Logger::set_default_destinations(LogDestination destinations) {
    const std::lock_guard lock(mutex);
    default_destinations = destinations;
    open_sinks_unlocked(destinations);
    outputs->set_default_destinations(usable_unlocked(destinations));
}

void Logger::flush() { outputs->flush(); }

bool Logger::wait_written() { return outputs->wait_written(); }

void Logger::limit_volume(bool limit) { outputs->limit_volume(limit); }

LineKind Logger::kind_of(LogLevel line_level, std::string_view message, const LogContext& context) {
    if (!context.request_id.empty() || context.component == REQUEST_COMPONENT) {
        return LineKind::REQUEST;
    }
    if (static_cast<std::int32_t>(line_level) >= static_cast<std::int32_t>(LogLevel::WARNING)) {
        for (const InputLine& input : INPUT_LINES) {
            if (context.component == input.component && message.starts_with(input.message_start)) {
                return LineKind::INPUT;
            }
        }
    }
    return LineKind::HOST;
}

void Logger::hold_lines(bool hold) { outputs->set_holding(hold); }

namespace {

void append_context_prefix(std::string& out, const LogContext& context) {
    if (context.component.empty()) return;
    out += '[';
    out += context.component;
    if (!context.operation.empty()) {
        out += "::";
        out += context.operation;
    }
    if (!context.request_id.empty()) {
        std::string cut;
        out += " req:";
        out += cut_for_log(context.request_id, MAX_LOGGED_REQUEST_ID, cut);
    }
    out += "] ";
}

}  // namespace

std::string Logger::format_context_prefix(const LogContext& context) {
    std::string prefix;
    append_context_prefix(prefix, context);
    return prefix;
}

void Logger::log_with_context(LogLevel line_level, std::string_view message,
                              const LogContext& context, LogDestination destinations) {
    if (!is_enabled(line_level)) return;
    if (destinations != LogDestination::NONE) {
        const std::lock_guard lock(mutex);
        open_sinks_unlocked(destinations);
        destinations = usable_unlocked(destinations);
    }
    // The text is put together in a buffer of the thread's that keeps its room
    // from line to line: no allocation for a usual line.
    thread_local std::string text;
    text.clear();
    append_context_prefix(text, context);
    std::string cut;
    text.append(cut_for_log(message, MAX_LOGGED_MESSAGE, cut));
    if (needs_log_escaping(text)) text = escape_for_log(text);
    outputs->write(to_spd_level(line_level), text, destinations,
                   kind_of(line_level, message, context));
    // A huge escaped line does not stay with the thread.
    if (text.capacity() > MAX_KEPT_TEXT) std::string().swap(text);
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
