// process_message on arbitrary JSON, over the fake PC/SC service: it must never
// crash, and the responses must keep the promises the extension relies on.
//
//   - a usable envelope (an object whose "requestId" is a non-empty string and
//     whose "command", if present, is a string) gets exactly one response; any
//     other request gets none;
//   - the response has exactly "requestId" (the request's, unchanged), "status"
//     and "result";
//   - "success" carries a list of strings headed by a status code ("OK" for a
//     healthcheck, the text "1.0.0" for get_version, "error" and a message for
//     an APDU that transmit refuses itself); "error" carries either
//     "command_not_supported" for a command outside the table or a code and a
//     message.

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <string>

#include "fakes/fake_pcsc_service.h"
#include "fuzz_support.h"
#include "messaging/message_reader.h"
#include "messaging/messaging_queue.h"
#include "processing/command_table.h"
#include "processing/process_message.h"

namespace {

using namespace Vorn_SCard_Bridge;
using fuzzing::require;
using nlohmann::json;

// The commands the dispatcher runs: the command table's rows that have an operation.
bool is_known(const std::string& command) {
    const CommandRow* row = find_command(command);
    return row != nullptr && row->call != nullptr;
}

// Marks the end of one input's responses; no response has a numeric requestId
// or a "sentinel" member.
const json SENTINEL = {{"requestId", 0}, {"sentinel", true}};

std::string show(const json& value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace).substr(0, 2000);
}

bool usable_envelope(const json& request) {
    if (!request.is_object()) return false;
    const auto id = request.find("requestId");
    if (id == request.end() || !id->is_string() || id->get_ref<const std::string&>().empty()) {
        return false;
    }
    const auto command = request.find("command");
    return command == request.end() || command->is_string();
}

bool is_status_code(const json& value) {
    static const std::regex code("0x[0-9A-F]{8}");
    return value.is_string() && std::regex_match(value.get_ref<const std::string&>(), code);
}

// transmit's own refusals of its data travel as a successful result.
bool is_transmit_refusal(const json& result) {
    static const std::set<std::string> messages = {
        "Data exceeds maximum allowed size", "Invalid hex character in data",
        "APDU command too short (minimum 4 bytes required)"};
    return result.is_array() && result.size() == 2 && result[0] == "error" &&
           result[1].is_string() && messages.count(result[1].get<std::string>()) != 0;
}

bool all_strings(const json& value) {
    if (!value.is_array()) return false;
    for (const json& element : value) {
        if (!element.is_string()) return false;
    }
    return true;
}

void check_response(const json& request, const json& response) {
    require(response.is_object() && response.size() == 3 && response.contains("requestId") &&
                response.contains("status") && response.contains("result"),
            "response shape: " + show(response));
    require(response["requestId"] == request["requestId"],
            "requestId not echoed: " + show(response));
    const std::string command = request.value("command", std::string("unknown"));
    const bool known = is_known(command);
    const json& result = response["result"];
    if (response["status"] == "success") {
        require(known, "success for an unknown command: " + show(response));
        if (command == "get_version") {
            require(result == "1.0.0", "get_version result: " + show(response));
        } else if (command == "healthcheck") {
            require(result == json::array({"OK"}), "healthcheck result: " + show(response));
        } else if (!(command == "transmit" && is_transmit_refusal(result))) {
            require(all_strings(result) && !result.empty() && is_status_code(result[0]),
                    "success result: " + show(response));
        }
    } else {
        require(response["status"] == "error", "status: " + show(response));
        if (result.is_string()) {
            require(!known && result == "command_not_supported",
                    "error text result: " + show(response));
        } else {
            require(all_strings(result) && result.size() == 2 && is_status_code(result[0]),
                    "error result: " + show(response));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzzing::quiet_logger();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The reader refuses these before any request reaches the dispatcher.
    if (size > MAX_MESSAGE_SIZE || json_nesting_exceeds(data, size, MAX_JSON_DEPTH)) return 0;
    json request = json::parse(data, data + size, nullptr, false);
    if (request.is_discarded()) return 0;

    fake::FakePcsc::instance().reset();
    MessagingQueue& queue = MessagingQueue::instance();
    process_message(request);

    // The queue is the process's one outbound queue and nothing else reads it
    // here: a marker behind the responses tells where this request's end.
    queue.push(SENTINEL);
    json responses = json::array();
    for (bool seen_sentinel = false; !seen_sentinel;) {
        for (OutgoingResponse& outgoing : queue.wait_and_pop_all()) {
            if (outgoing.message() == SENTINEL) {
                seen_sentinel = true;
            } else {
                responses.push_back(outgoing.message());
            }
        }
    }

    const std::size_t expected = usable_envelope(request) ? 1 : 0;
    require(responses.size() == expected, std::to_string(responses.size()) +
                                              " responses, expected " + std::to_string(expected) +
                                              ", to " + show(request));
    if (expected == 1) check_response(request, responses[0]);
    return 0;
}
