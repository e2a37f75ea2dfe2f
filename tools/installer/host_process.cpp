#include "host_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace Vorn_SCard_Bridge::installer {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t STDERR_KEEP = 4096;

bool make_pipe(int fds[2]) {
    if (::pipe(fds) != 0) return false;
    for (int i = 0; i < 2; ++i) ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
    return true;
}

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

HostProcess::~HostProcess() {
    close_fd(to_host_);
    close_fd(from_host_);
    if (pid_ > 0) {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
        }
    }
    close_fd(host_stderr_);
}

bool HostProcess::start(const std::filesystem::path& executable,
                        const std::vector<std::string>& arguments, std::string& error) {
    // A host that ends before it reads makes our next write fail; without this the
    // failure would be a SIGPIPE that ends the doctor before it says anything.
    ::signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    int err[2];
    if (!make_pipe(in)) {
        error = std::strerror(errno);
        return false;
    }
    if (!make_pipe(out)) {
        error = std::strerror(errno);
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    if (!make_pipe(err)) {
        error = std::strerror(errno);
        for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    const std::string program = executable.string();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    to_host_ = in[1];
    from_host_ = out[0];
    host_stderr_ = err[0];
    ::fcntl(host_stderr_, F_SETFL, ::fcntl(host_stderr_, F_GETFL) | O_NONBLOCK);
    if (rc != 0) {
        pid_ = -1;
        error = std::string("cannot start ") + program + ": " + std::strerror(rc);
        return false;
    }
    return true;
}

bool HostProcess::send(const nlohmann::json& message, std::string& error) {
    if (framing::write_all(to_host_, framing::encode_frame(message.dump()))) return true;
    error = std::string("cannot write to the host: ") + std::strerror(errno);
    return false;
}

void HostProcess::drain_stderr() {
    if (host_stderr_ < 0) return;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(host_stderr_, buffer, sizeof buffer);
        if (n <= 0) break;
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
        pollfd fds[2] = {{from_host_, POLLIN, 0}, {host_stderr_, POLLIN, 0}};
        const int ready = ::poll(fds, 2, static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) {
            error = std::strerror(errno);
            return std::nullopt;
        }
        if (fds[1].revents != 0) drain_stderr();
        if (fds[0].revents != 0) {
            char buffer[8192];
            const ssize_t n = ::read(from_host_, buffer, sizeof buffer);
            if (n == 0) {
                error = "the host closed its output (it exited or crashed)";
                return std::nullopt;
            }
            if (n > 0) inbound_.feed(buffer, static_cast<std::size_t>(n));
        }
    }
}

void HostProcess::close_input() { close_fd(to_host_); }

std::optional<int> HostProcess::wait_for_exit(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return std::nullopt;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        drain_stderr();
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            drain_stderr();
            return status;
        }
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string HostProcess::stderr_tail() const {
    if (stderr_buffer_.size() <= STDERR_KEEP) return stderr_buffer_;
    return stderr_buffer_.substr(stderr_buffer_.size() - STDERR_KEEP);
}

}  // namespace Vorn_SCard_Bridge::installer
