#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>

#include "messaging/byte_source.h"

namespace Vorn_SCard_Bridge {

constexpr std::uint32_t MAX_MESSAGE_SIZE = 1048576;
// Deeper JSON is refused as a parse failure: copying or serialising it recurses.
constexpr std::size_t MAX_JSON_DEPTH = 128;

// Reads one framed request. Returns the request, JSON null (nothing to do), or
// the synthetic {"command":"shutdown"} when the input has ended or cannot be read.
// Never throws.
nlohmann::json read_message(ByteSource& source);

// How the text of a frame that passed the checks is read.
enum class FrameReading {
    WHOLE,     // parsed whole
    ENVELOPE,  // parsed for "requestId" and "command" alone: the rest is skipped as
               // it is parsed, never held (a request the host will refuse)
    STOP,      // not read: the host is ending (read_message returns null)
};
// Called with the length of a frame that passed the checks, before its text is read.
using FrameAdmission = std::function<FrameReading(std::uint32_t length)>;
nlohmann::json read_message(ByteSource& source, const FrameAdmission& admit);

// The same on standard input (set up by set_standard_input_wake_fd).
nlohmann::json read_message();
nlohmann::json read_message(const FrameAdmission& admit);

// Makes read_message() stop waiting on standard input once `wake_fd` is readable,
// and run `before_wait` before it waits for more input (FdByteSource). Call before
// the first read_message().
void set_standard_input_wake_fd(int wake_fd, std::function<void()> before_wait = {});

// True when the JSON text nests arrays and objects deeper than `limit`.
bool json_nesting_exceeds(const std::uint8_t* text, std::size_t size, std::size_t limit);

}  // namespace Vorn_SCard_Bridge
