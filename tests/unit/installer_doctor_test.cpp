// What the doctor tells a person, on manifests laid out in a scratch home folder
// and a scripted smart-card service (no pcscd, no host started).

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "doctor.h"

namespace Vorn_SCard_Bridge::installer {
namespace {

namespace fs = std::filesystem;

const char* const ID = "abcdefghijklmnopabcdefghijklmnop";

class InstallerDoctor : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vorn-doctor-test-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        env_.home = root_ / "home";
        env_.system_root = root_ / "system";
        options_.check_host = false;
        options_.check_pcsc = false;
    }
    void TearDown() override { fs::remove_all(root_); }

    void put(const fs::path& relative, const std::string& text) {
        const fs::path file = env_.home / relative;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text;
    }

    std::string printed(const PcscProbeFunction& pcsc = [] { return PcscProbe{}; }) {
        report_ = run_doctor(options_, env_, pcsc);
        std::ostringstream out;
        report_.print(out);
        return out.str();
    }

    fs::path root_;
    Environment env_;
    DoctorOptions options_;
    DoctorReport report_;
};

TEST_F(InstallerDoctor, NoManifestAnywhereIsAProblemWithTheInstallCommand) {
    const std::string out = printed();
    EXPECT_NE(out.find("No browser can find the host"), std::string::npos) << out;
    EXPECT_NE(out.find("vorn-scard-bridge-installer install --extension-id"), std::string::npos);
    EXPECT_GE(report_.count(Level::PROBLEM), 1);
}

TEST_F(InstallerDoctor, RelativePathAndMissingHostAreNamed) {
    put(".config/chromium/NativeMessagingHosts/com.vorn.scard_bridge.json",
        std::string(R"({"name":"com.vorn.scard_bridge","path":"bin/bridge","type":"stdio",
                       "allowed_origins":["chrome-extension://)") +
            ID + R"(/"]})");
    put(".config/google-chrome/NativeMessagingHosts/com.vorn.scard_bridge.json",
        std::string(R"({"name":"com.vorn.scard_bridge","path":"/nonexistent/vorn-scard-bridge",
                       "type":"stdio","allowed_origins":["chrome-extension://)") +
            ID + R"(/"]})");
    const std::string out = printed();
    EXPECT_NE(out.find("is relative"), std::string::npos) << out;
    EXPECT_NE(out.find("does not exist. The browser will say \"Specified native messaging host not "
                       "found\""),
              std::string::npos)
        << out;
}

TEST_F(InstallerDoctor, AnExtensionThatIsNotAllowedIsReported) {
    put(".mozilla/native-messaging-hosts/com.vorn.scard_bridge.json",
        R"({"name":"com.vorn.scard_bridge","path":"/bin/sh","type":"stdio",
            "allowed_extensions":["other@example.org"]})");
    options_.expected_ids = {"scard@example.org"};
    const std::string out = printed();
    EXPECT_NE(out.find("[ ok ] Mozilla Firefox (user)"), std::string::npos) << out;
    EXPECT_NE(out.find("scard@example.org is not allowed"), std::string::npos) << out;
}

TEST_F(InstallerDoctor, SystemWideManifestsAreChecked) {
    put("../system/etc/opt/chrome/native-messaging-hosts/com.vorn.scard_bridge.json",
        R"({"name":"com.vorn.scard_bridge","path":"/bin/sh","type":"stdio",
            "allowed_extensions":["scard@example.org"]})");
    const std::string out = printed();
    EXPECT_NE(out.find("Google Chrome (system)"), std::string::npos) << out;
    EXPECT_NE(out.find("this is a Firefox manifest"), std::string::npos) << out;
}

TEST_F(InstallerDoctor, FirefoxSystemWideManifestIsChecked) {
    put("../system/usr/lib/mozilla/native-messaging-hosts/com.vorn.scard_bridge.json",
        std::string(R"({"name":"com.vorn.scard_bridge","path":"/bin/sh","type":"stdio",
                       "allowed_origins":["chrome-extension://)") +
            ID + R"(/"]})");
    const std::string out = printed();
    EXPECT_NE(out.find("[FAIL] Mozilla Firefox (system): " +
                       (env_.system_root / "usr/lib/mozilla/native-messaging-hosts").string()),
              std::string::npos)
        << out;
}

TEST_F(InstallerDoctor, SnapAndFlatpakBrowsersGetANote) {
    fs::create_directories(env_.system_root / "snap/chromium");
    fs::create_directories(env_.system_root / "snap/firefox");
    fs::create_directories(env_.home / ".local/share/flatpak/app/org.mozilla.firefox");
    const std::string out = printed();
    EXPECT_NE(out.find("[warn] Chromium (snap): This browser is a Snap"), std::string::npos) << out;
    EXPECT_NE(out.find("[warn] Mozilla Firefox (snap): Firefox is a Snap"), std::string::npos)
        << out;
    EXPECT_NE(out.find("[warn] Mozilla Firefox (flatpak)"), std::string::npos) << out;
    EXPECT_NE(out.find(".var/app/org.mozilla.firefox/.mozilla/native-messaging-hosts"),
              std::string::npos)
        << out;
}

TEST_F(InstallerDoctor, CustomFolderIsChecked) {
    options_.custom_targets = {
        {env_.home / "profile/NativeMessagingHosts", ManifestKind::CHROMIUM}};
    EXPECT_NE(
        printed().find("no manifest at " + (env_.home / "profile/NativeMessagingHosts").string()),
        std::string::npos);
    put("profile/NativeMessagingHosts/com.vorn.scard_bridge.json",
        std::string(R"({"name":"com.vorn.scard_bridge","path":"/bin/sh","type":"stdio",
                       "allowed_origins":["chrome-extension://)") +
            ID + R"(/"]})");
    const std::string out = printed();
    EXPECT_NE(out.find("[ ok ] custom folder"), std::string::npos) << out;
}

// The round trip starts each host as the browser of its manifest would; these
// hosts only write down their arguments.
TEST_F(InstallerDoctor, HostsAreStartedWithTheArgumentsOfTheirBrowser) {
    options_.check_host = true;
    options_.answer_timeout = std::chrono::milliseconds(2000);
    auto recording_host = [&](const std::string& name) {
        const fs::path script = root_ / name;
        std::ofstream(script) << "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" << script.string()
                              << ".args'\n";
        fs::permissions(script, fs::perms::owner_all);
        return script;
    };
    auto arguments_of = [](const fs::path& script) {
        std::ifstream in(script.string() + ".args");
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    };
    const fs::path for_firefox = recording_host("firefox-host");
    const fs::path for_chromium = recording_host("chromium-host");
    put(".mozilla/native-messaging-hosts/com.vorn.scard_bridge.json",
        R"({"name":"com.vorn.scard_bridge","path":")" + for_firefox.string() +
            R"(","type":"stdio","allowed_extensions":["scard@example.org"]})");
    put(".config/chromium/NativeMessagingHosts/com.vorn.scard_bridge.json",
        std::string(R"({"name":"com.vorn.scard_bridge","path":")") + for_chromium.string() +
            R"(","type":"stdio","allowed_origins":["chrome-extension://)" + ID + R"(/"]})");
    printed();
    EXPECT_EQ(arguments_of(for_firefox),
              (env_.home / ".mozilla/native-messaging-hosts/com.vorn.scard_bridge.json").string() +
                  "\nscard@example.org\n");
    EXPECT_EQ(arguments_of(for_chromium), std::string("chrome-extension://") + ID + "/\n");
}

TEST_F(InstallerDoctor, SmartCardServiceFindingsInPlainWords) {
    options_.check_pcsc = true;
    env_.os = Os::MACOS;  // no pcscd socket to look for
    std::string out = printed([] {
        PcscProbe p;
        p.establish_status = static_cast<std::int32_t>(0x8010001Du);
        return p;
    });
    EXPECT_NE(out.find("0x8010001D (the smart-card service (pcscd) is not running)"),
              std::string::npos)
        << out;

    out = printed([] {
        PcscProbe p;
        p.list_status = static_cast<std::int32_t>(0x8010002Eu);
        return p;
    });
    EXPECT_NE(out.find("No reader is connected"), std::string::npos) << out;

    out = printed([] {
        PcscProbe p;
        p.readers = {"Reader A", "Reader B"};
        p.readers_with_card = {"Reader B"};
        return p;
    });
    EXPECT_NE(out.find("[ ok ] readers: seen: Reader A, Reader B"), std::string::npos) << out;
    EXPECT_NE(out.find("[ ok ] cards: card present in: Reader B"), std::string::npos) << out;
}

// What the system says of its smart-card service decides whether the doctor still
// asks the service itself. Windows' service manager and a missing pcscd cannot be
// staged here, so the system's answer is scripted.
struct ServiceCase {
    const char* name;
    this_system::SmartCardService service;
    const char* expected;  // the service's finding, as printed
    bool probed;           // whether the doctor went on to ask the service
};

class InstallerDoctorServiceState : public InstallerDoctor,
                                    public ::testing::WithParamInterface<ServiceCase> {};

using ServiceState = this_system::SmartCardService::State;

INSTANTIATE_TEST_SUITE_P(
    States, InstallerDoctorServiceState,
    ::testing::Values(ServiceCase{"Missing",
                                  {ServiceState::MISSING, "it is missing", "install it", false},
                                  "[FAIL] pcscd: it is missing\n       fix: install it",
                                  false},
                      ServiceCase{"Disabled",
                                  {ServiceState::DISABLED, "it is disabled", "enable it", false},
                                  "[FAIL] pcscd: it is disabled\n       fix: enable it",
                                  false},
                      ServiceCase{"StoppedForGood",
                                  {ServiceState::STOPPED, "it is stopped", "start it", false},
                                  "[FAIL] pcscd: it is stopped\n       fix: start it",
                                  false},
                      ServiceCase{"StoppedUntilNeeded",
                                  {ServiceState::STOPPED, "it is stopped", "start it", true},
                                  "[note] pcscd: it is stopped\n",
                                  true},
                      ServiceCase{"Running",
                                  {ServiceState::RUNNING, "it is running", "start it", false},
                                  "[ ok ] pcscd: it is running\n",
                                  true},
                      ServiceCase{
                          "NotLookedAt", {ServiceState::UNKNOWN, "", "start it", false}, "", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(InstallerDoctorServiceState, IsReportedAndDecidesWhetherTheServiceIsAsked) {
    options_.check_pcsc = true;
    options_.smart_card_service = [] { return GetParam().service; };
    bool probed = false;
    const std::string out = printed([&] {
        probed = true;
        PcscProbe p;
        p.establish_status = static_cast<std::int32_t>(0x8010001Du);
        return p;
    });
    EXPECT_NE(out.find(GetParam().expected), std::string::npos) << out;
    EXPECT_EQ(probed, GetParam().probed) << out;
    // A refusal is mended the way the system said its service is started.
    if (probed) {
        EXPECT_NE(out.find("fix: start it"), std::string::npos) << out;
    }
}

TEST_F(InstallerDoctor, AnotherSystemsFoldersDoNotReportThisComputersService) {
    options_.check_pcsc = true;
    env_.os = Os::WINDOWS;  // --os windows on this Linux computer
    bool asked = false;
    options_.smart_card_service = [&] {
        asked = true;
        return this_system::SmartCardService{ServiceState::MISSING, "missing", "install", false};
    };
    const std::string out = printed([] {
        PcscProbe p;
        p.establish_status = static_cast<std::int32_t>(0x8010001Du);
        return p;
    });
    EXPECT_FALSE(asked);
    EXPECT_NE(out.find("[FAIL] SCardSvr: The smart-card service refused a connection: 0x8010001D "
                       "(the smart-card service (SCardSvr) is not running)"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("sc start SCardSvr"), std::string::npos) << out;
}

struct LogPlaceCase {
    const char* name;
    Os os;
    const char* state_home;  // XDG_STATE_HOME, "" for unset
    const char* below_root;  // the log file below the test's root folder
};

class InstallerDoctorLog : public InstallerDoctor,
                           public ::testing::WithParamInterface<LogPlaceCase> {};

TEST_P(InstallerDoctorLog, SaysWhereTheHostLogs) {
    env_.os = GetParam().os;
    env_.local_app_data = root_ / "AppData" / "Local";
    if (*GetParam().state_home != '\0') env_.xdg_state_home = root_ / GetParam().state_home;
    const std::string out = printed();
    const std::string expected = (root_ / GetParam().below_root).string();
    EXPECT_NE(out.find("the host logs to " + expected + " (not there yet"), std::string::npos)
        << out;
    fs::create_directories((root_ / GetParam().below_root).parent_path());
    std::ofstream(root_ / GetParam().below_root) << "a line\n";
    EXPECT_EQ(printed().find("the host logs to " + expected + " (not there yet"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Systems, InstallerDoctorLog,
    ::testing::Values(
        LogPlaceCase{"Linux", Os::LINUX, "",
                     "home/.local/state/vorn-scard-bridge/vorn_scard_bridge.log"},
        LogPlaceCase{"LinuxStateHome", Os::LINUX, "state",
                     "state/vorn-scard-bridge/vorn_scard_bridge.log"},
        LogPlaceCase{"MacOs", Os::MACOS, "",
                     "home/Library/Logs/Vorn Smart Card Bridge/vorn_scard_bridge.log"},
        LogPlaceCase{"Windows", Os::WINDOWS, "",
                     "AppData/Local/Vorn Smart Card Bridge/Logs/vorn_scard_bridge.log"}),
    [](const auto& info) { return std::string(info.param.name); });

// Windows: the browser reads the manifest its registry key names.
class MemoryRegistry final : public Registry {
public:
    void set_default_value(const std::string& key, const std::string& value) override {
        values[key] = value;
    }
    std::optional<std::string> default_value(const std::string& key) const override {
        const auto it = values.find(key);
        return it == values.end() ? std::nullopt : std::optional(it->second);
    }
    bool remove_key(const std::string& key) override { return values.erase(key) > 0; }
    std::map<std::string, std::string> values;
};

class InstallerDoctorOnWindows : public InstallerDoctor {
protected:
    void SetUp() override {
        InstallerDoctor::SetUp();
        env_.os = Os::WINDOWS;
        env_.local_app_data = root_ / "AppData" / "Local";
        options_.registry = &registry_;
        chrome_manifest_ = env_.local_app_data / "Vorn Smart Card Bridge" / "NativeMessagingHosts" /
                           "chrome" / "com.vorn.scard_bridge.json";
        fs::create_directories(chrome_manifest_.parent_path());
        std::ofstream(chrome_manifest_)
            << R"({"name":"com.vorn.scard_bridge","path":"/bin/sh","type":"stdio",
                   "allowed_origins":["chrome-extension://)"
            << ID << R"(/"]})";
    }
    const std::string chrome_key_ =
        "HKCU\\Software\\Google\\Chrome\\NativeMessagingHosts\\com.vorn.scard_bridge";
    MemoryRegistry registry_;
    fs::path chrome_manifest_;
};

TEST_F(InstallerDoctorOnWindows, ManifestNamedByItsKeyIsChecked) {
    registry_.values[chrome_key_] = chrome_manifest_.string();
    const std::string out = printed();
    EXPECT_NE(out.find("Google Chrome (user)"), std::string::npos) << out;
    EXPECT_EQ(out.find("No browser can find the host"), std::string::npos) << out;
    EXPECT_EQ(report_.count(Level::PROBLEM), 0) << out;
}

TEST_F(InstallerDoctorOnWindows, ManifestWithoutItsKeyIsAProblemWithTheFix) {
    const std::string out = printed();
    EXPECT_NE(out.find("no registry key " + chrome_key_ + " names it"), std::string::npos) << out;
    EXPECT_NE(out.find("install --browser chrome --extension-id"), std::string::npos) << out;
}

TEST_F(InstallerDoctorOnWindows, HintsAreForWindowsNotSudo) {
    const fs::path not_a_program = root_ / "host.txt";
    std::ofstream(not_a_program) << "text";
    std::ofstream(chrome_manifest_)
        << R"({"name":"com.vorn.scard_bridge","path":")" << not_a_program.generic_string()
        << R"(","type":"stdio","allowed_origins":["chrome-extension://)" << ID << R"(/"]})";
    registry_.values[chrome_key_] = chrome_manifest_.string();
    std::string out = printed();
    EXPECT_NE(out.find("exists but is not a program (.exe)"), std::string::npos) << out;
    registry_.values.clear();
    out += printed();
    EXPECT_NE(out.find("from an administrator command prompt: vorn-scard-bridge-installer install "
                       "--system"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("sudo"), std::string::npos) << out;
}

TEST_F(InstallerDoctorOnWindows, KeyNamingAMissingFileFindsNoManifest) {
    registry_.values[chrome_key_] = (root_ / "elsewhere.json").string();
    const std::string out = printed();
    EXPECT_NE(out.find("No browser can find the host"), std::string::npos) << out;
    EXPECT_NE(out.find("elsewhere.json"), std::string::npos) << out;
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::installer
