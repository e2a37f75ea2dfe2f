#pragma once

#include <cstddef>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "messaging/byte_source.h"

namespace Vorn_SCard_Bridge {

constexpr std::uint32_t MAX_MESSAGE_SIZE = 1048576;
// Deeper JSON is refused as a parse failure: copying or serialising it recurses.
constexpr std::size_t MAX_JSON_DEPTH = 128;

// Reads one framed request. Returns the request, JSON null (nothing to do), or
// the synthetic {"command":"shutdown"} when the input has ended. Never throws.
nlohmann::json read_message(ByteSource& source);

// The same on standard input (set up by set_standard_input_wake_fd).
nlohmann::json read_message();

// Makes read_message() stop waiting on standard input once `wake_fd` is readable.
// Call before the first read_message().
void set_standard_input_wake_fd(int wake_fd);

// True when the JSON text nests arrays and objects deeper than `limit`.
bool json_nesting_exceeds(const std::uint8_t* text, std::size_t size, std::size_t limit);

}  // namespace Vorn_SCard_Bridge
