#pragma once

// Small helpers shared by the smart-card command tests that drive the host binary: reading
// an answer, establishing a context, connecting to a card, and the table type of the
// parameter checks.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "fixtures/host_process.h"
#include "fixtures/pcscd_service.h"

namespace Vorn_SCard_Bridge::testbed {

using nlohmann::json;
using Strings = std::vector<std::string>;

// The general error code of every parameter check and conversion failure.
inline constexpr const char* GENERAL_ERROR = "0x80100014";

// Every request of these tests answers well within this; waits on the service use their own.
inline constexpr std::chrono::milliseconds ANSWER_TIMEOUT = std::chrono::seconds(15);

// A response reduced to what the extension looks at.
struct Answer {
    std::string status;  // "success", "error", or "none" when nothing came back
    json result;

    // The result as strings; empty when it is not an array of strings.
    Strings strings() const {
        Strings out;
        if (!result.is_array()) return out;
        for (const auto& element : result) {
            if (!element.is_string()) return {};
            out.push_back(element.get<std::string>());
        }
        return out;
    }

    bool operator==(const Answer& other) const {
        return status == other.status && result == other.result;
    }
};

inline void PrintTo(const Answer& answer, std::ostream* out) {
    *out << answer.status << " " << answer.result.dump();
}

inline Answer answer_of(const json& response) {
    if (!response.is_object()) return {"none", nullptr};
    return {response.value("status", "missing"), response.value("result", json())};
}

inline Answer success(const Strings& result) { return {"success", json(result)}; }
inline Answer failure(const std::string& code, const std::string& message) {
    return {"error", json::array({code, message})};
}
inline Answer general_error(const std::string& message) { return failure(GENERAL_ERROR, message); }

// A request body; without params when none are given.
inline json command(const std::string& name, std::optional<json> params = std::nullopt) {
    json request{{"command", name}};
    if (params) request["params"] = *params;
    return request;
}

// A whole request: its id, its command and its params.
inline json request(const std::string& id, const std::string& name, json params = json::array()) {
    json whole = command(name, std::move(params));
    whole["requestId"] = id;
    return whole;
}

// Sends the body with a fresh requestId and answers what came back for it.
inline Answer ask(HostProcess& host, json request,
                  std::chrono::milliseconds timeout = ANSWER_TIMEOUT) {
    static int counter = 0;
    request["requestId"] = "q" + std::to_string(++counter);
    return answer_of(host.request(request, timeout));
}

inline Answer ask(HostProcess& host, const std::string& name, const json& params,
                  std::chrono::milliseconds timeout = ANSWER_TIMEOUT) {
    return ask(host, command(name, params), timeout);
}

// The context the host established, "" (and a test failure) when it could not.
inline std::string establish_context(HostProcess& host) {
    const Answer answer = ask(host, command("establish_context"));
    const Strings result = answer.strings();
    if (answer.status != "success" || result.size() != 2) {
        ADD_FAILURE() << "establish_context: " << answer.status << " " << answer.result.dump();
        return "";
    }
    return result[1];
}

// The card handle of a successful connect, "" (and a test failure) otherwise.
inline std::string connect_card(HostProcess& host, const std::string& context,
                                const std::string& reader, std::uint32_t share_mode = 2,
                                std::uint32_t protocols = 3) {
    const Answer answer =
        ask(host, "connect", json::array({context, reader, share_mode, protocols}));
    const Strings result = answer.strings();
    if (answer.status != "success" || result.size() != 4) {
        ADD_FAILURE() << "connect: " << answer.status << " " << answer.result.dump();
        return "";
    }
    return result[2];
}

// One row of a parameter-check table: a request body and the exact answer.
struct CommandCase {
    std::string name;  // the test's name suffix
    json request;
    Answer expected;
};

inline std::ostream& operator<<(std::ostream& out, const CommandCase& c) {
    return out << c.name << ": " << c.request.dump().substr(0, 200);
}

inline std::string case_name(const ::testing::TestParamInfo<CommandCase>& info) {
    return info.param.name;
}

// A table of parameter checks, each case asked of one host kept for the whole suite.
class CommandChecks : public ::testing::TestWithParam<CommandCase> {
protected:
    static void SetUpTestSuite() {
        PcscdService::ensure_running();
        host = std::make_unique<HostProcess>();
    }
    static void TearDownTestSuite() { host.reset(); }

    static inline std::unique_ptr<HostProcess> host;
};

// The JSON library's descriptions of a parameter of the wrong type.
inline const std::string STRING_EXPECTED =
    "[json.exception.type_error.302] type must be string, but is number";
inline const std::string NUMBER_EXPECTED =
    "[json.exception.type_error.302] type must be number, but is string";

}  // namespace Vorn_SCard_Bridge::testbed
