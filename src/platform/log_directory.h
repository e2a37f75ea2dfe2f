#pragma once

// Where the host's log file goes on this system, created if missing. One
// implementation per system (posix/, windows/), chosen in CMake.

#include <spdlog/common.h>

#include <filesystem>

namespace Vorn_SCard_Bridge::platform {

// Linux: $XDG_STATE_HOME/vorn-scard-bridge, by default
// $HOME/.local/state/vorn-scard-bridge (the desktop's place for logs and history).
// macOS: $HOME/Library/Logs/Vorn Smart Card Bridge. Both: a private /tmp/vorn-logs
// without an absolute HOME; the folder itself is ours, private and not a link, or
// refused. Windows: %LOCALAPPDATA%\Vorn Smart Card Bridge\Logs, or the same
// below the user's temporary folder without LOCALAPPDATA.
// Throws std::filesystem::filesystem_error when it cannot be made or is refused.
std::filesystem::path log_directory();

// How the log library opens the log file (and its rotations): its folder checked
// again, the file never reached through a link, created private (0600), and what
// the library opened checked to be that very file. Each refusal throws.
spdlog::file_event_handlers log_file_handlers();

}  // namespace Vorn_SCard_Bridge::platform
