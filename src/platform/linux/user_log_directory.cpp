#include "platform/posix/user_log_directory.h"

#include <cstdlib>

namespace Vorn_SCard_Bridge::platform {

// The XDG base directories: logs are state, which belongs in $XDG_STATE_HOME. A
// relative value is not a valid setting and is ignored, as the convention asks.
std::filesystem::path user_log_directory(const std::filesystem::path& home) {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && *state == '/')
        return std::filesystem::path(state) / "vorn-scard-bridge";
    return home / ".local" / "state" / "vorn-scard-bridge";
}

}  // namespace Vorn_SCard_Bridge::platform
