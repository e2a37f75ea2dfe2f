#pragma once

// Where the Logger's lines go: standard error, the rotating file and, from
// warnings up, the system log.
//
// The thread that logs does not format: it leaves the line's level, time, thread
// id and text as a record (one short line of text) and goes on; each channel's
// thread applies the pattern (date, level name, colours) to the records it
// writes. A line costs its caller a lock, the volume check and a few appends.
//
// Standard error, the file and the system log are each written by a LogChannel: a
// thread of their own behind a bounded buffer, so that a browser that never reads
// standard error, a terminal stopped with Ctrl-S, a full disk or a system log daemon
// that does not keep up costs lines (dropped, counted and told) but never holds a
// thread of the host. A colour terminal gets its lines coloured, through the same
// channel.
//
// While holding is on (the host turns it on), lines for the channels are held in
// one buffer and handed over together: when a warning or worse comes, when the
// buffer passes HOLD_LIMIT, and whenever flush() is called, which the host does
// each time one of its threads is about to wait. The channels' threads thus wake
// once per burst, not once per line. With holding off, each line is handed over
// at once and the caller waits until it is written, as long as the destination
// makes progress (LogChannel::STALL_LIMIT).
//
// How many lines a page can cause is bounded by LogVolume.

#include <spdlog/common.h>
#include <spdlog/details/log_msg.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "logging/log_channel.h"
#include "logging/log_volume.h"
#include "logging/logger.h"

namespace Vorn_SCard_Bridge {

class LogOutputs {
public:
    static constexpr std::size_t HOLD_LIMIT = 4096;
    // The system log gets warnings and worse, which LogVolume keeps few.
    static constexpr std::size_t SYSTEM_LOG_CAPACITY = 64 * 1024;
    static constexpr spdlog::level::level_enum SYSTEM_LOG_LEVEL = spdlog::level::warn;

    explicit LogOutputs(const std::string& pattern);
    LogOutputs(const LogOutputs&) = delete;
    LogOutputs& operator=(const LogOutputs&) = delete;

    // The sink of one destination, once it is open (null: not open), used by its
    // channel only. Standard error needs none: `colours` says whether it is a colour
    // terminal.
    void attach(LogDestination destination, std::shared_ptr<spdlog::sinks::sink> sink);
    void attach_standard_error(bool colours);
    // Where a line goes when the caller names no destinations.
    void set_default_destinations(LogDestination destinations);
    void set_holding(bool hold);
    void limit_volume(bool limit);

    // `text` is one line without its end (Logger escapes control characters).
    void write(spdlog::level::level_enum level, std::string_view text, LogDestination destinations,
               LineKind kind = LineKind::HOST);
    // Hands what is held to the channels, and tells what LogVolume held back once
    // its interval has passed. Never waits; returns at once when there is nothing.
    void flush();
    // Waits until the channels have written what they were handed (LogChannel::wait_written).
    bool wait_written();

private:
    struct Channels {
        LogChannel* plain_stderr = nullptr;
        LogChannel* file = nullptr;
    };
    Channels channels_unlocked(LogDestination destinations) const;
    // Hands the finished line to a sink that formats it no further.
    static void pass_on(const spdlog::details::log_msg& original, std::string_view line,
                        const std::shared_ptr<spdlog::sinks::sink>& sink);
    // One line that passed LogVolume; returns true when held lines must leave now.
    bool emit_unlocked(spdlog::level::level_enum level, std::string_view text,
                       LogDestination destinations, bool to_system_log);
    // Writes the summaries LogVolume has due; true when there were any.
    bool tell_summaries_unlocked(LogVolume::Clock::time_point now, bool final);
    void hand_over_unlocked();
    void write_unwaited(spdlog::level::level_enum level, std::string_view text,
                        LogDestination destinations);
    // A channel reports that its destination fails: said on the other destinations.
    void destination_failing(LogDestination failing, const std::string& what,
                             const std::string& why);
    LogChannel::Hooks hooks_for(LogDestination destination,
                                std::shared_ptr<spdlog::sinks::sink> file);

    // The pattern, cloned for each channel; never used to format here.
    const std::unique_ptr<spdlog::formatter> formatter_;
    // The held lines, the volume limits and the channels.
    std::mutex mutex_;
    std::string held_;  // records, for standard error and the file
    std::atomic<bool> holds_lines_{false};
    bool hold_ = false;
    LogVolume volume_;
    bool limit_volume_ = true;
    std::atomic<bool> volume_untold_{false};
    LogDestination default_destinations_ = LogDestination::NONE;
    std::atomic<bool> colours_{false};  // standard error is a colour terminal
    // Made once, never replaced: a channel's thread may be inside a write for ever.
    std::unique_ptr<LogChannel> stderr_channel_;
    std::unique_ptr<LogChannel> file_channel_;
    std::unique_ptr<LogChannel> syslog_channel_;
};

}  // namespace Vorn_SCard_Bridge
