#pragma once

// The extension's session with the PC/SC service: it owns the contexts and cards
// handed out to the extension, knows which context each card belongs to, and runs
// the requests.
//
// Calls on one context (and on its cards) run one at a time in arrival order:
// pcsc-lite serialises them anyway, and a second call would wait for the context
// inside the library while holding its process-wide lock, freezing every other
// call. A call that waits for its turn holds no thread: it sits in its context's
// queue, and the worker that finishes the call before it takes it up. Control
// requests never wait behind work: healthcheck and get_version are answered by
// the thread that submits them (and written when it is about to wait for more
// input), cancel and is_valid_context by a thread of their own, in arrival order.
// The thread that finishes a request writes its answer and log lines itself.
//
// A cancel ends every status-change wait of its context that arrived before it:
// those still queued answer "cancelled" without entering the service, and one
// inside it is cancelled there, again and again until it has left (pcsc-lite drops
// a cancel that comes while a wait is on its way in).
//
// Caps: MAX_CONTEXTS contexts and MAX_CARDS cards at a time, so that one page
// cannot use up what pcscd gives the whole machine.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unordered_map>
#include <vector>

#include "messaging/request_budget.h"

namespace Vorn_SCard_Bridge {

enum class CommandLane;

class Session {
public:
    static constexpr std::size_t MAX_CONTEXTS = 32;
    static constexpr std::size_t MAX_CARDS = 64;
    // Calls that may block run one per context at most; a few more workers serve
    // the requests that belong to no context of the session. A worker beyond the
    // first ones starts only when every worker is inside a call on a context.
    static constexpr std::size_t MAX_WORKERS = MAX_CONTEXTS + 8;
    static constexpr std::chrono::seconds EXTRA_WORKER_IDLE_TIMEOUT{30};
    // How soon a cancel is repeated while the wait it is meant for has not left.
    static constexpr std::chrono::milliseconds RECANCEL_INTERVAL{10};

    // Starts `base_workers` workers and the control thread.
    explicit Session(std::size_t base_workers);
    // Call finish() first. Waits for the threads, which are idle by then.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // A request read from the extension, in arrival order, with its share of the budget.
    void submit(nlohmann::json request, RequestBudget::Token token);

    // Ends the session: requests not started are answered with an error, waits are
    // cancelled, running calls finish, and the contexts and cards still held are
    // released. False when a call was still running at the deadline (its thread is
    // inside the service; the session must then outlive the process).
    bool finish(std::chrono::steady_clock::time_point deadline);

    std::size_t context_count() const;
    std::size_t worker_count() const;
    std::size_t running_calls() const;

private:
    struct Lane;
    struct Job {
        std::uint64_t sequence = 0;
        nlohmann::json request;
        RequestBudget::Token token;
        std::shared_ptr<Lane> lane;  // none for a request on no context the session holds
    };
    // One context's calls, run one at a time in arrival order.
    struct Lane {
        explicit Lane(std::int32_t context_) : context(context_) {}
        std::int32_t context;
        std::deque<Job> queued;
        bool busy = false;          // a call of the lane is ready or running
        std::uint64_t running = 0;  // sequence number of the running call, 0 for none
        bool wait_inside = false;   // that call is a status-change wait on its way into the service
        std::uint64_t cancelled_before = 0;  // waits that arrived before this one are cancelled
        int cancels_in_flight = 0;           // a new wait enters only once these are done
        bool recancel = false;               // cancel the wait inside again: it may have missed it
    };
    class JobHooks;
    friend class JobHooks;

    std::shared_ptr<Lane> lane_for_unlocked(const nlohmann::json& request, CommandLane kind) const;
    // Answers requests that will not run any more: the host is shutting down.
    static void refuse_unstarted(std::vector<Job>& jobs);
    // True when an idle worker is to be woken (once the lock is released).
    bool make_ready_unlocked(Job job);
    bool start_worker_if_stuck_unlocked();
    void worker_loop(bool extra);
    void control_loop();
    void run(Job& job);
    void run_cancel(Job& job);
    void recancel_due_lanes(std::unique_lock<std::mutex>& lock);
    void cancel_in_service(Lane& lane, std::unique_lock<std::mutex>& lock);
    void release_held_handles(std::chrono::steady_clock::time_point deadline);

    mutable std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable control_ready_;
    std::condition_variable changed_;  // a call ended, a cancel left the service, a thread left

    std::uint64_t next_sequence_ = 1;
    std::unordered_map<std::int32_t, std::shared_ptr<Lane>> contexts_;
    std::unordered_map<std::int32_t, std::int32_t> card_contexts_;
    std::size_t opening_contexts_ = 0;
    std::size_t opening_cards_ = 0;

    std::deque<Job> ready_;
    std::deque<Job> control_;
    bool control_busy_ = false;
    std::size_t running_ = 0;
    std::size_t context_calls_ = 0;  // running calls that belong to a context
    std::size_t idle_workers_ = 0;
    std::size_t workers_ = 0;
    bool control_thread_alive_ = false;
    bool closing_ = false;
    bool stopping_ = false;
};

}  // namespace Vorn_SCard_Bridge
