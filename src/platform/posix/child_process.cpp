#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

extern char** environ;

namespace Vorn_SCard_Bridge::platform {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto WAIT_STEP = std::chrono::milliseconds(2);

void close_fd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

bool named(const std::string& entry, const std::string& name) {
    return entry.size() > name.size() && entry.compare(0, name.size(), name) == 0 &&
           entry[name.size()] == '=';
}

std::vector<std::string> child_environment(const ChildOptions& options) {
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text(*entry);
        bool drop = false;
        for (const auto& name : options.unset_environment) drop = drop || named(text, name);
        for (const auto& [name, value] : options.environment) drop = drop || named(text, name);
        if (!drop) entries.push_back(text);
    }
    for (const auto& [name, value] : options.environment) entries.push_back(name + "=" + value);
    return entries;
}

// Wires standard stream `target` of the child; a PIPE end of ours goes to `ours`.
bool wire(posix_spawn_file_actions_t& actions, int target, ChildStream stream, int given, int& ours,
          std::vector<int>& child_ends, std::string& error) {
    if (given >= 0) return posix_spawn_file_actions_adddup2(&actions, given, target) == 0;
    switch (stream) {
        case ChildStream::INHERIT:
            return true;
        case ChildStream::CLOSED:
            return posix_spawn_file_actions_addclose(&actions, target) == 0;
        case ChildStream::NUL:
            return posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                                    target == STDIN_FILENO ? O_RDONLY : O_WRONLY,
                                                    0) == 0;
        case ChildStream::PIPE: {
            int ends[2];
            if (!make_pipe(ends)) {
                error = std::string("pipe: ") + std::strerror(errno);
                return false;
            }
            const bool reads = target == STDIN_FILENO;
            ours = reads ? ends[1] : ends[0];
            child_ends.push_back(reads ? ends[0] : ends[1]);
            return posix_spawn_file_actions_adddup2(&actions, child_ends.back(), target) == 0;
        }
    }
    return false;
}

}  // namespace

ChildProcess::~ChildProcess() {
    close_input();
    close_output();
    close_error();
    if (id_ > 0 && !exit_) {
        ::kill(static_cast<pid_t>(id_), SIGKILL);
        int status = 0;
        ::waitpid(static_cast<pid_t>(id_), &status, 0);
    }
}

bool ChildProcess::start(const ChildOptions& options, std::string& error) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    std::vector<int> child_ends;
    bool wired =
        wire(actions, STDIN_FILENO, options.input, options.input_fd, input_, child_ends, error) &&
        wire(actions, STDOUT_FILENO, options.output, options.output_fd, output_, child_ends,
             error) &&
        wire(actions, STDERR_FILENO, options.error, options.error_fd, error_, child_ends, error);
    if (wired && !options.working_directory.empty()) {
        wired =
            posix_spawn_file_actions_addchdir_np(&actions, options.working_directory.c_str()) == 0;
    }

    const std::string program = options.program.string();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& argument : options.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> environment = child_environment(options);
    std::vector<char*> envp;
    for (auto& entry : environment) envp.push_back(entry.data());
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int failed =
        wired ? ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data())
              : (error.empty() ? EINVAL : -1);
    posix_spawn_file_actions_destroy(&actions);
    for (int& fd : child_ends) close_fd(fd);
    if (failed != 0) {
        if (failed > 0) error = "cannot start " + program + ": " + std::strerror(failed);
        close_input();
        close_output();
        close_error();
        return false;
    }
    id_ = pid;
    return true;
}

void ChildProcess::close_input() { close_fd(input_); }
void ChildProcess::close_output() { close_fd(output_); }
void ChildProcess::close_error() { close_fd(error_); }

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (exit_ || id_ <= 0) return exit_;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(static_cast<pid_t>(id_), &status, WNOHANG);
        if (done == static_cast<pid_t>(id_)) {
            exit_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return exit_;
        }
        if (done < 0 && errno != EINTR) return std::nullopt;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(WAIT_STEP);
    }
}

void ChildProcess::terminate() { signal(SIGTERM); }
void ChildProcess::kill() { signal(SIGKILL); }

void ChildProcess::signal(int number) {
    if (id_ > 0 && !exit_) ::kill(static_cast<pid_t>(id_), number);
}

// make_pipe: one file per system (src/platform/<system>/pipe_creation.cpp).

int wait_readable(int fd, int timeout_ms) {
    pollfd entry = {fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, timeout_ms);
    return ready > 0 ? 1 : ready;
}

}  // namespace Vorn_SCard_Bridge::platform
