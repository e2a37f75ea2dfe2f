#include "host_process.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "this_system.h"

namespace Vorn_SCard_Bridge::installer {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t STDERR_KEEP = 4096;
constexpr auto EXIT_POLL = std::chrono::milliseconds(10);

}  // namespace

bool HostProcess::start(const std::filesystem::path& executable,
                        const std::vector<std::string>& arguments, std::string& error) {
    // A host that ends before it reads makes our next write fail; without this the
    // failure would be a SIGPIPE that ends the doctor before it says anything.
    this_system::ignore_broken_pipes();
    platform::ChildOptions options;
    options.program = executable;
    options.arguments = arguments;
    options.error = platform::ChildStream::PIPE;
    return child_.start(options, error);
}

bool HostProcess::send(const nlohmann::json& message, std::string& error) {
    if (framing::write_all(child_.input(), framing::encode_frame(message.dump()))) return true;
    error = std::string("cannot write to the host: ") + std::strerror(errno);
    return false;
}

void HostProcess::drain_stderr() {
    if (child_.error() < 0) return;
    char buffer[4096];
    // Only what is there: a read after "readable" does not wait.
    while (platform::wait_readable(child_.error(), 0) > 0) {
        const auto n = ::read(child_.error(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            child_.close_error();  // its end, or a pipe that failed: nothing more comes
            break;
        }
        stderr_buffer_.append(buffer, static_cast<std::size_t>(n));
    }
    if (stderr_buffer_.size() > 2 * STDERR_KEEP) {
        stderr_buffer_.erase(0, stderr_buffer_.size() - STDERR_KEEP);
    }
}

std::optional<nlohmann::json> HostProcess::receive(std::chrono::milliseconds timeout,
                                                   std::string& error) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        std::string text;
        const auto status = inbound_.next(text);
        if (status == framing::FrameDecoder::Status::TOO_LARGE) {
            error = "the host sent a frame of " + std::to_string(inbound_.announced_length()) +
                    " bytes; is something else printing to its stdout?";
            return std::nullopt;
        }
        if (status != framing::FrameDecoder::Status::NEED_MORE) {
            auto json = nlohmann::json::parse(text, nullptr, false);
            if (json.is_discarded()) {
                error = "the host sent a frame that is not JSON: " + text.substr(0, 200);
                return std::nullopt;
            }
            return json;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            error = "no answer from the host within " + std::to_string(timeout.count()) + " ms";
            return std::nullopt;
        }
        // Its log is read on the way, in short steps, so that it never fills the pipe.
        drain_stderr();
        const int ready = platform::wait_readable(
            child_.output(), static_cast<int>(std::min(left, EXIT_POLL).count()));
        if (ready < 0 && errno != EINTR) {
            error = std::strerror(errno);
            return std::nullopt;
        }
        if (ready > 0) {
            char buffer[8192];
            const auto n = ::read(child_.output(), buffer, sizeof buffer);
            if (n == 0) {
                error = "the host closed its output (it exited or crashed)";
                return std::nullopt;
            }
            if (n > 0) inbound_.feed(buffer, static_cast<std::size_t>(n));
        }
    }
}

void HostProcess::close_input() { child_.close_input(); }

std::optional<int> HostProcess::wait_for_exit(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        drain_stderr();
        if (const auto code = child_.wait(std::chrono::milliseconds(0))) {
            drain_stderr();
            return code;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        child_.wait(EXIT_POLL);
    }
}

std::string HostProcess::stderr_tail() const {
    if (stderr_buffer_.size() <= STDERR_KEEP) return stderr_buffer_;
    return stderr_buffer_.substr(stderr_buffer_.size() - STDERR_KEEP);
}

}  // namespace Vorn_SCard_Bridge::installer
