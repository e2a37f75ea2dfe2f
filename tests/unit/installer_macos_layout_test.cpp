// The installer on a Mac's layout, laid out under a scratch folder: install writes each
// browser's manifest where that browser looks on macOS (per user below ~/Library, for
// every user below /Library), the doctor finds every one of them, and uninstall takes
// them away again.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "atomic_file.h"
#include "doctor.h"
#include "install_plan.h"

namespace Vorn_SCard_Bridge::installer {
namespace {

namespace fs = std::filesystem;

struct LayoutCase {
    const char* name;
    Scope scope;
    // Below the scratch folder, which stands for the Mac's root.
    std::vector<std::string> manifests;
    std::vector<std::string> doctor_ok_topics;
};

class InstallerMacOsLayout : public ::testing::TestWithParam<LayoutCase> {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vorn-macos-layout-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        env_.os = Os::MACOS;
        env_.home = root_ / "Users/ana";
        env_.system_root = root_;
        // Where a person moves the unpacked package (a name with spaces, as Macs have).
        host_ = root_ / "Applications/Vorn Smart Card Bridge/vorn-scard-bridge";
        fs::create_directories(host_.parent_path());
        std::ofstream(host_) << "#!/bin/sh\n";
        fs::permissions(host_, fs::perms::owner_all);
    }
    void TearDown() override { fs::remove_all(root_); }

    InstallRequest request() const {
        InstallRequest r;
        r.scope = GetParam().scope;
        r.host_path = host_;
        r.host_given = true;
        r.chromium_ids = {"abcdefghijklmnopabcdefghijklmnop"};
        r.firefox_ids = {"vorn@example.org"};
        return r;
    }

    std::vector<std::string> manifests_on_disk() const {
        std::vector<std::string> found;
        for (const auto& entry : fs::recursive_directory_iterator(root_)) {
            if (entry.path().filename() == "com.vorn.scard_bridge.json") {
                found.push_back(entry.path().lexically_relative(root_).generic_string());
            }
        }
        std::sort(found.begin(), found.end());
        return found;
    }

    DoctorReport doctor() const {
        DoctorOptions options;
        options.check_pcsc = false;
        options.check_host = false;
        options.expected_ids = request().chromium_ids;
        options.expected_ids.push_back(request().firefox_ids[0]);
        return run_doctor(options, env_, [] { return PcscProbe{}; });
    }

    fs::path root_;
    fs::path host_;
    Environment env_;
};

TEST_P(InstallerMacOsLayout, InstallWritesWhereEachBrowserLooksAndTheDoctorFindsThem) {
    const Plan plan = plan_install(request(), env_);
    ASSERT_TRUE(plan.errors.empty()) << plan.errors[0];
    EXPECT_TRUE(plan.copies.empty()) << "on macOS the package's programs are registered in place";
    for (const auto& file : plan.files) {
        EXPECT_TRUE(file.registry_key.empty()) << file.label;
        write_file_atomically(file.file, file.contents);
    }

    std::vector<std::string> expected = GetParam().manifests;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(manifests_on_disk(), expected);

    const DoctorReport report = doctor();
    std::ostringstream printed;
    report.print(printed);
    EXPECT_EQ(report.count(Level::PROBLEM), 0) << printed.str();
    std::vector<std::string> ok_topics;
    for (const auto& finding : report.findings()) {
        if (finding.level == Level::OK) ok_topics.push_back(finding.topic);
    }
    EXPECT_EQ(ok_topics, GetParam().doctor_ok_topics) << printed.str();
    EXPECT_NE(printed.str().find(host_.string()), std::string::npos) << printed.str();

    for (const auto& file : plan_uninstall(request(), env_).files)
        remove_file_if_present(file.file);
    EXPECT_TRUE(manifests_on_disk().empty());
    EXPECT_NE(report.count(Level::PROBLEM), doctor().count(Level::PROBLEM));
}

INSTANTIATE_TEST_SUITE_P(
    Scopes, InstallerMacOsLayout,
    ::testing::Values(
        LayoutCase{"PerUser",
                   Scope::USER,
                   {
                       "Users/ana/Library/Application Support/Google/Chrome/NativeMessagingHosts/"
                       "com.vorn.scard_bridge.json",
                       "Users/ana/Library/Application Support/Chromium/NativeMessagingHosts/"
                       "com.vorn.scard_bridge.json",
                       "Users/ana/Library/Application Support/Microsoft Edge/NativeMessagingHosts/"
                       "com.vorn.scard_bridge.json",
                       "Users/ana/Library/Application Support/BraveSoftware/Brave-Browser/"
                       "NativeMessagingHosts/com.vorn.scard_bridge.json",
                       "Users/ana/Library/Application Support/Mozilla/NativeMessagingHosts/"
                       "com.vorn.scard_bridge.json",
                   },
                   {"Google Chrome (user)", "Chromium (user)", "Microsoft Edge (user)",
                    "Brave (user)", "Mozilla Firefox (user)"}},
        // Brave reads no system-wide folder: every user's Brave needs a per-user install.
        LayoutCase{"SystemWide",
                   Scope::SYSTEM,
                   {
                       "Library/Google/Chrome/NativeMessagingHosts/com.vorn.scard_bridge.json",
                       "Library/Application Support/Chromium/NativeMessagingHosts/"
                       "com.vorn.scard_bridge.json",
                       "Library/Microsoft/Edge/NativeMessagingHosts/com.vorn.scard_bridge.json",
                       "Library/Application Support/Mozilla/NativeMessagingHosts/"
                       "com.vorn.scard_bridge.json",
                   },
                   {"Google Chrome (system)", "Chromium (system)", "Microsoft Edge (system)",
                    "Mozilla Firefox (system)"}}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace Vorn_SCard_Bridge::installer
