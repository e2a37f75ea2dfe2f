#include "logging/log_outputs.h"

#include <spdlog/details/os.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/sink.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <exception>
#include <utility>
#include <vector>

#include "logging/log_escape.h"
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

// A line on its way to the channels, as the logging thread leaves it: its level
// (one digit), the time in nanoseconds since the epoch, the logging thread's id
// and the text, on one line: "1<ns> <tid> <text>\n". Making it is a few appends;
// the pattern (date, level name, colours) is applied by the channel's thread.
// The text has no line end (Logger escapes control characters).
void append_record(std::string& out, spdlog::level::level_enum level, std::string_view text) {
    const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(
                                 spdlog::log_clock::now().time_since_epoch())
                                 .count();
    // Room for the digit, two 20-digit numbers and their spaces.
    char head[48];
    char* const end = head + sizeof head;
    char* at = head;
    *at++ = static_cast<char>('0' + level);
    at = std::to_chars(at, end - 2, nanoseconds).ptr;
    *at++ = ' ';
    at = std::to_chars(at, end - 1, spdlog::details::os::thread_id()).ptr;
    *at++ = ' ';
    out.append(head, static_cast<std::size_t>(at - head));
    out.append(text);
    out.push_back('\n');
}

// Texts the logging makes itself (a reason from the system): escaped as Logger
// escapes every text, so that a record stays one line.
std::string own_text(const std::string& text) {
    return needs_log_escaping(text) ? escape_for_log(text) : text;
}

// The record at the start of `lines` as the message the pattern formats (its
// payload points into `lines`), and `lines` moved past it. False at the end.
bool take_record(std::string_view& lines, spdlog::details::log_msg& msg) {
    const std::size_t end = lines.find('\n');
    std::string_view record = lines.substr(0, end);
    lines.remove_prefix(end == std::string_view::npos ? lines.size() : end + 1);
    if (record.size() < 2) return false;
    msg.level = static_cast<spdlog::level::level_enum>(record[0] - '0');
    long long nanoseconds = 0;
    std::size_t thread_id = 0;
    const char* const last = record.data() + record.size();
    auto parsed = std::from_chars(record.data() + 1, last, nanoseconds);
    if (parsed.ptr == last) return false;
    parsed = std::from_chars(parsed.ptr + 1, last, thread_id);
    const char* const text = parsed.ptr == last ? last : parsed.ptr + 1;
    msg.time =
        spdlog::log_clock::time_point(std::chrono::duration_cast<spdlog::log_clock::duration>(
            std::chrono::nanoseconds(nanoseconds)));
    msg.thread_id = thread_id;
    msg.payload = spdlog::string_view_t(text, static_cast<std::size_t>(last - text));
    return true;
}

// Formats records with the pattern, one channel's: a formatter is not shared
// between threads, so every channel has its own.
class RecordFormatter {
public:
    explicit RecordFormatter(std::unique_ptr<spdlog::formatter> formatter)
        : formatter_(std::move(formatter)) {}

    // Calls `line(msg, formatted line without its end)` for each record of `lines`.
    template <typename Line>
    void each(std::string_view lines, Line line) {
        spdlog::details::log_msg msg(spdlog::source_loc{}, LOGGER_NAME, spdlog::level::info, {});
        while (!lines.empty()) {
            if (!take_record(lines, msg)) continue;
            formatted_.clear();
            formatter_->format(msg, formatted_);
            std::string_view text(formatted_.data(), formatted_.size());
            if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
            line(msg, text);
        }
    }

private:
    std::unique_ptr<spdlog::formatter> formatter_;
    spdlog::memory_buf_t formatted_;
};

}  // namespace

LogOutputs::LogOutputs(const std::string& pattern)
    : formatter_(
          std::make_unique<spdlog::pattern_formatter>(pattern, spdlog::pattern_time_type::local)) {}

LogChannel::Hooks LogOutputs::hooks_for(LogDestination destination,
                                        std::shared_ptr<spdlog::sinks::sink> file) {
    LogChannel::Hooks hooks;
    // Used by the channel's thread only (the hooks run there).
    auto records = std::make_shared<RecordFormatter>(formatter_->clone());
    if (destination == LogDestination::CONSOLE) {
        hooks.write = [this, records](std::string_view lines) -> std::string {
            const bool colours = colours_.load(std::memory_order_relaxed);
            std::string out;
            out.reserve(lines.size() + lines.size() / 2);
            records->each(lines, [&](const spdlog::details::log_msg& msg, std::string_view line) {
                if (colours) {
                    append_coloured(out, msg, line);
                } else {
                    out.append(line);
                }
                out.push_back('\n');
            });
            if (platform::write_all(STDERR_FILENO, out)) return {};
            return std::strerror(errno);
        };
        hooks.behind = "standard error was not being read";
        hooks.on_start = platform::keep_broken_pipe_from_this_thread;
        hooks.failing = [this](const std::string& why) {
            destination_failing(LogDestination::CONSOLE, "Standard error", why);
        };
    } else if (destination == LogDestination::SYSLOG) {
        hooks.write = [records, system_log = std::move(file)](std::string_view lines) {
            // The system log files each line under its level.
            records->each(lines, [&](const spdlog::details::log_msg& msg, std::string_view line) {
                pass_on(msg, line, system_log);
            });
            return std::string();  // the system log reports nothing
        };
        hooks.behind = "the system log was not taking them";
    } else {
        hooks.write = [records, file = std::move(file)](std::string_view lines) -> std::string {
            // Line by line, so that the file rotates between lines as it always has.
            try {
                records->each(lines, [&](const spdlog::details::log_msg& msg,
                                         std::string_view line) { pass_on(msg, line, file); });
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
    hooks.loss_notice = [](std::uint64_t lost, const std::string& why) {
        std::string notice;
        append_record(notice, spdlog::level::warn,
                      OWN_PREFIX + std::to_string(lost) + " log lines lost: " + own_text(why));
        return notice;
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
    colours_.store(colours, std::memory_order_relaxed);
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
    const Channels channels = channels_unlocked(to);
    const bool system_log = to_system_log && syslog_channel_ &&
                            has_destination(to, LogDestination::SYSLOG) &&
                            level >= SYSTEM_LOG_LEVEL;
    if (usual && (channels.plain_stderr || channels.file)) {
        const std::size_t start = held_.size();
        append_record(held_, level, text);
        holds_lines_.store(true, std::memory_order_release);
        if (system_log) syslog_channel_->post(std::string_view(held_).substr(start));
    } else {
        std::string record;
        append_record(record, level, text);
        if (!usual) {
            // A line for other destinations than the usual ones: after what is held.
            hand_over_unlocked();
            if (channels.plain_stderr) channels.plain_stderr->post(record);
            if (channels.file) channels.file->post(record);
        }
        if (system_log) syslog_channel_->post(record);
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
    if (channels.plain_stderr) channels.plain_stderr->post(held_);
    if (channels.file) channels.file->post(held_);
    held_.clear();
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
    write_unwaited(spdlog::level::warn,
                   OWN_PREFIX + what +
                       " cannot be written, its lines are dropped until it can: " + own_text(why),
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
