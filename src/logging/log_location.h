#pragma once

#include <filesystem>

namespace Vorn_SCard_Bridge {

// The desktop's place for the user's logs (platform/log_directory.h: on Linux
// $XDG_STATE_HOME/vorn-scard-bridge, by default ~/.local/state/vorn-scard-bridge),
// or /tmp/vorn-logs without HOME; created if missing.
std::filesystem::path get_log_directory();

// The log directory joined with `path`; empty for an empty path (nothing created).
std::filesystem::path get_log_file_path(const std::filesystem::path& path);

}  // namespace Vorn_SCard_Bridge
