// A log destination that fails or stalls costs log lines, never the host: the log
// folder on a full disk (full from the start, or filling up), standard error a
// pipe nobody reads or that is closed, or a terminal nobody reads or stopped with Ctrl-S. The host
// goes on answering, ends within its bound, and once the file can be written again says how many
// lines it lost.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "fault_support.h"
#include "fixtures/host_process.h"
#include "host_answers.h"
#include "log_fault_support.h"
#include "pipeline_support.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* FILE_FAILING =
    "[Logger] The log file cannot be written, its lines are dropped until it can: ";
constexpr const char* LINES_LOST = " log lines lost: ";

// ---------------------------------------------------------------- full disk

// The host runs in a mount namespace of its own with a small tmpfs as its log
// folder, partly or wholly taken by a filler file; the test reaches the folder
// through /proc/<pid>/root while the host runs.
const char* const SMALL_DISK_WRAPPER = R"(#!/bin/sh
set -eu
exec unshare --mount --propagation private sh -eu -c '
exec 9<"$VORN_FAULT_HOST"
mkdir -p "$VORN_FAULT_LOG_DIR"
mount -t tmpfs -o "size=$VORN_FAULT_DISK,mode=0700" tmpfs "$VORN_FAULT_LOG_DIR"
head -c "$VORN_FAULT_FILLER" /dev/zero > "$VORN_FAULT_LOG_DIR/filler" 2>/dev/null || true
exec /proc/self/fd/9
'
)";

struct DiskCase {
    std::string name;
    std::string disk;    // size of the tmpfs
    std::string filler;  // bytes taken before the host starts
};

std::ostream& operator<<(std::ostream& out, const DiskCase& c) { return out << c.name; }

class FaultFullDisk : public ::testing::TestWithParam<DiskCase> {};

TEST_P(FaultFullDisk, HostServesAndTellsTheLinesLostOnceThereIsRoom) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for a tmpfs of its own";
    ScratchDir scratch;
    ASSERT_FALSE(scratch.path().empty());
    const fs::path wrapper = scratch.path() / "host-on-small-disk.sh";
    std::ofstream(wrapper) << SMALL_DISK_WRAPPER;
    fs::permissions(wrapper, fs::perms::owner_all);
    const fs::path home = scratch.path() / "home";
    fs::create_directories(home);
    const fs::path log_dir = HostProcess::log_directory_below(home);

    HostOptions options;
    options.program = wrapper;
    options.home = home;
    options.environment = {{"VORN_FAULT_HOST", VORN_BRIDGE_BINARY},
                           {"VORN_FAULT_LOG_DIR", log_dir.string()},
                           {"VORN_FAULT_DISK", GetParam().disk},
                           {"VORN_FAULT_FILLER", GetParam().filler}};
    HostProcess host(options);
    // The host's log folder, as the host sees it.
    const fs::path seen =
        fs::path("/proc/" + std::to_string(host.pid()) + "/root") / log_dir.relative_path();

    // Within what LogVolume lets through whole, so the lines after the room come too.
    EXPECT_EQ(healthchecks_answered(host, healthcheck_frames("full-", 150, 100), 150), 150);
    EXPECT_TRUE(eventually([&] { return contains(host.stderr_text(), FILE_FAILING); }))
        << host.stderr_text();

    // Room again: the next lines reach the file, after the count of those lost.
    ASSERT_TRUE(fs::remove(seen / "filler")) << seen;
    EXPECT_EQ(answer_of(host.request(request("after-room", "healthcheck"))), success({"OK"}));
    const fs::path log_file = seen / "vorn_scard_bridge.log";
    EXPECT_TRUE(eventually([&] {
        const std::string log = read_text(log_file);
        return contains(log, LINES_LOST) && contains(log, "req:after-room");
    })) << read_text(log_file);
    const std::string log = read_text(log_file);
    EXPECT_TRUE(contains(log, "No space left on device")) << log;
    EXPECT_LT(log.find(LINES_LOST), log.find("req:after-room")) << log;

    host.close_input();
    ASSERT_TRUE(ended_within(host, EXIT_BOUND).has_value()) << "still running after end of input";
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
    EXPECT_FALSE(has_crash_report(host.stderr_text())) << host.stderr_text();
    EXPECT_TRUE(contains(host.stderr_text(), "Shutdown Complete"));
}

INSTANTIATE_TEST_SUITE_P(Disks, FaultFullDisk,
                         ::testing::Values(DiskCase{"FullFromTheStart", "2M", "4M"},
                                           // 48 KiB free: the first thirty requests fill it.
                                           DiskCase{"FillingUp", "2M",
                                                    std::to_string(2048 * 1024 - 48 * 1024)}),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------- standard error

// A pipe given to the host as its standard error; the test keeps (or closes) the
// read end and never reads it.
class ErrorPipe {
public:
    ErrorPipe() {
        if (::pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    }
    ~ErrorPipe() {
        close_read_end();
        if (fds_[1] >= 0) ::close(fds_[1]);
    }
    ErrorPipe(const ErrorPipe&) = delete;
    ErrorPipe& operator=(const ErrorPipe&) = delete;
    int write_end() const { return fds_[1]; }
    void close_read_end() {
        if (fds_[0] >= 0) ::close(fds_[0]);
        fds_[0] = -1;
    }

private:
    int fds_[2] = {-1, -1};
};

// A pseudo-terminal given to the host as its standard error, never read; stopped
// as Ctrl-S stops it when `stop` is set.
class ErrorTerminal {
public:
    explicit ErrorTerminal(bool stop) {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
        const char* name = ::ptsname(master_);
        if (name != nullptr) slave_ = ::open(name, O_RDWR | O_NOCTTY);
        termios settings{};
        if (slave_ < 0 || ::tcgetattr(slave_, &settings) != 0) return;
        settings.c_iflag |= IXON;
        ::tcsetattr(slave_, TCSANOW, &settings);
        if (stop && ::write(master_, "\x13", 1) != 1) {
            ::close(slave_);
            slave_ = -1;
        }
    }
    ~ErrorTerminal() {
        if (slave_ >= 0) ::close(slave_);
        if (master_ >= 0) ::close(master_);
    }
    ErrorTerminal(const ErrorTerminal&) = delete;
    ErrorTerminal& operator=(const ErrorTerminal&) = delete;
    int slave() const { return slave_; }

private:
    int master_ = -1;
    int slave_ = -1;
};

enum class End { INPUT_CLOSED, SIGTERM_SENT };
enum class ErrorOutput { UNREAD_PIPE, CLOSED_PIPE, UNREAD_TERMINAL, STOPPED_TERMINAL };

struct StderrCase {
    std::string name;
    ErrorOutput output;
    End end;
};

std::ostream& operator<<(std::ostream& out, const StderrCase& c) { return out << c.name; }

class FaultStandardError : public ::testing::TestWithParam<StderrCase> {};

TEST_P(FaultStandardError, NeverHoldsTheHost) {
    const ErrorOutput output = GetParam().output;
    const bool terminal =
        output == ErrorOutput::UNREAD_TERMINAL || output == ErrorOutput::STOPPED_TERMINAL;
    ErrorPipe pipe;
    ErrorTerminal tty(output == ErrorOutput::STOPPED_TERMINAL);
    if (output == ErrorOutput::CLOSED_PIPE) pipe.close_read_end();
    HostOptions options;
    options.error_fd = terminal ? tty.slave() : pipe.write_end();
    ASSERT_GE(options.error_fd, 0);
    // A colour terminal: its lines are coloured on their way.
    if (terminal) options.environment = {{"TERM", "xterm"}};
    HostProcess host(options);

    // Far more lines than the pipe holds.
    EXPECT_EQ(healthchecks_answered(host, healthcheck_frames("unread-", 2000, 100), 2000), 2000);
    if (GetParam().end == End::INPUT_CLOSED) {
        host.close_input();
    } else {
        host.send_signal(SIGTERM);
    }
    ASSERT_TRUE(ended_within(host, EXIT_BOUND).has_value()) << "still running";
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);

    // The file was written all along, and it ends as a normal run does.
    const std::string log = host.log_file_text();
    EXPECT_TRUE(contains(log, "=== Vorn Smart Card Bridge Shutdown Complete ===")) << log;
    if (output == ErrorOutput::CLOSED_PIPE) {
        EXPECT_TRUE(contains(log,
                             "[Logger] Standard error cannot be written, its lines are "
                             "dropped until it can: Broken pipe"))
            << log;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Pipes, FaultStandardError,
    ::testing::Values(
        StderrCase{"UnreadPipeThenEndOfInput", ErrorOutput::UNREAD_PIPE, End::INPUT_CLOSED},
        StderrCase{"UnreadPipeThenSigterm", ErrorOutput::UNREAD_PIPE, End::SIGTERM_SENT},
        StderrCase{"ClosedPipe", ErrorOutput::CLOSED_PIPE, End::INPUT_CLOSED},
        StderrCase{"UnreadTerminal", ErrorOutput::UNREAD_TERMINAL, End::INPUT_CLOSED},
        StderrCase{"StoppedTerminal", ErrorOutput::STOPPED_TERMINAL, End::INPUT_CLOSED}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
