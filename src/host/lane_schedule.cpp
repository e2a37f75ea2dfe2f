#include "host/lane_schedule.h"

#include <algorithm>
#include <limits>

namespace Vorn_SCard_Bridge {

bool LaneSchedule::submit(Id id, Lane lane, Kind kind) {
    if (closing_) return false;
    jobs_.insert_or_assign(id, Job{lane, kind, false});
    if (lane == NO_LANE) {
        make_ready(id);
        return true;
    }
    LaneState& state = lanes_[lane];
    if (state.active) {
        state.queued.push_back(id);
    } else {
        state.active = id;
        make_ready(id);
    }
    return true;
}

void LaneSchedule::make_ready(Id id) { ready_.push_back(id); }

std::vector<LaneSchedule::Id> LaneSchedule::cancel(Id id, Lane lane) {
    std::vector<Id> cancelled;
    if (lane == NO_LANE) return cancelled;
    // Kept even when idle: a wait that arrives next must not meet this cancel.
    LaneState& state = lanes_[lane];
    state.cancelled_before = std::max(state.cancelled_before, id);
    ++state.cancels_in_flight;
    // Everything queued arrived before the cancel.
    std::erase_if(state.queued, [&](Id queued) {
        const auto job = jobs_.find(queued);
        if (job == jobs_.end() || job->second.kind != Kind::WAIT) return false;
        cancelled.push_back(queued);
        jobs_.erase(job);
        return true;
    });
    return cancelled;
}

void LaneSchedule::cancel_sending(Lane lane) { ++lanes_[lane].cancels_in_flight; }

void LaneSchedule::cancel_sent(Lane lane) {
    const auto found = lanes_.find(lane);
    if (found == lanes_.end()) return;
    if (found->second.cancels_in_flight > 0) --found->second.cancels_in_flight;
    forget_lane_if_idle(lane);
}

std::vector<LaneSchedule::Lane> LaneSchedule::due_cancels() const {
    std::vector<Lane> due;
    for (const auto& [lane, state] : lanes_) {
        if (state.inside && state.cancels_in_flight == 0 && state.active &&
            *state.active < state.cancelled_before) {
            due.push_back(lane);
        }
    }
    return due;
}

std::optional<LaneSchedule::Id> LaneSchedule::take_ready() {
    if (ready_.empty()) return std::nullopt;
    const Id id = ready_.front();
    ready_.pop_front();
    Job& job = jobs_.at(id);
    job.running = true;
    ++running_;
    if (job.lane != NO_LANE) ++running_on_lanes_;
    return id;
}

LaneSchedule::Entry LaneSchedule::enter_wait(Id id) {
    const auto job = jobs_.find(id);
    if (job == jobs_.end() || job->second.lane == NO_LANE) return Entry::ENTER;
    LaneState& state = lanes_.at(job->second.lane);
    if (id < state.cancelled_before) return Entry::CANCELLED;
    if (state.cancels_in_flight > 0) return Entry::HOLD;
    state.inside = true;
    return Entry::ENTER;
}

void LaneSchedule::left_wait(Id id) {
    const auto job = jobs_.find(id);
    if (job == jobs_.end() || job->second.lane == NO_LANE) return;
    lanes_.at(job->second.lane).inside = false;
}

void LaneSchedule::finished(Id id) {
    const auto job = jobs_.find(id);
    if (job == jobs_.end()) return;
    const Lane lane = job->second.lane;
    if (job->second.running) {
        --running_;
        if (lane != NO_LANE) --running_on_lanes_;
    }
    jobs_.erase(job);
    if (lane == NO_LANE) return;
    LaneState& state = lanes_.at(lane);
    state.active.reset();
    state.inside = false;
    if (!state.queued.empty()) {
        state.active = state.queued.front();
        state.queued.pop_front();
        make_ready(*state.active);
    }
    forget_lane_if_idle(lane);
}

std::vector<LaneSchedule::Id> LaneSchedule::shut_down() {
    closing_ = true;
    std::vector<Id> unstarted(ready_.begin(), ready_.end());
    ready_.clear();
    for (auto& [lane, state] : lanes_) {
        unstarted.insert(unstarted.end(), state.queued.begin(), state.queued.end());
        state.queued.clear();
        // No wait enters any more, and the ones inside are ended.
        state.cancelled_before = std::numeric_limits<Id>::max();
    }
    for (const Id id : unstarted) {
        const auto job = jobs_.find(id);
        if (job == jobs_.end()) continue;
        if (job->second.lane != NO_LANE) {
            LaneState& state = lanes_.at(job->second.lane);
            if (state.active == id) state.active.reset();
        }
        jobs_.erase(job);
    }
    std::erase_if(lanes_, [](const auto& entry) {
        const LaneState& state = entry.second;
        return !state.active && state.cancels_in_flight == 0;
    });
    std::sort(unstarted.begin(), unstarted.end());
    return unstarted;
}

bool LaneSchedule::lane_busy(Lane lane) const {
    const auto found = lanes_.find(lane);
    return found != lanes_.end() && found->second.active.has_value();
}

void LaneSchedule::forget_lane_if_idle(Lane lane) {
    const auto found = lanes_.find(lane);
    if (found == lanes_.end()) return;
    const LaneState& state = found->second;
    // An idle lane has nothing that arrived before a later request: its cancel marks
    // have done their work.
    if (!state.active && state.queued.empty() && state.cancels_in_flight == 0) {
        lanes_.erase(found);
    }
}

}  // namespace Vorn_SCard_Bridge
