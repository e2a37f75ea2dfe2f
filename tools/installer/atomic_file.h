#pragma once

// Writing a manifest so that a browser never reads half of one: a temporary file
// in the same folder, written and flushed to disk, then moved over the target (on
// POSIX the folder is flushed too, so that the rename itself survives a crash).
// One implementation per system (atomic_file_<os>.cpp).

#include <filesystem>
#include <string_view>

namespace Vorn_SCard_Bridge::installer {

// Creates missing parent folders (mode 0755). Throws std::filesystem::filesystem_error
// with the system's reason on failure; no temporary file is left behind. Windows
// files take their access rights from the folder: `permissions` is for POSIX.
void write_file_atomically(
    const std::filesystem::path& target, std::string_view contents,
    std::filesystem::perms permissions = std::filesystem::perms::owner_read |
                                         std::filesystem::perms::owner_write |
                                         std::filesystem::perms::group_read |
                                         std::filesystem::perms::others_read);

// Removes the file if present; returns whether it was there.
bool remove_file_if_present(const std::filesystem::path& target);

// Removes a program's file, also while it runs (this installer, or a host that a browser
// started). Windows keeps a running program's file but lets it be renamed: it is moved
// into the temporary folder, and Windows is asked to delete it at the next restart
// (which it does for an administrator only; otherwise it stays there for Disk Cleanup).
struct ProgramRemoval {
    bool was_there = false;
    std::filesystem::path moved_to;   // empty when deleted
    bool deleted_at_restart = false;  // Windows took the request to delete `moved_to`
};
ProgramRemoval remove_program_file(const std::filesystem::path& target);

}  // namespace Vorn_SCard_Bridge::installer
