#pragma once

// The desktop's place for a user's logs, below HOME: what differs between the
// POSIX systems. One implementation per system (linux/, macos/), chosen in CMake.

#include <filesystem>

namespace Vorn_SCard_Bridge::platform {

// `home` may be empty (HOME set but empty): the result is then relative.
std::filesystem::path user_log_directory(const std::filesystem::path& home);

}  // namespace Vorn_SCard_Bridge::platform
