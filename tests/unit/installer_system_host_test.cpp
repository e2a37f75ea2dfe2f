// A host registered for every user must be one only the administrator can replace:
// whoever may replace it chooses what every user's browser starts. (Windows copies such
// a host into Program Files instead.)

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "this_system.h"

namespace Vorn_SCard_Bridge::installer {
namespace {

namespace fs = std::filesystem;

struct HostCase {
    std::string name;
    fs::perms folder;
    fs::perms host;
    bool through_link;  // registered through a link in a safe folder
    std::string who;    // what the answer names; empty: nobody
};

class InstallerSystemHost : public ::testing::TestWithParam<HostCase> {
protected:
    void SetUp() override {
        if (this_system::os() == Os::WINDOWS) GTEST_SKIP() << "Windows copies the host instead";
        root_ = fs::temp_directory_path() /
                ("vorn-system-host-" + std::to_string(std::random_device{}()));
        fs::create_directories(root_ / "programs");
        fs::create_directories(root_ / "links");
        fs::permissions(root_, fs::perms(0755));
        fs::permissions(root_ / "links", fs::perms(0755));
        std::ofstream(root_ / "programs" / "host") << "#!/bin/sh\n";
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root_, ec);
    }
    fs::path root_;
};

TEST_P(InstallerSystemHost, NamesWhoElseMayReplaceIt) {
    const HostCase& c = GetParam();
    fs::permissions(root_ / "programs", c.folder);
    fs::permissions(root_ / "programs" / "host", c.host);
    fs::path registered = root_ / "programs" / "host";
    if (c.through_link) {
        fs::create_symlink(registered, root_ / "links" / "host");
        registered = root_ / "links" / "host";
    }
    const std::string who = this_system::others_who_may_replace(registered);
    if (!this_system::running_elevated()) {
        // Our own files: we are the others.
        EXPECT_NE(who.find("the owner of"), std::string::npos) << who;
    } else if (c.who.empty()) {
        EXPECT_EQ(who, "");
    } else {
        EXPECT_NE(who.find(c.who), std::string::npos) << who;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InstallerSystemHost,
    ::testing::Values(
        HostCase{"RootsFolder", fs::perms(0755), fs::perms(0755), false, ""},
        HostCase{"RootsGroupMayWrite", fs::perms(0775), fs::perms(0755), false, ""},
        HostCase{"StickyFolder", fs::perms(01777), fs::perms(0755), false, ""},
        HostCase{"FolderOpenToAll", fs::perms(0777), fs::perms(0755), false, "writable by all"},
        HostCase{"HostOpenToAll", fs::perms(0755), fs::perms(0757), false, "writable by all"},
        HostCase{"LinkToAFolderOpenToAll", fs::perms(0777), fs::perms(0755), true,
                 "programs is writable by all"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace Vorn_SCard_Bridge::installer
