// A page cannot flush the log history away: tens of thousands of requests in a
// few seconds, or of frames that cannot be read, leave a log of bounded size in
// which the lines from before the flood stay, with a line saying how many were
// suppressed; the system log gets a handful of lines, not one per frame.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "host_answers.h"
#include "log_fault_support.h"
#include "pipeline_support.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Far below the 10 MiB at which the file rotates, and the 40 MiB of the files
// kept: what a flood of a few seconds may add is about a quarter of a megabyte.
constexpr std::uintmax_t MAX_FLOODED_LOG = 1024 * 1024;

std::uintmax_t bytes_of_logs(const fs::path& directory) {
    std::uintmax_t total = 0;
    for (const auto& entry : fs::directory_iterator(directory)) total += entry.file_size();
    return total;
}

struct FloodCase {
    std::string name;
    int requests;
    std::size_t id_length;
};

std::ostream& operator<<(std::ostream& out, const FloodCase& c) { return out << c.name; }

class FaultLogVolume : public ::testing::TestWithParam<FloodCase> {};

TEST_P(FaultLogVolume, MarkerLineSurvivesAFloodOfRequests) {
    HostProcess host;
    EXPECT_EQ(answer_of(host.request(request("marker-before-the-flood", "get_version"))).status,
              "success");
    const int count = GetParam().requests;
    EXPECT_EQ(
        healthchecks_answered(host, healthcheck_frames("f", count, GetParam().id_length), count),
        count);
    host.close_input();
    ASSERT_EQ(host.wait_exit(EXIT_BOUND), 0);

    const fs::path directory = host.log_file().parent_path();
    const std::uintmax_t size = bytes_of_logs(directory);
    std::cout << "[ log    ] " << GetParam().name << ": " << size << " bytes of log" << std::endl;
    EXPECT_LT(size, MAX_FLOODED_LOG);
    EXPECT_FALSE(fs::exists(directory / "vorn_scard_bridge.1.log")) << "the flood rotated the log";
    for (const auto& [where, log] : {std::pair{"log file", host.log_file_text()},
                                     std::pair{"standard error", host.stderr_text()}}) {
        EXPECT_TRUE(
            contains(log, "req:marker-before-the-flood] Message processing fully completed"))
            << where;
        EXPECT_TRUE(contains(log, " request lines suppressed")) << where;
        EXPECT_TRUE(contains(log, "=== Vorn Smart Card Bridge Shutdown Complete ===")) << where;
    }
}

INSTANTIATE_TEST_SUITE_P(Floods, FaultLogVolume,
                         ::testing::Values(FloodCase{"LongIds", 32000, 120},
                                           FloodCase{"PlainHealthchecks", 60000, 0}),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------- unreadable frames

// A datagram socket standing in for the system log; a thread takes what arrives,
// as the system's log daemon would.
class SystemLogStandIn {
public:
    explicit SystemLogStandIn(const fs::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (fd_ < 0 ||
            ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            return;
        }
        reader_ = std::thread([this] {
            char datagram[8192];
            while (!stop_) {
                pollfd ready{fd_, POLLIN, 0};
                if (::poll(&ready, 1, 20) <= 0) continue;
                const ssize_t got = ::recv(fd_, datagram, sizeof datagram, 0);
                if (got > 0) {
                    const std::lock_guard lock(mutex_);
                    received_.emplace_back(datagram, static_cast<std::size_t>(got));
                }
            }
        });
    }
    ~SystemLogStandIn() {
        stop_ = true;
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) ::close(fd_);
    }
    SystemLogStandIn(const SystemLogStandIn&) = delete;
    SystemLogStandIn& operator=(const SystemLogStandIn&) = delete;

    bool listening() const { return reader_.joinable(); }
    std::vector<std::string> received() {
        const std::lock_guard lock(mutex_);
        return received_;
    }

private:
    fs::path path_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> received_;
    std::thread reader_;
};

// The host in a mount namespace whose /dev holds only what it needs, and a
// /dev/log that is the test's socket.
const char* const OWN_SYSTEM_LOG_WRAPPER = R"(#!/bin/sh
set -eu
exec unshare --mount --propagation private sh -eu -c '
exec 9<"$VORN_FAULT_HOST"
mkdir -p "$VORN_FAULT_SCRATCH/dev"
mount --rbind /dev "$VORN_FAULT_SCRATCH/dev"
mount -t tmpfs -o mode=0755 tmpfs /dev
for node in null zero random urandom; do
  touch "/dev/$node"
  mount --bind "$VORN_FAULT_SCRATCH/dev/$node" "/dev/$node"
done
touch /dev/log
mount --bind "$VORN_FAULT_SCRATCH/log.sock" /dev/log
exec /proc/self/fd/9
'
)";

// Frames a page gets wrong, each logged by the reader as 2 to 3 errors.
std::string unreadable(int n) {
    switch (n % 4) {
        case 0:
            return HostProcess::frame("{\"requestId\":\"broken\",");
        case 1:
            return std::string(4, '\0');  // a frame of length 0
        case 2:
            return frame_of(json::array({1, 2, 3}));
        default:
            return HostProcess::frame("not json at all");
    }
}

TEST(FaultLogVolume, UnreadableFramesAreBoundedMostOfAllInTheSystemLog) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a /dev/log of its own";
    constexpr int FRAMES = 20000;
    ScratchDir scratch;
    ASSERT_FALSE(scratch.path().empty());
    SystemLogStandIn system_log(scratch.path() / "log.sock");
    ASSERT_TRUE(system_log.listening());
    const fs::path wrapper = scratch.path() / "host-with-own-system-log.sh";
    std::ofstream(wrapper) << OWN_SYSTEM_LOG_WRAPPER;
    fs::permissions(wrapper, fs::perms::owner_all);

    HostOptions options;
    options.program = wrapper;
    options.environment = {{"VORN_FAULT_HOST", VORN_BRIDGE_BINARY},
                           {"VORN_FAULT_SCRATCH", scratch.path().string()}};
    HostProcess host(options);
    EXPECT_EQ(answer_of(host.request(request("marker-before-the-flood", "healthcheck"))),
              success({"OK"}));
    std::string frames;
    for (int i = 0; i < FRAMES; ++i) frames += unreadable(i);
    frames += frame_of(request("after-the-flood", "healthcheck"));
    EXPECT_EQ(healthchecks_answered(host, frames, 1), 1) << "the host stopped answering";
    host.close_input();
    ASSERT_EQ(host.wait_exit(EXIT_BOUND), 0);

    const std::string log = host.log_file_text();
    const auto lines = lines_of(log);
    const auto reader_errors = std::count_if(lines.begin(), lines.end(), [](const auto& line) {
        return contains(line, "[MessageReader::read_message] ") &&
               (contains(line, "[error]") || contains(line, "[warning]"));
    });
    std::cout << "[ log    ] " << FRAMES << " unreadable frames: " << reader_errors
              << " reader lines, " << log.size() << " bytes of log, "
              << system_log.received().size() << " system log lines" << std::endl;
    EXPECT_TRUE(contains(log, "req:marker-before-the-flood] Message processing fully completed"));
    EXPECT_TRUE(contains(log, " input error lines suppressed")) << log.substr(log.size() - 2000);
    EXPECT_TRUE(contains(log, "Shutdown Complete"));
    // A few seconds of the reader's budget: 32 KiB at once and 2 KiB a second.
    EXPECT_LT(reader_errors, 1000);
    EXPECT_LT(log.size(), MAX_FLOODED_LOG);
    // The system log: 10 lines at once, then 6 a minute, and the summaries.
    EXPECT_TRUE(eventually([&] { return !system_log.received().empty(); }));
    EXPECT_LE(system_log.received().size(), 20u);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
