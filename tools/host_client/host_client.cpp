#include "host_client.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace Vorn_SCard_Bridge::host_client {

namespace {

using Clock = std::chrono::steady_clock;
// A wait for output looks at the error stream at least this often; Windows cannot
// wait for both pipes at once.
constexpr auto ERROR_STEP = std::chrono::milliseconds(10);
// How often a wait for the exit looks whether the child has gone.
constexpr auto EXIT_STEP = std::chrono::milliseconds(5);
constexpr std::size_t READ_CHUNK = 64 * 1024;

std::chrono::milliseconds left_until(Clock::time_point deadline) {
    return std::max(std::chrono::milliseconds(0),
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

HostClient::~HostClient() { finish(EXIT_GRACE); }

bool HostClient::start(const platform::ChildOptions& options, std::string& error) {
    if (!child_.start(options, error)) return false;
    if (!own_channel_) {
        input_ = child_.input();
        output_ = child_.output();
    }
    return true;
}

void HostClient::use_channel(int to_host, int from_host) {
    own_channel_ = true;
    input_ = to_host;
    output_ = from_host;
}

bool HostClient::send(std::string_view text, int timeout_ms) {
    return send_raw(framing::encode_frame(text), timeout_ms);
}

bool HostClient::send_raw(std::string_view bytes, int timeout_ms) {
    if (input_ < 0) {
        errno = EPIPE;
        return false;
    }
    return framing::write_all(input_, bytes, timeout_ms);
}

bool HostClient::next_read(std::string& text) { return inbound_.next_text(text); }

bool HostClient::read_some(std::chrono::milliseconds timeout) {
    if (output_ < 0) return false;
    const int ready = platform::wait_readable(output_, static_cast<int>(timeout.count()));
    if (ready == 0 || (ready < 0 && errno == EINTR)) return false;
    char buffer[READ_CHUNK];
    const auto got = ready > 0 ? ::read(output_, buffer, sizeof buffer) : -1;
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) return false;
    if (got <= 0) {
        close_output();
        return false;
    }
    inbound_.feed(buffer, static_cast<std::size_t>(got));
    if (output_copy_ != nullptr) output_copy_->append(buffer, static_cast<std::size_t>(got));
    return true;
}

Received HostClient::receive(std::string& text, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        switch (inbound_.next(text)) {
            case framing::FrameDecoder::Status::FRAME:
                return Received::FRAME;
            case framing::FrameDecoder::Status::EMPTY:
                text.clear();
                return Received::FRAME;
            case framing::FrameDecoder::Status::TOO_LARGE:
                return Received::TOO_LARGE;
            case framing::FrameDecoder::Status::NEED_MORE:
                break;
        }
        if (output_ < 0) return Received::ENDED;
        auto left = left_until(deadline);
        if (child_.error() >= 0) {
            drain_error();
            left = std::min(left, std::chrono::milliseconds(ERROR_STEP));
        }
        if (!read_some(left) && output_ >= 0 && Clock::now() >= deadline) {
            return Received::TIMED_OUT;
        }
    }
}

void HostClient::drain_error() {
    char buffer[4096];
    // Only what is there: a read after "readable" does not wait.
    while (child_.error() >= 0 && platform::wait_readable(child_.error(), 0) > 0) {
        const auto got = ::read(child_.error(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            child_.close_error();  // its end, or a pipe that failed: nothing more comes
            break;
        }
        error_text_.append(buffer, static_cast<std::size_t>(got));
    }
    if (error_text_.size() > 2 * ERROR_KEEP) {
        error_text_.erase(0, error_text_.size() - ERROR_KEEP);
    }
}

void HostClient::close_input() {
    if (own_channel_) {
        close_fd(input_);
    } else {
        child_.close_input();
        input_ = -1;
    }
}

void HostClient::close_output() {
    if (own_channel_) {
        close_fd(output_);
    } else {
        child_.close_output();
        output_ = -1;
    }
}

std::optional<int> HostClient::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        drain_error();
        if (const auto code = child_.wait(std::chrono::milliseconds(0))) {
            drain_error();
            return code;
        }
        const auto left = left_until(deadline);
        if (left.count() == 0) return std::nullopt;
        // Its answers are read on the way (and kept): a host blocked writing them
        // would never exit.
        const auto step = std::min(left, std::chrono::milliseconds(EXIT_STEP));
        if (output_ >= 0) {
            read_some(step);
        } else {
            child_.wait(step);
        }
    }
}

std::optional<int> HostClient::finish(std::chrono::milliseconds grace) {
    if (child_.id() <= 0) {
        close_input();
        close_output();
        return std::nullopt;
    }
    close_input();
    auto code = wait_exit(grace);
    if (!code) {
        child_.kill();
        code = wait_exit(grace);
    }
    close_output();
    return code;
}

std::string HostClient::error_text() const {
    if (error_text_.size() <= ERROR_KEEP) return error_text_;
    return error_text_.substr(error_text_.size() - ERROR_KEEP);
}

}  // namespace Vorn_SCard_Bridge::host_client
