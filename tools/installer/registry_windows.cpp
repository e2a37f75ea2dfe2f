#include <stdexcept>
#include <utility>
#include <vector>

#include "registry.h"

// CMake defines WIN32_LEAN_AND_MEAN and NOMINMAX for Windows builds.
#include <windows.h>

namespace Vorn_SCard_Bridge::installer {

namespace {

std::wstring widen(const std::string& text) {
    if (text.empty()) return {};
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
    if (size <= 0) throw std::runtime_error("not UTF-8: " + text);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), static_cast<int>(text.size()),
                        wide.data(), size);
    return wide;
}

std::string narrow(const std::wstring& wide) {
    if (wide.empty()) return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string text(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), size,
                        nullptr, nullptr);
    return text;
}

std::string reason(LSTATUS status) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message =
        length > 0 ? std::string(text, length) : "error " + std::to_string(status);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    return message;
}

// "HKCU\Software\..." -> the hive and the path below it.
std::pair<HKEY, std::wstring> split(const std::string& key) {
    const auto slash = key.find('\\');
    const std::string root = key.substr(0, slash);
    HKEY hive = root == "HKCU" ? HKEY_CURRENT_USER : root == "HKLM" ? HKEY_LOCAL_MACHINE : nullptr;
    if (hive == nullptr || slash == std::string::npos || slash + 1 == key.size()) {
        throw std::runtime_error("a registry key starts with HKCU\\ or HKLM\\: " + key);
    }
    return {hive, widen(key.substr(slash + 1))};
}

// A 64-bit program sees HKLM\Software in the 64-bit view; 32-bit programs, and the
// browsers looking for native-messaging hosts, read the 32-bit view (Wow6432Node) first.
// So HKLM keys are written to and removed from both views, and read as the browsers
// read them. HKCU\Software is one key in both views.
std::vector<REGSAM> views(HKEY hive) {
    if (hive == HKEY_LOCAL_MACHINE) return {KEY_WOW64_32KEY, KEY_WOW64_64KEY};
    return {0};
}

class WindowsRegistry final : public Registry {
public:
    void set_default_value(const std::string& key, const std::string& value) override {
        const auto [hive, path] = split(key);
        const std::wstring wide = widen(value);
        for (const REGSAM view : views(hive)) {
            HKEY handle = nullptr;
            LSTATUS status = RegCreateKeyExW(hive, path.c_str(), 0, nullptr, 0,
                                             KEY_SET_VALUE | view, nullptr, &handle, nullptr);
            if (status != ERROR_SUCCESS) {
                throw std::runtime_error("cannot create " + key + ": " + reason(status));
            }
            status = RegSetValueExW(handle, nullptr, 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(wide.c_str()),
                                    static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
            RegCloseKey(handle);
            if (status != ERROR_SUCCESS) {
                throw std::runtime_error("cannot set " + key + ": " + reason(status));
            }
        }
    }

    std::optional<std::string> default_value(const std::string& key) const override {
        const auto [hive, path] = split(key);
        for (const REGSAM view : views(hive)) {
            if (auto value = read(key, hive, path, view)) return value;
        }
        return std::nullopt;
    }

    bool remove_key(const std::string& key) override {
        const auto [hive, path] = split(key);
        bool removed = false;
        for (const REGSAM view : views(hive)) {
            const LSTATUS status = RegDeleteKeyExW(hive, path.c_str(), view, 0);
            if (status == ERROR_FILE_NOT_FOUND) continue;
            if (status != ERROR_SUCCESS) {
                throw std::runtime_error("cannot remove " + key + ": " + reason(status));
            }
            removed = true;
        }
        return removed;
    }

private:
    static std::optional<std::string> read(const std::string& key, HKEY hive,
                                           const std::wstring& path, REGSAM view) {
        HKEY handle = nullptr;
        LSTATUS status = RegOpenKeyExW(hive, path.c_str(), 0, KEY_QUERY_VALUE | view, &handle);
        if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
        if (status != ERROR_SUCCESS) {
            throw std::runtime_error("cannot read " + key + ": " + reason(status));
        }
        DWORD size = 0;
        status = RegGetValueW(handle, nullptr, nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &size);
        std::wstring wide;
        if (status == ERROR_SUCCESS) {
            wide.assign(size / sizeof(wchar_t) + 1, L'\0');
            size = static_cast<DWORD>(wide.size() * sizeof(wchar_t));
            status = RegGetValueW(handle, nullptr, nullptr, RRF_RT_REG_SZ, nullptr, wide.data(),
                                  &size);
        }
        RegCloseKey(handle);
        if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
        if (status != ERROR_SUCCESS) {
            throw std::runtime_error("cannot read " + key + ": " + reason(status));
        }
        wide.resize(wcsnlen(wide.c_str(), wide.size()));
        return narrow(wide);
    }
};

}  // namespace

std::unique_ptr<Registry> system_registry() { return std::make_unique<WindowsRegistry>(); }

}  // namespace Vorn_SCard_Bridge::installer
