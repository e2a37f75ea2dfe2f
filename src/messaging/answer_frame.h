#pragma once

// The one place where answers become frames: serialised once, straight into the
// frame, when they are queued, so that an answer waiting to be written is held as
// its bytes alone.

#include <cstddef>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace Vorn_SCard_Bridge {

// Chrome and Firefox close the port on a message from the host longer than this
// (1 MiB of text), which ends the host for every page of the extension.
constexpr std::size_t MAX_ANSWER_SIZE = 1048576;

// The frame of `answer` (header and compact JSON text). A string that is not UTF-8
// is sent with replacement characters, so that the extension is never left
// waiting. An answer whose text is longer than MAX_ANSWER_SIZE is replaced by an
// error answer for its requestId (0x80100008, the browser's buffer is too small);
// nothing, with an error logged, when even that would not fit.
std::optional<std::string> frame_answer(const nlohmann::json& answer);

// The requestId of an answer, empty when it has none that is text.
std::string request_id_of(const nlohmann::json& answer);

}  // namespace Vorn_SCard_Bridge
