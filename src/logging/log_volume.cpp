#include "logging/log_volume.h"

#include <algorithm>

namespace Vorn_SCard_Bridge {

bool TokenBucket::take(double units, Clock::time_point now) {
    if (!started_) {
        started_ = true;
        last_ = now;
    } else if (now > last_) {
        const std::chrono::duration<double> passed = now - last_;
        tokens_ = std::min(figures_.burst, tokens_ + passed.count() * figures_.per_second);
        last_ = now;
    }
    // A hair of slack: a second's worth of tenths must make a whole line.
    constexpr double SLACK = 1e-9;
    if (units > tokens_ + SLACK || given_ + units > figures_.per_session + SLACK) return false;
    tokens_ -= units;
    given_ += units;
    return true;
}

LogVolume::LogVolume()
    : request_{"request", TokenBucket(REQUEST_LINES), TokenBucket(SYSTEM_LOG_LINES)},
      input_{"input error", TokenBucket(INPUT_LINES), TokenBucket(SYSTEM_LOG_LINES)} {}

VolumeDecision LogVolume::admit(LineKind kind, std::size_t text_bytes, bool for_system_log,
                                Clock::time_point now) {
    if (kind == LineKind::HOST) return {};
    Kind& counted = kind_of(kind);
    const bool untold = counted.suppressed + counted.kept_from_system > 0;
    VolumeDecision decision;
    if (!counted.lines.take(static_cast<double>(text_bytes + FORMATTED_LINE_OVERHEAD), now)) {
        decision.write = false;
        decision.system_log = false;
        ++counted.suppressed;
    } else if (for_system_log && !counted.system_log.take(1, now)) {
        decision.system_log = false;
        ++counted.kept_from_system;
    }
    if (!untold && counted.suppressed + counted.kept_from_system > 0) {
        // Told one interval after lines began to be held back: one summary for a
        // flood, not one for its first line.
        ++untold_;
        counted.since = now;
    }
    return decision;
}

std::string LogVolume::summary_of(Kind& kind) {
    std::string text;
    if (kind.suppressed > 0) {
        text = std::to_string(kind.suppressed) + " " + kind.name + " lines suppressed";
    }
    if (kind.kept_from_system > 0) {
        text += text.empty() ? std::to_string(kind.kept_from_system) + " " + kind.name + " lines"
                             : ", " + std::to_string(kind.kept_from_system);
        text += " kept out of the system log";
    }
    kind.suppressed = 0;
    kind.kept_from_system = 0;
    return text;
}

std::vector<std::string> LogVolume::take_summaries(Clock::time_point now, bool final) {
    std::vector<std::string> summaries;
    if (untold_ == 0) return summaries;
    for (Kind* kind : {&request_, &input_}) {
        if (kind->suppressed + kind->kept_from_system == 0) continue;
        if (!final && now - kind->since < SUMMARY_INTERVAL) continue;
        summaries.push_back(summary_of(*kind));
        --untold_;
        kind->since = now;
    }
    return summaries;
}

}  // namespace Vorn_SCard_Bridge
