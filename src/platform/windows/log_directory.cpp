#include "platform/log_directory.h"

#include <cstdlib>

namespace Vorn_SCard_Bridge::platform {

// Below the user's own profile either way: no other user can reach it.
std::filesystem::path log_directory() {
    const wchar_t* local = _wgetenv(L"LOCALAPPDATA");
    const std::filesystem::path base = local != nullptr && *local != L'\0'
                                           ? std::filesystem::path(local)
                                           : std::filesystem::temp_directory_path();
    const std::filesystem::path directory = base / L"Vorn Smart Card Bridge" / L"Logs";
    std::filesystem::create_directories(directory);
    return directory;
}

// The profile's folder admits no other user: nothing to check.
spdlog::file_event_handlers log_file_handlers() { return {}; }

}  // namespace Vorn_SCard_Bridge::platform
