#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>

#include "messaging/message_reader.h"

namespace Vorn_SCard_Bridge {

struct HostIo {
    // Returns the next request, JSON null, or the shutdown request (read_message),
    // asking the admission before it reads a frame's text.
    std::function<nlohmann::json(const FrameAdmission& admit)> read_request;
    // Body of the sender thread (send_message); calls `output_broken` when the
    // responses can no longer be written.
    std::function<void(const std::function<void()>& output_broken)> send_responses;
    // Readable end of the pipe the signal handler writes to, handed to the reader
    // before the first read, with what the reader runs each time before it waits
    // for input (writing out the answers and log lines it holds).
    std::function<void(int wake_fd, std::function<void()> before_wait)> watch_wake_fd;
    // Where the requests come from and the responses go, watched while the host
    // holds back reading (a browser that has gone away closes them); -1 for none.
    int input_fd = -1;
    int output_fd = -1;
};

// From a shutdown request, the end of input or a signal to the end of the
// process, whatever the browser does with the pipes.
inline constexpr std::chrono::milliseconds EXIT_BOUND{1000};

struct HostOutcome {
    int exit_code = 0;
    // Threads still inside a call, or a write the browser does not take, when the
    // host stopped: the process must end without running static destructors under them.
    std::uint64_t busy_workers = 0;
};

// Start-up, the host loop and the ordered shutdown, on standard input and output.
HostOutcome run_host();
HostOutcome run_host(const HostIo& io);

// SIGINT and SIGTERM: set the shutdown flag and wake the reader.
void signal_handler(int signal_number);

}  // namespace Vorn_SCard_Bridge
