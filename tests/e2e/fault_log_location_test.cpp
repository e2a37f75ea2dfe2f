// Start-up with a log location the host cannot use: it still serves, warns once
// about the missing file and logs to its other sinks. The shared fallback
// /tmp/vorn-logs (used when HOME is not set) is refused when it is a symbolic
// link or belongs to someone else, since anyone can create it first, and a link
// planted in it in place of the log file is never followed.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "host_answers.h"
#include "log_fault_support.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* FILE_REFUSED = "Log file unavailable, logging without it";

void write_file(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// One healthcheck, then end of input; the host must have served and ended well.
void expect_serves_without_file(HostProcess& host) {
    EXPECT_EQ(ask(host, command("healthcheck")), success({"OK"}));
    host.close_input();
    EXPECT_EQ(host.wait_exit(10s), 0);
    const std::string log = host.stderr_text();
    const std::size_t first = log.find(FILE_REFUSED);
    EXPECT_NE(first, std::string::npos) << log;
    EXPECT_EQ(log.find(FILE_REFUSED, first + 1), std::string::npos) << "warned twice: " << log;
    EXPECT_TRUE(contains(log, "Shutdown Complete")) << log;
    EXPECT_FALSE(has_crash_report(log)) << log;
}

struct HomeCase {
    std::string name;
    // Makes the unusable HOME inside the scratch directory and returns it.
    std::function<fs::path(const fs::path& scratch)> make_home;
};

std::ostream& operator<<(std::ostream& out, const HomeCase& c) { return out << c.name; }

class FaultUnusableHome : public ::testing::TestWithParam<HomeCase> {};

TEST_P(FaultUnusableHome, StillServesWithoutTheFile) {
    ScratchDir scratch;
    ASSERT_FALSE(scratch.path().empty());
    HostOptions options;
    options.unset_home = true;
    options.environment = {{"HOME", GetParam().make_home(scratch.path()).string()}};
    HostProcess host(options);
    expect_serves_without_file(host);
}

INSTANTIATE_TEST_SUITE_P(
    Homes, FaultUnusableHome,
    ::testing::Values(HomeCase{"HomeIsAFile",
                               [](const fs::path& scratch) {
                                   write_file(scratch / "home", "not a directory");
                                   return scratch / "home";
                               }},
                      HomeCase{"StateFolderIsAFile",
                               [](const fs::path& scratch) {
                                   fs::create_directories(scratch / "home" / ".local");
                                   write_file(scratch / "home" / ".local" / "state", "in the way");
                                   return scratch / "home";
                               }},
                      HomeCase{"LogFileIsADirectory",
                               [](const fs::path& scratch) {
                                   fs::create_directories(
                                       HostProcess::log_directory_below(scratch / "home") /
                                       "vorn_scard_bridge.log");
                                   return scratch / "home";
                               }},
                      HomeCase{
                          "HomeUnderProc",
                          [](const fs::path&) { return fs::path("/proc/self/no-such-home"); }}),
    [](const auto& info) { return info.param.name; });

// The cases below change mounts and ownership, which needs root. They never touch
// the machine's /tmp: the host runs in a mount namespace of its own with a fresh
// /tmp, set up by a small wrapper that then execs the host in place (through a
// descriptor opened before, since the build may itself live under /tmp).
const char* const WRAPPER = R"(#!/bin/sh
set -eu
exec unshare --mount --propagation private sh -eu -c '
exec 9<"$VORN_FAULT_HOST"
case "$VORN_FAULT_KIND" in
  readonly-home)
    mount --bind "$VORN_FAULT_HOME" "$VORN_FAULT_HOME"
    mount -o remount,bind,ro "$VORN_FAULT_HOME" ;;
  *)
    mount -t tmpfs -o mode=1777 tmpfs /tmp ;;
esac
case "$VORN_FAULT_KIND" in
  symlink) ln -s "$VORN_FAULT_TARGET" /tmp/vorn-logs ;;
  foreign) mkdir -m 0700 /tmp/vorn-logs; chown 65534:65534 /tmp/vorn-logs ;;
  file) echo "in the way" > /tmp/vorn-logs ;;
  link-in-folder)
    mkdir -m 0755 /tmp/vorn-logs
    ln -s "$VORN_FAULT_TARGET/log" /tmp/vorn-logs/vorn_scard_bridge.log ;;
esac
exec /proc/self/fd/9
'
)";

struct TmpCase {
    std::string kind;
    bool unset_home;
};

std::ostream& operator<<(std::ostream& out, const TmpCase& c) { return out << c.kind; }

// What /tmp/vorn-logs of the machine is, to see that a test left it as it was.
std::string describe(const fs::path& path) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return "absent";
    return std::to_string(info.st_ino) + ":" + std::to_string(info.st_mode) + ":" +
           std::to_string(info.st_uid);
}

class FaultPrivateLogDirectory : public ::testing::TestWithParam<TmpCase> {};

TEST_P(FaultPrivateLogDirectory, IsRefusedAndTheHostStillServes) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for mounts and ownership";
    const std::string machine_tmp_logs = describe("/tmp/vorn-logs");
    ScratchDir scratch;
    ASSERT_FALSE(scratch.path().empty());
    const fs::path wrapper = scratch.path() / "host-in-namespace.sh";
    write_file(wrapper, WRAPPER);
    fs::permissions(wrapper, fs::perms::owner_all);
    const fs::path target = scratch.path() / "redirected";
    fs::create_directories(target);
    const fs::path home = scratch.path() / "home";
    fs::create_directories(home);

    HostOptions options;
    options.program = wrapper;
    options.unset_home = GetParam().unset_home;
    options.environment = {{"VORN_FAULT_KIND", GetParam().kind},
                           {"VORN_FAULT_TARGET", target.string()},
                           {"VORN_FAULT_HOST", VORN_BRIDGE_BINARY}};
    if (!GetParam().unset_home) options.environment.push_back({"HOME", home.string()});
    if (!GetParam().unset_home) options.environment.push_back({"VORN_FAULT_HOME", home.string()});
    {
        HostProcess host(options);
        expect_serves_without_file(host);
    }
    EXPECT_TRUE(fs::is_empty(target)) << "the log followed a symbolic link";
    EXPECT_FALSE(fs::exists(home / ".local")) << "wrote into a read-only HOME";
    EXPECT_EQ(describe("/tmp/vorn-logs"), machine_tmp_logs);
}

INSTANTIATE_TEST_SUITE_P(Locations, FaultPrivateLogDirectory,
                         ::testing::Values(TmpCase{"symlink", true}, TmpCase{"foreign", true},
                                           TmpCase{"file", true}, TmpCase{"link-in-folder", true},
                                           TmpCase{"readonly-home", false}),
                         [](const auto& info) {
                             std::string name = info.param.kind;
                             for (char& c : name)
                                 if (c == '-') c = '_';
                             return name;
                         });

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
