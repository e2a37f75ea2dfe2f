// The native-messaging channel as the browser sees it: frames in, frames out.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fixtures/host_process.h"

namespace Vorn_SCard_Bridge::testbed {
namespace {

using namespace std::chrono_literals;

const std::string HEALTHCHECK_OK = R"({"requestId":"after","result":["OK"],"status":"success"})";

std::string healthcheck_after() {
    return HostProcess::frame(R"({"requestId":"after","command":"healthcheck","params":[]})");
}

TEST(HostChannel, AnswersHealthcheckWithExactBytes) {
    HostProcess host;
    host.send_raw(HostProcess::frame(R"({"requestId":"r1","command":"healthcheck"})"));
    const auto text = host.receive_text();
    ASSERT_TRUE(text);
    EXPECT_EQ(*text, R"({"requestId":"r1","result":["OK"],"status":"success"})");
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
}

TEST(HostChannel, AnswersVersionAsPlainString) {
    HostProcess host;
    host.send_raw(HostProcess::frame(R"({"requestId":"r2","command":"get_version","params":[]})"));
    EXPECT_EQ(host.receive_text(), R"({"requestId":"r2","result":"1.0.0","status":"success"})");
}

TEST(HostChannel, ReportsUnsupportedCommands) {
    HostProcess host;
    for (const char* command :
         {"nope", "HealthCheck", " healthcheck", "shutdown_now", "healthcheck "}) {
        const auto response = host.request(
            {{"requestId", "r3"}, {"command", command}, {"params", nlohmann::json::array()}});
        EXPECT_EQ(response.dump(),
                  R"({"requestId":"r3","result":"command_not_supported","status":"error"})")
            << command;
    }
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_NE(host.stderr_text().find("[warning]"), std::string::npos);
    EXPECT_NE(host.stderr_text().find("Unsupported command received: nope"), std::string::npos);
}

// Each case is one frame that must not be answered; the healthcheck after it must be.
struct UnansweredCase {
    const char* name;
    std::string bytes;
    const char* logged;
};

class UnansweredFrames : public ::testing::TestWithParam<UnansweredCase> {};

TEST_P(UnansweredFrames, GetNoAnswerAndTheNextRequestIsServed) {
    const UnansweredCase& c = GetParam();
    HostProcess host;
    host.send_raw(c.bytes);
    host.send_raw(healthcheck_after());
    EXPECT_EQ(host.receive_text(), HEALTHCHECK_OK);
    EXPECT_TRUE(host.silent_for(200ms));
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_NE(host.stderr_text().find(c.logged), std::string::npos) << host.stderr_text();
}

INSTANTIATE_TEST_SUITE_P(
    Envelopes, UnansweredFrames,
    ::testing::Values(
        UnansweredCase{"ZeroLength", HostProcess::frame(""), "Zero length message received"},
        UnansweredCase{"NotJson", HostProcess::frame("{nope"), "Error parsing message: "},
        UnansweredCase{"JsonNull", HostProcess::frame("null"),
                       "Error parsing message (null result)"},
        UnansweredCase{"Array", HostProcess::frame("[]"),
                       "Error incomplete message received. Missing: command requestId params "},
        UnansweredCase{"Number", HostProcess::frame("5"), "Error incomplete message received"},
        UnansweredCase{"NoCommand", HostProcess::frame(R"({"requestId":"x","params":[]})"),
                       "Error processing message: [json.exception.type_error.302] type must be "
                       "string, but is null"},
        UnansweredCase{"CommandNotString",
                       HostProcess::frame(R"({"requestId":"x","command":7,"params":[]})"),
                       "Error processing message: "},
        UnansweredCase{"NoRequestId",
                       HostProcess::frame(R"({"command":"healthcheck","params":[]})"),
                       "Message parsing failed: [json.exception.type_error.302] type must be "
                       "string, but is null"},
        UnansweredCase{"RequestIdNumber",
                       HostProcess::frame(R"({"requestId":5,"command":"healthcheck","params":[]})"),
                       "Message parsing failed: "},
        UnansweredCase{
            "EmptyRequestId",
            HostProcess::frame(R"({"requestId":"","command":"healthcheck","params":[]})"),
            "Missing or invalid 'requestId' field"},
        UnansweredCase{"InvalidUtf8",
                       HostProcess::frame(
                           "{\"requestId\":\"\xff\",\"command\":\"healthcheck\",\"params\":[]}"),
                       "Error parsing message: "},
        UnansweredCase{
            "NestedTooDeep",
            HostProcess::frame(R"({"command":"x","requestId":"r","params":)" +
                               std::string(100000, '[') + std::string(100000, ']') + "}"),
            "JSON nesting deeper than 128 levels"}),
    [](const auto& info) { return std::string(info.param.name); });

// Served as a whole request, so no error is logged for it.
TEST(HostChannel, AnswersARequestMissingOnlyParams) {
    HostProcess host;
    host.send_raw(HostProcess::frame(R"({"requestId":"p","command":"healthcheck"})"));
    EXPECT_EQ(host.receive_text(), R"({"requestId":"p","result":["OK"],"status":"success"})");
    host.close_input();
    host.wait_exit();
    EXPECT_EQ(host.stderr_text().find("Missing: params"), std::string::npos);
}

TEST(HostChannel, ReadsAFrameOfExactlyTheLimit) {
    HostProcess host;
    std::string text = R"({"requestId":"big","command":"healthcheck","params":[]})";
    text.append(1048576 - text.size(), ' ');
    ASSERT_EQ(text.size(), 1048576u);
    host.send_raw(HostProcess::frame(text));
    EXPECT_EQ(host.receive_text(), R"({"requestId":"big","result":["OK"],"status":"success"})");
}

TEST(HostChannel, SkipsAFrameAboveTheLimitAndStaysInStep) {
    HostProcess host;
    std::string text = R"({"requestId":"big","command":"healthcheck","params":[]})";
    text.append(1048577 - text.size(), ' ');
    host.send_raw(HostProcess::frame(text));
    host.send_raw(healthcheck_after());
    EXPECT_EQ(host.receive_text(), HEALTHCHECK_OK);
    EXPECT_TRUE(host.silent_for(200ms));
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
    // One line for the frame, not two.
    const std::string log = host.stderr_text();
    EXPECT_NE(log.find("Message too large: 1048577 bytes (max: 1048576)"), std::string::npos);
    EXPECT_EQ(log.find("Error too large of message received"), std::string::npos);
}

TEST(HostChannel, AnswersManyPipelinedRequestsEachExactlyOnce) {
    HostProcess host;
    constexpr int COUNT = 2000;
    std::string burst;
    for (int i = 0; i < COUNT; ++i) {
        const char* command = i % 3 == 0 ? "get_version" : (i % 3 == 1 ? "healthcheck" : "nope");
        burst += HostProcess::frame(nlohmann::json{
            {"requestId", "id" + std::to_string(i)},
            {"command", command},
            {"params",
             nlohmann::json::array()}}.dump());
    }
    host.send_raw(burst);
    std::vector<int> seen(COUNT, 0);
    for (int i = 0; i < COUNT; ++i) {
        const auto response = host.receive(10s);
        ASSERT_TRUE(response) << "only " << i << " responses";
        const std::string id = response->at("requestId");
        seen.at(std::stoi(id.substr(2)))++;
    }
    EXPECT_TRUE(host.silent_for(200ms));
    for (int i = 0; i < COUNT; ++i) EXPECT_EQ(seen[i], 1) << i;
}

// The browser closes the port on a message from the host over 1 MiB, which would
// end the host for every page: a request whose id fills its frame gets no answer
// when its answer (even the error in its place) would repeat the id and be longer;
// healthcheck and get_version answer in fewer bytes than they were asked in, and
// are answered.
class AnswerOverTheBrowserLimit : public ::testing::TestWithParam<const char*> {};

TEST_P(AnswerOverTheBrowserLimit, ARequestIdFillingTheFrameGetsNoAnswerLongerThanTheLimit) {
    HostProcess host;
    const std::string command = GetParam();
    const std::string head = R"({"command":")" + command + R"(","requestId":")";
    const std::string tail = R"(","params":["0x00000001"]})";
    const std::string id(1048576 - head.size() - tail.size(), 'i');
    host.send_raw(HostProcess::frame(head + id + tail));
    host.send_raw(healthcheck_after());
    if (command == "healthcheck" || command == "get_version") {
        const auto answer = host.receive();
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->value("requestId", ""), id);
        EXPECT_EQ(host.receive_text(), HEALTHCHECK_OK);
        return;
    }
    EXPECT_EQ(host.receive_text(), HEALTHCHECK_OK);
    EXPECT_TRUE(host.silent_for(200ms));
    host.close_input();
    EXPECT_EQ(host.wait_exit(), 0);
    EXPECT_NE(host.stderr_text().find(" bytes dropped: longer than a browser takes"),
              std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Commands, AnswerOverTheBrowserLimit,
                         ::testing::Values("healthcheck", "get_version", "nope", "cancel",
                                           "list_readers", "transmit"));

// Any id is answered whose answer fits what a browser takes, with or without "params".
TEST(HostChannel, AnswersAMillionCharacterRequestIdWithOrWithoutParams) {
    HostProcess host;
    const std::string id(1000000, 'L');
    host.send({{"requestId", id + "1"}, {"command", "healthcheck"}});
    host.send(
        {{"requestId", id + "2"}, {"command", "get_version"}, {"params", nlohmann::json::array()}});
    for (const char* last : {"1", "2"}) {
        const auto response = host.receive();
        ASSERT_TRUE(response.has_value()) << last;
        EXPECT_EQ(response->value("requestId", ""), id + last);
    }
}

TEST(HostChannel, KeepsUtf8OfRequestIdsInResponses) {
    HostProcess host;
    host.send_raw(
        HostProcess::frame(R"({"requestId":"kär✓","command":"healthcheck","params":[]})"));
    EXPECT_EQ(host.receive_text(), R"({"requestId":"kär✓","result":["OK"],"status":"success"})");
}

}  // namespace
}  // namespace Vorn_SCard_Bridge::testbed
