#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "processing/command_args.h"

namespace Vorn_SCard_Bridge {

struct CommandRow;

// A request as read once, on the thread that read it: its envelope, its row and its
// parameters, checked and typed. Nothing of it is read again: running it
// (process_request) only logs, refuses or calls.
struct ParsedRequest {
    enum class Envelope {
        USABLE,
        NULL_MESSAGE,
        UNREADABLE,          // requestId or command of another type, or no object
        UNREADABLE_STARTED,  // failed after the start line (no requestId at all)
        NO_ID,               // an empty requestId
    };

    Envelope envelope = Envelope::USABLE;
    std::string failure;  // UNREADABLE*: what the JSON library said
    std::string request_id = "unknown";
    std::string command = "unknown";
    // The debug echo of the request, made only while debug lines are written.
    std::optional<std::string> raw_echo;
    const CommandRow* row = nullptr;
    // The parameters, for a row with an operation.
    std::optional<CommandArgs> args;
};

// `row`: find_command of the request's command, looked up once by the caller
// (nullptr for an unknown command).
ParsedRequest parse_request(nlohmann::json message, const CommandRow* row);

// Where a finished response goes.
using ResponseDelivery = std::function<void(nlohmann::json&& response)>;

// Runs a parsed request: its log lines, its command, and exactly one response to
// `deliver` (none when the envelope is unusable).
void process_request(const ParsedRequest& request, const ResponseDelivery& deliver);

// Checks one request, runs its command and queues exactly one response for it
// (none when the envelope is unusable); parse_request then process_request.
void process_message(nlohmann::json message);
// The same, the response going to `deliver` instead of add_message_to_send_queue.
void process_message(nlohmann::json message, const ResponseDelivery& deliver);

}  // namespace Vorn_SCard_Bridge
