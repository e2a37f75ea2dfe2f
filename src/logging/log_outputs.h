#pragma once

// Where the Logger's lines go: standard error, the rotating file and, from
// warnings up, the system log. A line is formatted once for all of them.
//
// While holding is on (the host turns it on), the lines for standard error (when
// it is not a terminal) and for the file are held in one buffer and written out
// together: when a warning or worse comes, when the buffer passes HOLD_LIMIT, and
// whenever flush() is called, which the host does each time one of its threads is
// about to wait and before it exits. The threads that log never wait for those
// writes: the one that flushes takes the held lines and writes them under a lock
// of its own. With holding off, every line is written as it comes.

#include <spdlog/common.h>
#include <spdlog/details/log_msg.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/logger.h"

namespace Vorn_SCard_Bridge {

class LogOutputs {
public:
    static constexpr std::size_t HOLD_LIMIT = 4096;

    explicit LogOutputs(const std::string& pattern);
    LogOutputs(const LogOutputs&) = delete;
    LogOutputs& operator=(const LogOutputs&) = delete;

    // The sink of one destination, once it is open (null: not open). For CONSOLE,
    // null stands for standard error written as plain text (not a terminal).
    void attach(LogDestination destination, std::shared_ptr<spdlog::sinks::sink> sink);
    // Where a line goes when the caller names no destinations.
    void set_default_destinations(LogDestination destinations);
    void set_holding(bool hold);

    void write(spdlog::level::level_enum level, std::string_view text, LogDestination destinations);
    // Writes out what is held; returns at once when nothing is.
    void flush();

private:
    struct Targets {
        bool plain_stderr = false;
        std::shared_ptr<spdlog::sinks::sink> terminal;
        std::shared_ptr<spdlog::sinks::sink> file;
        std::shared_ptr<spdlog::sinks::sink> syslog;
    };
    Targets targets_unlocked(LogDestination destinations) const;
    // Formats the line into formatted_, under mutex_.
    spdlog::details::log_msg format_unlocked(spdlog::level::level_enum level,
                                             std::string_view text);
    // Hands the finished line to the sinks that format it no further.
    static void pass_on(const spdlog::details::log_msg& original, std::string_view line,
                        const std::shared_ptr<spdlog::sinks::sink>& sink);
    static void write_lines(std::string_view lines, const Targets& targets);

    // Taken first by whoever writes held lines out, so that batches leave in order.
    std::mutex writer_;
    // The formatter, the held lines and the sinks.
    std::mutex mutex_;
    std::unique_ptr<spdlog::formatter> formatter_;
    spdlog::memory_buf_t formatted_;
    std::string held_;
    std::atomic<bool> holds_lines_{false};
    bool hold_ = false;
    bool stderr_is_plain_ = false;
    LogDestination default_destinations_ = LogDestination::NONE;
    std::shared_ptr<spdlog::sinks::sink> terminal_;
    std::shared_ptr<spdlog::sinks::sink> file_;
    std::shared_ptr<spdlog::sinks::sink> syslog_;
};

}  // namespace Vorn_SCard_Bridge
