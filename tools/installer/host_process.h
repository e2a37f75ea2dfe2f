#pragma once

// Starts the host the way a browser does (pipes on stdin and stdout, the
// browser's arguments) and talks native-messaging frames to it.
// Used by the doctor for its round trip through the installed host.

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "messaging/frame_codec.h"
#include "platform/child_process.h"

namespace Vorn_SCard_Bridge::installer {

class HostProcess {
public:
    HostProcess() = default;
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    // `arguments` follow the program: Chromium passes the caller's origin, Firefox
    // the manifest's path and the add-on id. The host ignores them.
    bool start(const std::filesystem::path& executable, const std::vector<std::string>& arguments,
               std::string& error);

    bool send(const nlohmann::json& message, std::string& error);

    // Waits for one frame; nullopt on time-out, end of output or a bad frame (see `error`).
    std::optional<nlohmann::json> receive(std::chrono::milliseconds timeout, std::string& error);

    // Closes the host's stdin, as a browser does when the extension disconnects.
    void close_input();

    // Its exit code (128 + signal number when a signal ended it) once the host has
    // exited within `timeout`, else nullopt.
    std::optional<int> wait_for_exit(std::chrono::milliseconds timeout);

    // The last lines the host wrote to stderr (its log), for reports.
    std::string stderr_tail() const;

private:
    void drain_stderr();

    // Killed and reaped if it still runs when this goes.
    platform::ChildProcess child_;
    std::string stderr_buffer_;
    // A length beyond any answer means something else writes to the host's stdout.
    framing::FrameDecoder inbound_{64u * 1024u * 1024u};
};

}  // namespace Vorn_SCard_Bridge::installer
