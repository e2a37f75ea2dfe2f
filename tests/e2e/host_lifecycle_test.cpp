// How the host starts and ends: end of input, "shutdown", signals, a browser
// that went away, and requests still running when it stops.

#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <string>
#include <thread>

#include "fixtures/host_process.h"
#include "fixtures/pcsc_test_bed.h"
#include "pipeline_support.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(HostLifecycle, EndOfInputBeforeAnyFrameEndsWithCodeZero) {
    HostProcess host;
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
    const std::string log = host.stderr_text();
    EXPECT_TRUE(contains(log, "[Main] === Vorn Smart Card Bridge Starting ==="));
    EXPECT_TRUE(contains(log, "[MessageReader::read_message] Pipe closed by Chrome, exiting..."));
    EXPECT_TRUE(contains(log, "[Main] Total messages processed: 0"));
    EXPECT_TRUE(contains(log, "[Main] === Vorn Smart Card Bridge Shutdown Complete ==="));
    EXPECT_EQ(host.all_output(), "");
}

TEST(HostLifecycle, EndOfInputInsideAFrameEndsWithCodeZero) {
    HostProcess host;
    host.send_raw(std::string("\x20\x00\x00\x00{\"requ", 10));
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_TRUE(contains(host.stderr_text(), "Error reading full message. Expected: 32, Got: 6"));
    EXPECT_TRUE(contains(host.stderr_text(), "Pipe closed by Chrome, exiting..."));
}

TEST(HostLifecycle, ShutdownRequestIsNeitherAnsweredNorCounted) {
    HostProcess host;
    EXPECT_EQ(host.call("healthcheck")["status"], "success");
    host.send({{"requestId", "s"}, {"command", "shutdown"}, {"params", nlohmann::json::array()}});
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_TRUE(host.silent_for(100ms));
    EXPECT_TRUE(contains(host.stderr_text(), "Total messages processed: 1"));
}

TEST(HostLifecycle, CountIncludesRequestsWithoutAnswer) {
    HostProcess host;
    host.send({{"requestId", ""}, {"command", "healthcheck"}, {"params", nlohmann::json::array()}});
    host.send({{"requestId", "b"}, {"command", "nope"}, {"params", nlohmann::json::array()}});
    EXPECT_TRUE(host.response_for("b").is_object());
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_TRUE(contains(host.stderr_text(), "Total messages processed: 2"));
}

class SignalWhileWaiting : public ::testing::TestWithParam<int> {};

TEST_P(SignalWhileWaiting, EndsTheHostPromptlyInOrder) {
    HostProcess host;
    EXPECT_EQ(host.call("healthcheck")["status"], "success");
    host.send_signal(GetParam());
    // No frame and no end of input follow: the signal alone must end it.
    EXPECT_EQ(host.wait_exit(5s), 0);
    EXPECT_TRUE(contains(host.stderr_text(), "=== Vorn Smart Card Bridge Shutdown Complete ==="));
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalWhileWaiting, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& info) {
                             return info.param == SIGTERM ? "SIGTERM" : "SIGINT";
                         });

TEST(HostLifecycle, BrowserGoneAwayIsLoggedNotFatal) {
    HostProcess host;
    EXPECT_EQ(host.call("healthcheck")["status"], "success");
    host.close_output();
    host.send(
        {{"requestId", "lost"}, {"command", "healthcheck"}, {"params", nlohmann::json::array()}});
    // The end of input would stop the host before it tries to answer: wait for
    // the failed write first (bounded).
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!contains(host.stderr_text(), "Error sending message: ") &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_TRUE(contains(host.stderr_text(), "Error sending message: "));
    host.send(
        {{"requestId", "lost2"}, {"command", "get_version"}, {"params", nlohmann::json::array()}});
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_TRUE(contains(host.stderr_text(), "Shutdown Complete"));
}

// A standard input the host cannot read from (closed, so that the next file the
// host opens takes fd 0; or open for writing only) ends it like end of input.
class UnusableInput : public ::testing::TestWithParam<HostStdio> {};

TEST_P(UnusableInput, EndsTheHostAtOnceWithoutSpinning) {
    HostOptions options;
    options.stdio = GetParam();
    HostProcess host(options);
    const auto cpu_ticks = ended_within(host, EXIT_BOUND);
    ASSERT_TRUE(cpu_ticks.has_value()) << "the host still runs";
    EXPECT_LT(*cpu_ticks, ::sysconf(_SC_CLK_TCK)) << "more than a second of CPU";
    EXPECT_EQ(host.wait_exit(EXIT_BOUND), 0);
}

INSTANTIATE_TEST_SUITE_P(Inputs, UnusableInput,
                         ::testing::Values(HostStdio::InputClosed, HostStdio::InputWriteOnly),
                         [](const auto& info) {
                             return info.param == HostStdio::InputClosed ? "Closed" : "WriteOnly";
                         });

// The same with the real service: a request blocked in a long wait.
class HostWithService : public PcscTestBed {};

nlohmann::json establish(HostProcess& host) {
    const auto response = host.call("establish_context");
    EXPECT_EQ(response["status"], "success") << response;
    return response["result"][1];
}

TEST_F(HostWithService, AnswersInTheOrderRequestsFinish) {
    HostProcess host;
    const auto context = establish(host);
    // An empty reader whose state we already know: the wait runs to its time-out.
    const nlohmann::json wait = {
        {"requestId", "slow"},
        {"command", "get_status_change"},
        {"params", {context, 1500, 1, 0x10, 0, vpcd_reader_name(VPCD_PORT_1)}}};
    host.send(wait);
    host.send(
        {{"requestId", "quick"}, {"command", "healthcheck"}, {"params", nlohmann::json::array()}});
    const auto first = host.receive(10s);
    ASSERT_TRUE(first);
    EXPECT_EQ((*first)["requestId"], "quick");
    const auto second = host.receive(10s);
    ASSERT_TRUE(second);
    EXPECT_EQ((*second)["requestId"], "slow");
    EXPECT_EQ((*second)["result"],
              nlohmann::json::array({"0x8010000A",
                                     "Error in handle_smartcard_get_status_change: "
                                     "The user-specified timeout value has expired"}));
}

TEST_F(HostWithService, EndOfInputDuringEndlessWaitsExitsAtOnce) {
    HostProcess host;
    const auto context = establish(host);
    for (int i = 0; i < 4; ++i) {
        host.send({{"requestId", "wait" + std::to_string(i)},
                   {"command", "get_status_change"},
                   {"params", {context, 0xFFFFFFFFu, 1, 0x10, 0, vpcd_reader_name(VPCD_PORT_1)}}});
    }
    // The waits are running when the healthcheck after them is answered.
    EXPECT_EQ(host.call("healthcheck")["status"], "success");
    host.close_input();
    EXPECT_EQ(host.wait_exit(3s), 0);
    EXPECT_TRUE(contains(host.stderr_text(), "Shutdown Complete"));
}

TEST_F(HostWithService, ManyEndlessWaitsDoNotStarveOtherRequests) {
    HostProcess host;
    const auto context = establish(host);
    for (int i = 0; i < 32; ++i) {
        host.send({{"requestId", "wait" + std::to_string(i)},
                   {"command", "get_status_change"},
                   {"params", {context, 0xFFFFFFFFu, 1, 0x10, 0, vpcd_reader_name(VPCD_PORT_1)}}});
    }
    for (int i = 0; i < 5; ++i) {
        const auto response = host.call("healthcheck", nlohmann::json::array(), 5s);
        EXPECT_EQ(response["result"], nlohmann::json::array({"OK"}));
    }
    host.send_signal(SIGTERM);
    EXPECT_EQ(host.wait_exit(3s), 0);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
