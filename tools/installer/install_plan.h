#pragma once

// What `install` and `uninstall` do, as a plan of files that can be printed
// (--dry-run), tested, and then carried out.

#include <filesystem>
#include <optional>
#include <string>
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
    std::filesystem::path host_path;
    std::vector<CustomTarget> custom_targets;
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
    std::vector<PlannedFile> files;
    std::vector<std::string> notes;   // skipped browsers and why
    std::vector<std::string> errors;  // nothing is done when there are errors
};

Plan plan_install(const InstallRequest& request, const Environment& env);
Plan plan_uninstall(const InstallRequest& request, const Environment& env);

}  // namespace Vorn_SCard_Bridge::installer
