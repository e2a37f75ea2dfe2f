// What the host writes to its log: standard error and the file under HOME.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/host_process.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void run_one_healthcheck(HostProcess& host) {
    EXPECT_EQ(host.call("healthcheck")["status"], "success");
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
}

TEST(HostLogging, EveryLineFollowsThePattern) {
    HostProcess host;
    run_one_healthcheck(host);
    const std::regex pattern(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \[(debug|info|warning|error|critical)\] \[tid:\d+\] .+$)");
    const auto lines = lines_of(host.stderr_text());
    ASSERT_GE(lines.size(), 10u);
    for (const auto& line : lines) EXPECT_TRUE(std::regex_match(line, pattern)) << line;
    const std::regex start(
        R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2} \[info\] \[tid:\d+\] \[Main\] === Vorn Smart Card Bridge Starting ===$)");
    EXPECT_TRUE(std::regex_match(lines.front(), start)) << lines.front();
}

TEST(HostLogging, LogsTheRequestLifeWithItsContext) {
    HostProcess host;
    host.send(
        {{"requestId", "r7"}, {"command", "healthcheck"}, {"params", nlohmann::json::array()}});
    ASSERT_TRUE(host.receive());
    host.close_input();
    ASSERT_EQ(host.wait_exit(), 0);
    const std::string log = host.stderr_text();
    const std::vector<std::string> expected = {
        "[info] [tid:",
        "[MessageReader::read_message req:r7] Message received and parsed successfully",
        "[MessageProcessor::healthcheck req:r7] Starting message processing",
        "[MessageProcessor::healthcheck req:r7] Processing command: healthcheck",
        "[MessageProcessor::healthcheck req:r7] Healthcheck completed successfully",
        "[MessageProcessor::healthcheck req:r7] Command processing completed successfully",
        "[MessageProcessor::healthcheck req:r7] Message processing fully completed",
        "[MessageSender::send_message req:r7] Response sent successfully (size: 53 bytes)",
        "[MessageSender::send_message] Message sender thread started",
        "] Running with ",
        "[Main] Message processing loop started",
        "[Main] Notifying all threads to shutdown",
        "[Main] Waiting for message sender thread to finish",
        "[Main] Total messages processed: 1",
    };
    for (const auto& part : expected) EXPECT_TRUE(contains(log, part)) << part;
    // Information level: no debug lines.
    EXPECT_FALSE(contains(log, "[debug]"));
}

TEST(HostLogging, WorkerCountIsTheHardwareThreadsButAtLeastThree) {
    HostProcess host;
    run_one_healthcheck(host);
    const unsigned hardware = std::thread::hardware_concurrency();
    const unsigned expected = hardware <= 3 ? 3 : hardware;
    EXPECT_TRUE(contains(host.stderr_text(),
                         "[Main] Running with " + std::to_string(expected) + " worker threads"));
}

TEST(HostLogging, FileUnderHomeGetsTheSameLines) {
    HostProcess host;
    run_one_healthcheck(host);
    ASSERT_TRUE(std::filesystem::exists(host.log_file())) << host.log_file();
    const std::string file = host.log_file_text();
    EXPECT_TRUE(contains(file, "[Main] === Vorn Smart Card Bridge Starting ==="));
    EXPECT_TRUE(contains(file, "Healthcheck completed successfully"));
    EXPECT_TRUE(contains(file, "=== Vorn Smart Card Bridge Shutdown Complete ==="));
}

// Lines are written in bursts, but none waits for the next request: once the host
// has nothing to do, what it logged is in both places, the answer's last line too.
TEST(HostLogging, LinesAreOutWhileTheHostWaitsForMore) {
    HostProcess host;
    host.send(
        {{"requestId", "idle1"}, {"command", "healthcheck"}, {"params", nlohmann::json::array()}});
    ASSERT_TRUE(host.receive());
    const std::string last_line =
        "[MessageSender::send_message req:idle1] Response sent successfully";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (
        !(contains(host.stderr_text(), last_line) && contains(host.log_file_text(), last_line)) &&
        std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    for (const std::string& log : {host.stderr_text(), host.log_file_text()}) {
        EXPECT_TRUE(
            contains(log, "[MessageProcessor::healthcheck req:idle1] Healthcheck completed"))
            << log;
        EXPECT_TRUE(contains(log, last_line)) << log;
    }
    EXPECT_FALSE(host.wait_exit(0ms).has_value()) << "the host is still running";
}

TEST(HostLogging, EachStartBeginsANewFileAndKeepsThree) {
    const auto home =
        std::filesystem::temp_directory_path() / ("vorn-rotation-" + std::to_string(::getpid()));
    std::filesystem::remove_all(home);
    for (int run = 0; run < 5; ++run) {
        HostOptions options;
        options.home = home;
        HostProcess host(options);
        host.send({{"requestId", "run" + std::to_string(run)},
                   {"command", "healthcheck"},
                   {"params", nlohmann::json::array()}});
        ASSERT_TRUE(host.receive());
        host.close_input();
        ASSERT_EQ(host.wait_exit(), 0);
    }
    const auto dir = HostProcess::log_directory_below(home);
    EXPECT_TRUE(contains(read_file(dir / "vorn_scard_bridge.log"), "req:run4"));
    EXPECT_TRUE(contains(read_file(dir / "vorn_scard_bridge.1.log"), "req:run3"));
    EXPECT_TRUE(contains(read_file(dir / "vorn_scard_bridge.2.log"), "req:run2"));
    EXPECT_TRUE(contains(read_file(dir / "vorn_scard_bridge.3.log"), "req:run1"));
    EXPECT_FALSE(std::filesystem::exists(dir / "vorn_scard_bridge.4.log"));
    std::filesystem::remove_all(home);
}

TEST(HostLogging, WithoutHomeLogsToAPrivateTmpDirectory) {
    HostOptions options;
    options.unset_home = true;
    HostProcess host(options);
    run_one_healthcheck(host);
    struct stat info {};
    ASSERT_EQ(::lstat("/tmp/vorn-logs", &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_EQ(info.st_uid, ::geteuid());
    EXPECT_TRUE(contains(read_file("/tmp/vorn-logs/vorn_scard_bridge.log"), "Shutdown Complete"));
}

TEST(HostLogging, UnusableLogDirectoryStillServes) {
    const auto home =
        std::filesystem::temp_directory_path() / ("vorn-blocked-" + std::to_string(::getpid()));
    std::filesystem::remove_all(home);
    const auto dir = HostProcess::log_directory_below(home);
    std::filesystem::create_directories(dir.parent_path());
    std::ofstream(dir) << "a file where the directory should be";
    HostOptions options;
    options.home = home;
    {
        HostProcess host(options);
        run_one_healthcheck(host);
        const std::string log = host.stderr_text();
        EXPECT_TRUE(contains(log, "[warning]"));
        EXPECT_TRUE(contains(log, "Log file unavailable, logging without it: "));
        EXPECT_TRUE(contains(log, "Shutdown Complete"));
    }
    std::filesystem::remove_all(home);
}

TEST(HostLogging, ControlCharactersInRequestsCannotForgeLines) {
    HostProcess host;
    const std::string forged = "x\n2026-01-01 00:00:00 [critical] [tid:1] forged\x1b[31m";
    host.send({{"requestId", forged},
               {"command", "nope\r\nforged"},
               {"params", nlohmann::json::array()}});
    const auto response = host.receive();
    ASSERT_TRUE(response);
    EXPECT_EQ((*response)["requestId"], forged);
    host.close_input();
    ASSERT_EQ(host.wait_exit(), 0);
    const std::string log = host.stderr_text();
    for (const auto& line : lines_of(log)) {
        EXPECT_NE(line.rfind("2026-01-01 00:00:00 [critical]", 0), 0u) << line;
        EXPECT_FALSE(contains(line, "\x1b")) << line;
    }
    EXPECT_TRUE(contains(log, "req:x\\n2026-01-01 00:00:00 [critical] [tid:1] forged\\x1B[31m]"));
    EXPECT_TRUE(contains(log, "Unsupported command received: nope\\r\\nforged"));
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
