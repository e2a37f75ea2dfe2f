#pragma once

// The extension's session with the PC/SC service: the threads that carry out what
// the lane schedule (lane_schedule.h) decides, over the handles the registry
// (handle_registry.h) holds for the extension.
//
// A call that waits for its context holds no thread: it sits in the schedule, and
// the worker that finishes the call before it takes it up. Control requests never
// wait behind work: healthcheck and get_version are answered by the thread that
// submits them (and written when it is about to wait for more input), cancel and
// is_valid_context by a thread of their own, in arrival order; that thread also
// repeats cancels for waits that have not left the service. The thread that
// finishes a request writes its answer and log lines itself.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <unordered_map>
#include <vector>

#include "host/handle_registry.h"
#include "host/lane_schedule.h"
#include "host/request_route.h"
#include "messaging/request_budget.h"

namespace Vorn_SCard_Bridge {

enum class CommandLane;
struct CommandRow;

class Session {
public:
    // Calls that may block run one per context at most; a few more workers serve
    // the requests that belong to no context of the session. A worker beyond the
    // first ones starts only when every worker is inside a call on a context.
    static constexpr std::size_t MAX_WORKERS = HandleRegistry::MAX_CONTEXTS + 8;
    static constexpr std::chrono::seconds EXTRA_WORKER_IDLE_TIMEOUT{30};
    // How soon a cancel is repeated while the wait it is meant for has not left.
    static constexpr std::chrono::milliseconds RECANCEL_INTERVAL{10};

    // Starts `base_workers` workers and the control thread. Ids start at `first_id`
    // (by default somewhere chosen at random).
    explicit Session(std::size_t base_workers, std::uint32_t first_id = random_first_id());
    // Call finish() first. Waits for the threads, which are idle by then.
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // A request read from the extension, in arrival order, with its share of the budget.
    void submit(nlohmann::json request, RequestBudget::Token token);
    // The same, with the command's row as the host looked it up (nullptr: unknown).
    void submit(nlohmann::json request, const CommandRow* row, RequestBudget::Token token);

    // Ends the session: requests not started are answered with an error, waits are
    // cancelled, running calls finish, and the contexts and cards still held are
    // released. False when a call was still running at the deadline (its thread is
    // inside the service; the session must then outlive the process).
    bool finish(std::chrono::steady_clock::time_point deadline);

    std::size_t context_count() const;
    std::size_t worker_count() const;
    std::size_t running_calls() const;

    static std::uint32_t random_first_id();

private:
    struct Job {
        LaneSchedule::Id id = 0;
        nlohmann::json request;
        RequestBudget::Token token;
        RequestRoute route;  // decided when it was read
    };
    class JobHooks;
    friend class JobHooks;

    RequestRoute route_of_unlocked(const nlohmann::json& request, CommandLane kind) const;
    // Answers requests that will not run: the host is shutting down.
    static void refuse_unstarted(std::vector<Job>& jobs);
    // Answers waits that a cancel ended before they started.
    void answer_cancelled(std::vector<Job>& jobs);
    std::vector<Job> take_jobs_unlocked(const std::vector<LaneSchedule::Id>& ids);
    bool start_worker_if_stuck_unlocked();
    void worker_loop(bool extra);
    void control_loop();
    void run(Job& job, bool ended_by_cancel = false);
    void run_cancel(Job& job);
    void cancel_due_waits(std::unique_lock<std::mutex>& lock);
    void release_held_handles(std::chrono::steady_clock::time_point deadline);

    mutable std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable control_ready_;
    std::condition_variable changed_;  // a call ended, a cancel left the service, a thread left

    LaneSchedule::Id next_id_ = 1;
    LaneSchedule schedule_;
    HandleRegistry handles_;
    std::unordered_map<LaneSchedule::Id, Job> jobs_;  // submitted to the schedule, not taken

    struct ControlJob {
        Job job;
        bool cancel = false;
    };
    std::deque<ControlJob> control_;
    bool control_busy_ = false;
    std::size_t idle_workers_ = 0;
    std::size_t workers_ = 0;
    bool control_thread_alive_ = false;
    bool stopping_ = false;
};

}  // namespace Vorn_SCard_Bridge
