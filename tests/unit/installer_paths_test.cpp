// Where the installer puts host manifests for each browser, OS and scope.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "browsers.h"
#include "install_plan.h"

namespace Vorn_SCard_Bridge::installer {
namespace {

struct PathCase {
    Browser browser;
    Os os;
    Scope scope;
    std::string expected;  // empty: the browser has no such folder
};

class InstallerManifestFolder : public ::testing::TestWithParam<PathCase> {};

TEST_P(InstallerManifestFolder, IsWhereTheBrowserLooks) {
    const PathCase& c = GetParam();
    Environment env;
    env.os = c.os;
    env.home = c.os == Os::MACOS ? "/Users/ana" : "/home/ana";
    std::string why_not;
    const auto dir = manifest_directory(c.browser, c.scope, env, &why_not);
    if (c.expected.empty()) {
        EXPECT_FALSE(dir.has_value());
        EXPECT_NE(why_not.find("install per user"), std::string::npos) << why_not;
    } else {
        ASSERT_TRUE(dir.has_value()) << why_not;
        EXPECT_EQ(dir->generic_string(), c.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    LinuxPerUser, InstallerManifestFolder,
    ::testing::Values(PathCase{Browser::CHROME, Os::LINUX, Scope::USER,
                               "/home/ana/.config/google-chrome/NativeMessagingHosts"},
                      PathCase{Browser::CHROMIUM, Os::LINUX, Scope::USER,
                               "/home/ana/.config/chromium/NativeMessagingHosts"},
                      PathCase{Browser::EDGE, Os::LINUX, Scope::USER,
                               "/home/ana/.config/microsoft-edge/NativeMessagingHosts"},
                      PathCase{
                          Browser::BRAVE, Os::LINUX, Scope::USER,
                          "/home/ana/.config/BraveSoftware/Brave-Browser/NativeMessagingHosts"},
                      PathCase{Browser::FIREFOX, Os::LINUX, Scope::USER,
                               "/home/ana/.mozilla/native-messaging-hosts"}));

INSTANTIATE_TEST_SUITE_P(LinuxSystemWide, InstallerManifestFolder,
                         ::testing::Values(PathCase{Browser::CHROME, Os::LINUX, Scope::SYSTEM,
                                                    "/etc/opt/chrome/native-messaging-hosts"},
                                           PathCase{Browser::CHROMIUM, Os::LINUX, Scope::SYSTEM,
                                                    "/etc/chromium/native-messaging-hosts"},
                                           PathCase{Browser::EDGE, Os::LINUX, Scope::SYSTEM,
                                                    "/etc/opt/edge/native-messaging-hosts"},
                                           PathCase{Browser::BRAVE, Os::LINUX, Scope::SYSTEM, ""},
                                           PathCase{Browser::FIREFOX, Os::LINUX, Scope::SYSTEM,
                                                    "/usr/lib/mozilla/native-messaging-hosts"}));

INSTANTIATE_TEST_SUITE_P(
    MacOsPerUser, InstallerManifestFolder,
    ::testing::Values(
        PathCase{Browser::CHROME, Os::MACOS, Scope::USER,
                 "/Users/ana/Library/Application Support/Google/Chrome/NativeMessagingHosts"},
        PathCase{Browser::CHROMIUM, Os::MACOS, Scope::USER,
                 "/Users/ana/Library/Application Support/Chromium/NativeMessagingHosts"},
        PathCase{Browser::EDGE, Os::MACOS, Scope::USER,
                 "/Users/ana/Library/Application Support/Microsoft Edge/NativeMessagingHosts"},
        PathCase{Browser::BRAVE, Os::MACOS, Scope::USER,
                 "/Users/ana/Library/Application Support/BraveSoftware/Brave-Browser/"
                 "NativeMessagingHosts"},
        PathCase{Browser::FIREFOX, Os::MACOS, Scope::USER,
                 "/Users/ana/Library/Application Support/Mozilla/NativeMessagingHosts"}));

INSTANTIATE_TEST_SUITE_P(
    MacOsSystemWide, InstallerManifestFolder,
    ::testing::Values(PathCase{Browser::CHROME, Os::MACOS, Scope::SYSTEM,
                               "/Library/Google/Chrome/NativeMessagingHosts"},
                      PathCase{Browser::CHROMIUM, Os::MACOS, Scope::SYSTEM,
                               "/Library/Application Support/Chromium/NativeMessagingHosts"},
                      PathCase{Browser::EDGE, Os::MACOS, Scope::SYSTEM,
                               "/Library/Microsoft/Edge/NativeMessagingHosts"},
                      PathCase{Browser::BRAVE, Os::MACOS, Scope::SYSTEM, ""},
                      PathCase{Browser::FIREFOX, Os::MACOS, Scope::SYSTEM,
                               "/Library/Application Support/Mozilla/NativeMessagingHosts"}));

TEST(InstallerManifestFolderEnvironment, ChromiumFamilyFollowsXdgConfigHome) {
    Environment env;
    env.home = "/home/ana";
    env.xdg_config_home = "/srv/cfg";
    EXPECT_EQ(manifest_directory(Browser::CHROME, Scope::USER, env)->generic_string(),
              "/srv/cfg/google-chrome/NativeMessagingHosts");
    // Firefox keeps ~/.mozilla whatever XDG says.
    EXPECT_EQ(manifest_directory(Browser::FIREFOX, Scope::USER, env)->generic_string(),
              "/home/ana/.mozilla/native-messaging-hosts");
}

TEST(InstallerManifestFolderEnvironment, RelativeXdgConfigHomeIsIgnored) {
    Environment env;
    env.home = "/home/ana";
    env.xdg_config_home = "cfg";
    EXPECT_EQ(manifest_directory(Browser::CHROMIUM, Scope::USER, env)->generic_string(),
              "/home/ana/.config/chromium/NativeMessagingHosts");
}

TEST(InstallerManifestFolderEnvironment, SystemRootPrefixesSystemFoldersOnly) {
    Environment env;
    env.home = "/home/ana";
    env.system_root = "/scratch";
    EXPECT_EQ(manifest_directory(Browser::CHROME, Scope::SYSTEM, env)->generic_string(),
              "/scratch/etc/opt/chrome/native-messaging-hosts");
    EXPECT_EQ(manifest_directory(Browser::CHROME, Scope::USER, env)->generic_string(),
              "/home/ana/.config/google-chrome/NativeMessagingHosts");
}

TEST(InstallerManifestFolderEnvironment, NoHomeMeansNoPerUserFolder) {
    Environment env;
    std::string why_not;
    EXPECT_FALSE(manifest_directory(Browser::CHROME, Scope::USER, env, &why_not).has_value());
    EXPECT_NE(why_not.find("HOME"), std::string::npos);
    EXPECT_TRUE(manifest_directory(Browser::CHROME, Scope::SYSTEM, env).has_value());
}

TEST(InstallerBrowserNames, ParseListsAndAll) {
    std::string error;
    const auto list = parse_browser_list("chrome, Firefox,chrome", error);
    ASSERT_TRUE(list.has_value()) << error;
    EXPECT_EQ(*list, (std::vector<Browser>{Browser::CHROME, Browser::FIREFOX}));
    EXPECT_EQ(parse_browser_list("all", error)->size(), 5u);
    EXPECT_FALSE(parse_browser_list("chrome,opera", error).has_value());
    EXPECT_NE(error.find("opera"), std::string::npos);
}

const char* const CHROME_ID = "abcdefghijklmnopabcdefghijklmnop";

TEST(InstallerInstallPlan, ExtensionIdsSelectTheChromiumFamilyAndAddOnIdsFirefox) {
    Environment env;
    env.home = "/home/ana";
    InstallRequest request;
    request.host_path = "/usr/bin/vorn-scard-bridge";
    request.chromium_ids = {CHROME_ID};
    Plan plan = plan_install(request, env);
    ASSERT_TRUE(plan.errors.empty());
    ASSERT_EQ(plan.files.size(), 4u);
    for (const auto& f : plan.files) {
        EXPECT_EQ(f.kind, ManifestKind::CHROMIUM);
        EXPECT_EQ(f.file.filename(), "com.vorn.scard_bridge.json");
    }

    request.firefox_ids = {"vorn@example.org"};
    plan = plan_install(request, env);
    ASSERT_EQ(plan.files.size(), 5u);
    EXPECT_EQ(plan.files.back().kind, ManifestKind::FIREFOX);
    EXPECT_EQ(plan.files.back().file.generic_string(),
              "/home/ana/.mozilla/native-messaging-hosts/com.vorn.scard_bridge.json");
}

TEST(InstallerInstallPlan, SystemWideSkipsBraveWithANote) {
    Environment env;
    InstallRequest request;
    request.scope = Scope::SYSTEM;
    request.host_path = "/usr/bin/vorn-scard-bridge";
    request.chromium_ids = {CHROME_ID};
    const Plan plan = plan_install(request, env);
    EXPECT_TRUE(plan.errors.empty());
    EXPECT_EQ(plan.files.size(), 3u);
    ASSERT_EQ(plan.notes.size(), 1u);
    EXPECT_NE(plan.notes[0].find("Brave"), std::string::npos);
}

TEST(InstallerInstallPlan, CustomTargetAloneWritesOnlyThere) {
    Environment env;
    env.home = "/home/ana";
    InstallRequest request;
    request.host_path = "/opt/vorn/bin/vorn-scard-bridge";
    request.chromium_ids = {CHROME_ID};
    request.custom_targets = {{"/tmp/profile/NativeMessagingHosts", ManifestKind::CHROMIUM}};
    const Plan plan = plan_install(request, env);
    ASSERT_TRUE(plan.errors.empty());
    ASSERT_EQ(plan.files.size(), 1u);
    EXPECT_EQ(plan.files[0].file.generic_string(),
              "/tmp/profile/NativeMessagingHosts/com.vorn.scard_bridge.json");
}

TEST(InstallerInstallPlan, RefusesWithoutIdsOrWithAMismatchedBrowser) {
    Environment env;
    env.home = "/home/ana";
    InstallRequest request;
    request.host_path = "/usr/bin/vorn-scard-bridge";
    EXPECT_FALSE(plan_install(request, env).errors.empty());

    request.firefox_ids = {"vorn@example.org"};
    request.browsers = {Browser::CHROME};
    const Plan plan = plan_install(request, env);
    ASSERT_EQ(plan.errors.size(), 1u);
    EXPECT_NE(plan.errors[0].find("--extension-id"), std::string::npos);
}

TEST(InstallerInstallPlan, RelativeHostPathIsAnError) {
    Environment env;
    env.home = "/home/ana";
    InstallRequest request;
    request.host_path = "bin/vorn-scard-bridge";
    request.chromium_ids = {CHROME_ID};
    const Plan plan = plan_install(request, env);
    ASSERT_EQ(plan.errors.size(), 1u);
    EXPECT_NE(plan.errors[0].find("absolute"), std::string::npos);
}

TEST(InstallerUninstallPlan, CoversEveryBrowserByDefault) {
    Environment env;
    env.home = "/home/ana";
    InstallRequest request;
    EXPECT_EQ(plan_uninstall(request, env).files.size(), 5u);
    request.scope = Scope::SYSTEM;
    EXPECT_EQ(plan_uninstall(request, env).files.size(), 4u);
}

// Windows browsers read the manifest named by a registry key; ours lie in one folder of
// ours, a subfolder per browser (the Chromium family and Firefox want different files).
class InstallerWindowsPlan : public ::testing::Test {
protected:
    InstallerWindowsPlan() {
        env.os = Os::WINDOWS;
        env.local_app_data = "/Users/ana/AppData/Local";
        env.program_data = "/ProgramData";
        env.program_files = "/Program Files";
        request.host_path = "/Downloads/vorn/bin/vorn-scard-bridge.exe";
        request.chromium_ids = {CHROME_ID};
        request.firefox_ids = {"vorn@example.org"};
    }
    static std::vector<std::string> keys(const Plan& plan) {
        std::vector<std::string> out;
        for (const auto& file : plan.files) out.push_back(file.registry_key);
        return out;
    }
    Environment env;
    InstallRequest request;
};

TEST_F(InstallerWindowsPlan, PerUserManifestsAreNamedByKeysBelowHkcu) {
    const Plan plan = plan_install(request, env);
    ASSERT_TRUE(plan.errors.empty());
    ASSERT_EQ(plan.files.size(), 5u);
    EXPECT_EQ(plan.files[0].file, std::filesystem::path("/Users/ana/AppData/Local") /
                                      "Vorn Smart Card Bridge" / "NativeMessagingHosts" / "chrome" /
                                      "com.vorn.scard_bridge.json");
    EXPECT_EQ(plan.files[4].kind, ManifestKind::FIREFOX);
    const std::string name = "\\NativeMessagingHosts\\com.vorn.scard_bridge";
    EXPECT_EQ(keys(plan), (std::vector<std::string>{
                              "HKCU\\Software\\Google\\Chrome" + name,
                              "HKCU\\Software\\Chromium" + name,
                              "HKCU\\Software\\Microsoft\\Edge" + name,
                              "HKCU\\Software\\BraveSoftware\\Brave-Browser" + name,
                              "HKCU\\Software\\Mozilla" + name,
                          }));
    // Uninstalling removes the same files and keys.
    const Plan removal = plan_uninstall(request, env);
    EXPECT_EQ(keys(removal), keys(plan));
}

TEST_F(InstallerWindowsPlan, SystemScopeUsesProgramDataAndHklm) {
    request.scope = Scope::SYSTEM;
    request.browsers = {Browser::EDGE};
    const Plan plan = plan_install(request, env);
    ASSERT_TRUE(plan.errors.empty());
    ASSERT_EQ(plan.files.size(), 1u);
    EXPECT_EQ(
        plan.files[0].file.parent_path(),
        std::filesystem::path("/ProgramData/Vorn Smart Card Bridge/NativeMessagingHosts/edge"));
    EXPECT_EQ(plan.files[0].registry_key,
              "HKLM\\Software\\Microsoft\\Edge\\NativeMessagingHosts\\com.vorn.scard_bridge");
}

TEST_F(InstallerWindowsPlan, CustomFolderHasNoKeyAndNoLocalAppDataMeansNoPerUserFolder) {
    env.local_app_data.clear();
    request.host_given = true;  // else there would be no programs folder to copy to
    request.custom_targets = {{"/profile/NativeMessagingHosts", ManifestKind::CHROMIUM}};
    request.browsers = {Browser::CHROME};
    const Plan plan = plan_install(request, env);
    ASSERT_EQ(plan.files.size(), 1u);
    EXPECT_TRUE(plan.files[0].registry_key.empty());
    ASSERT_EQ(plan.notes.size(), 1u);
    EXPECT_NE(plan.notes[0].find("LOCALAPPDATA is not set"), std::string::npos) << plan.notes[0];
    EXPECT_EQ(parse_os("Windows"), Os::WINDOWS);
    EXPECT_TRUE(registry_key(Browser::CHROME, Scope::USER, Os::LINUX).empty());
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::installer
