// process_message: the envelope checks, the exact response of each request and
// the dispatcher's log lines. Responses are taken from the process-wide queue,
// always with a bounded wait.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_pcsc_service.h"
#include "logging/logger.h"
#include "messaging/messaging_queue.h"
#include "processing/process_message.h"
#include "test_support.h"

namespace Vorn_SCard_Bridge {
namespace {

using nlohmann::json;
using vorn_test::LogLine;

const char* const UNKNOWN_ERROR = "0x80100014";
const char* const UNBLOCK_ID = "__unblock__";

// The next response on the process-wide queue, or nothing within WAIT_LIMIT. A
// pop that timed out is released by a message of its own, so that no thread
// stays behind waiting.
std::optional<json> next_response() {
    auto result = std::make_shared<std::optional<json>>();
    if (vorn_test::finishes_within(
            [result] { *result = MessagingQueue::instance().wait_and_pop(); },
            vorn_test::WAIT_LIMIT)) {
        return *result;
    }
    MessagingQueue::instance().push(json{{"requestId", UNBLOCK_ID}});
    return std::nullopt;
}

json request(const std::string& id, const std::string& command) {
    return json{{"requestId", id}, {"command", command}};
}

json request(const std::string& id, const std::string& command, json params) {
    return json{{"requestId", id}, {"command", command}, {"params", std::move(params)}};
}

json response(const std::string& id, const std::string& status, json result) {
    return json{{"requestId", id}, {"status", status}, {"result", std::move(result)}};
}

json general_error(const std::string& id, const std::string& description) {
    return response(id, "error", json::array({UNKNOWN_ERROR, description}));
}

// The JSON library's description when a value is read as T.
template <typename T>
std::string conversion_error(const json& value) {
    try {
        const T converted = value.get<T>();
        return "(converted: " + json(converted).dump() + ")";
    } catch (const json::exception& e) {
        return e.what();
    }
}

// The message of a handle text that holds no hexadecimal digit: the input and
// the standard conversion's own description.
std::string hex_conversion_error(const std::string& text) {
    try {
        (void)std::stoull(text, nullptr, 16);
    } catch (const std::exception& e) {
        return "Error converting string '" + text + "' to hex value: " + e.what();
    }
    return "(converted)";
}

std::string processor_prefix(const std::string& command, const std::string& id) {
    return "[MessageProcessor::" + command + (id.empty() ? "" : " req:" + id) + "] ";
}

std::vector<std::pair<std::string, std::string>> processor_lines(const std::vector<LogLine>& lines,
                                                                 bool with_debug) {
    std::vector<std::pair<std::string, std::string>> selected;
    for (const LogLine& line : vorn_test::lines_starting_with(lines, "[MessageProcessor::")) {
        if (with_debug || line.level != "debug") selected.emplace_back(line.level, line.text);
    }
    return selected;
}

class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override {
        fake::FakePcsc::instance().reset();
        drain();
    }

    // Takes away whatever earlier tests left in the process-wide queue.
    static void drain() {
        static int round = 0;
        const std::string marker = "__drain__" + std::to_string(++round);
        MessagingQueue::instance().push(json{{"requestId", marker}});
        for (;;) {
            const auto message = next_response();
            ASSERT_TRUE(message.has_value()) << "the process-wide queue does not answer";
            if (message->value("requestId", std::string()) == marker) return;
        }
    }

    // The one response to `message`, and the dispatcher's lines while making it.
    static std::pair<std::optional<json>, std::vector<LogLine>> dispatch(json message) {
        vorn_test::StderrCapture capture;
        process_message(std::move(message));
        auto lines = capture.take_lines();
        return {next_response(), std::move(lines)};
    }

    // True when `message` queued no response: the next response is the one to
    // a healthcheck sent after it.
    static void expect_no_response(json message) {
        static int round = 0;
        const std::string sentinel = "sentinel-" + std::to_string(++round);
        process_message(std::move(message));
        process_message(request(sentinel, "healthcheck"));
        const auto next = next_response();
        ASSERT_TRUE(next.has_value());
        EXPECT_EQ(next->value("requestId", std::string()), sentinel)
            << "unexpected " << next->dump();
    }
};

// ---------------------------------------------------------------- responses

struct ResponseCase {
    std::string name;
    json request;
    json expected;
};

void PrintTo(const ResponseCase& c, std::ostream* os) { *os << c.name << ": " << c.request.dump(); }

class DispatcherResponse : public Dispatcher, public ::testing::WithParamInterface<ResponseCase> {};

TEST_P(DispatcherResponse, IsExactly) {
    const auto [answer, lines] = dispatch(GetParam().request);
    ASSERT_TRUE(answer.has_value()) << "no response";
    EXPECT_EQ(*answer, GetParam().expected);
    // Exactly one response per request.
    process_message(request("after", "healthcheck"));
    const auto next = next_response();
    ASSERT_TRUE(next.has_value());
    EXPECT_EQ(next->value("requestId", std::string()), "after");
}

std::vector<ResponseCase> host_cases() {
    return {
        {"Healthcheck", request("r1", "healthcheck"), response("r1", "success", {"OK"})},
        {"HealthcheckIgnoresParams", request("r1b", "healthcheck", {1, "x"}),
         response("r1b", "success", {"OK"})},
        {"HealthcheckIgnoresOtherMembers",
         json{{"requestId", "r1c"},
              {"command", "healthcheck"},
              {"params", json::array()},
              {"extra", true}},
         response("r1c", "success", {"OK"})},
        {"GetVersionIsAStringNotAnArray", request("r2", "get_version", json::array()),
         response("r2", "success", "1.0.0")},
        {"RequestIdKeptAsSent", request("id with spaces \xC3\xA9", "healthcheck"),
         response("id with spaces \xC3\xA9", "success", {"OK"})},
    };
}

std::vector<ResponseCase> unsupported_cases() {
    std::vector<ResponseCase> cases;
    const std::vector<std::pair<std::string, std::string>> commands = {
        {"Unknown", "frobnicate"},
        {"CapitalLetters", "HealthCheck"},
        {"UpperCase", "GET_VERSION"},
        {"LeadingSpace", " healthcheck"},
        {"TrailingSpace", "healthcheck "},
        {"EmptyCommand", ""},
        {"ShutdownReachingTheDispatcher", "shutdown"},
        {"UnicodeFormOfAPlainOnlyCommand", "transmit_unicode"},
        {"UnicodeSuffixInCapitals", "list_readers_UNICODE"},
        {"PrefixOfACommand", "list_reader"},
    };
    for (const auto& [name, command] : commands) {
        cases.push_back({name, request("r3", command, json::array()),
                         response("r3", "error", "command_not_supported")});
    }
    cases.push_back({"AbsentCommand", json{{"requestId", "r3b"}},
                     response("r3b", "error", "command_not_supported")});
    return cases;
}

const std::string LONG_NAME_256(256, 'n');
const std::string LONG_NAME_257(257, 'n');
const std::string DATA_131072(131072, '0');
const std::string DATA_131073(131073, '0');

std::vector<ResponseCase> parameter_cases() {
    std::vector<ResponseCase> c;
    const auto error = [&](const std::string& name, const std::string& command, json params,
                           const std::string& description) {
        const std::string id = "p-" + name;
        c.push_back({name,
                     params.is_discarded() ? request(id, command) : request(id, command, params),
                     general_error(id, description)});
    };
    const json absent = json(json::value_t::discarded);

    // Context commands.
    error("ReleaseContextWithoutParams", "release_context", absent, "Missing context parameter");
    error("ReleaseContextNullParams", "release_context", nullptr, "Missing context parameter");
    error("ReleaseContextEmptyParams", "release_context", json::array(),
          "Missing context parameter");
    error("ReleaseContextEmptyObjectParams", "release_context", json::object(),
          "Missing context parameter");
    error("ReleaseContextEmptyText", "release_context", {""}, "Empty context parameter");
    error("ReleaseContextNumber", "release_context", {42}, conversion_error<std::string>(json(42)));
    error("ReleaseContextNullElement", "release_context", {nullptr},
          conversion_error<std::string>(json(nullptr)));
    {
        // A "params" that is not an array fails when its first element is read.
        const json params = "0x01";
        std::string description;
        try {
            (void)params[0];
        } catch (const json::exception& e) {
            description = e.what();
        }
        error("ReleaseContextParamsAString", "release_context", params, description);
    }
    error("CancelWithoutParams", "cancel", absent, "Missing context parameter for cancel");
    error("CancelEmptyText", "cancel", {""}, "Empty context parameter for cancel");
    error("IsValidContextEmptyText", "is_valid_context", {""},
          "Empty context parameter for is_valid_context");
    error("IsValidContextNoHexDigit", "is_valid_context", {"zz"}, hex_conversion_error("zz"));

    // Reader commands.
    error("ListReadersEmptyParams", "list_readers", json::array(), "Missing context parameter");
    error("ListReadersUnicodeEmptyText", "list_readers_unicode", {""}, "Empty context parameter");
    error("ListReaderGroupsUnicodeTwoSpaces", "list_reader_groups_unicode", absent,
          "Missing context parameter  for list_reader_groups_unicode");
    error("ListReaderGroupsTwoSpaces", "list_reader_groups", absent,
          "Missing context parameter  for list_reader_groups");
    error("ListReaderGroupsEmptyText", "list_reader_groups", {""},
          "Empty context parameter for list_reader_groups");
    error("StatusChangeTwoParams", "get_status_change", {"0x1", 1000},
          "Insufficient parameters for get_status_change");
    {
        // An object counts its members; reading an element by position then fails.
        const json params = {{"a", "0x1"}, {"b", 1000}, {"c", 1}};
        std::string description;
        try {
            (void)params[0];
        } catch (const json::exception& e) {
            description = e.what();
        }
        error("StatusChangeParamsAnObject", "get_status_change", params, description);
    }
    error("StatusChangeTotalReaders101", "get_status_change", {"0x1", 1000, 101},
          "Invalid total_readers value: 101");
    error("StatusChangeTotalReadersMinus1", "get_status_change", {"0x1", 1000, -1},
          "Invalid total_readers value: -1");
    // Integers convert modulo 2^32: 2^32 + 101 is 101.
    error("StatusChangeTotalReadersWrapsModulo2To32", "get_status_change",
          {"0x1", 1000, 4294967397LL}, "Invalid total_readers value: 101");
    error("StatusChangeFractionCutTowardsZero", "get_status_change", {"0x1", 1000, 101.9},
          "Invalid total_readers value: 101");
    error("StatusChangeTotalReaders100WithBadContext", "get_status_change", {"zz", 1000, 100},
          hex_conversion_error("zz"));
    error("StatusChangeEmptyContext", "get_status_change", {"", 1000, 1},
          "Empty context parameter");
    error("StatusChangeTimeoutAsTextFailsBeforeEmptiness", "get_status_change", {"", "1000", 1},
          conversion_error<std::uint32_t>(json("1000")));
    error("IntroduceReader257", "introduce_reader", {"0x1", LONG_NAME_257, "dev"},
          "Reader/device name exceeds maximum length");
    error("IntroduceReaderDevice257", "introduce_reader", {"0x1", "r", LONG_NAME_257},
          "Reader/device name exceeds maximum length");
    error("IntroduceReaderUnicodeTwoParams", "introduce_reader_unicode", {"0x1", "r"},
          "Insufficient parameters for introduce_reader");
    error("IntroduceReaderEmptyDevice", "introduce_reader", {"0x1", "r", ""},
          "Empty parameter(s) for introduce_reader");
    error("ReaderIcon300", "get_reader_icon", {"0x1", std::string(300, 'n')},
          "Reader name exceeds maximum length");
    error("DeviceType300", "get_device_type_id", {"0x1", std::string(300, 'n')},
          "Reader name exceeds maximum length for get_device_type_id");
    error("TransmitCountMissing", "get_transmit_count", json::array(),
          "Missing context parameter for get_transmit_count");

    // Card commands.
    error("ConnectShareMode4", "connect", {"0x1", "Reader A", 4, 2}, "Invalid share_mode value: 4");
    // Negative integers convert modulo 2^32, fractions are cut towards zero.
    error("ConnectShareModeMinusOne", "connect", {"0x1", "Reader A", -1, 2},
          "Invalid share_mode value: 4294967295");
    error("ConnectShareModeFraction", "connect", {"0x1", "Reader A", 4.7, 2},
          "Invalid share_mode value: 4");
    error("ConnectEmptyReaderBeforeRange", "connect", {"0x1", "", 9, 2},
          "Empty parameter(s) for connect");
    error("ConnectLongReaderBeforeRange", "connect", {"0x1", LONG_NAME_257, 9, 2},
          "Reader name exceeds maximum length");
    error("ConnectShareModeAsText", "connect", {"0x1", "Reader A", "2", 2},
          conversion_error<std::uint32_t>(json("2")));
    error("DisconnectDispositionAsText", "disconnect", {"0x1", "0x2", "0"},
          conversion_error<std::uint32_t>(json("0")));
    error("StatusUnicodeOneParam", "status_unicode", {"0x1"}, "Insufficient parameters for status");
    error("ReconnectFourParams", "reconnect", {"0x1", "0x2", 2, 2},
          "Insufficient parameters for reconnect");
    error("BeginTransactionCardNoHexDigit", "begin_transaction", {"0x1", "zz"},
          hex_conversion_error("zz"));
    error("EndTransactionEmptyCard", "end_transaction", {"0x1", "", 0},
          "Empty parameter(s) for end_transaction");

    // Data commands.
    error("Transmit131073Characters", "transmit", {"0x1", "0x2", 2, DATA_131073},
          "Transmit data exceeds maximum size. Data was 131073 characters");
    error("TransmitThreeParams", "transmit", {"0x1", "0x2", 2},
          "Insufficient parameters for transmit");
    error("ControlCodeAsText", "control", {"0x1", "0x2", "0x42000C00", "00"},
          conversion_error<std::uint32_t>(json("0x42000C00")));
    error("Control131073Characters", "control", {"0x1", "0x2", 1, DATA_131073},
          "Control data exceeds maximum size. Data was 131073 characters");
    error("GetAttribEmptyCard", "get_attrib", {"0x1", "", 0x90303},
          "Empty parameter(s) for get_attrib");
    error("GetAttribIdAsTextBeforeEmptiness", "get_attrib", {"0x1", "", "1"},
          conversion_error<std::uint32_t>(json("1")));

    // Floats that no 64-bit integer can hold are refused, not converted.
    const std::vector<std::pair<std::string, double>> floats = {
        {"Huge", 1e300}, {"HugeNegative", -1e300}, {"Above64Bits", 1e19}, {"Below64Bits", -1e19}};
    for (const auto& [name, number] : floats) {
        error("FloatOutOfRange" + name, "connect", {"0x1", "Reader A", number, 2},
              "Number out of range: " + json(number).dump());
    }
    error("FloatOutOfRangeInTimeout", "get_status_change", {"0x1", 1e300, 1},
          "Number out of range: " + json(1e300).dump());
    return c;
}

std::vector<ResponseCase> reaching_operation_cases() {
    return {
        // The reader metadata operations answer without the service.
        {"IntroduceReader256Accepted",
         request("ir", "introduce_reader", {"0x0A0B0C0D", LONG_NAME_256, "dev"}),
         response("ir", "success", {"0x8010001F", "0x0A0B0C0D", ""})},
        {"IntroduceReaderUnicodeSameBranch",
         request("iru", "introduce_reader_unicode", {"A0B0C0D", "r", "d"}),
         response("iru", "success", {"0x8010001F", "0x0A0B0C0D", ""})},
        {"ReaderIcon256Accepted", request("ri", "get_reader_icon", {"0x1", LONG_NAME_256}),
         response("ri", "success", {"0x8010001F"})},
        {"DeviceType", request("dt", "get_device_type_id", {"0x1", "Reader A"}),
         response("dt", "success", {"0x00000000", "0x00000020"})},
        {"TransmitCount", request("tc", "get_transmit_count", {"0x1"}),
         response("tc", "success", {"0x8010001F", "0"})},
    };
}

INSTANTIATE_TEST_SUITE_P(HostCommands, DispatcherResponse, ::testing::ValuesIn(host_cases()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Unsupported, DispatcherResponse, ::testing::ValuesIn(unsupported_cases()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(ParameterChecks, DispatcherResponse,
                         ::testing::ValuesIn(parameter_cases()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(WithoutService, DispatcherResponse,
                         ::testing::ValuesIn(reaching_operation_cases()),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------- no response

struct SilentCase {
    std::string name;
    json request;
    std::string prefix;  // of the error line
    std::string line;
};

void PrintTo(const SilentCase& c, std::ostream* os) { *os << c.name << ": " << c.request.dump(); }

class DispatcherSilent : public Dispatcher, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(DispatcherSilent, GivesNoResponseAndLogsAnError) {
    expect_no_response(GetParam().request);
    vorn_test::StderrCapture capture;
    process_message(GetParam().request);
    const auto lines = processor_lines(capture.take_lines(), false);
    const std::pair<std::string, std::string> expected{"error",
                                                       GetParam().prefix + GetParam().line};
    EXPECT_NE(std::find(lines.begin(), lines.end(), expected), lines.end())
        << "missing: " << expected.second;
    for (const auto& line : lines) {
        EXPECT_EQ(line.second.find("Processing command"), std::string::npos) << line.second;
    }
}

std::vector<SilentCase> silent_cases() {
    const std::string first = "[MessageProcessor::process_message] ";
    return {
        {"NullMessage", json(nullptr), first, "Null message received in process_message"},
        {"NoRequestId", json{{"command", "healthcheck"}},
         processor_prefix("healthcheck", "unknown"),
         "Message parsing failed: " + conversion_error<std::string>(json(nullptr))},
        {"RequestIdNumber", json{{"requestId", 5}, {"command", "healthcheck"}}, first,
         "Message parsing failed: " + conversion_error<std::string>(json(5))},
        {"RequestIdNull", json{{"requestId", nullptr}, {"command", "healthcheck"}}, first,
         "Message parsing failed: " + conversion_error<std::string>(json(nullptr))},
        {"RequestIdEmpty", json{{"requestId", ""}, {"command", "healthcheck"}},
         processor_prefix("healthcheck", ""), "Missing or invalid 'requestId' field"},
        {"CommandNumber", json{{"requestId", "x"}, {"command", 5}}, first,
         "Message parsing failed: " + conversion_error<std::string>(json(5))},
        {"WholeRequestAnArray", json::array({"healthcheck"}), first,
         "Message parsing failed: [json.exception.type_error.306] cannot use value() with array"},
        {"WholeRequestAString", json("healthcheck"), first,
         "Message parsing failed: [json.exception.type_error.306] cannot use value() with string"},
    };
}

INSTANTIATE_TEST_SUITE_P(Envelopes, DispatcherSilent, ::testing::ValuesIn(silent_cases()),
                         [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------- log lines

TEST_F(Dispatcher, HealthcheckLogsEveryStep) {
    const auto [answer, lines] = dispatch(request("h1", "healthcheck"));
    ASSERT_TRUE(answer.has_value());
    const std::string p = processor_prefix("healthcheck", "h1");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"info", p + "Starting message processing"},
        {"debug", p + R"(Raw message received: {"command":"healthcheck","requestId":"h1"})"},
        {"debug", p + "Message validation passed"},
        {"debug", p + "Initializing response structure"},
        {"info", p + "Processing command: healthcheck"},
        {"debug", p + "Executing healthcheck command"},
        {"info", p + "Healthcheck completed successfully"},
        {"info", p + "Command processing completed successfully"},
        {"debug", p + "Preparing to send response for request"},
        {"debug", p + "Response status: success"},
        {"info", p + "Message processing fully completed"},
    };
    EXPECT_EQ(processor_lines(lines, true), expected);
}

TEST_F(Dispatcher, GetVersionLogsTheVersion) {
    const auto [answer, lines] = dispatch(request("v", "get_version"));
    ASSERT_TRUE(answer.has_value());
    const std::string p = processor_prefix("get_version", "v");
    const auto all = processor_lines(lines, true);
    EXPECT_NE(std::find(all.begin(), all.end(),
                        std::make_pair(std::string("debug"), p + "Executing get_version command")),
              all.end());
    EXPECT_NE(std::find(all.begin(), all.end(),
                        std::make_pair(std::string("info"),
                                       p + "Version information retrieved (version: 1.0.0)")),
              all.end());
}

TEST_F(Dispatcher, UnsupportedCommandIsAWarningAndStillCompletes) {
    const auto [answer, lines] = dispatch(request("u", "HealthCheck", json::array()));
    ASSERT_TRUE(answer.has_value());
    const std::string p = processor_prefix("HealthCheck", "u");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"info", p + "Starting message processing"},
        {"info", p + "Processing command: HealthCheck"},
        {"warning", p + "Unsupported command received: HealthCheck"},
        {"info", p + "Command processing completed successfully"},
        {"info", p + "Message processing fully completed"},
    };
    EXPECT_EQ(processor_lines(lines, false), expected);
}

TEST_F(Dispatcher, ParameterFailureIsAGeneralErrorLine) {
    const auto [answer, lines] = dispatch(request("g", "release_context", json::array()));
    ASSERT_TRUE(answer.has_value());
    const std::string p = processor_prefix("release_context", "g");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"info", p + "Starting message processing"},
        {"info", p + "Processing command: release_context"},
        {"error", p + "General error in release_context: Missing context parameter"},
        {"info", p + "Message processing fully completed"},
    };
    EXPECT_EQ(processor_lines(lines, false), expected);
    const auto all = processor_lines(lines, true);
    EXPECT_NE(std::find(all.begin(), all.end(),
                        std::make_pair(std::string("debug"), p + "Response status: error")),
              all.end());
}

TEST_F(Dispatcher, ConnectWithTooFewParametersLogsTwoErrorLines) {
    const auto [answer, lines] = dispatch(request("c3", "connect", {"0x1", "Reader A", 2}));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, general_error("c3", "Insufficient parameters for connect"));
    const std::string p = processor_prefix("connect", "c3");
    std::vector<std::string> errors;
    for (const auto& [level, text] : processor_lines(lines, false)) {
        if (level == "error") errors.push_back(text);
    }
    EXPECT_EQ(errors, (std::vector<std::string>{
                          p + "Insufficient parameters for connect",
                          p + "General error in connect: Insufficient parameters for connect"}));
}

struct RawEchoCase {
    const char* name;
    std::size_t serialised_size;
    bool cut;
};

class DispatcherRawEcho : public Dispatcher, public ::testing::WithParamInterface<RawEchoCase> {};

// The debug echo of a request shows at most 500 bytes of its compact form.
TEST_P(DispatcherRawEcho, ShowsAtMost500Bytes) {
    json message = request("e", "healthcheck");
    const std::size_t base =
        json({{"command", "healthcheck"}, {"pad", ""}, {"requestId", "e"}}).dump().size();
    message["pad"] = std::string(GetParam().serialised_size - base, 'p');
    const std::string compact = message.dump();
    ASSERT_EQ(compact.size(), GetParam().serialised_size);
    const auto [answer, lines] = dispatch(message);
    ASSERT_TRUE(answer.has_value());
    const std::string shown = GetParam().cut ? compact.substr(0, 500) + "..." : compact;
    const auto all = processor_lines(lines, true);
    EXPECT_NE(std::find(all.begin(), all.end(),
                        std::make_pair(std::string("debug"), processor_prefix("healthcheck", "e") +
                                                                 "Raw message received: " + shown)),
              all.end());
}

INSTANTIATE_TEST_SUITE_P(Sizes, DispatcherRawEcho,
                         ::testing::Values(RawEchoCase{"Exactly500", 500, false},
                                           RawEchoCase{"Of501", 501, true},
                                           RawEchoCase{"Of600", 600, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- through the service

// The debug texts a branch builds from its parameters (only when they will be
// written): there at debug level, no debug line at all at information level.
struct BuiltDebugCase {
    std::string name;
    json request;
    std::string line;  // after the prefix
};

void PrintTo(const BuiltDebugCase& c, std::ostream* os) { *os << c.name; }

class DispatcherBuiltDebug : public Dispatcher,
                             public ::testing::WithParamInterface<BuiltDebugCase> {
protected:
    static Logger& the_logger() {
        return Logger::get_instance(LogLevel::DEBUG, LogDestination::CONSOLE, {});
    }
    void TearDown() override { the_logger().set_log_level(LogLevel::DEBUG); }
};

TEST_P(DispatcherBuiltDebug, IsWrittenAtDebugLevelOnly) {
    const BuiltDebugCase& c = GetParam();
    const std::string id = c.request.at("requestId");
    const std::string p = processor_prefix(c.request.at("command"), id);
    const auto debug_line = std::make_pair(std::string("debug"), p + c.line);

    const auto [answer, lines] = dispatch(c.request);
    ASSERT_TRUE(answer.has_value());
    const auto all = processor_lines(lines, true);
    EXPECT_NE(std::find(all.begin(), all.end(), debug_line), all.end());

    the_logger().set_log_level(LogLevel::INFO);
    const auto [quiet_answer, quiet_lines] = dispatch(c.request);
    ASSERT_TRUE(quiet_answer.has_value());
    for (const LogLine& line : quiet_lines) EXPECT_NE(line.level, "debug") << line.text;
}

INSTANTIATE_TEST_SUITE_P(
    Branches, DispatcherBuiltDebug,
    ::testing::Values(
        BuiltDebugCase{"ListReaders", request("l", "list_readers", {"0x0000000A"}),
                       "Listing readers for context: 0x0000000A"},
        BuiltDebugCase{"Disconnect", request("d", "disconnect", {"0x0000000A", "0x0000000B", 2}),
                       "Disconnecting from card: 0x0000000B (disposition: 2)"},
        BuiltDebugCase{"Status", request("s", "status", {"0x0000000A", "0x0000000B"}),
                       "Getting status for card: 0x0000000B"},
        BuiltDebugCase{"GetAttrib", request("g", "get_attrib", {"0x0000000A", "0x0000000B", 65795}),
                       "Getting attribute 65795 for card: 0x0000000B"}),
    [](const auto& info) { return info.param.name; });

TEST_F(Dispatcher, ServiceFailureIsASmartCardErrorWithItsCode) {
    fake::FakePcsc::instance().next(fake::Fn::RELEASE_CONTEXT, {.status = pcsc::E_INVALID_HANDLE});
    const auto [answer, lines] = dispatch(request("s", "release_context", {"0x0A0B0C0D"}));
    ASSERT_TRUE(answer.has_value());
    const std::string message =
        "Error in handle_smartcard_release_context: The supplied handle was invalid";
    EXPECT_EQ(*answer, response("s", "error", {"0x80100003", message}));
    const std::string p = processor_prefix("release_context", "s");
    const auto all = processor_lines(lines, false);
    EXPECT_NE(
        std::find(all.begin(), all.end(),
                  std::make_pair(std::string("error"), p + "SmartCard error in release_context: " +
                                                           message + " (code: 0x80100003)")),
        all.end());
    for (const auto& line : all)
        EXPECT_NE(line.second, p + "Command processing completed successfully");
}

TEST_F(Dispatcher, EstablishContextAnswersTheServicesHandle) {
    fake::FakePcsc::instance().set_next_context(0x01020304);
    const auto [answer, lines] = dispatch(request("ec", "establish_context", {"ignored", 7}));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, response("ec", "success", {"0x00000000", "0x01020304"}));
    const auto all = processor_lines(lines, false);
    EXPECT_NE(
        std::find(all.begin(), all.end(),
                  std::make_pair(std::string("info"),
                                 processor_prefix("establish_context", "ec") +
                                     "Context established successfully (context: 0x01020304)")),
        all.end());
}

struct ShareModeCase {
    std::uint32_t share_mode;
    bool reaches_service;
};

class DispatcherShareMode : public Dispatcher,
                            public ::testing::WithParamInterface<ShareModeCase> {};

TEST_P(DispatcherShareMode, OnlyValidModesReachTheService) {
    auto& service = fake::FakePcsc::instance();
    const auto [answer, lines] =
        dispatch(request("sm", "connect", {"0x0A0B0C0D", "Reader A", GetParam().share_mode, 2}));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(service.call_count(fake::Fn::CONNECT), GetParam().reaches_service ? 1u : 0u);
    EXPECT_EQ((*answer)["status"], GetParam().reaches_service ? "success" : "error")
        << answer->dump();
}

INSTANTIATE_TEST_SUITE_P(Modes, DispatcherShareMode,
                         ::testing::Values(ShareModeCase{1, true}, ShareModeCase{2, true},
                                           ShareModeCase{3, true}, ShareModeCase{4, false}));

// The dispatcher's own limit lets exactly 131072 characters through to the
// operation, which answers with status "success".
TEST_F(Dispatcher, TransmitOf131072CharactersPassesTheDispatchersChecks) {
    const auto [answer, lines] =
        dispatch(request("t", "transmit", {"0x0A0B0C0D", "0x11223344", 2, DATA_131072}));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ((*answer)["status"], "success") << answer->dump().substr(0, 300);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
