#include "platform/posix/user_log_directory.h"

namespace Vorn_SCard_Bridge::platform {

// Where Console looks for a user's application logs.
std::filesystem::path user_log_directory(const std::filesystem::path& home) {
    return home / "Library" / "Logs" / "Vorn Smart Card Bridge";
}

}  // namespace Vorn_SCard_Bridge::platform
