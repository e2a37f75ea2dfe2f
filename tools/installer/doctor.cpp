#include "doctor.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>

#include "host_client.h"
#include "manifest.h"

namespace Vorn_SCard_Bridge::installer {

namespace fs = std::filesystem;

namespace {

constexpr std::int32_t NO_SERVICE = static_cast<std::int32_t>(0x8010001Du);
constexpr std::int32_t SERVICE_STOPPED = static_cast<std::int32_t>(0x8010001Eu);
constexpr std::int32_t NO_READERS = static_cast<std::int32_t>(0x8010002Eu);

std::string hex32(std::int32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<std::uint32_t>(value));
    return text;
}

std::string join(const std::vector<std::string>& items, const std::string& separator = ", ") {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += separator;
        out += item;
    }
    return out;
}

bool path_exists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// The smart-card service's name in the report.
std::string service_topic(Os os) { return os == Os::WINDOWS ? "SCardSvr" : "pcscd"; }

// How to start the service when this computer's own check has nothing to say.
std::string how_to_start_service(Os os) {
    switch (os) {
        case Os::WINDOWS:
            return "Plug in the reader, or start the service from an administrator command "
                   "prompt: sc start SCardSvr";
        case Os::MACOS:
            return "Restart the Mac.";
        case Os::LINUX:
            break;
    }
    return "Start it: sudo systemctl enable --now pcscd.socket";
}

// The command that installs for every user, as a person types it on that system.
std::string system_install_command(Os os) {
    return os == Os::WINDOWS ? "from an administrator command prompt: vorn-scard-bridge-installer "
                               "install --system --extension-id <id>"
                             : "sudo vorn-scard-bridge-installer install --system --extension-id "
                               "<id>";
}

struct ManifestSeen {
    std::string where;
    fs::path file;
    ManifestKind kind;
    std::string host_path;
    std::vector<std::string> allowed;
};

void check_one_manifest(DoctorReport& report, const std::string& topic, const fs::path& file,
                        ManifestKind kind, const DoctorOptions& options, Os os,
                        std::vector<ManifestSeen>& seen) {
    const ManifestCheck check = check_manifest_file(file, kind);
    const std::string fix_reinstall =
        "Write it again: vorn-scard-bridge-installer install --extension-id <id> "
        "(Firefox: --firefox-id <add-on id>)";
    if (!check.valid_json) {
        report.add(Level::PROBLEM, topic, file.string() + ": " + join(check.problems, "; "),
                   fix_reinstall);
        return;
    }
    for (const auto& problem : check.problems) {
        report.add(Level::PROBLEM, topic, file.string() + ": " + problem, fix_reinstall);
    }
    const auto& allowed =
        kind == ManifestKind::FIREFOX ? check.allowed_extensions : check.allowed_origins;
    if (!check.path.empty()) {
        const fs::path host(check.path);
        if (!path_exists(host)) {
            report.add(Level::PROBLEM, topic,
                       file.string() + " points at " + check.path +
                           ", which does not exist. The browser will say \"Specified native "
                           "messaging host not found\".",
                       "Install the host there, or run the installer again with --host <path>.");
        } else if (!this_system::is_program(host)) {
            const bool windows = os == Os::WINDOWS;
            report.add(Level::PROBLEM, topic,
                       check.path +
                           (windows ? " exists but is not a program (.exe)."
                                    : " exists but is not executable for you.") +
                           " The browser will say \"Failed to start native messaging host\".",
                       windows ? "Run the installer again with --host <path of "
                                 "vorn-scard-bridge.exe>."
                               : "sudo chmod 755 '" + check.path + "'");
        }
    }
    if (check.problems.empty()) {
        report.add(Level::OK, topic,
                   file.string() + " is valid; host " + check.path +
                       "; allowed: " + (allowed.empty() ? std::string("(nobody)") : join(allowed)));
    }
    for (const auto& id : options.expected_ids) {
        const bool firefox_id = is_valid_firefox_addon_id(id);
        if (firefox_id != (kind == ManifestKind::FIREFOX)) continue;
        const std::string wanted =
            kind == ManifestKind::FIREFOX
                ? id
                : "chrome-extension://" + normalize_chromium_extension_id(id).value_or(id) + "/";
        bool found = false;
        for (const auto& a : allowed) found = found || a == wanted;
        if (!found) {
            report.add(Level::PROBLEM, topic,
                       wanted + " is not allowed by " + file.string() +
                           ", so that extension is refused (\"Access to the specified native "
                           "messaging host is forbidden\").",
                       "Run the installer again listing every extension id that should connect.");
        }
    }
    seen.push_back({topic, file, kind, check.path, allowed});
}

// The manifest a registry key names; nullopt when there is no key (or no registry).
std::optional<fs::path> registered_manifest(DoctorReport& report, const std::string& topic,
                                            const std::string& key, const Registry* registry) {
    if (registry == nullptr) return std::nullopt;
    try {
        const auto value = registry->default_value(key);
        if (value) return path_from_utf8(*value);
    } catch (const std::runtime_error& e) {
        report.add(Level::PROBLEM, topic, e.what());
    }
    return std::nullopt;
}

void check_manifests(DoctorReport& report, const DoctorOptions& options, const Environment& env,
                     std::vector<ManifestSeen>& seen) {
    for (Browser browser : all_browsers()) {
        const std::string title(browser_title(browser));
        std::vector<std::string> looked;
        bool any = false;
        for (Scope scope : {Scope::USER, Scope::SYSTEM}) {
            const auto dir = manifest_directory(browser, scope, env);
            if (!dir) continue;
            const std::string topic = title + " (" + std::string(scope_id(scope)) + ")";
            fs::path file = *dir / manifest_file_name();
            // On Windows the browser reads the file its registry key names, nothing else.
            if (const std::string key = registry_key(browser, scope, env.os); !key.empty()) {
                const auto named = registered_manifest(report, topic, key, options.registry);
                if (!named) {
                    looked.push_back(key);
                    if (path_exists(file)) {
                        report.add(Level::PROBLEM, topic,
                                   file.string() + " is there, but no registry key " + key +
                                       " names it, so the browser does not read it",
                                   "vorn-scard-bridge-installer install" +
                                       std::string(scope == Scope::SYSTEM ? " --system" : "") +
                                       " --browser " + std::string(browser_id(browser)) +
                                       (manifest_kind(browser) == ManifestKind::FIREFOX
                                            ? " --firefox-id <add-on id>"
                                            : " --extension-id <id>"));
                    }
                    continue;
                }
                file = *named;
            }
            looked.push_back(file.string());
            if (!path_exists(file)) continue;
            any = true;
            check_one_manifest(report, topic, file, manifest_kind(browser), options, env.os, seen);
        }
        if (!any) {
            report.add(Level::NOTE, title, "no manifest (looked at " + join(looked, " and ") + ")");
        }
    }
    for (const auto& target : options.custom_targets) {
        const fs::path file = target.directory / manifest_file_name();
        if (!path_exists(file)) {
            report.add(Level::PROBLEM, "custom folder", "no manifest at " + file.string(),
                       "vorn-scard-bridge-installer install --target-dir '" +
                           target.directory.string() + "' --extension-id <id>");
            continue;
        }
        check_one_manifest(report, "custom folder", file, target.kind, options, env.os, seen);
    }
    if (seen.empty()) {
        report.add(Level::PROBLEM, "browsers",
                   "No browser can find the host: there is no " + manifest_file_name() +
                       " in any folder the browsers read. Extensions get \"Specified native "
                       "messaging host not found\".",
                   "vorn-scard-bridge-installer install --extension-id <id> (per user) or " +
                       system_install_command(env.os));
    }
}

void check_sandboxes(DoctorReport& report, const Environment& env) {
    for (Browser browser : all_browsers()) {
        for (const auto& candidate : sandboxed_install_candidates(browser, env)) {
            if (!path_exists(candidate.marker)) continue;
            const std::string topic =
                std::string(browser_title(browser)) + " (" + candidate.kind + ")";
            if (candidate.kind == "flatpak") {
                report.add(Level::WARNING, topic,
                           "This browser is a Flatpak (" + candidate.app_id +
                               "). Flatpak browsers cannot start programs outside their "
                               "sandbox, and they read manifests only from " +
                               candidate.manifest_dir.string() + ".",
                           "Use the browser from a .deb/.rpm package for smart cards. The only "
                           "workaround is a manifest there that runs `flatpak-spawn --host "
                           "<host>` after `flatpak override --user --talk-name=org.freedesktop."
                           "Flatpak " +
                               candidate.app_id + "`, which opens the sandbox wide.");
            } else if (browser == Browser::FIREFOX) {
                report.add(Level::WARNING, topic,
                           "Firefox is a Snap. Recent Snap builds start native hosts through the "
                           "desktop's WebExtensions portal (it asks you once for permission); "
                           "older ones cannot start them at all.",
                           "If the extension reports that it cannot connect, install Firefox "
                           "from Mozilla's .deb or tarball.");
            } else {
                report.add(Level::WARNING, topic,
                           "This browser is a Snap. Snap confinement does not let it start "
                           "native-messaging hosts installed on the system.",
                           "Use the browser from a .deb package (Google Chrome, Microsoft Edge, "
                           "Brave and Debian's chromium all ship one).");
            }
        }
    }
}

void check_pcsc(DoctorReport& report, const Environment& env, const DoctorOptions& options,
                const PcscProbeFunction& probe) {
    using State = this_system::SmartCardService::State;
    const std::string topic = service_topic(env.os);
    this_system::SmartCardService service;
    // Only this computer's service, not the one of the system named by --os.
    if (env.os == this_system::os() && options.smart_card_service) {
        service = options.smart_card_service();
    }
    if (service.fix.empty()) service.fix = how_to_start_service(env.os);
    switch (service.state) {
        case State::MISSING:
        case State::DISABLED:
            report.add(Level::PROBLEM, topic, service.text, service.fix);
            return;
        case State::STOPPED:
            if (!service.starts_on_demand) {
                report.add(Level::PROBLEM, topic, service.text, service.fix);
                return;
            }
            // Whether it starts when asked is what the probe below finds out.
            report.add(Level::NOTE, topic, service.text);
            break;
        case State::RUNNING:
            if (!service.text.empty()) report.add(Level::OK, topic, service.text);
            break;
        case State::UNKNOWN:
            if (!service.text.empty()) report.add(Level::NOTE, topic, service.text);
            break;
    }
    const PcscProbe result = probe();
    if (result.establish_status != 0) {
        report.add(Level::PROBLEM, topic,
                   "The smart-card service refused a connection: " +
                       describe_status(result.establish_status, env.os) + ".",
                   service.fix);
        return;
    }
    report.add(Level::OK, topic, "the smart-card service answers");
    if (result.list_status == NO_READERS || (result.list_status == 0 && result.readers.empty())) {
        report.add(Level::WARNING, "readers", "No reader is connected.",
                   env.os == Os::WINDOWS
                       ? "Plug in a reader. If it is plugged in, check in the Device Manager "
                         "that Windows installed its driver."
                       : "Plug in a reader. If it is plugged in, check that its driver is "
                         "installed (Debian: libccid for USB CCID readers) and run pcsc_scan.");
        return;
    }
    if (result.list_status != 0) {
        report.add(Level::PROBLEM, "readers",
                   "Listing readers failed: " + describe_status(result.list_status, env.os) + ".");
        return;
    }
    report.add(Level::OK, "readers", "seen: " + join(result.readers));
    if (result.readers_with_card.empty()) {
        report.add(Level::NOTE, "cards", "no card in any reader");
    } else {
        report.add(Level::OK, "cards", "card present in: " + join(result.readers_with_card));
    }
}

using host_client::HostClient;
using host_client::Received;

// A length beyond any answer means something else writes to the host's stdout.
constexpr std::uint32_t LONGEST_ANSWER = 64u * 1024u * 1024u;

// The host's next answer; nothing, with the reason in `error`, when none comes.
std::optional<nlohmann::json> next_answer(HostClient& host, std::chrono::milliseconds timeout,
                                          std::string& error) {
    std::string text;
    switch (host.receive(text, timeout)) {
        case Received::FRAME:
            break;
        case Received::TIMED_OUT:
            error = "no answer from the host within " + std::to_string(timeout.count()) + " ms";
            return std::nullopt;
        case Received::ENDED:
            error = "the host closed its output (it exited or crashed)";
            return std::nullopt;
        case Received::TOO_LARGE:
            error = "the host sent a frame of " + std::to_string(host.announced_length()) +
                    " bytes; is something else printing to its stdout?";
            return std::nullopt;
    }
    auto json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded()) {
        error = "the host sent a frame that is not JSON: " + text.substr(0, 200);
        return std::nullopt;
    }
    return json;
}

std::optional<nlohmann::json> ask(HostClient& host, DoctorReport& report, const std::string& topic,
                                  const std::string& id, const std::string& command,
                                  nlohmann::json params, std::chrono::milliseconds timeout) {
    std::string error;
    nlohmann::json request = {
        {"requestId", id}, {"command", command}, {"params", std::move(params)}};
    if (!host.send(request.dump())) {
        report.add(Level::PROBLEM, topic,
                   std::string("cannot write to the host: ") + std::strerror(errno));
        return std::nullopt;
    }
    // Answers may come in any order; the doctor asks one thing at a time.
    for (;;) {
        auto answer = next_answer(host, timeout, error);
        if (!answer) {
            report.add(Level::PROBLEM, topic, command + ": " + error,
                       "Look at the host's log (docs/browsers.md, \"Logs\").");
            return std::nullopt;
        }
        if (answer->is_object() && answer->value("requestId", "") == id) return answer;
    }
}

// What the browser of that manifest passes its host after the program.
std::vector<std::string> browser_arguments(const ManifestSeen& manifest) {
    const std::string caller = manifest.allowed.empty() ? std::string() : manifest.allowed.front();
    if (manifest.kind == ManifestKind::FIREFOX) return {manifest.file.string(), caller};
    return {caller};
}

void check_host(DoctorReport& report, const fs::path& host_path,
                const std::vector<std::string>& arguments, const DoctorOptions& options) {
    const std::string topic = "host " + host_path.string();
    // A host that ends before it reads makes our next write fail; without this the
    // failure would be a SIGPIPE that ends the doctor before it says anything.
    this_system::ignore_broken_pipes();
    platform::ChildOptions child;
    child.program = host_path;
    child.arguments = arguments;
    child.error = platform::ChildStream::PIPE;
    HostClient host(LONGEST_ANSWER);
    std::string error;
    if (!host.start(child, error)) {
        report.add(Level::PROBLEM, topic, error);
        return;
    }
    const auto health = ask(host, report, topic, "doctor-1", "healthcheck", nlohmann::json::array(),
                            options.answer_timeout);
    if (!health) {
        const std::string tail = host.error_text();
        if (!tail.empty()) report.add(Level::NOTE, topic, "its last log lines:\n" + tail);
        return;
    }
    const bool healthy = health->value("status", "") == "success" && health->contains("result") &&
                         (*health)["result"] == nlohmann::json::array({"OK"});
    if (!healthy) {
        report.add(Level::PROBLEM, topic, "healthcheck answered " + health->dump());
        return;
    }
    std::string version = "?";
    if (const auto v = ask(host, report, topic, "doctor-2", "get_version", nlohmann::json::array(),
                           options.answer_timeout);
        v && v->contains("result") && (*v)["result"].is_string()) {
        version = (*v)["result"].get<std::string>();
    }
    report.add(Level::OK, topic, "healthcheck round trip works (version " + version + ")");

    // The same PC/SC round trip an extension makes, in the host's own environment.
    if (options.check_pcsc) {
        const auto established = ask(host, report, topic, "doctor-3", "establish_context",
                                     nlohmann::json::array(), options.answer_timeout);
        if (established &&
            established->value("result", nlohmann::json()) == "command_not_supported") {
            report.add(Level::NOTE, topic, "this host build does not offer the card commands yet");
        } else if (established && established->value("status", "") == "success") {
            const std::string context = (*established)["result"].at(1).get<std::string>();
            const auto listed = ask(host, report, topic, "doctor-4", "list_readers",
                                    nlohmann::json::array({context}), options.answer_timeout);
            if (listed && listed->value("status", "") == "success") {
                report.add(
                    Level::OK, topic,
                    "through the host, readers: " + (*listed)["result"].at(1).get<std::string>());
            } else if (listed) {
                report.add(Level::NOTE, topic,
                           "through the host, list_readers answered " + (*listed)["result"].dump());
            }
            ask(host, report, topic, "doctor-5", "release_context",
                nlohmann::json::array({context}), options.answer_timeout);
        } else if (established) {
            report.add(
                Level::PROBLEM, topic,
                "the host cannot reach the smart-card service: " + (*established)["result"].dump());
        }
    }

    host.close_input();
    const auto status = host.wait_exit(options.exit_grace);
    if (!status) {
        report.add(Level::PROBLEM, topic,
                   "the host was still running " + std::to_string(options.exit_grace.count()) +
                       " ms after its input closed; browsers kill it at that point",
                   "Report this with the host's log.");
    } else if (*status == 0) {
        report.add(Level::OK, topic, "exits cleanly when the browser closes the pipe");
    } else {
        report.add(Level::PROBLEM, topic,
                   "ended with " +
                       (*status < 128 ? "exit code " + std::to_string(*status)
                                      : "signal " + std::to_string(*status - 128)) +
                       " after its input closed");
    }
}

// Where the host of that system writes its log: the rule of the host's own
// src/platform/<system>/ seams, told here for any system the doctor looks at.
fs::path host_log_file(const Environment& env) {
    fs::path directory;
    if (env.os == Os::WINDOWS) {
        directory = (env.local_app_data.empty() ? fs::temp_directory_path() : env.local_app_data) /
                    "Vorn Smart Card Bridge" / "Logs";
    } else if (env.home.empty()) {
        directory = "/tmp/vorn-logs";
    } else if (env.os == Os::MACOS) {
        directory = env.home / "Library" / "Logs" / "Vorn Smart Card Bridge";
    } else {
        const bool state_set =
            !env.xdg_state_home.empty() && env.xdg_state_home.has_root_directory();
        directory =
            (state_set ? env.xdg_state_home : env.home / ".local" / "state") / "vorn-scard-bridge";
    }
    return directory / "vorn_scard_bridge.log";
}

}  // namespace

void DoctorReport::add(Level level, std::string topic, std::string text, std::string fix) {
    findings_.push_back({level, std::move(topic), std::move(text), std::move(fix)});
}

int DoctorReport::count(Level level) const {
    int n = 0;
    for (const auto& f : findings_) n += f.level == level ? 1 : 0;
    return n;
}

void DoctorReport::print(std::ostream& out) const {
    for (const auto& f : findings_) {
        const char* mark = f.level == Level::OK        ? "[ ok ] "
                           : f.level == Level::NOTE    ? "[note] "
                           : f.level == Level::WARNING ? "[warn] "
                                                       : "[FAIL] ";
        out << mark << f.topic << ": " << f.text << '\n';
        if (!f.fix.empty()) out << "       fix: " << f.fix << '\n';
    }
    const int problems = count(Level::PROBLEM);
    const int warnings = count(Level::WARNING);
    out << '\n';
    if (problems == 0 && warnings == 0) {
        out << "Everything looks right.\n";
    } else {
        out << problems << (problems == 1 ? " problem, " : " problems, ") << warnings
            << (warnings == 1 ? " warning.\n" : " warnings.\n");
    }
}

std::string describe_status(std::int32_t status, Os os) {
    const std::string service = service_topic(os);
    const std::map<std::int32_t, std::string> known{
        {NO_SERVICE, "the smart-card service (" + service + ") is not running"},
        {SERVICE_STOPPED, "the smart-card service has shut down"},
        {NO_READERS, "no reader is connected"},
        {static_cast<std::int32_t>(0x80100001u), "internal error of the smart-card service"},
        {static_cast<std::int32_t>(0x80100013u),
         os == Os::WINDOWS
             ? "cannot talk to the smart-card service"
             : "cannot talk to pcscd (its version may not match the client library's)"},
    };
    const auto found = known.find(status);
    return hex32(status) + (found != known.end() ? " (" + found->second + ")" : std::string());
}

DoctorReport run_doctor(const DoctorOptions& options, const Environment& env,
                        const PcscProbeFunction& pcsc) {
    DoctorReport report;
    // An elevated Windows administrator keeps their own profile and registry hive.
    if (env.os != Os::WINDOWS && this_system::running_elevated() && !env.home.empty()) {
        report.add(
            Level::NOTE, "you",
            "running as root: per-user folders are looked up in " + env.home.string() +
                ", not in your own home. Run the doctor without sudo to check your browsers.");
    }
    std::vector<ManifestSeen> seen;
    check_manifests(report, options, env, seen);
    check_sandboxes(report, env);
    if (options.check_pcsc) check_pcsc(report, env, options, pcsc);
    if (options.check_host) {
        // Host path -> the arguments of the first browser whose manifest allows a caller.
        std::map<std::string, std::vector<std::string>> hosts;
        for (const auto& m : seen) {
            if (m.host_path.empty() || !fs::path(m.host_path).is_absolute() ||
                !this_system::is_program(m.host_path)) {
                continue;
            }
            auto& arguments = hosts[m.host_path];
            if (arguments.empty() && !m.allowed.empty()) arguments = browser_arguments(m);
        }
        if (options.host_path)
            hosts.emplace(options.host_path->string(), std::vector{std::string()});
        for (const auto& [path, arguments] : hosts) check_host(report, path, arguments, options);
    }
    const fs::path log = host_log_file(env);
    std::error_code ignored;
    report.add(Level::NOTE, "log",
               "the host logs to " + log.string() +
                   (fs::exists(log, ignored) ? "" : " (not there yet: the host has not run)"));
    return report;
}

}  // namespace Vorn_SCard_Bridge::installer
