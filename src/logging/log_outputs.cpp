#include "logging/log_outputs.h"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/sink.h>

#include <cstdio>
#include <utility>

namespace Vorn_SCard_Bridge {

namespace {

const char* const LOGGER_NAME = "VornSmartCardBridge";

}  // namespace

LogOutputs::LogOutputs(const std::string& pattern)
    : formatter_(
          std::make_unique<spdlog::pattern_formatter>(pattern, spdlog::pattern_time_type::local)) {}

void LogOutputs::attach(LogDestination destination, std::shared_ptr<spdlog::sinks::sink> sink) {
    // The sinks get the finished line and add only the end of line.
    if (sink) sink->set_pattern("%v");
    const std::lock_guard lock(mutex_);
    switch (destination) {
        case LogDestination::CONSOLE:
            stderr_is_plain_ = !sink;
            terminal_ = std::move(sink);
            break;
        case LogDestination::FILE:
            file_ = std::move(sink);
            break;
        case LogDestination::SYSLOG:
            syslog_ = std::move(sink);
            break;
        default:
            break;
    }
}

void LogOutputs::set_default_destinations(LogDestination destinations) {
    // Held lines leave for the destinations they were held for.
    flush();
    const std::lock_guard writer(writer_);
    const std::lock_guard lock(mutex_);
    default_destinations_ = destinations;
}

void LogOutputs::set_holding(bool hold) {
    {
        const std::lock_guard lock(mutex_);
        hold_ = hold;
    }
    if (!hold) flush();
}

LogOutputs::Targets LogOutputs::targets_unlocked(LogDestination destinations) const {
    Targets targets;
    if (has_destination(destinations, LogDestination::CONSOLE)) {
        targets.plain_stderr = stderr_is_plain_;
        targets.terminal = terminal_;
    }
    if (has_destination(destinations, LogDestination::FILE)) targets.file = file_;
    if (has_destination(destinations, LogDestination::SYSLOG)) targets.syslog = syslog_;
    return targets;
}

spdlog::details::log_msg LogOutputs::format_unlocked(spdlog::level::level_enum level,
                                                     std::string_view text) {
    const spdlog::details::log_msg msg(spdlog::source_loc{}, LOGGER_NAME, level,
                                       spdlog::string_view_t(text.data(), text.size()));
    formatted_.clear();
    formatter_->format(msg, formatted_);
    return msg;
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

void LogOutputs::write(spdlog::level::level_enum level, std::string_view text,
                       LogDestination destinations) {
    bool usual = false;
    bool write_out = false;
    {
        const std::lock_guard lock(mutex_);
        usual = destinations == LogDestination::NONE || destinations == default_destinations_;
        if (usual) {
            const spdlog::details::log_msg msg = format_unlocked(level, text);
            const std::string_view line(formatted_.data(), formatted_.size());
            const std::string_view bare = line.substr(0, line.size() - 1);  // without its end
            const LogDestination to = default_destinations_;
            const bool console = has_destination(to, LogDestination::CONSOLE);
            if ((console && stderr_is_plain_) ||
                (has_destination(to, LogDestination::FILE) && file_)) {
                held_.append(line);
                holds_lines_.store(true, std::memory_order_release);
            }
            if (console) pass_on(msg, bare, terminal_);
            if (has_destination(to, LogDestination::SYSLOG)) pass_on(msg, bare, syslog_);
            write_out = !hold_ || level >= spdlog::level::warn || held_.size() >= HOLD_LIMIT;
        }
    }
    if (usual) {
        if (write_out) flush();
        return;
    }
    // A line for other destinations than the usual ones: after what is held, at once.
    flush();
    const std::lock_guard writer(writer_);
    const std::lock_guard lock(mutex_);
    const spdlog::details::log_msg msg = format_unlocked(level, text);
    const std::string_view line(formatted_.data(), formatted_.size());
    const Targets targets = targets_unlocked(destinations);
    pass_on(msg, line.substr(0, line.size() - 1), targets.terminal);
    pass_on(msg, line.substr(0, line.size() - 1), targets.syslog);
    write_lines(line, targets);
}

void LogOutputs::flush() {
    if (!holds_lines_.load(std::memory_order_acquire)) return;
    const std::lock_guard writer(writer_);
    std::string lines;
    Targets targets;
    {
        const std::lock_guard lock(mutex_);
        lines.swap(held_);
        holds_lines_.store(false, std::memory_order_relaxed);
        targets = targets_unlocked(default_destinations_);
    }
    if (!lines.empty()) write_lines(lines, targets);
}

void LogOutputs::write_lines(std::string_view lines, const Targets& targets) {
    if (targets.plain_stderr) {
        std::fwrite(lines.data(), 1, lines.size(), stderr);
        std::fflush(stderr);
    }
    if (targets.file) {
        // Line by line, so that the file rotates between lines as it always has.
        const spdlog::details::log_msg msg(LOGGER_NAME, spdlog::level::info, {});
        std::size_t begin = 0;
        while (begin < lines.size()) {
            const std::size_t end = lines.find('\n', begin);
            const std::size_t stop = end == std::string_view::npos ? lines.size() : end;
            pass_on(msg, lines.substr(begin, stop - begin), targets.file);
            begin = stop + 1;
        }
        targets.file->flush();
    }
}

}  // namespace Vorn_SCard_Bridge
