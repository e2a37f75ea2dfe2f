#include "platform/fd_events.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

namespace Vorn_SCard_Bridge::platform {

namespace {

// Anonymous pipes cannot be waited on: where nothing else helps, their state is
// looked at in steps this long.
constexpr DWORD STEP_MS = 2;

// Notice pipes are found by descriptor number; the host's are among the first
// descriptors of the process.
constexpr int TRACKED_FDS = 256;

// An event set by every notice, by the notice pipe's read end and by its write end
// (nullptr: not a notice pipe). A notice stays in its pipe, so its event is never
// reset. Events are kept when a pipe is closed: a reader may still be waiting on it.
std::atomic<HANDLE> notice_event_by_read_end[TRACKED_FDS];
std::atomic<HANDLE> notice_event_by_write_end[TRACKED_FDS];

bool tracked(int fd) { return fd >= 0 && fd < TRACKED_FDS; }

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

void (*shutdown_handler)() = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT ||
        event == CTRL_SHUTDOWN_EVENT) {
        if (shutdown_handler != nullptr) shutdown_handler();
        return TRUE;
    }
    return FALSE;
}

// What a descriptor offers now: something to read, or its end.
void look(FdWatch& watch) {
    watch.readable = watch.hung_up = false;
    if (watch.fd < 0) return;
    const HANDLE handle = handle_of(watch.fd);
    if (handle == INVALID_HANDLE_VALUE) {
        watch.hung_up = true;
        return;
    }
    if (GetFileType(handle) != FILE_TYPE_PIPE) {
        // A file or a device never makes a read wait for a writer.
        watch.readable = watch.read;
        return;
    }
    DWORD available = 0;
    if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) {
        // The writer is gone (ERROR_BROKEN_PIPE); any other failure (the write end,
        // whose reader's departure only a write shows, or a pipe that cannot be
        // peeked) is left to the read or write itself.
        watch.hung_up = GetLastError() == ERROR_BROKEN_PIPE;
        watch.readable = watch.read;
        return;
    }
    watch.readable = watch.read && available > 0;
}

bool has_notice(int read_fd) {
    FdWatch watch{read_fd, true};
    look(watch);
    return watch.readable || watch.hung_up;
}

}  // namespace

bool make_notice_pipe(int fds[2]) {
    if (_pipe(fds, 4096, _O_BINARY | _O_NOINHERIT) != 0) return false;
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    for (int i = 0; i < 2; ++i) SetNamedPipeHandleState(handle_of(fds[i]), &mode, nullptr, nullptr);
    if (tracked(fds[0]) && tracked(fds[1])) {
        const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        notice_event_by_read_end[fds[0]].store(event);
        notice_event_by_write_end[fds[1]].store(event);
    }
    return true;
}

void notify(int write_fd) {
    const int saved_errno = errno;
    const char byte = 1;
    _write(write_fd, &byte, 1);
    if (tracked(write_fd)) {
        if (const HANDLE event = notice_event_by_write_end[write_fd].load()) SetEvent(event);
    }
    errno = saved_errno;
}

// The reads of one descriptor, made by a thread of its own when the reader asks,
// so that the reader can wait for their result and a notice at once.
struct InputReader::State {
    HANDLE handle = INVALID_HANDLE_VALUE;
    int wake_fd = -1;
    HANDLE wake_event = nullptr;  // the notice pipe's event, if any

    // Set by the reader to ask for a read, and by the reading thread when the read
    // is done; both auto-reset.
    HANDLE wanted = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    bool asked = false;    // the reader's: a read was asked for and not yet taken
    bool started = false;  // the reader's: the reading thread runs
    std::atomic<bool> abandoned{false};

    // Filled by the reading thread before it sets `done`.
    std::vector<char> buffer;
    DWORD got = 0;
    InputRead::Status status = InputRead::DATA;
    // What the reader has not yet taken of the last read.
    std::size_t taken = 0;

    ~State() {
        CloseHandle(wanted);
        CloseHandle(done);
    }

    static void read_when_asked(const std::shared_ptr<State>& self) {
        for (;;) {
            WaitForSingleObject(self->wanted, INFINITE);
            if (self->abandoned.load()) return;
            self->read_once();
            const bool finished = self->status != InputRead::DATA;
            SetEvent(self->done);
            if (finished) return;
        }
    }

    void read_once() {
        for (;;) {
            got = 0;
            if (ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr)) {
                // Nothing read is the end, as the C library takes it: a file at its
                // end, and under Wine a pipe whose writer has gone.
                status = got > 0 ? InputRead::DATA : InputRead::END;
                return;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_NO_DATA) {
                // A pipe that does not block: its data is waited for in steps.
                Sleep(STEP_MS);
                if (abandoned.load()) {
                    status = InputRead::END;
                    return;
                }
                continue;
            }
            status = error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? InputRead::END
                                                                             : InputRead::FAILED;
            return;
        }
    }
};

InputReader::InputReader(int fd, int wake_fd) : state_(std::make_shared<State>()) {
    state_->handle = handle_of(fd);
    state_->wake_fd = wake_fd;
    if (tracked(wake_fd)) state_->wake_event = notice_event_by_read_end[wake_fd].load();
}

InputReader::~InputReader() {
    // A read still running ends with its descriptor's next data or end; the thread
    // then sees it is not wanted any more.
    state_->abandoned.store(true);
    if (state_->started) SetEvent(state_->wanted);
}

InputRead InputReader::read(void* buffer, std::size_t size) {
    State& state = *state_;
    if (state.handle == INVALID_HANDLE_VALUE) return {InputRead::FAILED, 0, EBADF};
    for (;;) {
        if (state.wake_fd >= 0 && has_notice(state.wake_fd)) return {InputRead::WOKEN};
        if (!state.asked && state.status == InputRead::DATA && state.taken < state.got) {
            const std::size_t count = std::min<std::size_t>(size, state.got - state.taken);
            std::memcpy(buffer, state.buffer.data() + state.taken, count);
            state.taken += count;
            return {InputRead::DATA, count};
        }
        // The end, or a failure, stays: the reading thread has stopped.
        if (!state.asked && state.status == InputRead::END) return {InputRead::END};
        if (!state.asked && state.status == InputRead::FAILED) return {InputRead::FAILED, 0, EIO};
        if (!state.started) {
            state.buffer.resize(std::max<std::size_t>(size, 1));
            std::thread(State::read_when_asked, state_).detach();
            state.started = true;
        }
        if (!state.asked) {
            state.got = state.taken = 0;
            state.asked = true;
            SetEvent(state.wanted);
        }
        // The reading thread's result, or a notice; without an event for the notice
        // pipe, it is looked at in steps.
        const HANDLE events[2] = {state.done, state.wake_event};
        const DWORD count = state.wake_event != nullptr ? 2 : 1;
        const DWORD timeout =
            state.wake_fd >= 0 && state.wake_event == nullptr ? STEP_MS : INFINITE;
        const DWORD woke = WaitForMultipleObjects(count, events, FALSE, timeout);
        if (woke == WAIT_OBJECT_0) {
            state.asked = false;
            if (state.status == InputRead::END) return {InputRead::END};
            if (state.status == InputRead::FAILED) return {InputRead::FAILED, 0, EIO};
            continue;  // the data is handed out above
        }
        if (woke == WAIT_FAILED) return {InputRead::FAILED, 0, EIO};
        // A notice or a step: looked at above.
    }
}

int wait_fds(FdWatch* watches, std::size_t count, int timeout_ms) {
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        int ready = 0;
        for (std::size_t i = 0; i < count; ++i) {
            look(watches[i]);
            if (watches[i].readable || watches[i].hung_up) ++ready;
        }
        if (ready > 0) return ready;
        const ULONGLONG waited = GetTickCount64() - start;
        if (timeout_ms >= 0 && waited >= static_cast<ULONGLONG>(timeout_ms)) return 0;
        Sleep(timeout_ms < 0 ? STEP_MS
                             : std::min<DWORD>(STEP_MS, static_cast<DWORD>(timeout_ms - waited)));
    }
}

void on_shutdown_request(void (*handler)()) {
    shutdown_handler = handler;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void prepare_standard_streams() {
    for (const int fd : {0, 1, 2}) {
        if (_get_osfhandle(fd) == -1) {
            const int opened = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
            if (opened >= 0 && opened != fd) {
                _dup2(opened, fd);
                _close(opened);
            }
        }
        // Text mode would turn a length byte 0x0A into 0D 0A, and end input at 0x1A.
        _setmode(fd, _O_BINARY);
    }
}

int take_frame_output() {
    const int frames = _dup(1);
    if (frames < 0) return -1;
    if (_dup2(2, 1) != 0) {
        _close(frames);
        return -1;
    }
    std::fflush(stdout);
    // Programs and libraries that write to the standard output handle, not the
    // C descriptor, are sent to standard error too.
    SetStdHandle(STD_OUTPUT_HANDLE, handle_of(1));
    _setmode(frames, _O_BINARY);
    return frames;
}

}  // namespace Vorn_SCard_Bridge::platform
