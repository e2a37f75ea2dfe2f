#include "logging/log_location.h"

#include "platform/log_directory.h"

namespace Vorn_SCard_Bridge {

std::filesystem::path get_log_directory() { return platform::log_directory(); }

std::filesystem::path get_log_file_path(const std::filesystem::path& path) {
    if (path.empty()) return {};
    return get_log_directory() / path;
}

}  // namespace Vorn_SCard_Bridge
