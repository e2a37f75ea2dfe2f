#include "host/session.h"

#include <algorithm>
#include <exception>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "logging/logger.h"
#include "messaging/message_sender.h"
#include "processing/command_table.h"
#include "processing/process_message.h"
#include "scard/pcsc_service.h"
#include "scard/session_hooks.h"
#include "support/codecs.h"
#include "support/exceptions.h"

namespace Vorn_SCard_Bridge {

namespace {

constexpr const char* NOT_STARTED_MESSAGE =
    "The host is shutting down: the request was not started";
constexpr std::uint32_t LEAVE_CARD = 0;  // SCARD_LEAVE_CARD

Logger& logger() { return Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {}); }

std::string text_member(const nlohmann::json& request, const char* name) {
    if (!request.is_object()) return {};
    const auto found = request.find(name);
    return found != request.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// The handle at `index` of "params", when it is one the codec reads.
std::optional<std::int32_t> handle_param(const nlohmann::json& request, std::size_t index) {
    if (!request.is_object()) return std::nullopt;
    const auto params = request.find("params");
    if (params == request.end() || !params->is_array() || params->size() <= index ||
        !(*params)[index].is_string()) {
        return std::nullopt;
    }
    try {
        return from_hex((*params)[index].get<std::string>());
    } catch (const std::exception&) {
        return std::nullopt;  // the command's own checks answer it
    }
}

// The answers this thread queued leave, and so do the log lines: a thread that
// finished its work writes them itself instead of waking another for them.
void write_out() {
    write_ready_responses();
    logger().flush();
}

}  // namespace

// What the operations of one request ask of and tell the session.
class Session::JobHooks final : public SessionHooks {
public:
    // `ended_by_cancel`: a wait that a cancel ended before it was started.
    JobHooks(Session& session, const Job& job, bool ended_by_cancel)
        : session_(session), id_(job.id), route_(job.route), ended_by_cancel_(ended_by_cancel) {}

    void reserve(HandleKind kind, std::string_view operation) override {
        const std::lock_guard lock(session_.mutex_);
        if (session_.handles_.reserve(kind)) return;
        throw VornSCardException(
            pcsc::E_NO_MEMORY,
            "Error in " + std::string(operation) + ": Session limit reached: at most " +
                std::to_string(HandleRegistry::cap(kind)) +
                (kind == HandleKind::CONTEXT ? " contexts" : " cards") + " per session");
    }

    std::int32_t opened(HandleKind kind, pcsc::Handle handle, std::int32_t context) override {
        const std::lock_guard lock(session_.mutex_);
        return session_.handles_.add(kind, handle, context);
    }

    void open_failed(HandleKind kind) override {
        const std::lock_guard lock(session_.mutex_);
        session_.handles_.give_back(kind);
    }

    std::optional<pcsc::Handle> service_handle(HandleKind kind, std::int32_t id) override {
        const std::lock_guard lock(session_.mutex_);
        const auto handle = route_.handle(session_.handles_, kind, id);
        if (handle) {
            context_ = kind == HandleKind::CONTEXT ? std::optional(id)
                                                   : session_.handles_.context_of_card(id);
        }
        return handle;
    }

    void closed(HandleKind kind, std::int32_t id, std::int32_t status) override {
        const std::lock_guard lock(session_.mutex_);
        session_.handles_.closed(kind, id, status);
    }

    bool enter_wait() override {
        if (ended_by_cancel_) return false;
        // The wait may last: what was logged so far must not wait with it.
        logger().flush();
        std::unique_lock lock(session_.mutex_);
        for (;;) {
            switch (session_.schedule_.enter_wait(id_)) {
                case LaneSchedule::Entry::ENTER:
                    return true;
                case LaneSchedule::Entry::CANCELLED:
                    return false;
                case LaneSchedule::Entry::HOLD:
                    session_.changed_.wait(lock);
                    break;
            }
        }
    }

    void leave_wait() override {
        const std::lock_guard lock(session_.mutex_);
        session_.schedule_.left_wait(id_);
    }

    // Before the answer goes out: an extension that establishes a new context at once
    // finds the lost one's slot free, whether it releases the old one or not.
    void service_lost() override {
        const std::lock_guard lock(session_.mutex_);
        if (context_) session_.handles_.remove(HandleKind::CONTEXT, *context_);
    }

private:
    Session& session_;
    LaneSchedule::Id id_;
    const RequestRoute& route_;
    bool ended_by_cancel_;
    // The context this request's calls named (a card's context for a card).
    std::optional<std::int32_t> context_;
};

std::uint32_t Session::random_first_id() {
    // Ids that differ from one session to the next: an id from an old session (a
    // page kept it) is not taken for one of this session by chance.
    std::random_device device;
    const auto id = static_cast<std::uint32_t>(device());
    return id == 0 ? 1 : id;
}

Session::Session(std::size_t base_workers, std::uint32_t first_id) : handles_(first_id) {
    const std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < base_workers; ++i) {
        ++workers_;
        std::thread(&Session::worker_loop, this, false).detach();
    }
    control_thread_alive_ = true;
    std::thread(&Session::control_loop, this).detach();
}

Session::~Session() {
    std::unique_lock lock(mutex_);
    stopping_ = true;
    work_ready_.notify_all();
    control_ready_.notify_all();
    changed_.wait(lock, [this] { return workers_ == 0 && !control_thread_alive_; });
}

RequestRoute Session::route_of_unlocked(const nlohmann::json& request, CommandLane kind) const {
    return route_request(handles_, kind, handle_param(request, 0), handle_param(request, 1));
}

std::vector<Session::Job> Session::take_jobs_unlocked(const std::vector<LaneSchedule::Id>& ids) {
    std::vector<Job> taken;
    for (const LaneSchedule::Id id : ids) {
        const auto found = jobs_.find(id);
        if (found == jobs_.end()) continue;
        taken.push_back(std::move(found->second));
        jobs_.erase(found);
    }
    return taken;
}

void Session::submit(nlohmann::json request, const CommandRow*, RequestBudget::Token token) {
    submit(std::move(request), std::move(token));
}

void Session::submit(nlohmann::json request, RequestBudget::Token token) {
    const std::string command = text_member(request, "command");
    const CommandTraits traits = find_command_traits(command);
    CommandLane lane_kind = traits.lane;
    // A wait the service refuses for its size is answered at once, never queued.
    if (lane_kind == CommandLane::CONTEXT && request.is_object()) {
        const auto params = request.find("params");
        if (params != request.end() && exceeds_wait_records(command, *params)) {
            lane_kind = CommandLane::ANY;
        }
    }

    std::unique_lock lock(mutex_);
    Job job{next_id_++, std::move(request), std::move(token), {}};
    job.route = route_of_unlocked(job.request, lane_kind);
    // A call on an id the session does not hold is refused by its own checks, which
    // need neither a turn nor the service.
    if (lane_kind == CommandLane::AT_ONCE || job.route.at_once) {
        // Nothing to wait for: answered here, without waking another thread.
        lock.unlock();
        run(job);  // written once the submitting thread is about to wait
        return;
    }
    // Threads are woken once the lock is free, so that they do not wake only to
    // wait for it.
    if (lane_kind == CommandLane::CONTROL) {
        ControlJob control{std::move(job), traits.cancels};
        std::vector<Job> cancelled;
        if (control.cancel) {
            // Takes effect in arrival order, before any later request is looked at.
            cancelled =
                take_jobs_unlocked(schedule_.cancel(control.job.id, control.job.route.lane));
        }
        control_.push_back(std::move(control));
        lock.unlock();
        control_ready_.notify_one();
        answer_cancelled(cancelled);
        return;
    }
    const LaneSchedule::Id id = job.id;
    const auto kind = traits.waits ? LaneSchedule::Kind::WAIT : LaneSchedule::Kind::CALL;
    if (!schedule_.submit(id, job.route.lane, kind)) {
        lock.unlock();
        std::vector<Job> refused;
        refused.push_back(std::move(job));
        refuse_unstarted(refused);
        return;
    }
    jobs_.emplace(id, std::move(job));
    const bool wake = schedule_.ready_count() > 0 && !start_worker_if_stuck_unlocked();
    lock.unlock();
    if (wake) work_ready_.notify_one();
}

bool Session::start_worker_if_stuck_unlocked() {
    // A call on a context may take as long as the extension asked (an endless
    // wait): when every worker is inside one and calls are ready beyond the idle
    // workers, they would wait for it, so another worker starts. Workers busy with
    // anything else are back soon.
    if (schedule_.ready_count() <= idle_workers_ || schedule_.running_on_lanes() < workers_ ||
        workers_ >= MAX_WORKERS) {
        return false;
    }
    ++workers_;
    std::thread(&Session::worker_loop, this, true).detach();
    return true;
}

void Session::worker_loop(bool extra) {
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto ready = [this] { return stopping_ || schedule_.ready_count() > 0; };
        ++idle_workers_;
        bool woken = true;
        if (extra) {
            woken = work_ready_.wait_for(lock, EXTRA_WORKER_IDLE_TIMEOUT, ready);
        } else {
            work_ready_.wait(lock, ready);
        }
        --idle_workers_;
        if (stopping_ || !woken) break;

        const LaneSchedule::Id id = *schedule_.take_ready();
        Job job = std::move(jobs_.at(id));
        jobs_.erase(id);
        start_worker_if_stuck_unlocked();
        lock.unlock();
        run(job);
        write_out();
        // The job (the rest of its token) goes here, outside the lock.
        job = Job{};
        lock.lock();
        // The next call of its lane, if any, is ready now: this worker goes on with it.
        schedule_.finished(id);
        changed_.notify_all();
    }
    --workers_;
    changed_.notify_all();
}

void Session::control_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto ready = [this] { return stopping_ || !control_.empty(); };
        if (schedule_.due_cancels().empty()) {
            control_ready_.wait(lock, ready);
        } else {
            control_ready_.wait_for(lock, RECANCEL_INTERVAL, ready);
        }
        cancel_due_waits(lock);
        if (control_.empty()) {
            if (stopping_) break;
            continue;
        }
        ControlJob control = std::move(control_.front());
        control_.pop_front();
        control_busy_ = true;
        lock.unlock();
        if (control.cancel) {
            run_cancel(control.job);
        } else {
            run(control.job);
        }
        write_out();
        control = ControlJob{};
        lock.lock();
        control_busy_ = false;
        changed_.notify_all();
    }
    control_thread_alive_ = false;
    changed_.notify_all();
}

void Session::run(Job& job, bool ended_by_cancel) {
    JobHooks hooks(*this, job, ended_by_cancel);
    const ScopedSessionHooks installed(&hooks);
    try {
        // The answer takes the request's place in the budget once written; the
        // request's weight stays counted until the parsed request is gone too (when
        // process_message returns and the job's token goes).
        process_message(std::move(job.request), [&job](nlohmann::json&& response) {
            RequestBudget::Token answer = job.token.split_off(RequestBudget::weight_of(response));
            add_message_to_send_queue(std::move(response), std::move(answer));
        });
    } catch (const std::exception& e) {
        logger().error(std::string("Task failed: ") + e.what(), LogContext());
    } catch (...) {
        logger().error("Task failed with unknown exception", LogContext());
    }
}

void Session::run_cancel(Job& job) {
    const LaneSchedule::Lane lane = job.route.lane;
    run(job);
    if (lane == LaneSchedule::NO_LANE) return;
    const std::lock_guard lock(mutex_);
    // Waits that arrived after the cancel may enter the service now; one that it was
    // meant for and that is still inside is cancelled again (cancel_due_waits).
    schedule_.cancel_sent(lane);
    changed_.notify_all();
}

void Session::answer_cancelled(std::vector<Job>& jobs) {
    // Through the command itself, so that the answer and the log lines are the ones
    // of a wait that a cancel ended; it stops before the service.
    if (jobs.empty()) return;
    for (Job& job : jobs) run(job, true);
    jobs.clear();
    write_out();
}

void Session::cancel_due_waits(std::unique_lock<std::mutex>& lock) {
    for (const LaneSchedule::Lane lane : schedule_.due_cancels()) {
        const auto context = handles_.find(HandleKind::CONTEXT, lane);
        if (!context) continue;
        schedule_.cancel_sending(lane);
        lock.unlock();
        pcsc::cancel(*context);
        lock.lock();
        schedule_.cancel_sent(lane);
        changed_.notify_all();
    }
}

bool Session::finish(std::chrono::steady_clock::time_point deadline) {
    std::vector<Job> unstarted;
    {
        std::unique_lock lock(mutex_);
        unstarted = take_jobs_unlocked(schedule_.shut_down());
        // A wait held back for a cancel in flight is ended now.
        changed_.notify_all();
        cancel_due_waits(lock);
    }

    refuse_unstarted(unstarted);

    std::unique_lock lock(mutex_);
    const auto idle = [this] {
        return schedule_.running() == 0 && control_.empty() && !control_busy_;
    };
    while (!idle() && std::chrono::steady_clock::now() < deadline) {
        changed_.wait_until(
            lock, std::min(deadline, std::chrono::steady_clock::now() + RECANCEL_INTERVAL));
        cancel_due_waits(lock);
    }
    const bool done = idle();
    lock.unlock();
    release_held_handles(deadline);
    return done;
}

void Session::refuse_unstarted(std::vector<Job>& jobs) {
    // Answered in the order they arrived.
    std::sort(jobs.begin(), jobs.end(), [](const Job& a, const Job& b) { return a.id < b.id; });
    for (Job& job : jobs) {
        const std::string request_id = text_member(job.request, "requestId");
        if (request_id.empty()) continue;  // no answer without an id, as ever
        const LogContext context("MessageProcessor", text_member(job.request, "command"),
                                 request_id);
        logger().error("Request not started: the host is shutting down", context);
        add_message_to_send_queue(
            nlohmann::json{{"requestId", request_id},
                           {"status", "error"},
                           {"result", {to_hex(pcsc::E_CANCELLED), NOT_STARTED_MESSAGE}}},
            std::move(job.token));
    }
    jobs.clear();
    write_out();
}

void Session::release_held_handles(std::chrono::steady_clock::time_point deadline) {
    std::vector<HandleRegistry::Entry> cards;
    std::vector<HandleRegistry::Entry> contexts;
    {
        const std::lock_guard lock(mutex_);
        for (const HandleRegistry::Entry& context : handles_.contexts()) {
            // A context whose call is still inside the service is left to the service,
            // which cleans up after the process.
            if (schedule_.lane_busy(context.id)) continue;
            contexts.push_back(context);
            const auto held_cards = handles_.cards_of(context.id);
            cards.insert(cards.end(), held_cards.begin(), held_cards.end());
        }
    }
    std::size_t released_cards = 0;
    std::size_t released_contexts = 0;
    for (const HandleRegistry::Entry& card : cards) {
        if (std::chrono::steady_clock::now() >= deadline) break;
        pcsc::disconnect(card.handle, LEAVE_CARD);
        ++released_cards;
    }
    for (const HandleRegistry::Entry& context : contexts) {
        if (std::chrono::steady_clock::now() >= deadline) break;
        pcsc::release_context(context.handle);
        ++released_contexts;
    }
    if (released_cards + released_contexts > 0) {
        logger().info(
            "Released what the extension left open: " + std::to_string(released_contexts) +
                " contexts, " + std::to_string(released_cards) + " cards",
            LogContext("Session", "finish", ""));
    }
    const std::lock_guard lock(mutex_);
    for (const HandleRegistry::Entry& card : cards) handles_.remove(HandleKind::CARD, card.id);
    for (const HandleRegistry::Entry& context : contexts) {
        handles_.remove(HandleKind::CONTEXT, context.id);
    }
}

std::size_t Session::context_count() const {
    const std::lock_guard lock(mutex_);
    return handles_.count(HandleKind::CONTEXT);
}

std::size_t Session::worker_count() const {
    const std::lock_guard lock(mutex_);
    return workers_;
}

std::size_t Session::running_calls() const {
    const std::lock_guard lock(mutex_);
    return schedule_.running();
}

}  // namespace Vorn_SCard_Bridge
