#include "platform/fd_events.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace Vorn_SCard_Bridge::platform {

namespace {

// Anonymous pipes cannot be waited on: their state is looked at in steps this long.
constexpr DWORD STEP_MS = 2;

// Notice pipes and readers are found by descriptor number; the host's are the
// first few descriptors of the process.
constexpr int TRACKED_FDS = 256;

// The read end of each notice pipe plus one (0: none), by its write end.
std::atomic<int> notice_read_end[TRACKED_FDS];

// A thread in read_input with this descriptor as its wake_fd, by that descriptor.
// notify() cancels its read only under the lock, while it reads: never a thread
// that has left the read (and may be ending).
struct WaitingReader {
    SRWLOCK lock = SRWLOCK_INIT;
    DWORD thread = 0;
    bool reading = false;

    void set(bool now_reading) {
        AcquireSRWLockExclusive(&lock);
        thread = GetCurrentThreadId();
        reading = now_reading;
        ReleaseSRWLockExclusive(&lock);
    }
    // False once it does not read.
    bool cancel() {
        AcquireSRWLockExclusive(&lock);
        const bool was_reading = reading;
        if (was_reading) {
            const HANDLE handle = OpenThread(THREAD_TERMINATE, FALSE, thread);
            if (handle != nullptr) {
                CancelSynchronousIo(handle);
                CloseHandle(handle);
            }
        }
        ReleaseSRWLockExclusive(&lock);
        return was_reading;
    }
};
WaitingReader waiting_readers[TRACKED_FDS];

// notify() cancels a waiting read until the reader has left it, for at most this long.
constexpr int CANCEL_TRIES = 1000;  // 1 ms apart

bool tracked(int fd) { return fd >= 0 && fd < TRACKED_FDS; }

HANDLE handle_of(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Whether a notice pipe holds a notice (or cannot be looked at, which only a
// cancelled look, after a notice, causes).
bool has_notice(int read_fd) {
    DWORD available = 0;
    if (!PeekNamedPipe(handle_of(read_fd), nullptr, 0, nullptr, &available, nullptr)) return true;
    return available > 0;
}

bool is_nonblocking_pipe(HANDLE handle) {
    DWORD state = 0;
    return GetNamedPipeHandleState(handle, &state, nullptr, nullptr, nullptr, nullptr, 0) &&
           (state & PIPE_NOWAIT) != 0;
}

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
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(watch.fd));
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

}  // namespace

bool make_notice_pipe(int fds[2]) {
    if (_pipe(fds, 4096, _O_BINARY | _O_NOINHERIT) != 0) return false;
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    for (int i = 0; i < 2; ++i) SetNamedPipeHandleState(handle_of(fds[i]), &mode, nullptr, nullptr);
    if (tracked(fds[1])) notice_read_end[fds[1]].store(fds[0] + 1);
    return true;
}

void notify(int write_fd) {
    const int saved_errno = errno;
    const char byte = 1;
    _write(write_fd, &byte, 1);
    const int read_fd = tracked(write_fd) ? notice_read_end[write_fd].load() - 1 : -1;
    if (tracked(read_fd)) {
        // The reader may be between its look at the notice pipe and its read: its
        // read is cancelled until it has left it.
        WaitingReader& reader = waiting_readers[read_fd];
        for (int tries = 0; tries < CANCEL_TRIES && reader.cancel(); ++tries) Sleep(1);
    }
    errno = saved_errno;
}

InputRead read_input(int fd, int wake_fd, void* buffer, std::size_t size) {
    const HANDLE handle = handle_of(fd);
    if (handle == INVALID_HANDLE_VALUE) return {InputRead::FAILED, 0, EBADF};
    const auto wanted = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
    if (is_nonblocking_pipe(handle) || (wake_fd >= 0 && !tracked(wake_fd))) {
        // Nothing to block in: look at both in steps.
        for (;;) {
            FdWatch fds[2] = {{fd, true}, {wake_fd, wake_fd >= 0}};
            wait_fds(fds, wake_fd >= 0 ? 2 : 1, -1);
            if (wake_fd >= 0 && (fds[1].readable || fds[1].hung_up)) return {InputRead::WOKEN};
            DWORD got = 0;
            if (ReadFile(handle, buffer, wanted, &got, nullptr)) {
                if (got > 0) return {InputRead::DATA, got};
                if (GetFileType(handle) != FILE_TYPE_PIPE) return {InputRead::END};
                continue;
            }
            const DWORD error = GetLastError();
            if (error == ERROR_NO_DATA) continue;
            if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return {InputRead::END};
            return {InputRead::FAILED, 0, EIO};
        }
    }
    WaitingReader* reader = wake_fd >= 0 ? &waiting_readers[wake_fd] : nullptr;
    for (;;) {
        if (reader != nullptr) {
            reader->set(true);
            if (has_notice(wake_fd)) {
                reader->set(false);
                return {InputRead::WOKEN};
            }
        }
        DWORD got = 0;
        const BOOL done = ReadFile(handle, buffer, wanted, &got, nullptr);
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (reader != nullptr) reader->set(false);
        if (done && got > 0) return {InputRead::DATA, got};
        // A file at its end reads nothing; a pipe may carry a write of no bytes.
        if (done && GetFileType(handle) != FILE_TYPE_PIPE) return {InputRead::END};
        if (done) continue;
        if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return {InputRead::END};
        // Cancelled by notify(): the notice is looked at above.
        if (error == ERROR_OPERATION_ABORTED) continue;
        return {InputRead::FAILED, 0, EIO};
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

}  // namespace Vorn_SCard_Bridge::platform
