#include "logging/log_outputs.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/sink.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "platform/fd_writes.h"
#include "platform/thread_signals.h"

namespace Vorn_SCard_Bridge {

namespace {

const char* const LOGGER_NAME = "VornSmartCardBridge";
// The context prefix of the lines the logging itself writes.
const char* const OWN_PREFIX = "[Logger] ";

// The level's colour on a terminal, as spdlog's colour sink has them by default.
std::string_view level_colour(spdlog::level::level_enum level) {
    switch (level) {
        case spdlog::level::trace:
            return "\033[37m";
        case spdlog::level::debug:
            return "\033[36m";
        case spdlog::level::info:
            return "\033[32m";
        case spdlog::level::warn:
            return "\033[33m\033[1m";
        case spdlog::level::err:
            return "\033[31m\033[1m";
        case spdlog::level::critical:
            return "\033[1m\033[41m";
        default:
            return "\033[m";
    }
}
constexpr std::string_view COLOUR_RESET = "\033[m";

// The line with the range the pattern marks (the level's name) coloured.
void append_coloured(std::string& out, const spdlog::details::log_msg& msg, std::string_view line) {
    const std::size_t start = std::min(msg.color_range_start, line.size());
    const std::size_t end = std::min(std::max(msg.color_range_end, start), line.size());
    out.append(line.substr(0, start));
    if (end > start) {
        out.append(level_colour(msg.level));
        out.append(line.substr(start, end - start));
        out.append(COLOUR_RESET);
    }
    out.append(line.substr(end));
}

}  // namespace

LogOutputs::LogOutputs(const std::string& pattern)
    : formatter_(
          std::make_unique<spdlog::pattern_formatter>(pattern, spdlog::pattern_time_type::local)) {}

LogChannel::Hooks LogOutputs::hooks_for(LogDestination destination,
                                        std::shared_ptr<spdlog::sinks::sink> file) {
    LogChannel::Hooks hooks;
    if (destination == LogDestination::CONSOLE) {
        hooks.write = [](std::string_view lines) -> std::string {
            if (platform::write_all(STDERR_FILENO, lines)) return {};
            return std::strerror(errno);
        };
        hooks.behind = "standard error was not being read";
        hooks.on_start = platform::keep_broken_pipe_from_this_thread;
        hooks.failing = [this](const std::string& why) {
            destination_failing(LogDestination::CONSOLE, "Standard error", why);
        };
    } else if (destination == LogDestination::SYSLOG) {
        hooks.write = [system_log = std::move(file)](std::string_view lines) -> std::string {
            std::size_t begin = 0;
            while (begin + 1 < lines.size()) {
                const std::size_t end = lines.find('\n', begin);
                const std::size_t stop = end == std::string_view::npos ? lines.size() : end;
                const auto level = static_cast<spdlog::level::level_enum>(lines[begin] - '0');
                const spdlog::details::log_msg msg(LOGGER_NAME, level, {});
                pass_on(msg, lines.substr(begin + 1, stop - begin - 1), system_log);
                begin = stop + 1;
            }
            return {};  // the system log reports nothing
        };
        hooks.behind = "the system log was not taking them";
    } else {
        hooks.write = [file = std::move(file)](std::string_view lines) -> std::string {
            // Line by line, so that the file rotates between lines as it always has.
            try {
                const spdlog::details::log_msg msg(LOGGER_NAME, spdlog::level::info, {});
                std::size_t begin = 0;
                while (begin < lines.size()) {
                    const std::size_t end = lines.find('\n', begin);
                    const std::size_t stop = end == std::string_view::npos ? lines.size() : end;
                    pass_on(msg, lines.substr(begin, stop - begin), file);
                    begin = stop + 1;
                }
                file->flush();
                return {};
            } catch (const std::exception& e) {
                return e.what();
            }
        };
        hooks.behind = "the log file was not written fast enough";
        hooks.failing = [this](const std::string& why) {
            destination_failing(LogDestination::FILE, "The log file", why);
        };
    }
    const std::string lead = destination == LogDestination::SYSLOG
                                 ? std::string(1, static_cast<char>('0' + spdlog::level::warn))
                                 : std::string();
    hooks.loss_notice = [this, lead](std::uint64_t lost, const std::string& why) {
        return lead + format_line(spdlog::level::warn,
                                  OWN_PREFIX + std::to_string(lost) + " log lines lost: " + why);
    };
    return hooks;
}

void LogOutputs::attach(LogDestination destination, std::shared_ptr<spdlog::sinks::sink> sink) {
    // The sinks get the finished line and add only the end of line.
    if (sink) sink->set_pattern("%v");
    const std::lock_guard lock(mutex_);
    switch (destination) {
        case LogDestination::CONSOLE:
            if (!stderr_channel_) {
                stderr_channel_ =
                    std::make_unique<LogChannel>(hooks_for(LogDestination::CONSOLE, nullptr));
            }
            break;
        case LogDestination::FILE:
            if (sink && !file_channel_) {
                file_channel_ =
                    std::make_unique<LogChannel>(hooks_for(LogDestination::FILE, std::move(sink)));
            }
            break;
        case LogDestination::SYSLOG:
            if (sink && !syslog_channel_) {
                syslog_channel_ = std::make_unique<LogChannel>(
                    hooks_for(LogDestination::SYSLOG, std::move(sink)), SYSTEM_LOG_CAPACITY);
            }
            break;
        default:
            break;
    }
}

void LogOutputs::attach_standard_error(bool colours) {
    attach(LogDestination::CONSOLE, nullptr);
    const std::lock_guard lock(mutex_);
    hand_over_unlocked();
    colours_ = colours;
}

void LogOutputs::set_default_destinations(LogDestination destinations) {
    const std::lock_guard lock(mutex_);
    // Held lines leave for the destinations they were held for.
    hand_over_unlocked();
    default_destinations_ = destinations;
}

void LogOutputs::set_holding(bool hold) {
    {
        const std::lock_guard lock(mutex_);
        hold_ = hold;
        if (hold) return;
        // The host stops holding as it ends: what was held back is told now.
        tell_summaries_unlocked(LogVolume::Clock::now(), true);
        hand_over_unlocked();
    }
    wait_written();
}

void LogOutputs::limit_volume(bool limit) {
    const std::lock_guard lock(mutex_);
    limit_volume_ = limit;
}

LogOutputs::Channels LogOutputs::channels_unlocked(LogDestination destinations) const {
    Channels channels;
    if (has_destination(destinations, LogDestination::CONSOLE)) {
        channels.plain_stderr = stderr_channel_.get();
    }
    if (has_destination(destinations, LogDestination::FILE)) channels.file = file_channel_.get();
    return channels;
}

spdlog::details::log_msg LogOutputs::format_unlocked(spdlog::level::level_enum level,
                                                     std::string_view text) {
    const spdlog::details::log_msg msg(spdlog::source_loc{}, LOGGER_NAME, level,
                                       spdlog::string_view_t(text.data(), text.size()));
    formatted_.clear();
    formatter_->format(msg, formatted_);
    return msg;
}

std::string LogOutputs::format_line(spdlog::level::level_enum level, std::string_view text) {
    const std::lock_guard lock(mutex_);
    format_unlocked(level, text);
    return std::string(formatted_.data(), formatted_.size());
}

void LogOutputs::pass_on(const spdlog::details::log_msg& original, std::string_view line,
                         const std::shared_ptr<spdlog::sinks::sink>& sink) {
    if (!sink || !sink->should_log(original.level)) return;
    spdlog::details::log_msg finished = original;
    // The colour range (a terminal's) was found in the formatted line, which is
    // the payload now: the same offsets.
    finished.payload = spdlog::string_view_t(line.data(), line.size());
    sink->log(finished);
}

bool LogOutputs::emit_unlocked(spdlog::level::level_enum level, std::string_view text,
                               LogDestination destinations, bool to_system_log) {
    const bool usual =
        destinations == LogDestination::NONE || destinations == default_destinations_;
    const LogDestination to = usual ? default_destinations_ : destinations;
    const spdlog::details::log_msg msg = format_unlocked(level, text);
    const std::string_view line(formatted_.data(), formatted_.size());
    const Channels channels = channels_unlocked(to);
    if (usual) {
        if (channels.plain_stderr || channels.file) {
            held_.append(line);
            if (colours_ && channels.plain_stderr) append_coloured(held_coloured_, msg, line);
            holds_lines_.store(true, std::memory_order_release);
        }
    } else {
        // A line for other destinations than the usual ones: after what is held.
        hand_over_unlocked();
        if (channels.plain_stderr) {
            std::string coloured;
            if (colours_) append_coloured(coloured, msg, line);
            channels.plain_stderr->post(colours_ ? std::string_view(coloured) : line);
        }
        if (channels.file) channels.file->post(line);
    }
    if (to_system_log && syslog_channel_ && has_destination(to, LogDestination::SYSLOG) &&
        level >= SYSTEM_LOG_LEVEL) {
        // The level leads the line: the system log files each line under its level.
        std::string entry(1, static_cast<char>('0' + level));
        entry.append(line);
        syslog_channel_->post(entry);
    }
    return !hold_ || level >= spdlog::level::warn || held_.size() >= HOLD_LIMIT;
}

bool LogOutputs::tell_summaries_unlocked(LogVolume::Clock::time_point now, bool final) {
    const std::vector<std::string> summaries = volume_.take_summaries(now, final);
    for (const std::string& summary : summaries) {
        emit_unlocked(spdlog::level::warn, OWN_PREFIX + summary, LogDestination::NONE, true);
    }
    volume_untold_.store(volume_.has_untold(), std::memory_order_release);
    return !summaries.empty();
}

void LogOutputs::hand_over_unlocked() {
    if (held_.empty()) return;
    const Channels channels = channels_unlocked(default_destinations_);
    if (channels.plain_stderr) channels.plain_stderr->post(colours_ ? held_coloured_ : held_);
    if (channels.file) channels.file->post(held_);
    held_.clear();
    held_coloured_.clear();
    holds_lines_.store(false, std::memory_order_release);
}

void LogOutputs::write(spdlog::level::level_enum level, std::string_view text,
                       LogDestination destinations, LineKind kind) {
    const auto now = LogVolume::Clock::now();
    bool wait = false;
    {
        const std::lock_guard lock(mutex_);
        const VolumeDecision decision = volume_.admit(
            limit_volume_ ? kind : LineKind::HOST, text.size(), level >= spdlog::level::warn, now);
        // A summary is a warning: it leaves at once.
        bool leave = volume_.has_untold() && tell_summaries_unlocked(now, false);
        if (decision.write) {
            leave = emit_unlocked(level, text, destinations, decision.system_log) || leave;
        }
        if (leave) hand_over_unlocked();
        wait = !hold_ && decision.write;
    }
    if (wait) wait_written();
}

void LogOutputs::write_unwaited(spdlog::level::level_enum level, std::string_view text,
                                LogDestination destinations) {
    const std::lock_guard lock(mutex_);
    if (emit_unlocked(level, text, destinations, true)) hand_over_unlocked();
}

void LogOutputs::destination_failing(LogDestination failing, const std::string& what,
                                     const std::string& why) {
    LogDestination others = LogDestination::NONE;
    {
        const std::lock_guard lock(mutex_);
        for (const LogDestination flag :
             {LogDestination::CONSOLE, LogDestination::FILE, LogDestination::SYSLOG}) {
            if (flag != failing && has_destination(default_destinations_, flag)) {
                others = others | flag;
            }
        }
    }
    if (others == LogDestination::NONE) return;
    // On the channel's own thread: it must not wait for the channels.
    write_unwaited(
        spdlog::level::warn,
        OWN_PREFIX + what + " cannot be written, its lines are dropped until it can: " + why,
        others);
}

void LogOutputs::flush() {
    if (!holds_lines_.load(std::memory_order_acquire) &&
        !volume_untold_.load(std::memory_order_acquire)) {
        return;
    }
    const auto now = LogVolume::Clock::now();
    const std::lock_guard lock(mutex_);
    if (volume_.has_untold()) tell_summaries_unlocked(now, false);
    hand_over_unlocked();
}

bool LogOutputs::wait_written() {
    LogChannel* channels[3] = {nullptr, nullptr, nullptr};
    {
        const std::lock_guard lock(mutex_);
        channels[0] = stderr_channel_.get();
        channels[1] = file_channel_.get();
        channels[2] = syslog_channel_.get();
    }
    // Without mutex_: a channel's thread takes it to format the line about losses.
    bool all = true;
    for (LogChannel* channel : channels) {
        if (channel && !channel->wait_written()) all = false;
    }
    return all;
}

}  // namespace Vorn_SCard_Bridge
