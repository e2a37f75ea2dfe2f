#include "main/host_main.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "host/session.h"
#include "logging/logger.h"
#include "messaging/message_sender.h"
#include "messaging/messaging_queue.h"
#include "messaging/request_budget.h"
#include "platform/fd_events.h"
#include "processing/command_table.h"
#include "support/error_handler.h"
#include "support/exceptions.h"

namespace Vorn_SCard_Bridge {

namespace {

std::atomic<bool> shutdown_requested{false};
std::atomic<int> wake_write_fd{-1};

constexpr std::uint64_t MIN_WORKERS = 3;
// Of the exit bound: until then for the calls still running, until then for
// writing their answers; the rest for logging the end.
constexpr auto SESSION_END_SHARE = EXIT_BOUND * 6 / 10;
constexpr auto OUTPUT_END_SHARE = EXIT_BOUND * 9 / 10;

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
    NoticePipe(const NoticePipe&) = delete;
    NoticePipe& operator=(const NoticePipe&) = delete;

    void notify() const { platform::notify(write_fd); }
    void drain() const {
        char bytes[64];
        while (::read(read_fd, bytes, sizeof bytes) > 0) {
        }
    }
};

// The service's own "too busy" status, for a request refused at the budget's limit.
constexpr const char* TOO_BUSY = "0x80100031";

// Requests that never wait for other work or for a card, and whose answer could
// unblock the rest (a cancel): served even while the budget is at its limit.
bool is_prompt(const CommandRow* row) {
    const CommandLane lane = row != nullptr ? row->lane : CommandLane::ANY;
    return lane == CommandLane::AT_ONCE || lane == CommandLane::CONTROL;
}

// Answered at once with the service's "too busy"; no answer without a usable id.
void refuse_busy(const nlohmann::json& request, const std::string& command) {
    const auto id = request.find("requestId");
    if (id == request.end() || !id->is_string() || id->get_ref<const std::string&>().empty()) {
        return;
    }
    const std::string& request_id = id->get_ref<const std::string&>();
    Logger::get_instance(LogLevel::ERROR, LogDestination::CONSOLE, {})
        .info("Request refused: the host is busy",
              LogContext("MessageProcessor", command, request_id));
    static const std::string message = "The host is busy: at most " +
                                       std::to_string(RequestBudget::MAX_REQUESTS) + " requests (" +
                                       std::to_string(RequestBudget::MAX_BYTES / (1024 * 1024)) +
                                       " MiB) may wait for their answers at a time";
    add_message_to_send_queue(nlohmann::json{
        {"requestId", request_id}, {"status", "error"}, {"result", {TOO_BUSY, message}}});
}

enum class RoomWait { ROOM_FREED, SIGNALLED, INPUT_ENDED, OUTPUT_GONE };

// While the answers not yet written are over their bound (or the prompt requests'
// reserve is full): wait for answers to be written, a signal, the
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
        if (fds[1].readable || fds[1].hung_up) return RoomWait::SIGNALLED;
        if (fds[2].hung_up) return RoomWait::INPUT_ENDED;
        if (fds[3].hung_up) return RoomWait::OUTPUT_GONE;
        if (fds[0].readable || fds[0].hung_up) {
            room.drain();
            return RoomWait::ROOM_FREED;
        }
    }
}

}  // namespace

void signal_handler(int /*signal_number*/) {
    shutdown_requested.store(true);
    const int fd = wake_write_fd.load();
    if (fd >= 0) platform::notify(fd);
}

HostOutcome run_host() {
    // A closed descriptor 0, 1 or 2 would be taken by the next file the host opens
    // (the log file, a pipe) and read or written as the channel.
    platform::prepare_standard_streams();
    // Frames go to a descriptor of their own; what a library prints goes to the log.
    static const int frames_fd = [] {
        const int fd = platform::take_frame_output();
        return fd >= 0 ? fd : STDOUT_FILENO;
    }();
    HostIo io;
    io.read_request = [](const FrameAdmission& admit) { return read_message(admit); };
    io.send_responses = [](const std::function<void()>& output_broken) {
        send_message_to(frames_fd, output_broken);
    };
    io.watch_wake_fd = [](int fd, std::function<void()> before_wait) {
        set_standard_input_wake_fd(fd, std::move(before_wait));
    };
    io.input_fd = STDIN_FILENO;
    io.output_fd = frames_fd;
    // The thread that finishes an answer writes it, unless the browser is not ready
    // for it.
    share_output(frames_fd);
    return run_host(io);
}

HostOutcome run_host(const HostIo& io) {
    Logger& logger = Logger::get_instance(
        LogLevel::INFO, LogDestination::CONSOLE | LogDestination::FILE | LogDestination::SYSLOG,
        "vorn_scard_bridge.log");
    const LogContext context("Main", "", "");
    // Lines are written together, whenever a thread of the host is about to wait: the
    // first ones too, so that the start does not wait for the log.
    logger.hold_lines(true);
    logger.info("=== Vorn Smart Card Bridge Starting ===", context);
    // What the reading thread does before it waits: the answers it gave and the
    // lines logged so far leave.
    const auto before_wait = [&logger] {
        write_ready_responses();
        logger.flush();
    };

    // The signal handler writes to this pipe, which the reader watches: a reader
    // blocked on standard input would otherwise notice a signal only with the next frame.
    static const NoticePipe wake;
    wake_write_fd.store(wake.write_fd);
    if (io.watch_wake_fd) io.watch_wake_fd(wake.read_fd, before_wait);
    // A browser that has gone away must not kill us in the middle of a write: the
    // sender reports the failed write instead, and the host ends.
    platform::on_shutdown_request([] { signal_handler(SIGTERM); });

    std::uint64_t worker_count = std::thread::hardware_concurrency();
    if (worker_count <= MIN_WORKERS) worker_count = MIN_WORKERS;

    std::thread sender_thread;
    MessagingQueue& queue = MessagingQueue::instance();
    HostOutcome outcome;
    std::unique_ptr<Session> session;
    // Static: answers still queued when the host returns hold tokens of the budgets,
    // and the queue keeps the notice.
    static const NoticePipe room;
    static RequestBudget budget;
    static RequestBudget prompt_budget([] { room.notify(); }, RequestBudget::PROMPT);
    queue.set_on_room([] { room.notify(); });
    try {
        session = std::make_unique<Session>(worker_count);
        logger.info("Running with " + std::to_string(worker_count) + " worker threads", context);
        // Nobody takes our answers any more: end as on a signal.
        sender_thread = std::thread(io.send_responses, [] { signal_handler(SIGTERM); });
        logger.info("Message processing loop started", context);
        std::uint64_t processed_messages = 0;

        // Past the budget the host goes on reading, and refuses all but the prompt
        // requests; it stops reading only while the browser does not take its answers.
        RequestBudget::Token admitted;
        bool over_budget = false;
        bool envelope_only = false;
        const FrameAdmission admit = [&](std::uint32_t length) {
            for (;;) {
                if (shutdown_requested.load()) return FrameReading::STOP;
                if (!queue.over_unwritten_bound()) {
                    const std::size_t weight = RequestBudget::reservation_for_frame(length);
                    admitted = budget.try_take(weight);
                    over_budget = !admitted.holds();
                    if (!over_budget) return FrameReading::WHOLE;
                    envelope_only = length > RequestBudget::MAX_PROMPT_FRAME;
                    if (envelope_only) return FrameReading::ENVELOPE;
                    admitted = prompt_budget.try_take(weight);
                    if (admitted.holds()) return FrameReading::WHOLE;
                }
                // Answers held here are part of what is not written.
                before_wait();
                const RoomWait waited =
                    wait_for_room(room, wake.read_fd, io.input_fd, io.output_fd);
                if (waited == RoomWait::INPUT_ENDED) {
                    logger.info("Pipe closed by Chrome, exiting...", context);
                    shutdown_requested.store(true);
                    return FrameReading::STOP;
                }
                if (waited == RoomWait::OUTPUT_GONE) {
                    logger.info("Output closed by the browser, exiting...", context);
                    shutdown_requested.store(true);
                    return FrameReading::STOP;
                }
                if (waited == RoomWait::SIGNALLED) return FrameReading::STOP;
            }
        };

        for (;;) {
            if (shutdown_requested.load()) break;
            if (queue.is_shutdown()) {
                logger.info("Shutdown flag detected, exiting main loop", context);
                break;
            }
            try {
                over_budget = envelope_only = false;
                nlohmann::json request = io.read_request(admit);
                RequestBudget::Token token = std::move(admitted);
                const bool refused = over_budget;
                if (request.is_null()) continue;
                const std::string command = request["command"].get<std::string>();
                // The command's row, looked up once for the request's whole way.
                const CommandRow* row = find_command(command);
                if (row != nullptr && row->has(ENDS_SESSION)) {
                    shutdown_requested.store(true);
                    break;
                }
                ++processed_messages;
                if (refused && (envelope_only || !is_prompt(row))) {
                    token = {};
                    refuse_busy(request, command);
                    continue;
                }
                session->submit(std::move(request), row, std::move(token));
            } catch (const SecurityException& e) {
                logger.critical(std::string("Security violation: ") + e.what(), context);
                if (e.get_severity() == SecuritySeverity::CRITICAL) {
                    logger.critical("Critical security violation, shutting down", context);
                    break;
                }
            } catch (const VornException& e) {
                ErrorHandler::get_instance().handle_error(e, "main_loop");
            } catch (const std::exception& e) {
                logger.error(std::string("Error processing message: ") + e.what(), context);
            }
        }

        // What was read is answered: calls that started finish (waits are
        // cancelled), the others are refused; then the answers are written, as far
        // as the browser takes them within the exit bound.
        before_wait();
        const auto stop_began = std::chrono::steady_clock::now();
        const bool calls_done = session->finish(stop_began + SESSION_END_SHARE);
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
            session.reset();
        } else {
            // A thread is still inside the service or a write: the session stays for it.
            outcome.busy_workers = std::max<std::uint64_t>(session->running_calls(), 1);
            (void)session.release();
        }
        logger.info("Total messages processed: " + std::to_string(processed_messages), context);
        logger.info("=== Vorn Smart Card Bridge Shutdown Complete ===", context);
        outcome.exit_code = 0;
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
        queue.shutdown();
        if (sender_thread.joinable()) sender_thread.detach();
        if (session) {
            (void)session.release();
        }
        outcome.busy_workers = std::max<std::uint64_t>(outcome.busy_workers, 1);
    }
    // Everything held is written; a thread still running writes its lines at once.
    logger.hold_lines(false);
    return outcome;
}

}  // namespace Vorn_SCard_Bridge
