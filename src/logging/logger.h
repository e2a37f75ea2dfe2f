#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/log_context.h"
#include "logging/log_volume.h"

namespace spdlog::sinks {
class sink;
}  // namespace spdlog::sinks

namespace Vorn_SCard_Bridge {

enum class LogLevel : std::int32_t { DEBUG = 0, INFO = 1, WARNING = 2, ERROR = 3, CRITICAL = 4 };

enum class LogDestination : std::uint8_t { NONE = 0, CONSOLE = 1, FILE = 2, SYSLOG = 4 };

LogDestination operator|(LogDestination a, LogDestination b);
bool has_destination(LogDestination set, LogDestination flag);

class LogOutputs;

// The process-wide logging facade over spdlog: standard error (in colour on a
// terminal), a rotating file in the user's log directory and, from warnings up,
// the system log. Logging never waits for standard error (unless it is a
// terminal), the file or the system log, never throws, and bounds what a page
// can make it write (log_outputs.h, log_volume.h):
// lines whose context carries a request id, and every line of the dispatcher
// (REQUEST_COMPONENT), count as lines about requests; warnings and errors about
// a frame that could not be used as a request (INPUT_LINES) as lines about
// unreadable input; everything else is about the host's own life and always
// written.
class Logger {
public:
    static constexpr std::size_t MAX_LOG_FILE_SIZE = 10485760;
    static constexpr std::size_t MAX_NUM_OF_LOGS = 3;
    static constexpr const char* REQUEST_COMPONENT = "MessageProcessor";
    // Who speaks, at warning and above, about a frame it could not use: every such
    // line of the frame reader, and the host loop's for a frame whose "command" is
    // not a string (a page can send either tens of thousands of times a second).
    struct InputLine {
        const char* component;
        const char* message_start;
    };
    static constexpr InputLine INPUT_LINES[] = {{"MessageReader", ""},
                                                {"Main", "Error processing message: "}};

    // The first call creates the logger with these arguments; later calls return
    // it and ignore theirs.
    static Logger& get_instance(LogLevel level, LogDestination destinations,
                                const std::filesystem::path& path);

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void debug(std::string_view message, const LogContext& context);
    void info(std::string_view message, const LogContext& context);
    void warning(std::string_view message, const LogContext& context);
    void error(std::string_view message, const LogContext& context);
    void critical(std::string_view message, const LogContext& context);

    void log(LogLevel level, std::string_view message, LogDestination destinations);
    void log_with_context(LogLevel level, std::string_view message, const LogContext& context,
                          LogDestination destinations);

    // True when a line at `level` would be written; lets callers skip building
    // the text of a line that would be dropped.
    bool is_enabled(LogLevel level) const {
        return static_cast<std::int32_t>(level) >=
               static_cast<std::int32_t>(level_value.load(std::memory_order_relaxed));
    }

    void set_log_level(LogLevel level);
    void set_default_destinations(LogDestination destinations);
    // Hands held lines to the writers of standard error and the file; never waits.
    void flush();
    // On: lines for standard error and the file are held and handed to their writers
    // together, at flush(), for a warning or worse, or when 4 KiB are held
    // (log_outputs.h). Who turns it on calls flush() whenever a thread may go to
    // sleep with lines held, and turns it off before the process ends, which waits
    // for the writers as wait_written() does. Off (the default): a line is written
    // before the call that logs it returns, unless its destination is stuck.
    void hold_lines(bool hold);
    // Waits until the lines handed over are written, giving up on a destination that
    // makes no progress for 100 ms (LogChannel::STALL_LIMIT); true when all are.
    bool wait_written();

    // On (the default): lines about requests and unreadable input are bounded
    // (log_volume.h). A process that must see every line it logs turns it off: the
    // unit tests, which check the lines of many thousands of requests.
    void limit_volume(bool limit);

    // Which budget of LogVolume a line counts against.
    static LineKind kind_of(LogLevel level, std::string_view message, const LogContext& context);

    static std::string format_context_prefix(const LogContext& context);

private:
    Logger(LogLevel level, LogDestination destinations, const std::filesystem::path& path);

    // Opens the sinks of `destinations` that are not open yet.
    void open_sinks_unlocked(LogDestination destinations);
    void open_sink_unlocked(LogDestination flag);
    LogDestination usable_unlocked(LogDestination destinations);

    LogLevel level;
    LogDestination default_destinations;
    std::filesystem::path log_file_path;
    mutable std::mutex mutex;
    std::unique_ptr<LogOutputs> outputs;

    // Mirrors `level` for the lock-free check of is_enabled.
    std::atomic<LogLevel> level_value;
    // One sink per destination, opened once, so that a per-line destination set
    // never opens the file or the system log twice.
    bool console_open = false;
    std::shared_ptr<spdlog::sinks::sink> file_sink;
    std::shared_ptr<spdlog::sinks::sink> syslog_sink;
    // Why the file could not be used, reported once the logger exists.
    std::string file_problem;
};

}  // namespace Vorn_SCard_Bridge
