#include "host/session.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "logging/logger.h"
#include "messaging/message_sender.h"
#include "processing/commands.h"
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

// What the operations of one request tell the session.
class Session::JobHooks final : public SessionHooks {
public:
    JobHooks(Session& session, Job& job) : session_(session), job_(job) {}

    void reserve(HandleKind kind, std::string_view operation) override {
        const std::lock_guard lock(session_.mutex_);
        const bool context = kind == HandleKind::CONTEXT;
        const std::size_t held = context ? session_.contexts_.size() + session_.opening_contexts_
                                         : session_.card_contexts_.size() + session_.opening_cards_;
        const std::size_t cap = context ? MAX_CONTEXTS : MAX_CARDS;
        if (held >= cap) {
            throw VornSCardException(pcsc::E_NO_MEMORY,
                                     "Error in " + std::string(operation) +
                                         ": Session limit reached: at most " + std::to_string(cap) +
                                         (context ? " contexts" : " cards") + " per session");
        }
        ++(context ? session_.opening_contexts_ : session_.opening_cards_);
    }

    void opened(HandleKind kind, std::int32_t handle, std::int32_t context) override {
        const std::lock_guard lock(session_.mutex_);
        if (kind == HandleKind::CONTEXT) {
            --session_.opening_contexts_;
            session_.contexts_.insert_or_assign(handle, std::make_shared<Lane>(handle));
        } else {
            --session_.opening_cards_;
            session_.card_contexts_.insert_or_assign(handle, context);
        }
    }

    void open_failed(HandleKind kind) override {
        const std::lock_guard lock(session_.mutex_);
        --(kind == HandleKind::CONTEXT ? session_.opening_contexts_ : session_.opening_cards_);
    }

    void closed(HandleKind kind, std::int32_t handle, std::int32_t status) override {
        // Anything but these leaves the handle open in the service.
        if (status != pcsc::SUCCESS && status != pcsc::E_INVALID_HANDLE) return;
        const std::lock_guard lock(session_.mutex_);
        if (kind == HandleKind::CONTEXT) {
            session_.contexts_.erase(handle);
            std::erase_if(session_.card_contexts_,
                          [handle](const auto& card) { return card.second == handle; });
        } else {
            session_.card_contexts_.erase(handle);
        }
    }

    bool enter_wait() override {
        if (!job_.lane) return true;
        Lane& lane = *job_.lane;
        // The wait may last: what was logged so far must not wait with it.
        logger().flush();
        std::unique_lock lock(session_.mutex_);
        // A cancel on its way to the service must not meet this wait: it was meant
        // for an earlier one.
        session_.changed_.wait(lock, [&] { return lane.cancels_in_flight == 0; });
        if (job_.sequence < lane.cancelled_before) return false;
        lane.wait_inside = true;
        return true;
    }

    void leave_wait() override {
        if (!job_.lane) return;
        const std::lock_guard lock(session_.mutex_);
        job_.lane->wait_inside = false;
        job_.lane->recancel = false;
    }

private:
    Session& session_;
    Job& job_;
};

Session::Session(std::size_t base_workers) {
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

std::shared_ptr<Session::Lane> Session::lane_for_unlocked(const nlohmann::json& request,
                                                          CommandLane kind) const {
    if (kind == CommandLane::CONTEXT) {
        const auto context = handle_param(request, 0);
        if (!context) return nullptr;
        const auto found = contexts_.find(*context);
        return found == contexts_.end() ? nullptr : found->second;
    }
    if (kind == CommandLane::CARD) {
        const auto card = handle_param(request, 1);
        if (!card) return nullptr;
        const auto card_found = card_contexts_.find(*card);
        if (card_found == card_contexts_.end()) return nullptr;
        const auto found = contexts_.find(card_found->second);
        return found == contexts_.end() ? nullptr : found->second;
    }
    return nullptr;
}

void Session::submit(nlohmann::json request, RequestBudget::Token token) {
    const std::string command = text_member(request, "command");
    CommandLane kind = find_command_lane(command);
    // A wait the service refuses for its size is answered at once, never queued.
    if (kind == CommandLane::CONTEXT && request.is_object()) {
        const auto params = request.find("params");
        if (params != request.end() && exceeds_wait_records(command, *params)) {
            kind = CommandLane::ANY;
        }
    }

    std::unique_lock lock(mutex_);
    Job job{next_sequence_++, std::move(request), std::move(token), nullptr};
    if (kind == CommandLane::AT_ONCE) {
        // Nothing to wait for: answered here, without waking another thread.
        lock.unlock();
        run(job);  // written once the submitting thread is about to wait
        return;
    }
    // Threads are woken once the lock is free, so that they do not wake only to
    // wait for it.
    if (kind == CommandLane::CONTROL) {
        control_.push_back(std::move(job));
        lock.unlock();
        control_ready_.notify_one();
        return;
    }
    job.lane = lane_for_unlocked(job.request, kind);
    if (job.lane && job.lane->busy) {
        job.lane->queued.push_back(std::move(job));
        return;
    }
    if (job.lane) job.lane->busy = true;
    const bool wake = make_ready_unlocked(std::move(job));
    lock.unlock();
    if (wake) work_ready_.notify_one();
}

bool Session::make_ready_unlocked(Job job) {
    ready_.push_back(std::move(job));
    return !start_worker_if_stuck_unlocked();
}

bool Session::start_worker_if_stuck_unlocked() {
    // A call on a context may take as long as the extension asked (an endless
    // wait): when every worker is inside one and calls are ready beyond the idle
    // workers, they would wait for it, so another worker starts. Workers busy with
    // anything else are back soon.
    if (ready_.size() <= idle_workers_ || context_calls_ < workers_ || workers_ >= MAX_WORKERS) {
        return false;
    }
    ++workers_;
    std::thread(&Session::worker_loop, this, true).detach();
    return true;
}

void Session::worker_loop(bool extra) {
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto ready = [this] { return stopping_ || !ready_.empty(); };
        ++idle_workers_;
        bool woken = true;
        if (extra) {
            woken = work_ready_.wait_for(lock, EXTRA_WORKER_IDLE_TIMEOUT, ready);
        } else {
            work_ready_.wait(lock, ready);
        }
        --idle_workers_;
        if (stopping_ || !woken) break;

        {
            Job job = std::move(ready_.front());
            ready_.pop_front();
            ++running_;
            if (job.lane) {
                job.lane->running = job.sequence;
                ++context_calls_;
                start_worker_if_stuck_unlocked();
            }
            lock.unlock();
            run(job);
            write_out();
            // The job (the rest of its token) goes here, outside the lock.
            const std::shared_ptr<Lane> lane = std::move(job.lane);
            job = Job{};
            std::vector<Job> refused;
            lock.lock();
            if (lane) {
                --context_calls_;
                lane->running = 0;
                lane->wait_inside = false;
                lane->recancel = false;
                if (closing_) {
                    // Calls queued on a context released meanwhile, which the end of the
                    // session did not find among the held ones.
                    for (Job& queued : lane->queued) refused.push_back(std::move(queued));
                    lane->queued.clear();
                }
                if (!lane->queued.empty()) {
                    // This worker goes on with it: nobody else needs waking.
                    ready_.push_back(std::move(lane->queued.front()));
                    lane->queued.pop_front();
                } else {
                    lane->busy = false;
                }
            }
            if (!refused.empty()) {
                // Still counted as running: the end of the session waits for these answers.
                lock.unlock();
                refuse_unstarted(refused);
                lock.lock();
            }
            --running_;
        }
        changed_.notify_all();
    }
    --workers_;
    changed_.notify_all();
}

void Session::control_loop() {
    std::unique_lock lock(mutex_);
    for (;;) {
        const auto ready = [this] { return stopping_ || !control_.empty(); };
        const bool recancels =
            std::any_of(contexts_.begin(), contexts_.end(),
                        [](const auto& entry) { return entry.second->recancel; });
        if (recancels) {
            control_ready_.wait_for(lock, RECANCEL_INTERVAL, ready);
        } else {
            control_ready_.wait(lock, ready);
        }
        recancel_due_lanes(lock);
        if (control_.empty()) {
            if (stopping_) break;
            continue;
        }
        Job job = std::move(control_.front());
        control_.pop_front();
        control_busy_ = true;
        lock.unlock();
        if (text_member(job.request, "command") == "cancel") {
            run_cancel(job);
        } else {
            run(job);
        }
        write_out();
        job = Job{};
        lock.lock();
        control_busy_ = false;
        changed_.notify_all();
    }
    control_thread_alive_ = false;
    changed_.notify_all();
}

void Session::run(Job& job) {
    JobHooks hooks(*this, job);
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
    std::shared_ptr<Lane> lane;
    {
        const std::lock_guard lock(mutex_);
        lane = lane_for_unlocked(job.request, CommandLane::CONTEXT);
        if (lane) {
            lane->cancelled_before = std::max(lane->cancelled_before, job.sequence);
            ++lane->cancels_in_flight;
        }
    }
    run(job);
    if (!lane) return;
    const std::lock_guard lock(mutex_);
    --lane->cancels_in_flight;
    // The service drops a cancel that comes while the wait is still on its way in:
    // repeat it until the wait has left.
    if (lane->wait_inside && lane->running < lane->cancelled_before) lane->recancel = true;
    changed_.notify_all();
}

void Session::recancel_due_lanes(std::unique_lock<std::mutex>& lock) {
    std::vector<std::shared_ptr<Lane>> due;
    for (const auto& [context, lane] : contexts_) {
        if (!lane->recancel) continue;
        if (lane->wait_inside && lane->running < lane->cancelled_before) {
            due.push_back(lane);
        } else {
            lane->recancel = false;
        }
    }
    for (const auto& lane : due) cancel_in_service(*lane, lock);
}

void Session::cancel_in_service(Lane& lane, std::unique_lock<std::mutex>& lock) {
    ++lane.cancels_in_flight;
    lock.unlock();
    pcsc::cancel(lane.context);
    lock.lock();
    --lane.cancels_in_flight;
    changed_.notify_all();
}

bool Session::finish(std::chrono::steady_clock::time_point deadline) {
    std::vector<Job> unstarted;
    {
        std::unique_lock lock(mutex_);
        closing_ = true;
        for (Job& job : ready_) unstarted.push_back(std::move(job));
        ready_.clear();
        for (const auto& [context, lane] : contexts_) {
            for (Job& job : lane->queued) unstarted.push_back(std::move(job));
            lane->queued.clear();
            // No wait starts any more, and the ones inside are ended.
            lane->cancelled_before = std::numeric_limits<std::uint64_t>::max();
            if (lane->wait_inside) lane->recancel = true;
        }
        recancel_due_lanes(lock);
    }

    refuse_unstarted(unstarted);

    std::unique_lock lock(mutex_);
    const auto idle = [this] { return running_ == 0 && control_.empty() && !control_busy_; };
    while (!idle() && std::chrono::steady_clock::now() < deadline) {
        changed_.wait_until(
            lock, std::min(deadline, std::chrono::steady_clock::now() + RECANCEL_INTERVAL));
        recancel_due_lanes(lock);
    }
    const bool done = idle();
    lock.unlock();
    release_held_handles(deadline);
    return done;
}

void Session::refuse_unstarted(std::vector<Job>& jobs) {
    // Answered in the order they arrived.
    std::sort(jobs.begin(), jobs.end(),
              [](const Job& a, const Job& b) { return a.sequence < b.sequence; });
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
    std::vector<std::int32_t> cards;
    std::vector<std::int32_t> contexts;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [context, lane] : contexts_) {
            // A context whose call is still inside the service is left to the service,
            // which cleans up after the process.
            if (lane->running != 0) continue;
            contexts.push_back(context);
            for (const auto& [card, card_context] : card_contexts_) {
                if (card_context == context) cards.push_back(card);
            }
        }
    }
    std::size_t released_cards = 0;
    std::size_t released_contexts = 0;
    for (const std::int32_t card : cards) {
        if (std::chrono::steady_clock::now() >= deadline) break;
        pcsc::disconnect(card, LEAVE_CARD);
        ++released_cards;
    }
    for (const std::int32_t context : contexts) {
        if (std::chrono::steady_clock::now() >= deadline) break;
        pcsc::release_context(context);
        ++released_contexts;
    }
    if (released_cards + released_contexts > 0) {
        logger().info(
            "Released what the extension left open: " + std::to_string(released_contexts) +
                " contexts, " + std::to_string(released_cards) + " cards",
            LogContext("Session", "finish", ""));
    }
    const std::lock_guard lock(mutex_);
    for (const std::int32_t card : cards) card_contexts_.erase(card);
    for (const std::int32_t context : contexts) contexts_.erase(context);
}

std::size_t Session::context_count() const {
    const std::lock_guard lock(mutex_);
    return contexts_.size();
}

std::size_t Session::worker_count() const {
    const std::lock_guard lock(mutex_);
    return workers_;
}

std::size_t Session::running_calls() const {
    const std::lock_guard lock(mutex_);
    return running_;
}

}  // namespace Vorn_SCard_Bridge
