#pragma once

// The client end of the host's channel, held as a browser holds it: the host (or any
// program that speaks frames) started as a child with its standard input and output
// piped to us, requests written as frames, answers read as frames with bounded waits,
// the end of its input, a bounded wait for its exit, and what it wrote to standard
// error. The test bed, the installer's doctor, the benchmarks, talk and the demo all
// drive the host through it. Builds wherever src/platform/child_process.h does.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "messaging/frame_codec.h"
#include "platform/child_process.h"

namespace Vorn_SCard_Bridge::host_client {

// What a wait for the host's next frame ended with.
enum class Received {
    FRAME,      // the text holds the next frame's text (empty for an empty frame)
    TIMED_OUT,  // nothing whole arrived in time; what did arrive is kept
    ENDED,      // its output ended (or failed) before a whole frame
    TOO_LARGE,  // a frame announced more than the client's limit (announced_length())
};

class HostClient {
public:
    // Frames longer than `max_frame` are refused (TOO_LARGE) and skipped.
    explicit HostClient(std::uint32_t max_frame = framing::NO_LIMIT) : inbound_(max_frame) {}
    // finish(EXIT_GRACE).
    ~HostClient();
    HostClient(const HostClient&) = delete;
    HostClient& operator=(const HostClient&) = delete;

    // How long the destructor lets a host whose input ended go before it kills it.
    static constexpr std::chrono::seconds EXIT_GRACE{5};
    // The end of what it wrote to a PIPE error stream that error_text() keeps.
    static constexpr std::size_t ERROR_KEEP = 4096;

    // Starts the program of `options`; the channel is its PIPE input and output. An
    // error stream of PIPE is read by every wait below, so that the host never blocks
    // on it (error_text()). False, with the reason in `error`, when it cannot start.
    bool start(const platform::ChildOptions& options, std::string& error);
    // The channel is these descriptors of ours instead of its pipes (the host is
    // given the other end of a socket, say); they become ours to close. Before start().
    void use_channel(int to_host, int from_host);

    // Writes `text` as one frame / `bytes` as they are. False with errno set when the
    // host has gone, or (non-blocking input only) took nothing for `timeout_ms`.
    bool send(std::string_view text, int timeout_ms = -1);
    bool send_raw(std::string_view bytes, int timeout_ms = -1);

    // The next frame, waiting up to `timeout` for it (zero: only what is there).
    Received receive(std::string& text, std::chrono::milliseconds timeout);
    // A frame already read, without reading or waiting: true when `text` holds it.
    bool next_read(std::string& text);
    // Reads what arrives within `timeout` (its frames wait for receive()); true when
    // something did. Reading the end of the output closes it.
    bool read_some(std::chrono::milliseconds timeout);

    // Its input ends (a browser closing the port); its output is no longer read.
    void close_input();
    void close_output();

    // Its exit code (128 + the signal's number when a signal ended it), or nothing
    // when it still runs after `timeout`. Its output and error are read meanwhile.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    // Ends its input, gives it `grace` to exit, then kills and reaps it.
    std::optional<int> finish(std::chrono::milliseconds grace);

    // The last ERROR_KEEP bytes it wrote to a PIPE error stream.
    std::string error_text() const;
    // Every byte of its output is also appended to `copy` (nullptr: none).
    void copy_output_to(std::string* copy) { output_copy_ = copy; }

    platform::ChildProcess& process() { return child_; }
    long id() const { return child_.id(); }
    // Our ends of the channel; -1 once closed.
    int input() const { return input_; }
    int output() const { return output_; }
    // Bytes of its output held that do not make a whole frame yet.
    std::size_t partial_bytes() const { return inbound_.partial_bytes(); }
    // The length of the last frame refused as TOO_LARGE.
    std::uint32_t announced_length() const { return inbound_.announced_length(); }

private:
    void drain_error();

    platform::ChildProcess child_;
    int input_ = -1;
    int output_ = -1;
    bool own_channel_ = false;  // use_channel(): the descriptors are not the child's pipes
    framing::FrameDecoder inbound_;
    std::string error_text_;
    std::string* output_copy_ = nullptr;
};

}  // namespace Vorn_SCard_Bridge::host_client
