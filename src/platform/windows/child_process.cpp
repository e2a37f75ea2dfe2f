#include "platform/child_process.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cwchar>

namespace Vorn_SCard_Bridge::platform {

namespace {

constexpr DWORD STEP_MS = 2;

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(std::max(size, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

// One argument as CommandLineToArgvW reads it back.
std::wstring quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring out = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, L'\\');
    return out + L"\"";
}

bool named(const std::wstring& entry, const std::string& name) {
    const std::wstring wide = widen(name);
    return entry.size() > wide.size() && _wcsnicmp(entry.c_str(), wide.c_str(), wide.size()) == 0 &&
           entry[wide.size()] == L'=';
}

// Our environment, without the names unset or set, with those set: a block of
// NUL-terminated entries ended by another NUL.
std::wstring environment_block(const ChildOptions& options) {
    std::wstring block;
    wchar_t* ours = GetEnvironmentStringsW();
    for (const wchar_t* entry = ours; entry != nullptr && *entry != L'\0';
         entry += std::wcslen(entry) + 1) {
        const std::wstring text(entry);
        bool drop = false;
        for (const auto& name : options.unset_environment) drop = drop || named(text, name);
        for (const auto& [name, value] : options.environment) drop = drop || named(text, name);
        if (!drop) block += text + L'\0';
    }
    if (ours != nullptr) FreeEnvironmentStringsW(ours);
    for (const auto& [name, value] : options.environment) {
        block += widen(name) + L'=' + widen(value) + L'\0';
    }
    return block + L'\0';
}

HANDLE inheritable(HANDLE handle) {
    HANDLE copy = INVALID_HANDLE_VALUE;
    DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                    DUPLICATE_SAME_ACCESS);
    return copy;
}

// The child's end of one stream (inheritable; closed by the caller after the
// start), and ours for a PIPE.
bool wire(ChildStream stream, int given, bool child_reads, DWORD standard, HANDLE& child_end,
          int& ours, std::string& error) {
    if (given >= 0) {
        child_end = inheritable(reinterpret_cast<HANDLE>(_get_osfhandle(given)));
        return child_end != INVALID_HANDLE_VALUE;
    }
    switch (stream) {
        case ChildStream::INHERIT:
            child_end = inheritable(GetStdHandle(standard));
            return true;
        case ChildStream::CLOSED:
            child_end = INVALID_HANDLE_VALUE;
            return true;
        case ChildStream::NUL: {
            SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
            child_end = CreateFileW(L"NUL", child_reads ? GENERIC_READ : GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                    nullptr);
            return child_end != INVALID_HANDLE_VALUE;
        }
        case ChildStream::PIPE: {
            HANDLE read_end = nullptr;
            HANDLE write_end = nullptr;
            if (!CreatePipe(&read_end, &write_end, nullptr, 0)) {
                error = "CreatePipe failed (" + std::to_string(GetLastError()) + ")";
                return false;
            }
            HANDLE mine = child_reads ? write_end : read_end;
            HANDLE theirs = child_reads ? read_end : write_end;
            child_end = inheritable(theirs);
            CloseHandle(theirs);
            ours = _open_osfhandle(reinterpret_cast<intptr_t>(mine),
                                   (child_reads ? _O_WRONLY : _O_RDONLY) | _O_BINARY);
            return child_end != INVALID_HANDLE_VALUE && ours >= 0;
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
        kill();
        wait(std::chrono::seconds(5));
    }
}

bool ChildProcess::start(const ChildOptions& options, std::string& error) {
    HANDLE ends[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    const bool wired =
        wire(options.input, options.input_fd, true, STD_INPUT_HANDLE, ends[0], input_, error) &&
        wire(options.output, options.output_fd, false, STD_OUTPUT_HANDLE, ends[1], output_,
             error) &&
        wire(options.error, options.error_fd, false, STD_ERROR_HANDLE, ends[2], error_, error);

    std::wstring command_line = quoted(options.program.wstring());
    for (const auto& argument : options.arguments) command_line += L' ' + quoted(widen(argument));
    std::wstring environment = environment_block(options);
    const std::wstring directory = options.working_directory.wstring();

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = ends[0];
    startup.hStdOutput = ends[1];
    startup.hStdError = ends[2];
    PROCESS_INFORMATION process{};
    const BOOL created =
        wired &&
        CreateProcessW(options.program.wstring().c_str(), command_line.data(), nullptr, nullptr,
                       TRUE, CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
                       directory.empty() ? nullptr : directory.c_str(), &startup, &process);
    const DWORD failure = GetLastError();
    for (HANDLE end : ends) {
        if (end != INVALID_HANDLE_VALUE && end != nullptr) CloseHandle(end);
    }
    if (!created) {
        if (error.empty()) {
            error = "cannot start " + options.program.string() + " (error " +
                    std::to_string(failure) + ")";
        }
        close_input();
        close_output();
        close_error();
        return false;
    }
    CloseHandle(process.hThread);
    handle_ = process.hProcess;
    id_ = static_cast<long>(process.dwProcessId);
    return true;
}

void ChildProcess::close_input() {
    if (input_ >= 0) _close(input_);
    input_ = -1;
}
void ChildProcess::close_output() {
    if (output_ >= 0) _close(output_);
    output_ = -1;
}
void ChildProcess::close_error() {
    if (error_ >= 0) _close(error_);
    error_ = -1;
}

std::optional<int> ChildProcess::wait(std::chrono::milliseconds timeout) {
    if (exit_ || handle_ == nullptr) return exit_;
    const auto milliseconds = std::clamp<long long>(timeout.count(), 0, INFINITE - 1);
    if (WaitForSingleObject(handle_, static_cast<DWORD>(milliseconds)) != WAIT_OBJECT_0) {
        return std::nullopt;
    }
    DWORD code = 0;
    GetExitCodeProcess(handle_, &code);
    CloseHandle(handle_);
    handle_ = nullptr;
    exit_ = static_cast<int>(code);
    return exit_;
}

// Windows has no gentler request than ending the process.
void ChildProcess::terminate() { kill(); }

void ChildProcess::kill() {
    if (handle_ != nullptr && !exit_) TerminateProcess(handle_, 128 + 9);
}

void ChildProcess::signal(int) { kill(); }

bool make_pipe(int fds[2]) { return _pipe(fds, 65536, _O_BINARY | _O_NOINHERIT) == 0; }

int wait_readable(int fd, int timeout_ms) {
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
    if (handle == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    const ULONGLONG start = GetTickCount64();
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr) || available > 0) {
            return 1;  // data, its end, or not a pipe: a read will not wait
        }
        const ULONGLONG waited = GetTickCount64() - start;
        if (timeout_ms >= 0 && waited >= static_cast<ULONGLONG>(timeout_ms)) return 0;
        Sleep(STEP_MS);
    }
}

}  // namespace Vorn_SCard_Bridge::platform
