#pragma once

// Host manifests: filling the one template (manifests/host-manifest.json.in,
// embedded at build time) and checking a manifest that is already on disk.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "browsers.h"

namespace Vorn_SCard_Bridge::installer {

inline constexpr std::string_view HOST_NAME = "com.vorn.scard_bridge";
inline constexpr std::string_view HOST_DESCRIPTION = "Vorn Smart Card Bridge";

// "com.vorn.scard_bridge.json": browsers look a host up by this exact file name.
std::string manifest_file_name(std::string_view host_name = HOST_NAME);

// Browsers accept host names of lower-case letters, digits, '_' and '.', where a
// dot is neither first, last nor doubled.
bool is_valid_host_name(std::string_view name);

// A Chromium extension id is 32 letters from 'a' to 'p'. Also accepts the origin
// form "chrome-extension://<id>/" and returns the bare id.
std::optional<std::string> normalize_chromium_extension_id(std::string_view text);

// A Firefox add-on id is "{GUID}" or an e-mail-like "name@domain".
bool is_valid_firefox_addon_id(std::string_view text);

// Text as a JSON string literal (with the quotes).
std::string json_quote(std::string_view text);

struct ManifestFields {
    ManifestKind kind = ManifestKind::CHROMIUM;
    std::string host_name{HOST_NAME};
    std::string description{HOST_DESCRIPTION};
    std::filesystem::path host_path;       // must be absolute
    std::vector<std::string> allowed_ids;  // extension ids (Chromium) or add-on ids (Firefox)
};

// The embedded template.
std::string_view manifest_template();

// Fills `template_text` for `fields`. Throws std::invalid_argument for a relative
// host path, an invalid host name, an invalid id or an empty id list.
std::string render_manifest(const ManifestFields& fields,
                            std::string_view template_text = manifest_template());

// What the doctor learns from a manifest file.
struct ManifestCheck {
    bool readable = false;
    bool valid_json = false;
    std::string name;
    std::string path;
    std::string type;
    std::vector<std::string> allowed_origins;
    std::vector<std::string> allowed_extensions;
    std::vector<std::string> problems;  // each a sentence a person can act on
};

ManifestCheck check_manifest_text(std::string_view text, ManifestKind kind,
                                  const std::filesystem::path& file_name);
ManifestCheck check_manifest_file(const std::filesystem::path& file, ManifestKind kind);

}  // namespace Vorn_SCard_Bridge::installer
