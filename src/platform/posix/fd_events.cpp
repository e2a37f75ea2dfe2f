#include "platform/fd_events.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <vector>

namespace Vorn_SCard_Bridge::platform {

namespace {
void (*shutdown_handler)() = nullptr;

extern "C" void on_signal(int) {
    if (shutdown_handler != nullptr) shutdown_handler();
}
}  // namespace

bool make_notice_pipe(int fds[2]) {
    if (::pipe(fds) != 0) return false;
    for (int i = 0; i < 2; ++i) {
        ::fcntl(fds[i], F_SETFD, FD_CLOEXEC);
        ::fcntl(fds[i], F_SETFL, ::fcntl(fds[i], F_GETFL) | O_NONBLOCK);
    }
    return true;
}

void notify(int write_fd) {
    const int saved_errno = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(write_fd, &byte, 1);
    errno = saved_errno;
}

struct InputReader::State {
    int fd;
    int wake_fd;
};

InputReader::InputReader(int fd, int wake_fd)
    : state_(std::make_shared<State>(State{fd, wake_fd})) {}

InputReader::~InputReader() = default;

InputRead InputReader::read(void* buffer, std::size_t size) {
    const int fd = state_->fd;
    const int wake_fd = state_->wake_fd;
    for (;;) {
        if (wake_fd >= 0) {
            FdWatch fds[2] = {{fd, true}, {wake_fd, true}};
            if (wait_fds(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return {InputRead::FAILED, 0, errno};
            }
            if (fds[1].readable || fds[1].hung_up) return {InputRead::WOKEN};
        }
        const ssize_t got = ::read(fd, buffer, size);
        if (got > 0) return {InputRead::DATA, static_cast<std::size_t>(got)};
        if (got == 0) return {InputRead::END};
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            // With a wake-up pipe the poll at the top waits for both.
            if (wake_fd < 0) {
                FdWatch single{fd, true};
                wait_fds(&single, 1, -1);
            }
            continue;
        }
        return {InputRead::FAILED, 0, errno};
    }
}

int wait_fds(FdWatch* watches, std::size_t count, int timeout_ms) {
    std::vector<pollfd> fds(count);
    for (std::size_t i = 0; i < count; ++i) {
        fds[i] = {watches[i].fd, static_cast<short>(watches[i].read ? POLLIN : 0), 0};
    }
    const int ready = ::poll(fds.data(), fds.size(), timeout_ms);
    if (ready <= 0) return ready;
    for (std::size_t i = 0; i < count; ++i) {
        watches[i].readable = (fds[i].revents & POLLIN) != 0;
        watches[i].hung_up = (fds[i].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;
    }
    return ready;
}

void on_shutdown_request(void (*handler)()) {
    shutdown_handler = handler;
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    std::signal(SIGPIPE, SIG_IGN);
}

void prepare_standard_streams() {
    for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
        if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            const int opened = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (opened >= 0 && opened != fd) {
                ::dup2(opened, fd);
                ::close(opened);
            }
        }
    }
}

int take_frame_output() {
    // Above the standard three, and not inherited by children.
    const int frames = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (frames < 0) return -1;
    if (::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        ::close(frames);
        return -1;
    }
    // Whatever the C library still buffers for standard output goes to the log too.
    std::fflush(stdout);
    return frames;
}

}  // namespace Vorn_SCard_Bridge::platform
