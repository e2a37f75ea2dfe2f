// On Windows the installer copies the host and itself into the programs folder before
// it registers anything, and registers the copy: the folder a zip was unpacked to may be
// temporary, or one the user can write to. Uninstall removes the copy and our folders.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install_plan.h"
#include "manifest.h"

namespace Vorn_SCard_Bridge::installer {
namespace {

const char* const ZIP = "/Users/ana/Downloads/vorn/bin";
const char* const USER_PROGRAMS = "/Users/ana/AppData/Local/Programs/Vorn Smart Card Bridge";
const char* const MACHINE_PROGRAMS = "/Program Files/Vorn Smart Card Bridge";

struct CopyCase {
    std::string name;
    Os os;
    Scope scope;
    std::string run_from;  // the folder of the installer and the host it finds beside it
    bool host_given;       // --host <run_from>/vorn-scard-bridge.exe
    std::vector<std::string> copied_to;
    std::string registered_folder;  // of the host the manifests name
};

class InstallerCopyStep : public ::testing::TestWithParam<CopyCase> {};

TEST_P(InstallerCopyStep, RegistersTheHostInTheProgramsFolder) {
    const CopyCase& c = GetParam();
    Environment env;
    env.os = c.os;
    env.home = "/Users/ana";
    env.local_app_data = "/Users/ana/AppData/Local";
    env.program_data = "/ProgramData";
    env.program_files = "/Program Files";
    InstallRequest request;
    request.scope = c.scope;
    request.chromium_ids = {"abcdefghijklmnopabcdefghijklmnop"};
    request.browsers = {Browser::CHROME};
    request.host_path = std::filesystem::path(c.run_from) / "vorn-scard-bridge.exe";
    request.installer_path = std::filesystem::path(c.run_from) / "vorn-scard-bridge-installer.exe";
    request.host_given = c.host_given;

    const Plan plan = plan_install(request, env);
    ASSERT_TRUE(plan.errors.empty()) << plan.errors.front();
    std::vector<std::string> copied_to;
    for (const auto& copy : plan.copies) {
        EXPECT_EQ(copy.from.parent_path(), request.host_path.parent_path());
        copied_to.push_back(copy.to.generic_string());
    }
    EXPECT_EQ(copied_to, c.copied_to);
    EXPECT_EQ(plan.host.parent_path().generic_string(), c.registered_folder);
    ASSERT_EQ(plan.files.size(), 1u);
    EXPECT_NE(plan.files[0].contents.find(json_quote(plan.host.string())), std::string::npos)
        << plan.files[0].contents;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallerCopyStep,
    ::testing::Values(
        CopyCase{"ZipForThisUser",
                 Os::WINDOWS,
                 Scope::USER,
                 ZIP,
                 false,
                 {std::string(USER_PROGRAMS) + "/vorn-scard-bridge.exe",
                  std::string(USER_PROGRAMS) + "/vorn-scard-bridge-installer.exe"},
                 USER_PROGRAMS},
        CopyCase{"ZipForEveryUserGoesWhereOnlyAnAdministratorWrites",
                 Os::WINDOWS,
                 Scope::SYSTEM,
                 ZIP,
                 false,
                 {std::string(MACHINE_PROGRAMS) + "/vorn-scard-bridge.exe",
                  std::string(MACHINE_PROGRAMS) + "/vorn-scard-bridge-installer.exe"},
                 MACHINE_PROGRAMS},
        // Windows paths ignore case: the installed installer does not copy onto itself.
        CopyCase{"AlreadyInTheProgramsFolder",
                 Os::WINDOWS,
                 Scope::USER,
                 "/users/ana/appdata/local/programs/vorn smart card bridge/",
                 false,
                 {},
                 USER_PROGRAMS},
        CopyCase{"HostNamedOnTheCommandLine", Os::WINDOWS, Scope::USER, ZIP, true, {}, ZIP},
        CopyCase{"LinuxRegistersWhereThePackagePutIt",
                 Os::LINUX,
                 Scope::SYSTEM,
                 "/usr/bin",
                 false,
                 {},
                 "/usr/bin"}),
    [](const auto& info) { return info.param.name; });

TEST(InstallerProgramsFolder, MissingIsAnErrorThatNamesTheWayOut) {
    Environment env;
    env.os = Os::WINDOWS;
    InstallRequest request;
    request.chromium_ids = {"abcdefghijklmnopabcdefghijklmnop"};
    request.host_path = std::filesystem::path(ZIP) / "vorn-scard-bridge.exe";
    const Plan plan = plan_install(request, env);
    ASSERT_EQ(plan.errors.size(), 1u);
    EXPECT_NE(plan.errors[0].find("LOCALAPPDATA is not set"), std::string::npos) << plan.errors[0];
    EXPECT_NE(plan.errors[0].find("--host"), std::string::npos) << plan.errors[0];
    EXPECT_TRUE(plan.files.empty());
}

std::vector<std::string> generic(const std::vector<std::filesystem::path>& paths) {
    std::vector<std::string> out;
    for (const auto& path : paths) out.push_back(path.generic_string());
    return out;
}

TEST(InstallerUninstallPlan, RemovesTheCopyThenOurFoldersInnermostFirst) {
    Environment env;
    env.os = Os::WINDOWS;
    env.local_app_data = "/Users/ana/AppData/Local";
    InstallRequest request;
    request.browsers = {Browser::CHROME, Browser::FIREFOX};
    Plan plan = plan_uninstall(request, env);
    const std::string data = "/Users/ana/AppData/Local/Vorn Smart Card Bridge";
    EXPECT_EQ(generic(plan.programs_to_remove),
              (std::vector<std::string>{
                  std::string(USER_PROGRAMS) + "/vorn-scard-bridge.exe",
                  std::string(USER_PROGRAMS) + "/vorn-scard-bridge-installer.exe"}));
    EXPECT_EQ(generic(plan.folders_to_remove),
              (std::vector<std::string>{data + "/NativeMessagingHosts/chrome",
                                        data + "/NativeMessagingHosts/firefox",
                                        data + "/NativeMessagingHosts", data, USER_PROGRAMS}));

    // What an MSI installed, it removes itself.
    request.keep_programs = true;
    plan = plan_uninstall(request, env);
    EXPECT_TRUE(plan.programs_to_remove.empty());
    EXPECT_EQ(plan.folders_to_remove.size(), 4u);
    EXPECT_EQ(plan.folders_to_remove.back().generic_string(), data);
}

TEST(InstallerUninstallPlan, LeavesTheBrowsersFoldersAndPackagedProgramsOnLinux) {
    Environment env;
    env.home = "/home/ana";
    const Plan plan = plan_uninstall(InstallRequest{}, env);
    EXPECT_EQ(plan.files.size(), 5u);
    EXPECT_TRUE(plan.programs_to_remove.empty());
    EXPECT_TRUE(plan.folders_to_remove.empty());
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::installer
