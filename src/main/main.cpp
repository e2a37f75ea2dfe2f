#include <unistd.h>

#include <cstdio>
#include <functional>
#include <utility>

#include "host/host.h"
#include "messaging/message_reader.h"
#include "messaging/message_sender.h"
#include "platform/fd_events.h"

namespace Vorn_SCard_Bridge {
namespace {

// The run of the process: standard input and output, with the frames on a
// descriptor of their own.
HostOutcome run_host() {
    // A closed descriptor 0, 1 or 2 would be taken by the next file the host opens
    // (the log file, a pipe) and read or written as the channel.
    platform::prepare_standard_streams();
    // Frames go to a descriptor of their own; what a library prints goes to the log.
    const int taken = platform::take_frame_output();
    const int frames_fd = taken >= 0 ? taken : STDOUT_FILENO;
    HostIo io;
    io.read_request = [](const FrameAdmission& admit) { return read_request(admit); };
    io.send_responses = [frames_fd](const std::function<void()>& output_broken) {
        send_message_to(frames_fd, output_broken);
    };
    io.watch_wake_fd = [](int fd, std::function<void()> before_wait) {
        set_standard_input_wake_fd(fd, std::move(before_wait));
    };
    io.input_fd = STDIN_FILENO;
    io.output_fd = frames_fd;
    io.share_output = true;
    // Threads a run leaves busy (a write nobody takes, a call inside the service)
    // may still close it: the host stays for them until the process ends.
    auto* const host = new Host(std::move(io));
    const HostOutcome outcome = host->run();
    if (outcome.busy_workers == 0) delete host;
    return outcome;
}

}  // namespace
}  // namespace Vorn_SCard_Bridge

int main() {
    const Vorn_SCard_Bridge::HostOutcome outcome = Vorn_SCard_Bridge::run_host();
    if (outcome.busy_workers > 0) {
        // A worker is still inside a PC/SC call (a long status-change wait): end
        // now rather than tear down the process's objects under it.
        std::fflush(nullptr);
        ::_exit(outcome.exit_code);
    }
    return outcome.exit_code;
}
