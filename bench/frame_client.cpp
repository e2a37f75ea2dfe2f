#include "frame_client.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <stdexcept>

namespace Vorn_SCard_Bridge::bench {

namespace {

// Requests are added to the outgoing buffer while it holds less than this.
constexpr std::size_t WRITE_BATCH = 64 * 1024;
constexpr int STALL_TIMEOUT_MS = 30000;

void set_non_blocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

}  // namespace

double microseconds_between(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

std::string healthcheck_request(std::uint64_t id) {
    return "{\"requestId\":\"" + std::to_string(id) +
           "\",\"command\":\"healthcheck\",\"params\":[]}";
}

std::uint64_t request_id_of(std::string_view text) {
    static constexpr std::string_view KEY = "\"requestId\":\"";
    const auto at = text.find(KEY);
    if (at == std::string_view::npos) throw std::runtime_error("response without requestId");
    std::uint64_t id = 0;
    for (std::size_t i = at + KEY.size(); i < text.size() && text[i] >= '0' && text[i] <= '9';
         ++i) {
        id = id * 10 + static_cast<std::uint64_t>(text[i] - '0');
    }
    return id;
}

FrameClient::FrameClient(host_client::HostClient& host) : host_(host) {
    set_non_blocking(host_.input());
    set_non_blocking(host_.output());
}

void FrameClient::send(std::string_view text) {
    if (host_.send(text, STALL_TIMEOUT_MS)) return;
    if (errno == ETIMEDOUT) throw std::runtime_error("child stopped reading");
    throw system_error("write to child");
}

void FrameClient::fill_input() {
    if (!host_.read_some(std::chrono::milliseconds(0)) && host_.output() < 0) {
        throw std::runtime_error("child closed its output");
    }
}

std::string FrameClient::receive(std::chrono::milliseconds timeout) {
    std::string text;
    switch (host_.receive(text, timeout)) {
        case host_client::Received::FRAME:
            return text;
        case host_client::Received::TIMED_OUT:
            throw std::runtime_error("no response from child");
        default:
            throw std::runtime_error("child closed its output");
    }
}

std::string FrameClient::round_trip(std::string_view text) {
    send(text);
    return receive();
}

PipelinedRun FrameClient::run_pipelined(const RequestText& request_text, std::size_t count,
                                        std::size_t window) {
    PipelinedRun run;
    run.latencies_us.assign(count, -1.0);
    std::vector<Clock::time_point> sent_at(count);

    std::string out;
    std::size_t out_offset = 0;
    // Requests in `out` not yet fully written: (end offset in out, id).
    std::deque<std::pair<std::size_t, std::uint64_t>> unsent;
    std::uint64_t next_id = 0;
    std::size_t in_flight = 0;
    std::size_t answered = 0;
    std::string text;

    const Clock::time_point start = Clock::now();
    while (answered < count) {
        if (out_offset == out.size() && unsent.empty()) {
            out.clear();
            out_offset = 0;
        }
        while (next_id < count && in_flight < window && out.size() - out_offset < WRITE_BATCH) {
            framing::append_frame(out, request_text(next_id));
            unsent.emplace_back(out.size(), next_id);
            ++next_id;
            ++in_flight;
        }

        pollfd fds[2] = {{host_.output(), POLLIN, 0}, {host_.input(), 0, 0}};
        if (out_offset < out.size()) fds[1].events = POLLOUT;
        const int ready = ::poll(fds, 2, STALL_TIMEOUT_MS);
        if (ready == 0) throw std::runtime_error("pipelined run stalled");
        if (ready < 0) {
            if (errno == EINTR) continue;
            throw system_error("poll");
        }

        if ((fds[1].revents & (POLLOUT | POLLERR)) != 0) {
            const ssize_t wrote =
                ::write(host_.input(), out.data() + out_offset, out.size() - out_offset);
            if (wrote < 0 && errno != EAGAIN && errno != EINTR)
                throw system_error("write to child");
            if (wrote > 0) {
                out_offset += static_cast<std::size_t>(wrote);
                const Clock::time_point now = Clock::now();
                while (!unsent.empty() && unsent.front().first <= out_offset) {
                    sent_at[unsent.front().second] = now;
                    unsent.pop_front();
                }
            }
        }
        if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            fill_input();
            const Clock::time_point now = Clock::now();
            while (host_.next_read(text)) {
                const std::uint64_t id = request_id_of(text);
                if (id >= count || run.latencies_us[id] >= 0) {
                    throw std::runtime_error("unexpected response " + std::to_string(id));
                }
                run.latencies_us[id] = microseconds_between(sent_at[id], now);
                ++answered;
                --in_flight;
            }
        }
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return run;
}

}  // namespace Vorn_SCard_Bridge::bench
