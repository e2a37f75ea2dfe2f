#include "install_plan.h"

#include <stdexcept>

namespace Vorn_SCard_Bridge::installer {

namespace fs = std::filesystem;

namespace {

std::vector<Browser> selected_browsers(const InstallRequest& request, bool for_uninstall) {
    if (!request.browsers.empty()) return request.browsers;
    if (!request.custom_targets.empty()) return {};
    if (for_uninstall) return all_browsers();
    std::vector<Browser> out;
    for (Browser b : all_browsers()) {
        const bool chromium = manifest_kind(b) == ManifestKind::CHROMIUM;
        if ((chromium && !request.chromium_ids.empty()) ||
            (!chromium && !request.firefox_ids.empty())) {
            out.push_back(b);
        }
    }
    return out;
}

std::string label(Browser browser, Scope scope) {
    return std::string(browser_title(browser)) + " (" + std::string(scope_id(scope)) + ")";
}

}  // namespace

Plan plan_install(const InstallRequest& request, const Environment& env) {
    Plan plan;
    if (request.chromium_ids.empty() && request.firefox_ids.empty()) {
        plan.errors.push_back(
            "name the extension to allow: --extension-id <id> for Chrome, Chromium, Edge and "
            "Brave, --firefox-id <add-on id> for Firefox");
        return plan;
    }
    auto add = [&](std::string what, ManifestKind kind, const fs::path& dir, std::string key) {
        ManifestFields fields;
        fields.kind = kind;
        fields.host_path = request.host_path;
        fields.allowed_ids =
            kind == ManifestKind::FIREFOX ? request.firefox_ids : request.chromium_ids;
        if (fields.allowed_ids.empty()) {
            plan.errors.push_back(what + " needs " +
                                  (kind == ManifestKind::FIREFOX ? "--firefox-id <add-on id>"
                                                                 : "--extension-id <id>"));
            return;
        }
        try {
            plan.files.push_back({std::move(what), kind, dir / manifest_file_name(),
                                  render_manifest(fields), std::move(key)});
        } catch (const std::exception& e) {
            plan.errors.push_back(e.what());
        }
    };
    for (Browser browser : selected_browsers(request, false)) {
        std::string why_not;
        const auto dir = manifest_directory(browser, request.scope, env, &why_not);
        if (!dir) {
            plan.notes.push_back("skipped " + label(browser, request.scope) + ": " + why_not);
            continue;
        }
        add(label(browser, request.scope), manifest_kind(browser), *dir,
            registry_key(browser, request.scope, env.os));
    }
    for (const auto& target : request.custom_targets) {
        add("custom folder (" + std::string(manifest_kind_id(target.kind)) + ")", target.kind,
            target.directory, {});
    }
    if (plan.files.empty() && plan.errors.empty()) {
        plan.errors.push_back("nothing to install for the browsers named");
    }
    // One bad id makes every manifest of its kind fail: report it once.
    std::vector<std::string> unique;
    for (auto& e : plan.errors) {
        bool seen = false;
        for (const auto& u : unique) seen = seen || u == e;
        if (!seen) unique.push_back(std::move(e));
    }
    plan.errors = std::move(unique);
    return plan;
}

Plan plan_uninstall(const InstallRequest& request, const Environment& env) {
    Plan plan;
    for (Browser browser : selected_browsers(request, true)) {
        std::string why_not;
        const auto dir = manifest_directory(browser, request.scope, env, &why_not);
        if (!dir) {
            plan.notes.push_back("skipped " + label(browser, request.scope) + ": " + why_not);
            continue;
        }
        plan.files.push_back({label(browser, request.scope),
                              manifest_kind(browser),
                              *dir / manifest_file_name(),
                              {},
                              registry_key(browser, request.scope, env.os)});
    }
    for (const auto& target : request.custom_targets) {
        plan.files.push_back(
            {"custom folder", target.kind, target.directory / manifest_file_name(), {}, {}});
    }
    return plan;
}

}  // namespace Vorn_SCard_Bridge::installer
