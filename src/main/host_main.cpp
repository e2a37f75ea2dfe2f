#include "main/host_main.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <exception>
#include <memory>
#include <string>
#include <thread>

#include "host/thread_pool.h"
#include "logging/logger.h"
#include "messaging/message_reader.h"
#include "messaging/message_sender.h"
#include "messaging/messaging_queue.h"
#include "processing/process_message.h"
#include "support/error_handler.h"
#include "support/exceptions.h"

namespace Vorn_SCard_Bridge {

namespace {

std::atomic<bool> shutdown_requested{false};
std::atomic<int> wake_write_fd{-1};
std::unique_ptr<ThreadPool> thread_pool_ptr;

constexpr std::uint64_t MIN_WORKERS = 3;

// A reader blocked on standard input would otherwise notice a signal only with
// the next frame: the handler also writes to this pipe, which the reader watches.
int make_wake_pipe() {
    int fds[2];
    if (::pipe(fds) != 0) return -1;
    for (const int fd : fds) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        // The handler must never block on a full pipe.
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    wake_write_fd.store(fds[1]);
    return fds[0];
}

}  // namespace

void signal_handler(int /*signal_number*/) {
    shutdown_requested.store(true);
    const int fd = wake_write_fd.load();
    if (fd >= 0) {
        const int saved_errno = errno;
        const char byte = 1;
        [[maybe_unused]] const ssize_t ignored = ::write(fd, &byte, 1);
        errno = saved_errno;
    }
}

HostOutcome run_host() {
    HostIo io;
    io.read_request = [] { return read_message(); };
    io.send_responses = [] { send_message(); };
    io.watch_wake_fd = [](int fd) { set_standard_input_wake_fd(fd); };
    return run_host(io);
}

HostOutcome run_host(const HostIo& io) {
    Logger& logger = Logger::get_instance(LogLevel::INFO,
                                          LogDestination::CONSOLE | LogDestination::FILE |
                                              LogDestination::SYSLOG,
                                          "vorn_scard_bridge.log");
    const LogContext context("Main", "", "");
    logger.info("=== Vorn Smart Card Bridge Starting ===", context);

    if (io.watch_wake_fd) io.watch_wake_fd(make_wake_pipe());
    std::signal(SIGINT, signal_handler);
    std::signal(SIGTERM, signal_handler);
    // A browser that has gone away must not kill us in the middle of a write:
    // the sender reports the failed write instead, and the end of input stops us.
    std::signal(SIGPIPE, SIG_IGN);

    std::uint64_t worker_count = std::thread::hardware_concurrency();
    if (worker_count <= MIN_WORKERS) worker_count = MIN_WORKERS;

    std::thread sender_thread;
    MessagingQueue& queue = MessagingQueue::instance();
    HostOutcome outcome;
    try {
        thread_pool_ptr = std::make_unique<ThreadPool>(worker_count);
        logger.info("Running with " + std::to_string(worker_count) + " worker threads", context);
        sender_thread = std::thread(io.send_responses);
        logger.info("Message processing loop started", context);
        std::uint64_t processed_messages = 0;

        for (;;) {
            if (shutdown_requested.load()) break;
            if (queue.is_shutdown()) {
                logger.info("Shutdown flag detected, exiting main loop", context);
                break;
            }
            try {
                nlohmann::json request = io.read_request();
                if (request.is_null()) continue;
                const std::string command = request["command"].get<std::string>();
                if (command == "shutdown") {
                    shutdown_requested.store(true);
                    break;
                }
                ++processed_messages;
                thread_pool_ptr->enqueue(
                    [task_request = std::move(request)]() mutable {
                        process_message(std::move(task_request));
                    });
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

        queue.shutdown();
        logger.info("Notifying all threads to shutdown", context);
        if (sender_thread.joinable()) {
            logger.info("Waiting for message sender thread to finish", context);
            sender_thread.join();
        }
        if (thread_pool_ptr) {
            outcome.busy_workers = thread_pool_ptr->busy_workers();
            thread_pool_ptr.reset();
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
        // The sender and the workers are still running: stop the sender, leave
        // the workers detached, and let the process end.
        queue.shutdown();
        if (sender_thread.joinable()) sender_thread.join();
        if (thread_pool_ptr) {
            outcome.busy_workers = thread_pool_ptr->busy_workers();
            thread_pool_ptr.reset();
        }
    }
    logger.flush();
    return outcome;
}

}  // namespace Vorn_SCard_Bridge
