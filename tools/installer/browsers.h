#pragma once

// Where each browser looks for native-messaging host manifests, per operating
// system and scope. Pure functions of an Environment, so tests can ask about
// macOS on Linux and about any home folder.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace Vorn_SCard_Bridge::installer {

enum class Browser { CHROME, CHROMIUM, EDGE, BRAVE, FIREFOX };
enum class Os { LINUX, MACOS, WINDOWS };
enum class Scope { USER, SYSTEM };

// The two manifest dialects: Chromium-based browsers want "allowed_origins",
// Firefox wants "allowed_extensions" and rejects the other key.
enum class ManifestKind { CHROMIUM, FIREFOX };

struct Environment {
    Os os = Os::LINUX;
    std::filesystem::path home;             // $HOME
    std::filesystem::path xdg_config_home;  // $XDG_CONFIG_HOME, empty when unset
    std::filesystem::path xdg_state_home;   // $XDG_STATE_HOME (the host's log), empty when unset
    // Prefix for the system-wide folders (/etc/..., /Library/..., /snap, ...): empty
    // for the real ones; tests point it at a scratch folder.
    std::filesystem::path system_root;
    // Windows: %LOCALAPPDATA%, %ProgramData% and %ProgramFiles%, empty when unset.
    std::filesystem::path local_app_data;
    std::filesystem::path program_data;
    std::filesystem::path program_files;
};

// Our folder's name below %LOCALAPPDATA%, %ProgramData% and the programs folders.
inline constexpr std::string_view PRODUCT_FOLDER = "Vorn Smart Card Bridge";

// A path from UTF-8 text (the environment on Windows, manifests everywhere):
// std::filesystem::u8path without its C++20 deprecation.
std::filesystem::path path_from_utf8(std::string_view text);

// A system path below env.system_root.
std::filesystem::path system_path(const Environment& env, const std::filesystem::path& path);

// The environment of this process (HOME, XDG_CONFIG_HOME, the OS we were built for).
Environment current_environment();
Os current_os();

const std::vector<Browser>& all_browsers();
std::string_view browser_id(Browser browser);     // "chrome", "chromium", ...
std::string_view browser_title(Browser browser);  // "Google Chrome", ...
std::string_view os_id(Os os);                    // "linux", "macos", "windows"
std::string_view scope_id(Scope scope);           // "user", "system"
ManifestKind manifest_kind(Browser browser);
std::string_view manifest_kind_id(ManifestKind kind);  // "chromium", "firefox"

std::optional<Browser> parse_browser(std::string_view text);
std::optional<Os> parse_os(std::string_view text);
std::optional<ManifestKind> parse_manifest_kind(std::string_view text);

// Parses "chrome,firefox" or "all"; an unknown name is reported in `error`.
std::optional<std::vector<Browser>> parse_browser_list(std::string_view text, std::string& error);

// The folder that `browser` reads host manifests from, or nullopt (with the
// reason in `why_not`) when there is no such folder for that OS and scope.
std::optional<std::filesystem::path> manifest_directory(Browser browser, Scope scope,
                                                        const Environment& env,
                                                        std::string* why_not = nullptr);

// On Windows browsers find the manifest through a registry key whose default value is
// the manifest's path: "HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\<host name>"
// (HKLM for the system scope). Empty on other systems.
std::string registry_key(Browser browser, Scope scope, Os os);

// Flatpak and Snap packagings of each browser, for the doctor's sandbox notes.
struct SandboxedInstall {
    std::string kind;  // "flatpak" or "snap"
    std::string app_id;
    std::filesystem::path marker;        // the path that shows it is installed
    std::filesystem::path manifest_dir;  // where that packaging reads manifests
};
std::vector<SandboxedInstall> sandboxed_install_candidates(Browser browser, const Environment& env);

}  // namespace Vorn_SCard_Bridge::installer
