#pragma once

// What the host loop waits on, by descriptor: its standard streams and the pipes
// it notifies itself through (a signal, room in the budget). One implementation
// per system (posix/, windows/).

#include <cstddef>
#include <memory>

namespace Vorn_SCard_Bridge::platform {

// A pipe for notices between threads and from signal handlers: both ends
// non-blocking (a notice never waits for a full pipe), neither inherited by child
// processes. False when it cannot be made.
bool make_notice_pipe(int fds[2]);

// Writes a notice into the write end of a notice pipe: a wait that watches the
// pipe's read end ends. May be called from a signal handler; keeps errno.
void notify(int write_fd);

struct InputRead {
    enum Status { DATA, END, WOKEN, FAILED } status = FAILED;
    std::size_t count = 0;  // DATA: the bytes read
    int error = 0;          // FAILED: the errno value
};

// Reads a descriptor (blocking or not), waiting until it has something, its end,
// or a notice on `wake_fd` (-1: none; the notice stays in the pipe, so every later
// read is WOKEN too). POSIX: poll, then read. Windows, where an anonymous pipe
// cannot be waited on together with anything else: a thread of its own makes the
// blocking reads, one at a time when asked, and the reader waits for its result or
// the notice; a read still running when the reader is destroyed ends on its own.
class InputReader {
public:
    InputReader(int fd, int wake_fd);
    ~InputReader();
    InputReader(const InputReader&) = delete;
    InputReader& operator=(const InputReader&) = delete;

    InputRead read(void* buffer, std::size_t size);

private:
    struct State;
    std::shared_ptr<State> state_;
};

struct FdWatch {
    int fd = -1;        // -1: not watched
    bool read = false;  // watch for something to read; a hang-up is always reported
    bool readable = false;
    bool hung_up = false;  // closed at the other end, or not usable at all
};

// Waits until a watched descriptor is readable (for `read`) or hung up, or until
// `timeout_ms` passes (-1: no limit). The number of such descriptors, 0 on time-out,
// -1 on failure (errno set; EINTR: try again).
int wait_fds(FdWatch* watches, std::size_t count, int timeout_ms);

// Signals or console events that ask the host to end call `handler`, which may only
// do what a signal handler may. A write to a pipe nobody reads fails instead of
// ending the process.
void on_shutdown_request(void (*handler)());

// Standard input, output and error as the channel needs them: a closed one is
// opened on the null device (so that no file the host opens takes its number), and
// all carry bytes unchanged (binary mode where the system has a text mode).
void prepare_standard_streams();

// Keeps the frames apart from what the process prints: returns a descriptor of
// its own on what standard output was, for the frames alone, and points standard
// output at standard error, so that a library that writes there (a crash text, a
// driver's debug print) reaches the log instead of corrupting the frame stream.
// -1, with nothing changed, when it cannot.
int take_frame_output();

}  // namespace Vorn_SCard_Bridge::platform
