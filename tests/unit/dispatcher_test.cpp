// process_message: the envelope checks, the exact response of each request and
// the dispatcher's log lines; and what parse_request reads once, on the thread
// that read the request. Responses are taken from the process-wide queue, always
// with a bounded wait.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "fakes/fake_pcsc_service.h"
#include "logging/logger.h"
#include "messaging/messaging_queue.h"
#include "processing/command_table.h"
#include "processing/process_message.h"
#include "scard/pcsc_service.h"
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

void PrintTo(const ResponseCase& c, std::ostream* os) {
    *os << c.name << ": " << c.request.dump().substr(0, 200);
}

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

// ---------------------------------------------------------------- parameter checks

// Every command's refusals, word for word, by the name it is sent under. The
// requests are made from its row's parameter descriptors: each check is tried
// with everything that a later check would refuse also wrong, so that the order
// (count, types in index order, emptiness, lengths and ranges in index order,
// handles) is tried too.
struct Refusals {
    std::string command;
    std::string too_few;
    std::string empty;
    // Per limited parameter, in index order: the refusal of one beyond its top,
    // and for a signed number also of one below its bottom.
    std::vector<std::string> beyond = {};
};

// clang-format off
const std::vector<Refusals> REFUSALS = {
    {"release_context", "Missing context parameter", "Empty context parameter"},
    {"list_readers", "Missing context parameter", "Empty context parameter"},
    {"list_readers_unicode", "Missing context parameter", "Empty context parameter"},
    {"list_readers_array", "Missing context parameter", "Empty context parameter"},
    {"is_valid_context", "Missing context parameter for is_valid_context",
     "Empty context parameter for is_valid_context"},
    {"cancel", "Missing context parameter for cancel", "Empty context parameter for cancel"},
    {"get_transmit_count", "Missing context parameter for get_transmit_count",
     "Empty context parameter for get_transmit_count"},
    // The "_unicode" form names the command as sent here, the plain one below.
    {"list_reader_groups", "Missing context parameter  for list_reader_groups",
     "Empty context parameter for list_reader_groups"},
    {"list_reader_groups_unicode", "Missing context parameter  for list_reader_groups_unicode",
     "Empty context parameter for list_reader_groups_unicode"},
    {"get_status_change", "Insufficient parameters for get_status_change",
     "Empty context parameter",
     {"Invalid total_readers value: 101", "Invalid total_readers value: -1"}},
    {"connect", "Insufficient parameters for connect", "Empty parameter(s) for connect",
     {"Reader name exceeds maximum length", "Invalid share_mode value: 4"}},
    {"reconnect", "Insufficient parameters for reconnect", "Empty parameter(s) for reconnect"},
    {"disconnect", "Insufficient parameters for disconnect", "Empty parameter(s) for disconnect"},
    {"begin_transaction", "Insufficient parameters for begin_transaction",
     "Empty parameter(s) for begin_transaction"},
    {"end_transaction", "Insufficient parameters for end_transaction",
     "Empty parameter(s) for end_transaction"},
    {"status", "Insufficient parameters for status", "Empty parameter(s) for status"},
    {"status_unicode", "Insufficient parameters for status", "Empty parameter(s) for status"},
    {"transmit", "Insufficient parameters for transmit", "Empty parameter(s) for transmit",
     {"Transmit data exceeds maximum size. Data was 131073 characters"}},
    {"control", "Insufficient parameters for control", "Empty parameter(s) for control",
     {"Control data exceeds maximum size. Data was 131073 characters"}},
    {"get_attrib", "Insufficient parameters for get_attrib", "Empty parameter(s) for get_attrib"},
    {"set_attrib", "Insufficient parameters for set_attrib", "Empty parameter(s) for set_attrib"},
    {"introduce_reader", "Insufficient parameters for introduce_reader",
     "Empty parameter(s) for introduce_reader",
     {"Reader/device name exceeds maximum length", "Reader/device name exceeds maximum length"}},
    {"introduce_reader_unicode", "Insufficient parameters for introduce_reader",
     "Empty parameter(s) for introduce_reader",
     {"Reader/device name exceeds maximum length", "Reader/device name exceeds maximum length"}},
    {"get_device_type_id", "Insufficient parameters for get_device_type_id",
     "Empty parameter(s) for get_device_type_id",
     {"Reader name exceeds maximum length for get_device_type_id"}},
    {"get_reader_icon", "Insufficient parameters for get_reader_icon",
     "Empty parameter(s) for get_reader_icon",
     {"Reader name exceeds maximum length"}},
};
// clang-format on

TEST(CommandRefusals, CoverEveryCommandThatTakesParameters) {
    std::set<std::string> with_params;
    for (const CommandRow& row : command_rows()) {
        if (row.params.empty()) continue;
        for (const std::string& name : command_names(row)) with_params.insert(name);
    }
    std::set<std::string> listed;
    for (const Refusals& r : REFUSALS) {
        listed.insert(r.command);
        std::size_t limits = 0;
        for (const ParamDescriptor& descriptor : find_command(r.command)->params) {
            if (descriptor.out_of_range != nullptr)
                limits += descriptor.kind == ParamKind::SIGNED ? 2 : 1;
        }
        EXPECT_EQ(limits, r.beyond.size()) << r.command;
    }
    EXPECT_EQ(listed, with_params);
}

bool can_be_empty(ParamKind kind) {
    return kind == ParamKind::CONTEXT || kind == ParamKind::CARD || kind == ParamKind::NAME;
}
bool is_text(ParamKind kind) { return kind != ParamKind::NUMBER && kind != ParamKind::SIGNED; }

json valid_value(const ParamDescriptor& descriptor) {
    switch (descriptor.kind) {
        case ParamKind::CONTEXT:
            return "0x0A0B0C0D";
        case ParamKind::CARD:
            return "0x11223344";
        case ParamKind::NAME:
            return "Reader A";
        case ParamKind::DATA:
            return "00";
        default:
            return std::min<std::int64_t>(descriptor.high, 1);
    }
}

json at(const ParamDescriptor& descriptor, std::int64_t bound) {
    if (!is_text(descriptor.kind)) return bound;
    return std::string(static_cast<std::size_t>(bound),
                       descriptor.kind == ParamKind::NAME ? 'n' : '0');
}

std::vector<ResponseCase> refusal_cases() {
    std::vector<ResponseCase> c;
    for (const Refusals& r : REFUSALS) {
        const std::vector<ParamDescriptor>& descriptors = find_command(r.command)->params;
        const std::size_t fixed = descriptors.back().kind == ParamKind::READERS
                                      ? descriptors.size() - 1
                                      : descriptors.size();
        // The first that a later check would refuse, from `from` on: handles no
        // hexadecimal digit (each its own text), numbers and texts beyond their top.
        const auto later_wrong = [&](json params, std::size_t from) {
            for (std::size_t i = from; i < std::min(fixed, params.size()); ++i) {
                if (descriptors[i].kind == ParamKind::CONTEXT ||
                    descriptors[i].kind == ParamKind::CARD) {
                    params[i] = "zz" + std::to_string(i);
                } else if (descriptors[i].out_of_range != nullptr) {
                    params[i] = at(descriptors[i], descriptors[i].high + 1);
                }
            }
            return params;
        };
        json valid = json::array();
        for (std::size_t i = 0; i < fixed; ++i) valid.push_back(valid_value(descriptors[i]));
        const auto add = [&](const std::string& check, json params, const std::string& refusal) {
            const std::string id = r.command + "_" + check;
            c.push_back(
                {id, request(id, r.command, std::move(params)), general_error(id, refusal)});
        };

        json too_few = valid;
        too_few.erase(too_few.size() - 1);
        add("TooFew", later_wrong(too_few, 0), r.too_few);
        c.push_back(
            {r.command + "_NoParams", request("n", r.command), general_error("n", r.too_few)});
        for (std::size_t i = 0; i < fixed; ++i) {
            json params = later_wrong(valid, 0);
            for (std::size_t j = 0; j < fixed; ++j) {
                if (can_be_empty(descriptors[j].kind)) params[j] = "";
            }
            params[i] = is_text(descriptors[i].kind) ? json(42) : json("2");
            add("TypeOf" + std::to_string(i), params,
                is_text(descriptors[i].kind) ? conversion_error<std::string>(json(42))
                                             : conversion_error<std::uint32_t>(json("2")));
            if (can_be_empty(descriptors[i].kind)) {
                params = later_wrong(valid, 0);
                params[i] = "";
                add("Empty" + std::to_string(i), params, r.empty);
            }
        }
        std::size_t limited = 0;
        for (std::size_t i = 0; i < fixed; ++i) {
            if (descriptors[i].out_of_range == nullptr) continue;
            const auto listed = [&] {
                return limited < r.beyond.size() ? r.beyond[limited++] : "(not listed)";
            };
            add("Above" + std::to_string(i), later_wrong(valid, i), listed());
            if (descriptors[i].kind == ParamKind::SIGNED) {
                json params = later_wrong(valid, i + 1);
                params[i] = descriptors[i].low - 1;
                add("Below" + std::to_string(i), params, listed());
            }
        }
        for (std::size_t i = 0; i < fixed; ++i) {
            if (descriptors[i].kind != ParamKind::CONTEXT && descriptors[i].kind != ParamKind::CARD)
                continue;
            json params = valid;
            for (std::size_t j = i; j < fixed; ++j) {
                if (descriptors[j].kind == ParamKind::CONTEXT ||
                    descriptors[j].kind == ParamKind::CARD) {
                    params[j] = "zz" + std::to_string(j);
                }
            }
            add("Handle" + std::to_string(i), params,
                hex_conversion_error("zz" + std::to_string(i)));
        }
    }
    return c;
}

// Every row's log lines name only what the row has: a line that does not fails
// its request. The debug lines are written before the call, whatever it answers.
TEST_F(Dispatcher, EveryRowsLogLinesCanBeWritten) {
    for (const CommandRow& row : command_rows()) {
        if (row.call == nullptr) continue;
        json params = json::array();
        for (const ParamDescriptor& descriptor : row.params) {
            if (descriptor.kind != ParamKind::READERS) params.push_back(valid_value(descriptor));
        }
        const auto [answer, lines] = dispatch(request("l", row.name, params));
        ASSERT_TRUE(answer.has_value());
        EXPECT_EQ(answer->dump().find("No field"), std::string::npos) << answer->dump();
    }
}

// A value at its bound passes the command's own checks (it reaches the service,
// which may still refuse it with a code of its own).
TEST_F(Dispatcher, ValuesAtTheirBoundsPassTheChecks) {
    for (const Refusals& r : REFUSALS) {
        const std::vector<ParamDescriptor>& descriptors = find_command(r.command)->params;
        for (std::size_t i = 0; i < descriptors.size(); ++i) {
            if (descriptors[i].out_of_range == nullptr) continue;
            // The bottom of a text is the empty text, which emptiness refuses.
            for (const std::int64_t bound : {descriptors[i].high, descriptors[i].low}) {
                if (is_text(descriptors[i].kind) && bound == descriptors[i].low) continue;
                json params = json::array();
                for (const ParamDescriptor& descriptor : descriptors) {
                    if (descriptor.kind != ParamKind::READERS)
                        params.push_back(valid_value(descriptor));
                }
                params[i] = at(descriptors[i], bound);
                const auto [answer, lines] = dispatch(request("b", r.command, params));
                ASSERT_TRUE(answer.has_value());
                const json& result = (*answer)["result"];
                EXPECT_FALSE(
                    result.is_array() && result.size() == 2 && result[0] == UNKNOWN_ERROR &&
                    std::find(r.beyond.begin(), r.beyond.end(), result[1]) != r.beyond.end())
                    << r.command << " at " << bound << ": " << result.dump().substr(0, 200);
            }
        }
    }
}

// What no row describes: how "params" that is not an array counts and reads, and
// how numbers convert.
std::vector<ResponseCase> conversion_cases() {
    std::vector<ResponseCase> c;
    const auto error = [&](const std::string& name, const std::string& command, json params,
                           const std::string& description) {
        const std::string id = "p-" + name;
        c.push_back({name, request(id, command, params), general_error(id, description)});
    };
    const auto index_error = [](const json& params) {
        try {
            (void)params[0];
        } catch (const json::exception& e) {
            return std::string(e.what());
        }
        return std::string("(read)");
    };
    error("NullParams", "release_context", nullptr, "Missing context parameter");
    error("EmptyObjectParams", "release_context", json::object(), "Missing context parameter");
    error("NullElement", "release_context", {nullptr},
          conversion_error<std::string>(json(nullptr)));
    // A "params" that is not an array fails when its first element is read; an
    // object counts its members.
    error("ParamsAString", "release_context", "0x01", index_error("0x01"));
    const json object = {{"a", "0x1"}, {"b", 1000}, {"c", 1}};
    error("ParamsAnObject", "get_status_change", object, index_error(object));
    // Integers convert modulo 2^32, fractions are cut towards zero.
    error("WrapsModulo2To32", "get_status_change", {"0x1", 1000, 4294967397LL},
          "Invalid total_readers value: 101");
    error("FractionCutTowardsZero", "get_status_change", {"0x1", 1000, 101.9},
          "Invalid total_readers value: 101");
    error("MinusOneUnsigned", "connect", {"0x1", "Reader A", -1, 2},
          "Invalid share_mode value: 4294967295");
    error("UnsignedFraction", "connect", {"0x1", "Reader A", 4.7, 2},
          "Invalid share_mode value: 4");
    // Floats that no 64-bit integer can hold are refused, not converted.
    const std::vector<std::pair<std::string, double>> floats = {
        {"Huge", 1e300}, {"HugeNegative", -1e300}, {"Above64Bits", 1e19}, {"Below64Bits", -1e19}};
    for (const auto& [name, number] : floats) {
        error("FloatOutOfRange" + name, "connect", {"0x1", "Reader A", number, 2},
              "Number out of range: " + json(number).dump());
    }
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
INSTANTIATE_TEST_SUITE_P(ParameterChecks, DispatcherResponse, ::testing::ValuesIn(refusal_cases()),
                         [](const auto& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Conversions, DispatcherResponse, ::testing::ValuesIn(conversion_cases()),
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

// ---------------------------------------------------------------- parsed once

struct RouteIdsCase {
    const char* name;
    json request;
    std::optional<std::int32_t> context;
    std::optional<std::int32_t> card;
    bool exceeds_records = false;
};

json too_many_records() {
    json params = {"0x1", 0, 1};
    for (std::size_t i = 0; i <= pcsc::MAX_READERS_PER_WAIT; ++i) {
        for (const json& value : {json(0), json(0), json("Reader")}) params.push_back(value);
    }
    return params;
}

// Where a request runs depends on the ids it names alone: they are read even when
// another parameter is refused, and only where the row has a handle.
TEST(ParseRequest, ReadsTheIdsARequestRunsOnWhateverElseItHolds) {
    const RouteIdsCase cases[] = {
        {"Transmit", request("t", "transmit", {"0x1", "0x2", 2, "00"}), 1, 2},
        {"RefusedProtocol", request("t", "transmit", {"0x1", "0x2", "two", "00"}), 1, 2},
        {"ContextNoText", request("t", "transmit", {1, "0x2", 2, "00"}), std::nullopt, 2},
        {"NoIds", request("t", "transmit", {"", "xyz", 2, "00"}), std::nullopt, std::nullopt},
        {"TooFew", request("t", "transmit", {"0xA"}), 10, std::nullopt},
        {"ContextOnly", request("l", "list_readers", {"0x0A", "0x0B"}), 10, std::nullopt},
        {"NameIsNoCard", request("c", "connect", {"0x1", "0x2", 2, 3}), 1, std::nullopt},
        {"ParamsObject", request("l", "list_readers", {{"a", "0x1"}}), std::nullopt, std::nullopt},
        {"Wait", request("w", "get_status_change", {"0x1", 0, 1, 0, 0, "R"}), 1, std::nullopt},
        {"LongWait", request("w", "get_status_change", too_many_records()), 1, std::nullopt, true},
    };
    for (const RouteIdsCase& c : cases) {
        const CommandRow* row = find_command(c.request["command"]);
        const ParsedRequest parsed = parse_request(c.request, row);
        ASSERT_TRUE(parsed.args.has_value()) << c.name;
        EXPECT_EQ(parsed.args->context_id(), c.context) << c.name;
        EXPECT_EQ(parsed.args->card_id(), c.card) << c.name;
        EXPECT_EQ(parsed.args->exceeds_records(), c.exceeds_records) << c.name;
    }
    // A command without a row or without an operation has no parameters to read.
    EXPECT_FALSE(parse_request(request("u", "HealthCheck", {"0x1"}), nullptr).args);
    EXPECT_FALSE(parse_request(request("s", "shutdown"), find_command("shutdown")).args);
}

// The checks run where the request is read, but what they refuse is logged and
// answered where it runs, in the order of its other lines.
TEST_F(Dispatcher, ARefusalIsLoggedWhenTheRequestRunsNotWhenItIsRead) {
    const json message = request("c4", "connect", {"0x1", "Reader A", 2});
    std::optional<ParsedRequest> parsed;
    {
        vorn_test::StderrCapture capture;
        parsed = parse_request(message, find_command("connect"));
        EXPECT_TRUE(processor_lines(capture.take_lines(), true).empty());
    }
    vorn_test::StderrCapture capture;
    std::optional<json> answer;
    process_request(*parsed, [&answer](json&& response) { answer = std::move(response); });
    EXPECT_EQ(answer, general_error("c4", "Insufficient parameters for connect"));
    const std::string p = processor_prefix("connect", "c4");
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"info", p + "Starting message processing"},
        {"info", p + "Processing command: connect"},
        {"error", p + "Insufficient parameters for connect"},
        {"error", p + "General error in connect: Insufficient parameters for connect"},
        {"info", p + "Message processing fully completed"},
    };
    EXPECT_EQ(processor_lines(capture.take_lines(), false), expected);
}

// A record's type error comes after the lines logged before the call.
TEST_F(Dispatcher, ARecordsRefusalFollowsTheLinesBeforeTheCall) {
    const auto [answer, lines] =
        dispatch(request("w", "get_status_change", {"0x1", 0, 1, 0, 0, 7}));
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(*answer, general_error("w", conversion_error<std::string>(json(7))));
    const std::string p = processor_prefix("get_status_change", "w");
    const auto all = processor_lines(lines, true);
    const auto before =
        std::find(all.begin(), all.end(),
                  std::make_pair(std::string("debug"),
                                 p + "Getting status change (timeout: 0ms, readers: 1)"));
    const auto refused = std::find_if(all.begin(), all.end(), [](const auto& line) {
        return line.second.find("General error") != std::string::npos;
    });
    ASSERT_NE(before, all.end());
    ASSERT_NE(refused, all.end());
    EXPECT_LT(before, refused);
}

}  // namespace
}  // namespace Vorn_SCard_Bridge
