#pragma once

// A child process with its standard streams wired as the caller says: what the
// tools, the test bed and the benchmarks start (the host, pcscd helpers, echo
// hosts). One implementation per system (posix/, windows/), chosen in CMake; not
// part of the host itself.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Vorn_SCard_Bridge::platform {

// What one of the child's standard streams is.
enum class ChildStream {
    PIPE,     // a pipe to us: our end is input() / output() / error()
    INHERIT,  // the same as ours
    NUL,      // the null device
    CLOSED,   // no descriptor at all
};

struct ChildOptions {
    std::filesystem::path program;
    std::vector<std::string> arguments;  // after the program's own name
    // The child's environment: ours, without these names, with these set.
    std::vector<std::string> unset_environment;
    std::vector<std::pair<std::string, std::string>> environment;
    std::filesystem::path working_directory;  // empty: ours
    ChildStream input = ChildStream::PIPE;
    ChildStream output = ChildStream::PIPE;
    ChildStream error = ChildStream::INHERIT;
    // A descriptor of ours that the child gets instead of the stream above (-1:
    // none): a socket, a file, a descriptor open for writing as its input. It stays
    // ours; the caller closes it.
    int input_fd = -1;
    int output_fd = -1;
    int error_fd = -1;
};

class ChildProcess {
public:
    ChildProcess() = default;
    // Closes our ends of its pipes; a child that still runs is killed and reaped.
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // False, with the reason in `error`, when it cannot be started.
    bool start(const ChildOptions& options, std::string& error);

    long id() const { return id_; }
    // Our ends of its PIPE streams (-1 otherwise, or once closed).
    int input() const { return input_; }
    int output() const { return output_; }
    int error() const { return error_; }
    void close_input();
    void close_output();
    void close_error();

    // Its exit code, or 128 + the number of the signal that ended it; nothing when
    // it still runs after `timeout` (zero: just look).
    std::optional<int> wait(std::chrono::milliseconds timeout);
    // Asks it to end (SIGTERM) / ends it (SIGKILL); nothing once it has ended.
    void terminate();
    void kill();
    // Sends a signal of this system (POSIX).
    void signal(int number);

private:
    long id_ = -1;
    [[maybe_unused]] void* handle_ = nullptr;  // Windows: the process handle
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    std::optional<int> exit_;
};

// A pipe whose ends block and are not inherited by children: fds[0] reads what
// fds[1] writes. False when it cannot be made.
bool make_pipe(int fds[2]);

// 1 when `fd` has something to read (or its end) within `timeout_ms` (-1: no
// limit), 0 when not, -1 on failure (errno set; EINTR: try again).
int wait_readable(int fd, int timeout_ms);

}  // namespace Vorn_SCard_Bridge::platform
