#pragma once

// The order in which the session's requests run, as rules without threads, clocks
// or I/O: events in (a request submitted, taken by a worker, entering or leaving a
// status-change wait, finished; a cancel arrived or sent; the end of the session),
// decisions out (which request runs next, which are answered without running,
// which waits must be cancelled in the service). The session's threads carry the
// decisions out.
//
// Calls on one context (its lane) run one at a time in arrival order: pcsc-lite
// serialises them anyway, and a second call would wait for the context inside the
// library while holding its process-wide lock. Requests of no lane run whenever a
// worker is free.
//
// A cancel ends every status-change wait of its lane that arrived before it, never
// one that arrived after it: waits still queued are answered at once without
// reaching the service; a wait that has been handed to a worker does not enter the
// service; one inside it is cancelled there, again and again until it has left
// (pcsc-lite drops a cancel that comes while a wait is on its way in). A wait that
// arrived after a cancel does not enter the service while that cancel (or a repeat)
// is on its way there, so that it cannot be hit by it.
//
// At the end of the session nothing starts any more: requests not yet taken by a
// worker are answered "not started", whatever lane they are on (the lane of a
// context released a moment before included), and the waits inside the service are
// cancelled.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <unordered_map>
#include <vector>

namespace Vorn_SCard_Bridge {

class LaneSchedule {
public:
    // Requests in arrival order: a later request has a larger id.
    using Id = std::uint64_t;
    // A context's id as the session handed it out; NO_LANE for requests of no context.
    using Lane = std::int32_t;
    static constexpr Lane NO_LANE = 0;
    enum class Kind { CALL, WAIT };
    enum class Entry { ENTER, HOLD, CANCELLED };

    // A request for a worker. False once the session is closing: it does not run and
    // is answered "not started".
    bool submit(Id id, Lane lane, Kind kind);

    // A cancel of `lane` arrived as request `id`. Answers the waits that end without
    // running (to be answered "cancelled" now). The cancel's own call to the service
    // follows; cancel_sent() when it is over.
    std::vector<Id> cancel(Id id, Lane lane);
    // A repeat of the cancel is about to go to the service for each of due_cancels().
    void cancel_sending(Lane lane);
    void cancel_sent(Lane lane);
    // Lanes whose wait inside the service must be cancelled (again).
    std::vector<Lane> due_cancels() const;

    // The next request to run, in order; none when nothing is ready.
    std::optional<Id> take_ready();
    std::size_t ready_count() const { return ready_.size(); }

    // A status-change wait about to enter the service: HOLD means ask again once a
    // cancel has been sent; after ENTER, left_wait() once the service returned.
    Entry enter_wait(Id id);
    void left_wait(Id id);

    // A request taken by a worker has ended; the next of its lane becomes ready.
    void finished(Id id);

    // The end of the session: the requests that will not start, in arrival order.
    std::vector<Id> shut_down();

    bool closing() const { return closing_; }
    // A request of the lane is ready or running.
    bool lane_busy(Lane lane) const;
    // Requests taken by a worker and not finished; those on a lane.
    std::size_t running() const { return running_; }
    std::size_t running_on_lanes() const { return running_on_lanes_; }

private:
    struct LaneState {
        std::deque<Id> queued;      // waiting for the lane
        std::optional<Id> active;   // ready or running
        bool inside = false;        // the active request is a wait inside the service
        Id cancelled_before = 0;    // waits that arrived before this are ended
        int cancels_in_flight = 0;  // cancels on their way to the service
    };
    struct Job {
        Lane lane;
        Kind kind;
        bool running;
    };

    void make_ready(Id id);
    void forget_lane_if_idle(Lane lane);

    std::unordered_map<Id, Job> jobs_;
    std::unordered_map<Lane, LaneState> lanes_;
    std::deque<Id> ready_;
    std::size_t running_ = 0;
    std::size_t running_on_lanes_ = 0;
    bool closing_ = false;
};

}  // namespace Vorn_SCard_Bridge
