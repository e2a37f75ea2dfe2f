#pragma once

// Where the host's log file goes on this system, created if missing. One
// implementation per system (posix/, windows/), chosen in CMake.

#include <filesystem>

namespace Vorn_SCard_Bridge::platform {

// Linux: $XDG_STATE_HOME/vorn-scard-bridge, by default
// $HOME/.local/state/vorn-scard-bridge (the desktop's place for logs and history).
// macOS: $HOME/Library/Logs/Vorn Smart Card Bridge. Both: a private /tmp/vorn-logs
// without HOME. Windows: %LOCALAPPDATA%\Vorn Smart Card Bridge\Logs, or the same
// below the user's temporary folder without LOCALAPPDATA.
// Throws std::filesystem::filesystem_error when it cannot be made.
std::filesystem::path log_directory();

}  // namespace Vorn_SCard_Bridge::platform
