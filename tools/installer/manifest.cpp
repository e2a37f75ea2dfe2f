#include "manifest.h"

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>

#include "manifest_template.h"

namespace Vorn_SCard_Bridge::installer {

namespace fs = std::filesystem;

namespace {

void replace_all(std::string& text, std::string_view from, std::string_view to) {
    std::size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
}

// The inside of a JSON string literal, for the template's quoted placeholders.
std::string json_escape_inner(std::string_view text) {
    const std::string quoted = json_quote(text);
    return quoted.substr(1, quoted.size() - 2);
}

bool is_hex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::vector<std::string> string_array(const nlohmann::json& value, std::string_view key,
                                      std::vector<std::string>& problems) {
    std::vector<std::string> out;
    if (!value.contains(key)) return out;
    const auto& list = value.at(std::string(key));
    if (!list.is_array()) {
        problems.push_back("\"" + std::string(key) + "\" must be a list of strings");
        return out;
    }
    for (const auto& item : list) {
        if (item.is_string()) {
            out.push_back(item.get<std::string>());
        } else {
            problems.push_back("\"" + std::string(key) + "\" holds a value that is not a string");
        }
    }
    return out;
}

}  // namespace

std::string manifest_file_name(std::string_view host_name) {
    return std::string(host_name) + ".json";
}

bool is_valid_host_name(std::string_view name) {
    if (name.empty() || name.front() == '.' || name.back() == '.') return false;
    char previous = 0;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.';
        if (!ok || (c == '.' && previous == '.')) return false;
        previous = c;
    }
    return true;
}

std::optional<std::string> normalize_chromium_extension_id(std::string_view text) {
    constexpr std::string_view scheme = "chrome-extension://";
    if (text.substr(0, scheme.size()) == scheme) {
        text.remove_prefix(scheme.size());
        if (!text.empty() && text.back() == '/') text.remove_suffix(1);
    }
    if (text.size() != 32) return std::nullopt;
    for (char c : text) {
        if (c < 'a' || c > 'p') return std::nullopt;
    }
    return std::string(text);
}

bool is_valid_firefox_addon_id(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
        // {8-4-4-4-12}
        for (std::size_t i = 1; i < 37; ++i) {
            const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
            if (dash ? text[i] != '-' : !is_hex(text[i])) return false;
        }
        return true;
    }
    const auto at = text.find('@');
    if (at == std::string_view::npos || at + 1 >= text.size() ||
        text.find('@', at + 1) != std::string_view::npos) {
        return false;
    }
    for (char c : text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_' || c == '@';
        if (!ok) return false;
    }
    return true;
}

std::string json_quote(std::string_view text) {
    return nlohmann::json(std::string(text))
        .dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
}

std::string_view manifest_template() { return EMBEDDED_MANIFEST_TEMPLATE; }

std::string render_manifest(const ManifestFields& fields, std::string_view template_text) {
    if (!is_valid_host_name(fields.host_name)) {
        throw std::invalid_argument("invalid host name '" + fields.host_name +
                                    "': use lower-case letters, digits, '_' and '.'");
    }
    if (fields.host_path.empty() || !fields.host_path.has_root_directory()) {
        // Chromium and Firefox resolve a relative path against the manifest's folder on
        // Windows only; on Linux and macOS the host is then simply "not found". A path
        // from the root is taken on every system: one for Linux or macOS (/usr/bin/...)
        // is not absolute to Windows, which wants a drive as well.
        throw std::invalid_argument("the host path must be absolute, got '" +
                                    fields.host_path.string() + "'");
    }
    if (fields.allowed_ids.empty()) {
        throw std::invalid_argument(fields.kind == ManifestKind::FIREFOX
                                        ? "at least one Firefox add-on id is needed"
                                        : "at least one extension id is needed");
    }
    std::string list;
    for (const auto& id : fields.allowed_ids) {
        std::string entry;
        if (fields.kind == ManifestKind::FIREFOX) {
            if (!is_valid_firefox_addon_id(id)) {
                throw std::invalid_argument("'" + id +
                                            "' is not a Firefox add-on id ({GUID} or name@domain)");
            }
            entry = id;
        } else {
            const auto normalized = normalize_chromium_extension_id(id);
            if (!normalized) {
                throw std::invalid_argument("'" + id +
                                            "' is not an extension id (32 letters a to p)");
            }
            entry = "chrome-extension://" + *normalized + "/";
        }
        if (!list.empty()) list += ", ";
        list += json_quote(entry);
    }
    std::string text(template_text);
    replace_all(text, "@VORN_HOST_NAME@", json_escape_inner(fields.host_name));
    replace_all(text, "@VORN_HOST_DESCRIPTION@", json_escape_inner(fields.description));
    replace_all(text, "@VORN_HOST_PATH@", json_escape_inner(fields.host_path.string()));
    replace_all(text, "@VORN_ALLOWED_KEY@",
                fields.kind == ManifestKind::FIREFOX ? "allowed_extensions" : "allowed_origins");
    replace_all(text, "@VORN_ALLOWED_LIST@", list);
    // The template must stay a valid manifest once filled; fail here rather than in a browser.
    const auto parsed = nlohmann::json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        throw std::logic_error("the manifest template does not give valid JSON");
    }
    return text;
}

ManifestCheck check_manifest_text(std::string_view text, ManifestKind kind,
                                  const fs::path& file_name) {
    ManifestCheck check;
    check.readable = true;
    const auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object()) {
        check.problems.push_back("the file is not a JSON object; browsers ignore it");
        return check;
    }
    check.valid_json = true;
    auto get_string = [&](const char* key) -> std::string {
        if (!json.contains(key)) {
            check.problems.push_back(std::string("\"") + key + "\" is missing");
            return {};
        }
        if (!json.at(key).is_string()) {
            check.problems.push_back(std::string("\"") + key + "\" is not a string");
            return {};
        }
        return json.at(key).get<std::string>();
    };
    check.name = get_string("name");
    check.path = get_string("path");
    check.type = get_string("type");
    if (!check.name.empty()) {
        if (!is_valid_host_name(check.name)) {
            check.problems.push_back("\"name\" '" + check.name +
                                     "' has characters browsers refuse (allowed: a-z 0-9 _ .)");
        }
        if (!file_name.empty() && file_name.filename() != manifest_file_name(check.name)) {
            check.problems.push_back("the file is named " + file_name.filename().string() +
                                     " but \"name\" is '" + check.name +
                                     "': browsers need <name>.json");
        }
    }
    if (!check.type.empty() && check.type != "stdio") {
        check.problems.push_back("\"type\" must be \"stdio\"");
    }
    if (!check.path.empty() && !fs::path(check.path).has_root_directory()) {
        check.problems.push_back(
            "\"path\" '" + check.path +
            "' is relative; browsers on Linux and macOS need an absolute path");
    }
    check.allowed_origins = string_array(json, "allowed_origins", check.problems);
    check.allowed_extensions = string_array(json, "allowed_extensions", check.problems);
    if (kind == ManifestKind::FIREFOX) {
        if (json.contains("allowed_origins")) {
            check.problems.push_back(
                "Firefox refuses \"allowed_origins\"; its manifest needs \"allowed_extensions\"");
        }
        if (check.allowed_extensions.empty()) {
            check.problems.push_back("\"allowed_extensions\" lists no add-on id");
        }
        for (const auto& id : check.allowed_extensions) {
            if (!is_valid_firefox_addon_id(id)) {
                check.problems.push_back("'" + id + "' is not a Firefox add-on id");
            }
        }
    } else {
        if (json.contains("allowed_extensions") && !json.contains("allowed_origins")) {
            check.problems.push_back(
                "this is a Firefox manifest (\"allowed_extensions\"); Chromium-based browsers "
                "need \"allowed_origins\"");
        }
        if (check.allowed_origins.empty()) {
            check.problems.push_back("\"allowed_origins\" lists no extension");
        }
        for (const auto& origin : check.allowed_origins) {
            constexpr std::string_view scheme = "chrome-extension://";
            const bool shaped = origin.size() == scheme.size() + 33 &&
                                origin.compare(0, scheme.size(), scheme) == 0 &&
                                origin.back() == '/' &&
                                normalize_chromium_extension_id(origin).has_value();
            if (!shaped) {
                check.problems.push_back("'" + origin +
                                         "' is not of the form chrome-extension://<32 letters "
                                         "a-p>/ (the trailing slash is required)");
            }
        }
    }
    return check;
}

ManifestCheck check_manifest_file(const fs::path& file, ManifestKind kind) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        ManifestCheck check;
        check.problems.push_back("the file cannot be read");
        return check;
    }
    std::ostringstream text;
    text << in.rdbuf();
    return check_manifest_text(text.str(), kind, file);
}

}  // namespace Vorn_SCard_Bridge::installer
