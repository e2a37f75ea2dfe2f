#pragma once

// The host: owner of the channel to the extension for one run. It holds the reader,
// the sender thread, the budgets of the requests and the session, and every way
// the run can end goes through close(reason): the end of the input, a signal, a
// "shutdown" request, an output that is broken or gone, a critical security
// violation, a fatal error. What a run shuts down (the queue of answers, the
// output shared with the workers) it opens again at its end, once nothing of it
// runs any more, so that runs can follow one another in one process.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "messaging/message_reader.h"
#include "messaging/request_budget.h"

namespace Vorn_SCard_Bridge {

class Session;
struct CommandRow;

struct HostIo {
    // Reads the next request (read_request), asking the admission before it reads
    // a frame's text.
    std::function<ReadRequest(const FrameAdmission& admit)> read_request;
    // Body of the sender thread (send_message_to); calls `output_broken` when the
    // responses can no longer be written.
    std::function<void(const std::function<void()>& output_broken)> send_responses;
    // Readable end of the pipe that close() and the signal handler write to, handed
    // to the reader before the first read, with what the reader runs each time
    // before it waits for input (writing out the answers and log lines it holds).
    std::function<void(int wake_fd, std::function<void()> before_wait)> watch_wake_fd;
    // Where the requests come from and the responses go, watched while the host
    // holds back reading (a browser that has gone away closes them); -1 for none.
    int input_fd = -1;
    int output_fd = -1;
    // The threads that finish answers write them to `output_fd` themselves
    // (share_output) for the run.
    bool share_output = false;
};

// From a shutdown request, the end of input or a signal to the end of the
// process, whatever the browser does with the pipes.
inline constexpr std::chrono::milliseconds EXIT_BOUND{1000};

// Why a run ended; the first reason given to close() holds.
enum class CloseReason {
    OPEN,
    INPUT_ENDED,         // the browser closed our input, or it cannot be read
    SIGNALLED,           // SIGINT or SIGTERM (a console event on Windows)
    SHUTDOWN_REQUEST,    // the extension asked for it
    OUTPUT_BROKEN,       // a write of the answers failed
    OUTPUT_GONE,         // the browser closed our output while we waited for it
    SECURITY_VIOLATION,  // a critical one
    QUEUE_SHUT_DOWN,     // the answers' queue was shut down under the run
    FATAL_ERROR,         // start-up or shutdown failed
};
const char* to_string(CloseReason reason);

struct HostOutcome {
    int exit_code = 0;
    // Threads still inside a call, or a write the browser does not take, when the
    // host stopped: the process must end without running static destructors under them.
    std::uint64_t busy_workers = 0;
    CloseReason reason = CloseReason::OPEN;
};

class Host {
public:
    explicit Host(HostIo io);
    // After run(). A run that left busy workers keeps what they use alive, but
    // they may still close the run: such a Host is best left for the process's end.
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    // Start-up, the host loop and the ordered shutdown. Once per Host.
    HostOutcome run();

    // Ends the run, from any thread and from a signal handler (it only stores the
    // reason and wakes the reader): the loop leaves at its next turn, or at once
    // when it waits for input or for room. The first reason holds.
    void close(CloseReason reason);
    CloseReason close_reason() const { return reason_.load(); }

private:
    struct Pipes;
    // Room for a frame of `length` bytes, as the budgets and the unwritten answers allow.
    Admission admit(std::uint32_t length);
    // One turn of the loop: reads a request and hands it on (or refuses it).
    void serve_one();
    void refuse_busy(const nlohmann::json& request, const std::string& command);
    // What the reading thread does before it waits: the answers it gave and the
    // lines logged so far leave.
    void before_wait();
    std::uint64_t shut_down(std::thread& sender_thread);

    HostIo io_;
    std::atomic<CloseReason> reason_{CloseReason::OPEN};
    // Read by close() on any thread; kept for the threads a run leaves busy.
    Pipes* const pipes_;
    bool leave_pipes_ = false;
    // Answers not yet written hold tokens of these: they live as long as the answers.
    std::unique_ptr<RequestBudget> budget_;
    std::unique_ptr<RequestBudget> prompt_budget_;
    std::unique_ptr<Session> session_;
    std::uint64_t processed_messages_ = 0;
};

// SIGINT and SIGTERM: set the shutdown flag and wake the reader of the current run.
void signal_handler(int signal_number);

}  // namespace Vorn_SCard_Bridge
