#pragma once

#include <cstdint>
#include <functional>

#include <nlohmann/json.hpp>

namespace Vorn_SCard_Bridge {

struct HostIo {
    // Returns the next request, JSON null, or the shutdown request (read_message).
    std::function<nlohmann::json()> read_request;
    // Body of the sender thread (send_message).
    std::function<void()> send_responses;
    // Readable end of the pipe the signal handler writes to, handed to the reader
    // before the first read; -1 when the reader does not use it.
    std::function<void(int)> watch_wake_fd;
};

struct HostOutcome {
    int exit_code = 0;
    // Workers still inside a request when the host stopped (a long wait): the
    // process must end without running static destructors under them.
    std::uint64_t busy_workers = 0;
};

// Start-up, the host loop and the ordered shutdown, on standard input and output.
HostOutcome run_host();
HostOutcome run_host(const HostIo& io);

// SIGINT and SIGTERM: set the shutdown flag and wake the reader.
void signal_handler(int signal_number);

}  // namespace Vorn_SCard_Bridge
