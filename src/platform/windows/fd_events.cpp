#include "platform/fd_events.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>

namespace Vorn_SCard_Bridge::platform {

namespace {

// Anonymous pipes cannot be waited on: their state is looked at in steps this long.
constexpr DWORD STEP_MS = 2;

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
    for (int i = 0; i < 2; ++i) {
        SetNamedPipeHandleState(reinterpret_cast<HANDLE>(_get_osfhandle(fds[i])), &mode, nullptr,
                                nullptr);
    }
    return true;
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
