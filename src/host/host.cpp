#include "host/host.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <exception>
#include <string>
#include <thread>
#include <utility>

#include "host/session.h"
#include "logging/logger.h"
#include "messaging/message_sender.h"
#include "messaging/messaging_queue.h"
#include "platform/fd_events.h"
#include "processing/command_table.h"
#include "support/error_handler.h"
#include "support/exceptions.h"

namespace Vorn_SCard_Bridge {

namespace {

// Set by signal_handler, taken by the run that notices it.
std::atomic<bool> shutdown_requested{false};
// The write end of the current run's wake pipe, for the signal handler.
std::atomic<int> wake_write_fd{-1};

constexpr std::uint64_t MIN_WORKERS = 3;
// Of the exit bound: until then for the calls still running, until then for
// writing their answers; the rest for logging the end.
constexpr auto SESSION_END_SHARE = EXIT_BOUND * 6 / 10;
constexpr auto OUTPUT_END_SHARE = EXIT_BOUND * 9 / 10;

// The service's own "too busy" status, for a request refused at the budget's limit.
constexpr const char* TOO_BUSY = "0x80100031";

Logger& host_logger() {
    return Logger::get_instance(
        LogLevel::INFO, LogDestination::CONSOLE | LogDestination::FILE | LogDestination::SYSLOG,
        "vorn_scard_bridge.log");
}

const LogContext& main_context() {
    static const LogContext context("Main", "", "");
    return context;
}

// A non-blocking pipe whose read end becomes readable when its write end is
// notified: lets a thread waiting on descriptors be woken from a signal handler or
// another thread.
struct NoticePipe {
    int read_fd = -1;
    int write_fd = -1;

    NoticePipe() {
        int fds[2];
        if (!platform::make_notice_pipe(fds)) return;
        read_fd = fds[0];
        write_fd = fds[1];
    }
    ~NoticePipe() {
        for (const int fd : {read_fd, write_fd}) {
            if (fd >= 0) ::close(fd);
        }
    }
    NoticePipe(const NoticePipe&) = delete;
    NoticePipe& operator=(const NoticePipe&) = delete;

    void notify() const { platform::notify(write_fd); }
    void drain() const {
        char bytes[64];
        while (::read(read_fd, bytes, sizeof bytes) > 0) {
        }
    }
};

// Requests that never wait for other work or for a card, and whose answer could
// unblock the rest (a cancel): served even while the budget is at its limit.
bool is_prompt(const CommandRow* row) {
    return row != nullptr &&
           (row->lane == CommandLane::AT_ONCE || row->lane == CommandLane::CONTROL);
}

enum class RoomWait { ROOM_FREED, WOKEN, INPUT_ENDED, OUTPUT_GONE };

// While the answers not yet written are over their bound (or the prompt requests'
// reserve is full): wait for answers to be written, a notice on the wake pipe, the
// browser closing our input (what it wrote before is not read any more: the
// session ends as at the end of input, which the calls that hold the budget, such
// as endless waits, may never reach), or it closing our output (nothing we hold
// can be delivered any more).
RoomWait wait_for_room(const NoticePipe& room, int wake_fd, int input_fd, int output_fd) {
    for (;;) {
        platform::FdWatch fds[4] = {
            {room.read_fd, true}, {wake_fd, true}, {input_fd, false}, {output_fd, false}};
        const int ready = platform::wait_fds(fds, 4, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return RoomWait::OUTPUT_GONE;
        }
        if (fds[1].readable || fds[1].hung_up) return RoomWait::WOKEN;
        if (fds[2].hung_up) return RoomWait::INPUT_ENDED;
        if (fds[3].hung_up) return RoomWait::OUTPUT_GONE;
        if (fds[0].readable || fds[0].hung_up) {
            room.drain();
            return RoomWait::ROOM_FREED;
        }
    }
}

}  // namespace

const char* to_string(CloseReason reason) {
    switch (reason) {
        case CloseReason::OPEN:
            return "open";
        case CloseReason::INPUT_ENDED:
            return "input ended";
        case CloseReason::SIGNALLED:
            return "signalled";
        case CloseReason::SHUTDOWN_REQUEST:
            return "shutdown request";
        case CloseReason::OUTPUT_BROKEN:
            return "output broken";
        case CloseReason::OUTPUT_GONE:
            return "output gone";
        case CloseReason::SECURITY_VIOLATION:
            return "security violation";
        case CloseReason::QUEUE_SHUT_DOWN:
            return "queue shut down";
        case CloseReason::FATAL_ERROR:
            return "fatal error";
    }
    return "?";
}

// The wake pipe is written by close() and the signal handler; the room pipe by
// the budgets and the queue when answers leave.
struct Host::Pipes {
    NoticePipe wake;
    NoticePipe room;
};

void signal_handler(int /*signal_number*/) {
    shutdown_requested.store(true);
    const int fd = wake_write_fd.load();
    if (fd >= 0) platform::notify(fd);
}

Host::Host(HostIo io) : io_(std::move(io)), pipes_(new Pipes()) {}

Host::~Host() {
    int ours = pipes_->wake.write_fd;
    wake_write_fd.compare_exchange_strong(ours, -1);
    if (!leave_pipes_) delete pipes_;
}

void Host::close(CloseReason reason) {
    CloseReason open = CloseReason::OPEN;
    if (!reason_.compare_exchange_strong(open, reason)) return;
    // A reader waiting for input, or the admission waiting for room, wakes.
    pipes_->wake.notify();
}

void Host::before_wait() {
    write_ready_responses();
    host_logger().flush();
}

void Host::refuse_busy(const nlohmann::json& request, const std::string& command) {
    // No answer without a usable id.
    const auto id = request.find("requestId");
    if (id == request.end() || !id->is_string() || id->get_ref<const std::string&>().empty()) {
        return;
    }
    const std::string& request_id = id->get_ref<const std::string&>();
    host_logger().info("Request refused: the host is busy",
                       LogContext("MessageProcessor", command, request_id));
    static const std::string message = "The host is busy: at most " +
                                       std::to_string(RequestBudget::MAX_REQUESTS) + " requests (" +
                                       std::to_string(RequestBudget::MAX_BYTES / (1024 * 1024)) +
                                       " MiB) may wait for their answers at a time";
    add_message_to_send_queue(nlohmann::json{
        {"requestId", request_id}, {"status", "error"}, {"result", {TOO_BUSY, message}}});
}

Admission Host::admit(std::uint32_t length) {
    // Past the budget the host goes on reading, and refuses all but the prompt
    // requests; it stops reading only while the browser does not take its answers.
    MessagingQueue& queue = MessagingQueue::instance();
    for (;;) {
        if (reason_.load() != CloseReason::OPEN || shutdown_requested.load()) {
            return {FrameReading::STOP, {}, false};
        }
        if (!queue.over_unwritten_bound()) {
            const std::size_t weight = RequestBudget::reservation_for_frame(length);
            RequestBudget::Token token = budget_->try_take(weight);
            if (token.holds()) return {FrameReading::WHOLE, std::move(token), false};
            if (length > RequestBudget::MAX_PROMPT_FRAME) return {FrameReading::ENVELOPE, {}, true};
            token = prompt_budget_->try_take(weight);
            if (token.holds()) return {FrameReading::WHOLE, std::move(token), true};
        }
        // Answers held here are part of what is not written.
        before_wait();
        switch (wait_for_room(pipes_->room, pipes_->wake.read_fd, io_.input_fd, io_.output_fd)) {
            case RoomWait::INPUT_ENDED:
                host_logger().info("Pipe closed by Chrome, exiting...", main_context());
                close(CloseReason::INPUT_ENDED);
                return {FrameReading::STOP, {}, false};
            case RoomWait::OUTPUT_GONE:
                host_logger().info("Output closed by the browser, exiting...", main_context());
                close(CloseReason::OUTPUT_GONE);
                return {FrameReading::STOP, {}, false};
            case RoomWait::WOKEN:
                return {FrameReading::STOP, {}, false};
            case RoomWait::ROOM_FREED:
                break;
        }
    }
}

void Host::serve_one() {
    Logger& logger = host_logger();
    try {
        ReadRequest read = io_.read_request([this](std::uint32_t length) { return admit(length); });
        if (read.input_ended) {
            close(CloseReason::INPUT_ENDED);
            return;
        }
        if (read.request.is_null()) return;
        const std::string command = read.request["command"].get<std::string>();
        const CommandRow* row = find_command(command);
        if (row != nullptr && row->has(ENDS_SESSION)) {
            close(CloseReason::SHUTDOWN_REQUEST);
            return;
        }
        ++processed_messages_;
        if (read.admission.over_budget &&
            (read.admission.reading == FrameReading::ENVELOPE || !is_prompt(row))) {
            read.admission.token = {};
            refuse_busy(read.request, command);
            return;
        }
        session_->submit(std::move(read.request), row, std::move(read.admission.token));
    } catch (const SecurityException& e) {
        logger.critical(std::string("Security violation: ") + e.what(), main_context());
        if (e.get_severity() == SecuritySeverity::CRITICAL) {
            logger.critical("Critical security violation, shutting down", main_context());
            close(CloseReason::SECURITY_VIOLATION);
        }
    } catch (const VornException& e) {
        ErrorHandler::get_instance().handle_error(e, "main_loop");
    } catch (const std::exception& e) {
        logger.error(std::string("Error processing message: ") + e.what(), main_context());
    }
}

// What was read is answered: calls that started finish (waits are cancelled), the
// others are refused; then the answers are written, as far as the browser takes
// them within the exit bound. The threads still busy at the bound, if any.
std::uint64_t Host::shut_down(std::thread& sender_thread) {
    Logger& logger = host_logger();
    const LogContext& context = main_context();
    MessagingQueue& queue = MessagingQueue::instance();
    before_wait();
    const auto stop_began = std::chrono::steady_clock::now();
    const bool calls_done = session_->finish(stop_began + SESSION_END_SHARE);
    logger.info("Notifying all threads to shutdown", context);
    const bool answers_written = queue.wait_until_written(stop_began + OUTPUT_END_SHARE);
    queue.shutdown();
    if (sender_thread.joinable()) {
        logger.info("Waiting for message sender thread to finish", context);
        if (answers_written) {
            sender_thread.join();
        } else {
            sender_thread.detach();  // stuck in a write nobody takes
        }
    }
    if (calls_done && answers_written) {
        session_.reset();
        return 0;
    }
    // A thread is still inside the service or a write: the session stays for it.
    return std::max<std::uint64_t>(session_->running_calls(), 1);
}

HostOutcome Host::run() {
    Logger& logger = host_logger();
    const LogContext& context = main_context();
    // Lines are written together, whenever a thread of the host is about to wait: the
    // first ones too, so that the start does not wait for the log.
    logger.hold_lines(true);
    logger.info("=== Vorn Smart Card Bridge Starting ===", context);

    // The signal handler writes to the wake pipe, which the reader watches: a reader
    // blocked on its input would otherwise notice a signal only with the next frame.
    wake_write_fd.store(pipes_->wake.write_fd);
    if (io_.watch_wake_fd) io_.watch_wake_fd(pipes_->wake.read_fd, [this] { before_wait(); });
    // A browser that has gone away must not kill us in the middle of a write: the
    // sender reports the failed write instead, and the run closes.
    platform::on_shutdown_request([] { signal_handler(SIGTERM); });

    std::uint64_t worker_count = std::thread::hardware_concurrency();
    if (worker_count <= MIN_WORKERS) worker_count = MIN_WORKERS;

    MessagingQueue& queue = MessagingQueue::instance();
    Pipes* const pipes = pipes_;
    budget_ = std::make_unique<RequestBudget>();
    prompt_budget_ =
        std::make_unique<RequestBudget>([pipes] { pipes->room.notify(); }, RequestBudget::PROMPT);
    queue.set_on_room([pipes] { pipes->room.notify(); });
    // The thread that finishes an answer writes it, unless the browser is not ready
    // for it.
    if (io_.share_output) share_output(io_.output_fd);

    std::thread sender_thread;
    HostOutcome outcome;
    try {
        session_ = std::make_unique<Session>(worker_count);
        logger.info("Running with " + std::to_string(worker_count) + " worker threads", context);
        sender_thread =
            std::thread(io_.send_responses, [this] { close(CloseReason::OUTPUT_BROKEN); });
        logger.info("Message processing loop started", context);

        for (;;) {
            if (shutdown_requested.exchange(false)) close(CloseReason::SIGNALLED);
            if (reason_.load() != CloseReason::OPEN) break;
            if (queue.is_shutdown()) {
                logger.info("Shutdown flag detected, exiting main loop", context);
                close(CloseReason::QUEUE_SHUT_DOWN);
                break;
            }
            serve_one();
        }

        outcome.busy_workers = shut_down(sender_thread);
        logger.info("Total messages processed: " + std::to_string(processed_messages_), context);
        logger.info("=== Vorn Smart Card Bridge Shutdown Complete ===", context);
    } catch (const VornException& e) {
        ErrorHandler::get_instance().handle_error(e, "main_initialization");
        outcome.exit_code = 1;
    } catch (const std::exception& e) {
        logger.critical(std::string("Fatal error in main: ") + e.what(), context);
        outcome.exit_code = 1;
    }
    if (outcome.exit_code != 0) {
        // The sender and the workers may still be running: leave them, and let the
        // process end without waiting for them.
        close(CloseReason::FATAL_ERROR);
        queue.shutdown();
        if (sender_thread.joinable()) sender_thread.detach();
        outcome.busy_workers = std::max<std::uint64_t>(outcome.busy_workers, 1);
    }
    if (outcome.busy_workers > 0) {
        // Threads still running use the session, the budgets their answers hold and
        // the pipes those notify: they stay for them.
        (void)session_.release();
        (void)budget_.release();
        (void)prompt_budget_.release();
        leave_pipes_ = true;
    } else {
        // What the run shut down is open again for the next one.
        queue.set_on_room({});
        if (io_.share_output) share_output(-1);
        queue.reopen();
    }
    outcome.reason = reason_.load();
    // Everything held is written; a thread still running writes its lines at once.
    logger.hold_lines(false);
    return outcome;
}

}  // namespace Vorn_SCard_Bridge
