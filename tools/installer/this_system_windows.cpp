#include <cwctype>
#include <string>
#include <vector>

#include "this_system.h"

// CMake defines WIN32_LEAN_AND_MEAN and NOMINMAX for Windows builds.
#include <windows.h>

namespace Vorn_SCard_Bridge::installer::this_system {

namespace fs = std::filesystem;

namespace {

constexpr const wchar_t* SERVICE = L"SCardSvr";
constexpr const char* START_IT =
    "Plug in the reader (Windows starts the Smart Card service for it), or start the "
    "service from an administrator command prompt: sc start SCardSvr";

// Closes a service manager handle when it goes.
class ServiceHandle {
public:
    explicit ServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ServiceHandle(const ServiceHandle&) = delete;
    ServiceHandle& operator=(const ServiceHandle&) = delete;
    ~ServiceHandle() {
        if (handle_ != nullptr) CloseServiceHandle(handle_);
    }
    SC_HANDLE get() const { return handle_; }

private:
    SC_HANDLE handle_;
};

std::string reason(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 ? std::string(text, length) : std::string();
    if (text != nullptr) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' ||
                                message.back() == ' ' || message.back() == '.')) {
        message.pop_back();
    }
    return message.empty() ? "error " + std::to_string(error)
                           : message + " (error " + std::to_string(error) + ")";
}

std::wstring lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// The start type of the service; SERVICE_DEMAND_START when it cannot be read.
DWORD start_type(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    if (needed == 0) return SERVICE_DEMAND_START;
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    if (!QueryServiceConfigW(service, config, needed, &needed)) return SERVICE_DEMAND_START;
    return config->dwStartType;
}

}  // namespace

Os os() { return Os::WINDOWS; }

fs::path own_executable() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            return fs::path(buffer);
        }
        // Cut short: the path is longer than MAX_PATH.
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::string_view host_file_name() { return "vorn-scard-bridge.exe"; }

fs::path installed_host_folder() { return {}; }

bool is_program(const fs::path& path) {
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    // What CreateProcess starts by itself (.exe, .com) and what browsers start
    // through cmd.exe (.bat, .cmd).
    const std::wstring extension = lower(path.extension().wstring());
    return extension == L".exe" || extension == L".com" || extension == L".bat" ||
           extension == L".cmd";
}

std::string others_who_may_replace(const fs::path&) { return {}; }

bool running_elevated() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    const bool elevated =
        GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
        elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return elevated;
}

std::string_view administrator() { return "an administrator"; }
std::string_view how_to_run_as_administrator() {
    return "run it in a command prompt opened with \"Run as administrator\"";
}

// A console that lists only this process was made for it: a command prompt would be
// in the list too.
bool console_closes_on_exit() {
    DWORD processes[2] = {};
    return GetConsoleProcessList(processes, 2) == 1;
}

void wait_for_key_press() {
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (input == nullptr || input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) return;
    FlushConsoleInputBuffer(input);
    INPUT_RECORD record{};
    DWORD read = 0;
    while (ReadConsoleInputW(input, &record, 1, &read) && read == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return;
    }
}

// Windows ends no process for writing to a closed pipe: the write fails.
void ignore_broken_pipes() {}

SmartCardService smart_card_service() {
    SmartCardService service;
    service.fix = START_IT;
    const ServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (manager.get() == nullptr) {
        service.text = "cannot ask the service manager about the Smart Card service (SCardSvr): " +
                       reason(GetLastError());
        return service;
    }
    const ServiceHandle handle(
        OpenServiceW(manager.get(), SERVICE, SERVICE_QUERY_STATUS | SERVICE_QUERY_CONFIG));
    if (handle.get() == nullptr) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
            service.state = SmartCardService::State::MISSING;
            service.text =
                "the Smart Card service (SCardSvr) is missing: this Windows has no smart-card "
                "support, so no program sees a reader.";
            service.fix =
                "Windows editions with smart-card support have it; check that no tool removed "
                "it (services.msc lists it as \"Smart Card\").";
        } else {
            service.text = "cannot look at the Smart Card service (SCardSvr): " + reason(error);
        }
        return service;
    }
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(handle.get(), &status)) {
        service.text =
            "cannot read the state of the Smart Card service (SCardSvr): " + reason(GetLastError());
        return service;
    }
    const DWORD start = start_type(handle.get());
    switch (status.dwCurrentState) {
        case SERVICE_RUNNING:
            service.state = SmartCardService::State::RUNNING;
            service.text = "the Smart Card service (SCardSvr) is running";
            return service;
        case SERVICE_START_PENDING:
        case SERVICE_CONTINUE_PENDING:
            service.state = SmartCardService::State::RUNNING;
            service.text = "the Smart Card service (SCardSvr) is starting";
            return service;
        default:
            break;
    }
    if (start == SERVICE_DISABLED) {
        service.state = SmartCardService::State::DISABLED;
        service.text =
            "the Smart Card service (SCardSvr) is stopped and disabled: no program sees a reader.";
        service.fix =
            "Enable and start it from an administrator command prompt: sc config SCardSvr "
            "start= demand && sc start SCardSvr";
        return service;
    }
    service.state = SmartCardService::State::STOPPED;
    service.starts_on_demand = start == SERVICE_DEMAND_START;
    service.text = "the Smart Card service (SCardSvr) is stopped";
    if (service.starts_on_demand) {
        service.text += "; Windows starts it when a reader is plugged in";
    }
    return service;
}

}  // namespace Vorn_SCard_Bridge::installer::this_system
