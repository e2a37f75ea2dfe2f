#pragma once

// What `install` and `uninstall` do, as a plan of files that can be printed
// (--dry-run), tested, and then carried out.
//
// On Windows the programs are copied into a folder of their own before anything names
// them: the folder the zip was unpacked to may be a temporary one (a zip opened in
// Explorer) and, for every user's browsers, one that the user can write to (whoever
// writes there decides what every user's browser starts).

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"
#include "manifest.h"

namespace Vorn_SCard_Bridge::installer {

struct CustomTarget {
    std::filesystem::path directory;  // e.g. <user-data-dir>/NativeMessagingHosts
    ManifestKind kind = ManifestKind::CHROMIUM;
};

struct InstallRequest {
    Scope scope = Scope::USER;
    // Browsers named on the command line; empty means "every browser that the given
    // ids are for" (extension ids: the Chromium family; add-on ids: Firefox), or only the
    // custom targets when there are some.
    std::vector<Browser> browsers;
    std::vector<std::string> chromium_ids;
    std::vector<std::string> firefox_ids;
    // The host to register. Unless it was named with --host (`host_given`), on Windows it
    // is copied first, with this installer (`installer_path`), into program_folder(), and
    // the copy is registered.
    std::filesystem::path host_path;
    bool host_given = false;
    std::filesystem::path installer_path;
    std::vector<CustomTarget> custom_targets;
    // uninstall: leave the programs where they are (an MSI removes its own files).
    bool keep_programs = false;
};

struct ProgramCopy {
    std::filesystem::path from;
    std::filesystem::path to;
};

struct PlannedFile {
    std::string label;  // "Google Chrome (user)" or "custom folder"
    ManifestKind kind = ManifestKind::CHROMIUM;
    std::filesystem::path file;
    std::string contents;  // empty in an uninstall plan
    // Windows: the key whose default value names `file` (registry_key()); empty elsewhere
    // and for custom folders.
    std::string registry_key;
};

struct Plan {
    // install: copied before any manifest is written, in this order.
    std::vector<ProgramCopy> copies;
    // install: the host the manifests name.
    std::filesystem::path host;
    // uninstall: removed after the manifests and keys.
    std::vector<std::filesystem::path> programs_to_remove;
    // uninstall: then these folders of ours (Windows), each only when it is empty, in order.
    std::vector<std::filesystem::path> folders_to_remove;
    std::vector<PlannedFile> files;
    std::vector<std::string> notes;   // skipped browsers and why
    std::vector<std::string> errors;  // nothing is done when there are errors
};

// Where the programs live once installed: Windows' per-user programs folder
// (%LOCALAPPDATA%\Programs\Vorn Smart Card Bridge) or, for every user, %ProgramFiles%,
// which only an administrator may change. nullopt (with the reason in `why_not`) on
// Linux and macOS, where the packages install them, and when the variable is not set.
std::optional<std::filesystem::path> program_folder(Scope scope, const Environment& env,
                                                    std::string* why_not = nullptr);

// The programs' file names in program_folder().
inline constexpr std::string_view WINDOWS_HOST_FILE = "vorn-scard-bridge.exe";
inline constexpr std::string_view WINDOWS_INSTALLER_FILE = "vorn-scard-bridge-installer.exe";

Plan plan_install(const InstallRequest& request, const Environment& env);
Plan plan_uninstall(const InstallRequest& request, const Environment& env);

}  // namespace Vorn_SCard_Bridge::installer
