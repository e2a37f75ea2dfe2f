#pragma once

// Writing a manifest so that a browser never reads half of one: a temporary file
// in the same folder, written and fsync'ed, then renamed over the target, then
// the folder fsync'ed so the rename itself survives a crash.

#include <sys/types.h>

#include <filesystem>
#include <string_view>

namespace Vorn_SCard_Bridge::installer {

// Creates missing parent folders (mode 0755). Throws std::filesystem::filesystem_error
// with the system's reason on failure; no temporary file is left behind.
void write_file_atomically(const std::filesystem::path& target, std::string_view contents,
                           mode_t mode = 0644);

// Removes the file if present; returns whether it was there.
bool remove_file_if_present(const std::filesystem::path& target);

}  // namespace Vorn_SCard_Bridge::installer
