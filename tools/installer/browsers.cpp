#include "browsers.h"

#include <array>
#include <cstdlib>

#include "manifest.h"
#include "this_system.h"

namespace Vorn_SCard_Bridge::installer {

namespace fs = std::filesystem;

namespace {

struct BrowserInfo {
    Browser browser;
    std::string_view id;
    std::string_view title;
    // Below the Linux config home ($XDG_CONFIG_HOME or ~/.config); empty for Firefox,
    // which keeps its own folder in the home directory.
    std::string_view linux_user_dir;
    std::string_view linux_system_dir;
    // Below ~/Library/Application Support.
    std::string_view macos_user_dir;
    std::string_view macos_system_dir;
    // Below HKCU or HKLM.
    std::string_view windows_key;
};

// Brave documents no system-wide manifest folder of its own; its per-user one is used.
constexpr std::array<BrowserInfo, 5> BROWSERS{{
    {Browser::CHROME, "chrome", "Google Chrome", "google-chrome/NativeMessagingHosts",
     "/etc/opt/chrome/native-messaging-hosts", "Google/Chrome/NativeMessagingHosts",
     "/Library/Google/Chrome/NativeMessagingHosts",
     "Software\\Google\\Chrome\\NativeMessagingHosts"},
    {Browser::CHROMIUM, "chromium", "Chromium", "chromium/NativeMessagingHosts",
     "/etc/chromium/native-messaging-hosts", "Chromium/NativeMessagingHosts",
     "/Library/Application Support/Chromium/NativeMessagingHosts",
     "Software\\Chromium\\NativeMessagingHosts"},
    {Browser::EDGE, "edge", "Microsoft Edge", "microsoft-edge/NativeMessagingHosts",
     "/etc/opt/edge/native-messaging-hosts", "Microsoft Edge/NativeMessagingHosts",
     "/Library/Microsoft/Edge/NativeMessagingHosts",
     "Software\\Microsoft\\Edge\\NativeMessagingHosts"},
    {Browser::BRAVE, "brave", "Brave", "BraveSoftware/Brave-Browser/NativeMessagingHosts", "",
     "BraveSoftware/Brave-Browser/NativeMessagingHosts", "",
     "Software\\BraveSoftware\\Brave-Browser\\NativeMessagingHosts"},
    {Browser::FIREFOX, "firefox", "Mozilla Firefox", "", "/usr/lib/mozilla/native-messaging-hosts",
     "Mozilla/NativeMessagingHosts", "/Library/Application Support/Mozilla/NativeMessagingHosts",
     "Software\\Mozilla\\NativeMessagingHosts"},
}};

const BrowserInfo& info(Browser browser) {
    for (const auto& entry : BROWSERS) {
        if (entry.browser == browser) return entry;
    }
    return BROWSERS[0];
}

fs::path linux_config_home(const Environment& env) {
    // Chromium-based browsers put their profile under $XDG_CONFIG_HOME when it is an
    // absolute path, and under ~/.config otherwise (a Linux path: from the root, which
    // is "absolute" to Linux whatever system reads it).
    if (!env.xdg_config_home.empty() && env.xdg_config_home.has_root_directory()) {
        return env.xdg_config_home;
    }
    return env.home / ".config";
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

std::string trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

}  // namespace

Os current_os() { return this_system::os(); }

Environment current_environment() {
    Environment env;
    env.os = current_os();
    if (const char* home = std::getenv("HOME"); home != nullptr) env.home = home;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr) env.xdg_config_home = xdg;
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg != nullptr) env.xdg_state_home = xdg;
    if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr) {
        env.local_app_data = path_from_utf8(local);
    }
    if (const char* shared = std::getenv("ProgramData"); shared != nullptr) {
        env.program_data = path_from_utf8(shared);
    }
    if (const char* programs = std::getenv("ProgramFiles"); programs != nullptr) {
        env.program_files = path_from_utf8(programs);
    }
    return env;
}

fs::path path_from_utf8(std::string_view text) {
    return fs::path(std::u8string(text.begin(), text.end()));
}

fs::path system_path(const Environment& env, const fs::path& path) {
    return env.system_root.empty() ? path : env.system_root / path.relative_path();
}

const std::vector<Browser>& all_browsers() {
    static const std::vector<Browser> browsers{Browser::CHROME, Browser::CHROMIUM, Browser::EDGE,
                                               Browser::BRAVE, Browser::FIREFOX};
    return browsers;
}

std::string_view browser_id(Browser browser) { return info(browser).id; }
std::string_view browser_title(Browser browser) { return info(browser).title; }
std::string_view os_id(Os os) {
    switch (os) {
        case Os::MACOS:
            return "macos";
        case Os::WINDOWS:
            return "windows";
        case Os::LINUX:
            break;
    }
    return "linux";
}
std::string_view scope_id(Scope scope) { return scope == Scope::SYSTEM ? "system" : "user"; }

ManifestKind manifest_kind(Browser browser) {
    return browser == Browser::FIREFOX ? ManifestKind::FIREFOX : ManifestKind::CHROMIUM;
}

std::string_view manifest_kind_id(ManifestKind kind) {
    return kind == ManifestKind::FIREFOX ? "firefox" : "chromium";
}

std::optional<Browser> parse_browser(std::string_view text) {
    const std::string name = lower(trim(text));
    for (const auto& entry : BROWSERS) {
        if (name == entry.id) return entry.browser;
    }
    if (name == "google-chrome") return Browser::CHROME;
    if (name == "msedge" || name == "microsoft-edge") return Browser::EDGE;
    return std::nullopt;
}

std::optional<Os> parse_os(std::string_view text) {
    const std::string name = lower(trim(text));
    if (name == "linux") return Os::LINUX;
    if (name == "macos" || name == "mac" || name == "darwin") return Os::MACOS;
    if (name == "windows" || name == "win") return Os::WINDOWS;
    return std::nullopt;
}

std::optional<ManifestKind> parse_manifest_kind(std::string_view text) {
    const std::string name = lower(trim(text));
    if (name == "chromium" || name == "chrome") return ManifestKind::CHROMIUM;
    if (name == "firefox" || name == "mozilla") return ManifestKind::FIREFOX;
    return std::nullopt;
}

std::optional<std::vector<Browser>> parse_browser_list(std::string_view text, std::string& error) {
    std::vector<Browser> result;
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto comma = text.find(',', start);
        const auto piece = text.substr(
            start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
        const std::string name = lower(trim(piece));
        if (name == "all") {
            result = all_browsers();
        } else if (!name.empty()) {
            const auto browser = parse_browser(name);
            if (!browser) {
                error = "unknown browser '" + name +
                        "' (known: chrome, chromium, edge, brave, firefox, all)";
                return std::nullopt;
            }
            bool seen = false;
            for (Browser b : result) seen = seen || b == *browser;
            if (!seen) result.push_back(*browser);
        }
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    if (result.empty()) {
        error = "no browser named";
        return std::nullopt;
    }
    return result;
}

std::optional<fs::path> manifest_directory(Browser browser, Scope scope, const Environment& env,
                                           std::string* why_not) {
    const BrowserInfo& b = info(browser);
    auto refuse = [&](std::string reason) -> std::optional<fs::path> {
        if (why_not != nullptr) *why_not = std::move(reason);
        return std::nullopt;
    };
    if (env.os == Os::WINDOWS) {
        // One folder of ours per browser; the registry key tells the browser where.
        const fs::path& base = scope == Scope::USER ? env.local_app_data : env.program_data;
        if (base.empty()) {
            return refuse(scope == Scope::USER ? "LOCALAPPDATA is not set"
                                               : "ProgramData is not set");
        }
        return base / PRODUCT_FOLDER / "NativeMessagingHosts" / b.id;
    }
    if (scope == Scope::USER && env.home.empty()) {
        return refuse("HOME is not set, so there is no per-user folder");
    }
    if (env.os == Os::LINUX) {
        if (scope == Scope::USER) {
            if (browser == Browser::FIREFOX) return env.home / ".mozilla/native-messaging-hosts";
            return linux_config_home(env) / b.linux_user_dir;
        }
        if (b.linux_system_dir.empty()) {
            return refuse(std::string(b.title) +
                          " has no system-wide manifest folder on Linux; install per user");
        }
        return system_path(env, b.linux_system_dir);
    }
    if (scope == Scope::USER) {
        return env.home / "Library/Application Support" / b.macos_user_dir;
    }
    if (b.macos_system_dir.empty()) {
        return refuse(std::string(b.title) +
                      " has no system-wide manifest folder on macOS; install per user");
    }
    return system_path(env, b.macos_system_dir);
}

std::string registry_key(Browser browser, Scope scope, Os os) {
    if (os != Os::WINDOWS) return {};
    return std::string(scope == Scope::SYSTEM ? "HKLM\\" : "HKCU\\") +
           std::string(info(browser).windows_key) + "\\" + std::string(HOST_NAME);
}

std::vector<SandboxedInstall> sandboxed_install_candidates(Browser browser,
                                                           const Environment& env) {
    std::vector<SandboxedInstall> out;
    if (env.os != Os::LINUX) return out;
    auto flatpak = [&](std::string app_id, const fs::path& manifest_dir_below_app) {
        for (const fs::path& root :
             {fs::path("/var/lib/flatpak/app"), env.home / ".local/share/flatpak/app"}) {
            if (root.is_relative()) continue;
            out.push_back({"flatpak", app_id, root / app_id,
                           env.home / ".var/app" / app_id / manifest_dir_below_app});
        }
    };
    auto snap = [&](std::string name, const fs::path& manifest_dir) {
        out.push_back({"snap", name, system_path(env, "/snap") / name, manifest_dir});
    };
    switch (browser) {
        case Browser::CHROME:
            flatpak("com.google.Chrome", "config/google-chrome/NativeMessagingHosts");
            break;
        case Browser::CHROMIUM:
            flatpak("org.chromium.Chromium", "config/chromium/NativeMessagingHosts");
            snap("chromium", env.home / "snap/chromium/common/chromium/NativeMessagingHosts");
            break;
        case Browser::EDGE:
            flatpak("com.microsoft.Edge", "config/microsoft-edge/NativeMessagingHosts");
            break;
        case Browser::BRAVE:
            flatpak("com.brave.Browser", "config/BraveSoftware/Brave-Browser/NativeMessagingHosts");
            snap("brave", env.home /
                              "snap/brave/current/.config/BraveSoftware/Brave-Browser/"
                              "NativeMessagingHosts");
            break;
        case Browser::FIREFOX:
            flatpak("org.mozilla.firefox", ".mozilla/native-messaging-hosts");
            snap("firefox", env.home / ".mozilla/native-messaging-hosts");
            break;
    }
    return out;
}

}  // namespace Vorn_SCard_Bridge::installer
