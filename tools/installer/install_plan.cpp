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

// Windows paths name the same folder whatever the letters' case.
bool same_folder(const fs::path& a, const fs::path& b) {
    auto key = [](const fs::path& path) {
        std::string text = path.lexically_normal().generic_string();
        while (text.size() > 1 && text.back() == '/') text.pop_back();
        for (char& c : text) {
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        }
        return text;
    };
    return key(a) == key(b);
}

// Fills plan.copies and plan.host; false (with the reason in plan.errors) when the
// programs have nowhere to go.
bool plan_copies(const InstallRequest& request, const Environment& env, Plan& plan) {
    plan.host = request.host_path;
    if (request.host_given || env.os != Os::WINDOWS) return true;
    std::string why_not;
    const auto folder = program_folder(request.scope, env, &why_not);
    if (!folder) {
        plan.errors.push_back("no folder to copy the programs to: " + why_not +
                              " (or name the host to register with --host <path>)");
        return false;
    }
    plan.host = *folder / WINDOWS_HOST_FILE;
    if (same_folder(request.host_path.parent_path(), *folder)) return true;
    plan.copies.push_back({request.host_path, plan.host});
    if (!request.installer_path.empty()) {
        plan.copies.push_back({request.installer_path, *folder / WINDOWS_INSTALLER_FILE});
    }
    return true;
}

}  // namespace

std::optional<fs::path> program_folder(Scope scope, const Environment& env, std::string* why_not) {
    auto refuse = [&](std::string reason) -> std::optional<fs::path> {
        if (why_not != nullptr) *why_not = std::move(reason);
        return std::nullopt;
    };
    if (env.os != Os::WINDOWS) {
        return refuse("on " + std::string(os_id(env.os)) + " the packages install the programs");
    }
    if (scope == Scope::USER) {
        if (env.local_app_data.empty()) return refuse("LOCALAPPDATA is not set");
        return env.local_app_data / "Programs" / PRODUCT_FOLDER;
    }
    if (env.program_files.empty()) return refuse("ProgramFiles is not set");
    return env.program_files / PRODUCT_FOLDER;
}

Plan plan_install(const InstallRequest& request, const Environment& env) {
    Plan plan;
    if (request.chromium_ids.empty() && request.firefox_ids.empty()) {
        plan.errors.push_back(
            "name the extension to allow: --extension-id <id> for Chrome, Chromium, Edge and "
            "Brave, --firefox-id <add-on id> for Firefox");
        return plan;
    }
    if (!plan_copies(request, env, plan)) return plan;
    auto add = [&](std::string what, ManifestKind kind, const fs::path& dir, std::string key) {
        ManifestFields fields;
        fields.kind = kind;
        fields.host_path = plan.host;
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
    if (env.os != Os::WINDOWS) return plan;
    // On Windows the manifests lie in folders of ours: <product>\NativeMessagingHosts\<browser>.
    for (const auto& file : plan.files) {
        if (!file.registry_key.empty()) plan.folders_to_remove.push_back(file.file.parent_path());
    }
    if (!plan.folders_to_remove.empty()) {
        const fs::path hosts = plan.folders_to_remove.front().parent_path();
        plan.folders_to_remove.push_back(hosts);
        plan.folders_to_remove.push_back(hosts.parent_path());
    }
    if (request.keep_programs) return plan;
    std::string why_not;
    if (const auto folder = program_folder(request.scope, env, &why_not)) {
        plan.programs_to_remove = {*folder / WINDOWS_HOST_FILE, *folder / WINDOWS_INSTALLER_FILE};
        plan.folders_to_remove.push_back(*folder);
    } else {
        plan.notes.push_back("programs not looked for: " + why_not);
    }
    return plan;
}

}  // namespace Vorn_SCard_Bridge::installer
