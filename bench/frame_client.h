#pragma once

// The client side of the host's frames, as the browser does it, for the
// benchmark driver: one request at a time, or many in flight (pipelined). The same client drives
// the host and the framed echo, so the two sets of figures differ only in the process behind the
// pipes.

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host_client.h"

namespace Vorn_SCard_Bridge::bench {

using Clock = std::chrono::steady_clock;

double microseconds_between(Clock::time_point from, Clock::time_point to);

// A "healthcheck" request. "requestId" comes first, so that the id is found the
// same way in the host's response and in the echo's copy of the request.
std::string healthcheck_request(std::uint64_t id);

// The number in "requestId":"<number>" of a request or response text.
std::uint64_t request_id_of(std::string_view text);

// Requests in flight: the text of request `id`.
using RequestText = std::function<std::string(std::uint64_t id)>;

struct PipelinedRun {
    double seconds = 0;                // first write to last response
    std::vector<double> latencies_us;  // per request: its write to its response
};

class FrameClient {
public:
    // Talks through `host`'s channel (made non-blocking).
    explicit FrameClient(host_client::HostClient& host);

    void send(std::string_view text);
    // The next response text; throws when none comes within the time-out.
    std::string receive(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // send + receive; the response of a one-at-a-time exchange.
    std::string round_trip(std::string_view text);

    // Sends `count` requests keeping at most `window` unanswered, and matches the
    // responses by requestId (the host answers in the order requests finish).
    PipelinedRun run_pipelined(const RequestText& request_text, std::size_t count,
                               std::size_t window);

private:
    // Reads what the child wrote, for the frames its client holds.
    void fill_input();

    host_client::HostClient& host_;
};

}  // namespace Vorn_SCard_Bridge::bench
