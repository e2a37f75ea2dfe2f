#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>

#include "messaging/byte_source.h"
#include "messaging/request_budget.h"

namespace Vorn_SCard_Bridge {

constexpr std::uint32_t MAX_MESSAGE_SIZE = 1048576;
// Deeper JSON is refused as a parse failure: copying or serialising it recurses.
constexpr std::size_t MAX_JSON_DEPTH = 128;

// How the text of a frame that passed the checks is read.
enum class FrameReading {
    WHOLE,     // parsed whole
    ENVELOPE,  // parsed for "requestId" and "command" alone: the rest is skipped as
               // it is parsed, never held (a request the host will refuse)
    STOP,      // not read: the host is ending (the read gives nothing to do)
};

// What the host decided for a frame that passed the checks, before its text was read.
struct Admission {
    FrameReading reading = FrameReading::WHOLE;
    RequestBudget::Token token;  // the request's share of the budget, if it got one
    bool over_budget = false;    // refused unless it is a prompt request
};
// Called with the length of a frame that passed the checks, before its text is read.
using FrameAdmission = std::function<Admission(std::uint32_t length)>;

// One read: a request, nothing to do (a frame refused, cut short or not JSON), or
// the end of the input (or input that cannot be read any more).
struct ReadRequest {
    bool input_ended = false;
    nlohmann::json request;  // JSON null: nothing to do
    Admission admission;     // of the frame read, if one was
};

// Reads one framed request. Never throws.
ReadRequest read_request(ByteSource& source, const FrameAdmission& admit);
// The same on standard input (set up by set_standard_input_wake_fd).
ReadRequest read_request(const FrameAdmission& admit);

// The request, JSON null (nothing to do), or no value once the input has ended.
std::optional<nlohmann::json> read_message(ByteSource& source);
std::optional<nlohmann::json> read_message();

// Makes the reads of standard input stop waiting once `wake_fd` is readable, and
// run `before_wait` before they wait for more input (FdByteSource). Call before the
// first read.
void set_standard_input_wake_fd(int wake_fd, std::function<void()> before_wait = {});

// True when the JSON text nests arrays and objects deeper than `limit`.
bool json_nesting_exceeds(const std::uint8_t* text, std::size_t size, std::size_t limit);

}  // namespace Vorn_SCard_Bridge
