// vorn-scard-bridge-installer: registers the host with browsers and checks the setup.

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "atomic_file.h"
#include "browsers.h"
#include "doctor.h"
#include "install_plan.h"
#include "manifest.h"
#include "registry.h"
#include "this_system.h"

namespace fs = std::filesystem;
using namespace Vorn_SCard_Bridge::installer;

namespace {

// @ADMIN@ and @HOST@ differ by system.
constexpr std::string_view USAGE = R"(Usage:
  vorn-scard-bridge-installer install   [options] --extension-id ID... [--firefox-id ID...]
  vorn-scard-bridge-installer uninstall [options]
  vorn-scard-bridge-installer doctor    [options]
  vorn-scard-bridge-installer paths     [options]

Registers the Vorn Smart Card Bridge host (com.vorn.scard_bridge) with Chrome,
Chromium, Edge, Brave and Firefox by writing its manifest where each browser
looks, and checks that everything between the browser and the card works.

Options:
  --user                 this user's browsers (default)
  --system               every user's browsers (needs @ADMIN@)
  --browser LIST         chrome,chromium,edge,brave,firefox or all (default: every
                         browser the given ids are for)
  --extension-id ID      Chrome/Chromium/Edge/Brave extension id (32 letters a-p);
                         repeat or separate with commas to allow several
  --firefox-id ID        Firefox add-on id ({GUID} or name@domain); repeatable
  --host PATH            the host executable, registered where it is (default: @HOST@)
  --target-dir DIR       also write to / check DIR, e.g. <user-data-dir>/NativeMessagingHosts
                         for Chromium started with --user-data-dir (repeatable)
  --target-kind KIND     manifest kind for the following --target-dir: chromium
                         (default) or firefox
  --os linux|macos|windows  folders (and registry keys) of another system (paths, --dry-run)
  --dry-run              print what would be written or removed, change nothing
  --keep-programs        uninstall: leave the programs in their folder
  --no-pcsc              doctor: skip the smart-card service checks
  --no-host              doctor: do not start the host
  -h, --help             this text

Exit status: 0 on success (doctor: no problem found), 1 on problems, 2 on usage errors.
)";

struct Options {
    std::string mode;
    InstallRequest request;
    std::optional<Os> os;
    bool dry_run = false;
    bool check_pcsc = true;
    bool check_host = true;
};

void split_into(const std::string& text, std::vector<std::string>& out) {
    std::size_t start = 0;
    while (start <= text.size()) {
        const auto comma = text.find(',', start);
        std::string piece =
            text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        if (!piece.empty()) out.push_back(piece);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
}

void replace(std::string& text, std::string_view placeholder, const std::string& value) {
    const auto at = text.find(placeholder);
    if (at != std::string::npos) text.replace(at, placeholder.size(), value);
}

constexpr std::string_view INDENT = "\n                         ";

void print_usage() {
    const fs::path installed = this_system::installed_host_folder();
    const std::string host(this_system::host_file_name());
    std::string text(USAGE);
    replace(text, "@ADMIN@", std::string(this_system::administrator()));
    const Environment env = current_environment();
    const auto folder = program_folder(Scope::USER, env);
    const auto system_folder = program_folder(Scope::SYSTEM, env);
    if (folder && system_folder) {
        replace(text, "@HOST@",
                host + " beside this program," + std::string(INDENT) + "copied with it into " +
                    folder->string() + std::string(INDENT) + "(" + system_folder->string() +
                    " with --system)");
    } else {
        replace(text, "@HOST@",
                installed.empty() ? host + std::string(INDENT) + "beside this program"
                                  : "beside this program, else" + std::string(INDENT) +
                                        (installed / host).string());
    }
    std::cout << text;
}

// Shown instead of the usage when a double-click started this program: its window
// closes when it ends, so it waits for a key.
void explain_to_explorer() {
    const auto folder = program_folder(Scope::USER, current_environment());
    std::cout
        << "Vorn Smart Card Bridge installer\n\n"
           "This program registers the Vorn Smart Card Bridge with Chrome, Chromium, Edge,\n"
           "Brave and Firefox for the browser extension that uses it. It needs that\n"
           "extension's id, so run it from a command prompt in this folder:\n\n"
           "  vorn-scard-bridge-installer install --extension-id <id> --firefox-id <add-on id>\n\n"
           "(the extension's documentation gives its ids; leave out the one you do not need).\n"
        << (folder ? "It copies itself and the host into\n  " + folder->string() +
                         "\nand registers them there. "
                   : std::string())
        << "Then check with: vorn-scard-bridge-installer doctor\n\n"
           "Or install the .msi package instead, which does all of this.\n\n"
           "Press a key to close this window.\n"
        << std::flush;
    this_system::wait_for_key_press();
}

// The host beside this program (as the packages install both), else where the
// packages put it.
fs::path default_host_path() {
    const fs::path host(this_system::host_file_name());
    const fs::path installed = this_system::installed_host_folder();
    if (const fs::path self = this_system::own_executable(); !self.empty()) {
        const fs::path beside = self.parent_path() / host;
        if (installed.empty() || this_system::is_program(beside)) return beside;
    }
    return installed.empty() ? host : installed / host;
}

// A path as UTF-8 text, as the registry takes it.
std::string path_text(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// The program whole or not at all: a browser never starts half a host.
void copy_program(const fs::path& from, const fs::path& to) {
    std::ifstream in(from, std::ios::binary);
    if (!in) {
        throw fs::filesystem_error("cannot read", from,
                                   std::make_error_code(std::errc::no_such_file_or_directory));
    }
    std::ostringstream contents;
    contents << in.rdbuf();
    write_file_atomically(to, contents.str(),
                          fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                              fs::perms::others_read | fs::perms::others_exec);
}

int usage_error(const std::string& message) {
    std::cerr << "vorn-scard-bridge-installer: " << message << "\n"
              << "Run with --help for the options.\n";
    return 2;
}

std::optional<int> parse(int argc, char** argv, Options& options) {
    ManifestKind next_kind = ManifestKind::CHROMIUM;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string& out) -> bool {
            const auto eq = arg.find('=');
            if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
                out = arg.substr(eq + 1);
                return true;
            }
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        const std::string name = arg.substr(0, arg.find('='));
        std::string v;
        if (arg == "-h" || arg == "--help" || arg == "help") {
            print_usage();
            return 0;
        } else if (arg == "--user") {
            options.request.scope = Scope::USER;
        } else if (arg == "--system") {
            options.request.scope = Scope::SYSTEM;
        } else if (arg == "--dry-run") {
            options.dry_run = true;
        } else if (arg == "--no-pcsc") {
            options.check_pcsc = false;
        } else if (arg == "--no-host") {
            options.check_host = false;
        } else if (arg == "--keep-programs") {
            options.request.keep_programs = true;
        } else if (name == "--browser" || name == "--browsers") {
            if (!value(v)) return usage_error(name + " needs a value");
            std::string error;
            auto list = parse_browser_list(v, error);
            if (!list) return usage_error(error);
            options.request.browsers = *list;
        } else if (name == "--extension-id") {
            if (!value(v)) return usage_error(name + " needs a value");
            split_into(v, options.request.chromium_ids);
        } else if (name == "--firefox-id") {
            if (!value(v)) return usage_error(name + " needs a value");
            split_into(v, options.request.firefox_ids);
        } else if (name == "--host") {
            if (!value(v)) return usage_error(name + " needs a value");
            std::error_code ec;
            options.request.host_path = fs::absolute(v, ec);
            options.request.host_given = true;
        } else if (name == "--target-dir") {
            if (!value(v)) return usage_error(name + " needs a value");
            std::error_code ec;
            options.request.custom_targets.push_back({fs::absolute(v, ec), next_kind});
        } else if (name == "--target-kind") {
            if (!value(v)) return usage_error(name + " needs a value");
            const auto kind = parse_manifest_kind(v);
            if (!kind) return usage_error("--target-kind is chromium or firefox");
            next_kind = *kind;
        } else if (name == "--os") {
            if (!value(v)) return usage_error(name + " needs a value");
            options.os = parse_os(v);
            if (!options.os) return usage_error("--os is linux, macos or windows");
        } else if (!arg.empty() && arg[0] != '-' && options.mode.empty()) {
            options.mode = arg;
        } else {
            return usage_error("unknown argument '" + arg + "'");
        }
    }
    if (options.mode.empty()) {
        if (argc == 1 && this_system::console_closes_on_exit()) {
            explain_to_explorer();
        } else {
            print_usage();
        }
        return 2;
    }
    return std::nullopt;
}

int run_install(const Options& options, const Environment& env) {
    InstallRequest request = options.request;
    if (!request.host_given) {
        request.host_path = default_host_path();
        request.installer_path = this_system::own_executable();
    }
    const Plan plan = plan_install(request, env);
    for (const auto& note : plan.notes) std::cout << "note: " << note << '\n';
    if (!plan.errors.empty()) {
        for (const auto& e : plan.errors) std::cerr << "error: " << e << '\n';
        return 1;
    }
    if (!this_system::is_program(request.host_path)) {
        const std::string message = "the host " + request.host_path.string() +
                                    " is missing or not executable; pass --host <path>";
        if (!options.dry_run) {
            std::cerr << "error: " << message << '\n';
            return 1;
        }
        std::cout << "note: " << message << '\n';
    }
    if (request.scope == Scope::SYSTEM && env.os == this_system::os()) {
        if (const std::string who = this_system::others_who_may_replace(plan.host); !who.empty()) {
            const std::string message =
                "every user's browser would start " + plan.host.string() + ", which " + who +
                " may replace; install the programs where only " +
                std::string(this_system::administrator()) +
                " may change them (the package, or cmake --install) and register that host";
            if (!options.dry_run) {
                std::cerr << "error: " << message << '\n';
                return 1;
            }
            std::cout << "note: " << message << '\n';
        }
    }
    const std::unique_ptr<Registry> registry = system_registry();
    // Keys under HKLM need an administrator: say so before any file is written rather
    // than after the first manifest.
    const bool machine_keys = std::any_of(plan.files.begin(), plan.files.end(), [](const auto& f) {
        return f.registry_key.rfind("HKLM\\", 0) == 0;
    });
    const bool machine_folder = request.scope == Scope::SYSTEM && !plan.copies.empty();
    if (registry && (machine_keys || machine_folder) && !options.dry_run &&
        !this_system::running_elevated()) {
        std::cerr << "error: registering the host for every user needs "
                  << this_system::administrator() << ": "
                  << this_system::how_to_run_as_administrator() << '\n';
        return 1;
    }
    // A copy that fails leaves the browsers as they were: nothing is registered.
    for (const auto& copy : plan.copies) {
        if (options.dry_run) {
            std::cout << "would copy " << copy.from.string() << " to " << copy.to.string() << '\n';
            continue;
        }
        try {
            copy_program(copy.from, copy.to);
            std::cout << "copied " << copy.from.string() << " to " << copy.to.string() << '\n';
        } catch (const fs::filesystem_error& e) {
            std::cerr << "error: " << e.what() << '\n';
            if (e.code() == std::errc::permission_denied) {
                std::cerr << "       if the browser runs the host now, close the browser and try "
                             "again";
                if (request.scope == Scope::SYSTEM) {
                    std::cerr << "; the programs folder needs " << this_system::administrator();
                }
                std::cerr << '\n';
            }
            return 1;
        }
    }
    int failures = 0;
    for (const auto& file : plan.files) {
        if (options.dry_run) {
            std::cout << "would write " << file.file.string() << "  [" << file.label << "]\n"
                      << file.contents << '\n';
            if (!file.registry_key.empty()) {
                std::cout << "would set " << file.registry_key << " to " << file.file.string()
                          << '\n';
            }
            continue;
        }
        try {
            write_file_atomically(file.file, file.contents);
            std::cout << "wrote " << file.file.string() << "  [" << file.label << "]\n";
            if (!file.registry_key.empty()) {
                if (!registry) throw std::runtime_error("this system has no registry");
                registry->set_default_value(file.registry_key, path_text(file.file));
                std::cout << "set " << file.registry_key << '\n';
            }
        } catch (const fs::filesystem_error& e) {
            ++failures;
            std::cerr << "error: " << file.label << ": " << e.what() << '\n';
            if (e.code() == std::errc::permission_denied && request.scope == Scope::SYSTEM) {
                std::cerr << "       system-wide folders need " << this_system::administrator()
                          << ": " << this_system::how_to_run_as_administrator() << '\n';
            }
        } catch (const std::runtime_error& e) {  // the registry
            ++failures;
            std::cerr << "error: " << file.label << ": " << e.what() << '\n';
        }
    }
    if (failures == 0 && !options.dry_run) {
        std::cout << "Done. Restart the browser if it was running, then check with: "
                     "vorn-scard-bridge-installer doctor"
                  << (request.scope == Scope::SYSTEM ? " --system" : "") << '\n';
    }
    return failures == 0 ? 0 : 1;
}

int run_uninstall(const Options& options, const Environment& env) {
    const Plan plan = plan_uninstall(options.request, env);
    for (const auto& note : plan.notes) std::cout << "note: " << note << '\n';
    int failures = 0;
    const std::unique_ptr<Registry> registry = system_registry();
    for (const auto& file : plan.files) {
        if (options.dry_run) {
            std::cout << "would remove " << file.file.string() << '\n';
            if (!file.registry_key.empty())
                std::cout << "would remove " << file.registry_key << '\n';
            continue;
        }
        try {
            if (remove_file_if_present(file.file)) {
                std::cout << "removed " << file.file.string() << "  [" << file.label << "]\n";
            }
            if (!file.registry_key.empty() && registry && registry->remove_key(file.registry_key)) {
                std::cout << "removed " << file.registry_key << '\n';
            }
        } catch (const std::runtime_error& e) {  // a file or the registry
            ++failures;
            std::cerr << "error: " << e.what() << '\n';
        }
    }
    for (const auto& program : plan.programs_to_remove) {
        if (options.dry_run) {
            std::cout << "would remove " << program.string() << '\n';
            continue;
        }
        try {
            const ProgramRemoval removal = remove_program_file(program);
            if (!removal.was_there) continue;
            if (removal.moved_to.empty()) {
                std::cout << "removed " << program.string() << '\n';
            } else {
                std::cout << "moved " << program.string() << ", which is running, to "
                          << removal.moved_to.string()
                          << (removal.deleted_at_restart
                                  ? " (Windows deletes it when it restarts)\n"
                                  : " (delete it once it has ended; Disk Cleanup does too)\n");
            }
        } catch (const fs::filesystem_error& e) {
            ++failures;
            std::cerr << "error: " << e.what() << '\n';
        }
    }
    for (const auto& folder : plan.folders_to_remove) {
        if (options.dry_run) break;
        // Only an empty folder goes: what else is in it (the host's logs) is not ours to delete.
        std::error_code ec;
        if (fs::remove(folder, ec)) std::cout << "removed " << folder.string() << '\n';
    }
    return failures == 0 ? 0 : 1;
}

int run_paths(const Environment& env) {
    for (Browser browser : all_browsers()) {
        for (Scope scope : {Scope::USER, Scope::SYSTEM}) {
            std::string why_not;
            const auto dir = manifest_directory(browser, scope, env, &why_not);
            std::cout << browser_id(browser) << '\t' << scope_id(scope) << '\t'
                      << (dir ? dir->string() : "(none: " + why_not + ")") << '\n';
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const auto exit_code = parse(argc, argv, options)) return *exit_code;
    Environment env = current_environment();
    if (options.os) env.os = *options.os;

    if (options.mode == "install") return run_install(options, env);
    if (options.mode == "uninstall") return run_uninstall(options, env);
    if (options.mode == "paths") return run_paths(env);
    if (options.mode == "doctor") {
        const std::unique_ptr<Registry> registry = system_registry();
        DoctorOptions doctor;
        doctor.registry = registry.get();
        doctor.custom_targets = options.request.custom_targets;
        doctor.expected_ids = options.request.chromium_ids;
        doctor.expected_ids.insert(doctor.expected_ids.end(), options.request.firefox_ids.begin(),
                                   options.request.firefox_ids.end());
        if (options.request.host_given) doctor.host_path = options.request.host_path;
        doctor.check_pcsc = options.check_pcsc;
        doctor.check_host = options.check_host;
        const DoctorReport report = run_doctor(doctor, env, probe_pcsc_service);
        report.print(std::cout);
        return report.count(Level::PROBLEM) == 0 ? 0 : 1;
    }
    return usage_error("unknown mode '" + options.mode + "' (install, uninstall, doctor, paths)");
}
